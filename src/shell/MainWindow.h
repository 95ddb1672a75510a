// The main window's logic: moving the pending log text into the list, the progress row, the
// menu commands and the close sequence. It runs on the main thread only and draws through a
// ShellWindow, so the headless window and the terminal console share it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "platform/MessageQueue.h"
#include "platform/Platform.h"
#include "protocol/TransferMeter.h"
#include "shell/LogListView.h"
#include "shell/PowerControl.h"

namespace drovn::shell {

// Menu commands (the id of a Command event).
inline constexpr intptr_t kCmdStart = 32777;
inline constexpr intptr_t kCmdStop = 32778;
inline constexpr intptr_t kCmdOptions = 32783;
inline constexpr intptr_t kCmdAbout = 40002;
inline constexpr intptr_t kCmdClose = 32791;

// Timer 1 ticks from the window's creation until Close. It has no work on Linux: logind keeps no
// idle timer a program could restart, and the awake hold is what keeps the machine from idling.
inline constexpr intptr_t kIdleTimerId = 1;
inline constexpr uint32_t kIdleTimerPeriodMs = 2000;

// More rows than this and the list is emptied before the next lines are added.
inline constexpr int kMaxListRows = 200;
// How long the last lines stay readable at Close; longer when the adapter has to power down.
inline constexpr uint32_t kCloseWaitMs = 2000;
inline constexpr uint32_t kCloseWaitAfterWifiMs = 5000;

struct ShellState {
  std::shared_ptr<core::ServiceController> service;  // null after Close
  int32_t progressRow = -1;                          // the progress row, -1 when none
  int32_t lastWrittenRow = -1;                       // the row writeLogRow wrote last
  bool wifiSwitchedOn = false;
  bool timerRunning = true;  // timer 1 runs from the window's creation until Close
  bool quitPosted = false;
  int exitCode = 0;
  // Some thread of a destroyed controller was given up on and may still use what main owns.
  bool threadsAbandoned = false;
};

class MainWindow {
 public:
  MainWindow(platform::Platform& platform, config::SettingsStore& settings,
             protocol::TransferMeter& meter, ShellWindow& window, PowerDevices power);

  ShellState& state() noexcept { return state_; }
  const ShellState& state() const noexcept { return state_; }
  void setService(std::shared_ptr<core::ServiceController> service);

  // One message taken from the window's queue; gives the answer for a sent message.
  intptr_t handleMessage(const platform::Message& m);

  void appendLogText();
  void writeLogRow(std::string_view text, RowKind kind);
  void releaseSelectionNearEnd();
  void scrollToEnd();
  // True when it wrote the progress row.
  bool refreshProgressRow();
  void closeSequence();
  // After the message loop: a service still present (the loop ended without Close) is stopped
  // and destroyed. Gives the exit code.
  int finish();

 private:
  intptr_t handleCommand(intptr_t id);
  void log(const char* utf8);
  void destroyService();

  platform::Platform& platform_;
  config::SettingsStore& settings_;
  protocol::TransferMeter& meter_;
  ShellWindow& window_;
  LogListView& list_;
  ShellState state_;
  PowerControl power_;   // refers to state_
  std::string pending_;  // reused between batches
};

}  // namespace drovn::shell
