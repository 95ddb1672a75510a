#include "shell/MainWindow.h"

#include <utility>

#include "shell/AboutDialog.h"
#include "shell/OptionsDialog.h"
#include "shell/ProgressLine.h"

namespace drovn::shell {

namespace {
// How long Close waits for the threads of a destroyed controller to let go of it.
constexpr uint32_t kReleaseWaitMs = 1000;
constexpr uint32_t kReleasePollMs = 10;
}  // namespace

MainWindow::MainWindow(platform::Platform& platform, config::SettingsStore& settings,
                       protocol::TransferMeter& meter, ShellWindow& window, PowerDevices power)
    : platform_(platform),
      settings_(settings),
      meter_(meter),
      window_(window),
      list_(window.logList()),
      power_(
          {power, settings, state_.service, state_.wifiSwitchedOn, [this] { appendLogText(); }}) {}

void MainWindow::setService(std::shared_ptr<core::ServiceController> service) {
  state_.service = std::move(service);
}

intptr_t MainWindow::handleMessage(const platform::Message& m) {
  namespace events = platform::events;
  if (std::holds_alternative<events::LogTextReady>(m)) appendLogText();
  if (std::holds_alternative<events::ServiceStateChanged>(m)) power_.updateBacklight();
  if (const auto* check = std::get_if<events::NetworkCheck>(&m)) {
    return power_.switchWifiOn(check->networkFound) ? 1 : 0;
  }
  if (const auto* command = std::get_if<events::Command>(&m)) return handleCommand(command->id);
  if (std::holds_alternative<events::BringToFront>(m)) window_.bringToFront();
  return 0;  // the timer's tick has nothing left to do
}

intptr_t MainWindow::handleCommand(intptr_t id) {
  switch (id) {
    case kCmdStart:
      if (state_.service) state_.service->startService();
      power_.updateBacklight();
      break;
    case kCmdStop:
      if (state_.service) state_.service->stopService();
      power_.updateBacklight();
      break;
    case kCmdOptions: {
      OptionsDialog dialog(settings_, platform_.codec, [this](const config::Settings& s) {
        // Without a service the edits hold for this run only.
        if (state_.service) config::saveSettings(platform_.registry, s);
      });
      window_.runModal(dialog);
      power_.updateBacklight();  // the option may have changed
      break;
    }
    case kCmdAbout: {
      AboutDialog dialog;
      window_.runModal(dialog);
      break;
    }
    case kCmdClose:
      closeSequence();
      break;
    default:
      break;
  }
  return 0;
}

void MainWindow::log(const char* utf8) {
  if (state_.service) state_.service->logChannel().writeUtf8(utf8);
}

void MainWindow::appendLogText() {
  if (!state_.service) return;
  pending_.clear();
  state_.service->logChannel().takePending(pending_);
  state_.lastWrittenRow = -1;
  releaseSelectionNearEnd();

  if (pending_.empty()) {
    if (refreshProgressRow()) scrollToEnd();
    return;
  }
  // The list is emptied rather than trimmed, so the operator never sees rows vanish one by one.
  if (list_.rowCount() > kMaxListRows) {
    state_.progressRow = -1;
    list_.deleteAllRows();
  }
  std::string_view text(pending_);
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    const std::string_view piece = text.substr(0, end);
    if (!piece.empty()) writeLogRow(piece, RowKind::Log);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  refreshProgressRow();
  scrollToEnd();
  list_.repaint();
}

void MainWindow::writeLogRow(std::string_view text, RowKind kind) {
  if (state_.progressRow == -1) {
    state_.lastWrittenRow = list_.insertRow(list_.rowCount(), text, kind);
    return;
  }
  // The first line after a progress row takes its place; the refresh that follows puts a fresh
  // progress row at the end, so a progress row is always the last row.
  list_.setRowText(state_.progressRow, text, kind);
  state_.lastWrittenRow = state_.progressRow;
  state_.progressRow = -1;
}

// A selection on row 0 is not seen: the search starts after it.
void MainWindow::releaseSelectionNearEnd() {
  const int selected = list_.nextSelectedRow(0);
  if (selected != -1 && selected >= list_.rowCount() - 2) list_.clearSelection(selected);
}

void MainWindow::scrollToEnd() {
  const int count = list_.rowCount();
  const int selected = list_.nextSelectedRow(0);
  if (selected != -1) {
    // An operator who selected an earlier line holds the view there.
    if (selected < count - 2) return;
    list_.clearSelection(selected);
  }
  if (count > 0) list_.ensureVisible(count - 1);
}

bool MainWindow::refreshProgressRow() {
  if (meter_.trackedConnection.load() == 0) {
    if (state_.progressRow != -1) {
      const int row = state_.progressRow;
      state_.progressRow = -1;
      list_.deleteRow(row);
    }
    return false;
  }
  // Wrapping difference of the 32-bit ticks: a tick wrap still gives the true interval.
  const auto lastIo = static_cast<uint32_t>(meter_.lastIoTick.load());
  const auto sample = static_cast<uint32_t>(meter_.sampleTick.load());
  const auto elapsed = static_cast<int32_t>(lastIo - sample);
  if (elapsed == 0) return false;  // nothing moved since the last sample
  if (elapsed >= kSampleIntervalMs) {
    // exchange: bytes counted while the sample is taken go into the next one.
    meter_.speedKBps = sampleSpeedKBps(meter_.bytesSinceSample.exchange(0), elapsed);
    meter_.sampleTick = static_cast<int32_t>(lastIo);
  }
  const auto total = static_cast<uint64_t>(meter_.totalBytes.load());
  writeLogRow(formatProgressLine(total, meter_.speedKBps.load()), RowKind::Progress);
  state_.progressRow = state_.lastWrittenRow;
  return true;
}

void MainWindow::closeSequence() {
  // Each line is shown before the next slow step.
  if (state_.service) {
    try {
      state_.service->stopService();
    } catch (...) {
      log("停止服务时出现未知错误");
    }
  }
  appendLogText();
  power_.updateBacklight();
  window_.repaintWindow();

  const bool wifiWasSwitchedOn = state_.wifiSwitchedOn;
  power_.switchWifiOff();
  appendLogText();
  window_.repaintWindow();

  if (state_.service) {
    log("正在退出...");
    appendLogText();
    destroyService();
  }
  power_.updateBacklight();
  window_.repaintWindow();

  state_.timerRunning = false;
  platform_.clock.sleep(wifiWasSwitchedOn ? kCloseWaitAfterWifiMs : kCloseWaitMs);
  state_.quitPosted = true;
  state_.exitCode = 0;
}

void MainWindow::destroyService() {
  if (state_.service->abandonedThreads()) state_.threadsAbandoned = true;
  std::weak_ptr<core::ServiceController> left = state_.service;
  state_.service.reset();
  // A thread that has just ended may still be letting go of the controller.
  for (uint32_t waited = 0; !left.expired() && waited < kReleaseWaitMs; waited += kReleasePollMs) {
    platform_.clock.sleep(kReleasePollMs);
  }
  if (!left.expired()) state_.threadsAbandoned = true;
}

int MainWindow::finish() {
  if (state_.service) {
    power_.restoreBacklightAtExit();
    appendLogText();  // its line is shown before the service goes
    try {
      state_.service->stopService();
    } catch (...) {
      // The program is ending; the service's threads are ended or given up on either way.
    }
    destroyService();
  }
  return state_.exitCode;
}

}  // namespace drovn::shell
