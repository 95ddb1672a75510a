// What the shell tests share: a terminal screen in memory, and the program's windows wired to it
// as main() wires them, with real network, codec and registry file, a fake clock and fake power.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "core/ServiceController.h"
#include "platform/LinuxFileSystem.h"
#include "platform/Utf8.h"
#include "protocol/Dispatcher.h"
#include "shell/ConsoleWindow.h"
#include "support/FakeClock.h"
#include "support/FakePower.h"
#include "support/MemoryRegistry.h"

namespace drovn::test {

using Kind = platform::KeyEvent::Kind;
using Key = platform::KeyEvent;  // {kind}, {Kind::Character, ch}, {Kind::Click, 0, row, column}
using Lines = std::vector<std::string>;

// Cells with widths by the terminal's rule, written out here rather than taken from the code
// under test: CJK, fullwidth forms and characters outside the basic plane take two, control
// characters none, the rest one. A character that does not fit whole is left out, and a draw
// outside the screen fails the test.
class Screen final : public platform::ConsoleScreen {
 public:
  Screen(int rows, int columns)
      : rows_(rows), columns_(columns), cells_(static_cast<std::size_t>(rows * columns), " ") {}
  ~Screen() override { EXPECT_EQ(offScreen, "") << "drawn outside the screen"; }

  int rows() const override { return rows_; }
  int columns() const override { return columns_; }
  void clear() override { cells_.assign(cells_.size(), " "); }
  int drawText(int row, int column, std::string_view text, platform::CellStyle,
               int maxColumns = -1) override {
    if (outside(row, column, 1)) return 0;
    const int limit = maxColumns >= 0 ? std::min(maxColumns, columns_ - column) : columns_ - column;
    int used = 0;
    for (std::size_t i = 0, start = 0; i < text.size(); start = i) {
      const char32_t c = platform::decodeUtf8(text, i);
      const bool wide = c >= 0x10000 || (c >= 0x2E80 && c <= 0xA4CF) ||
                        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                        (c >= 0xFF00 && c <= 0xFF60);
      const int w = c < 0x20 || (c >= 0x7F && c < 0xA0) ? 0 : wide ? 2 : 1;
      if (used + w > limit) break;
      if (w > 0) at(row, column + used) = text.substr(start, i - start);
      if (w == 2) at(row, column + used + 1) = "";  // the right half
      used += w;
    }
    return used;
  }
  void fill(int row, int column, int width, platform::CellStyle) override {
    if (!outside(row, column, width)) std::fill_n(&at(row, column), width, " ");
  }
  void placeCursor(int, int) override {}
  int inputFd() const override { return -1; }
  bool readKey(Key&) override { return false; }
  void present() override {}
  void invalidate() override {}
  // A row's first `width` cells (all when negative) as UTF-8 without the trailing blanks.
  std::string row(int r, int width = -1) const {
    std::string out;
    for (int c = 0; c < (width < 0 ? columns_ : width); ++c) out += at(r, c);
    return out.erase(out.find_last_not_of(' ') + 1);
  }
  Lines lines() const {
    Lines all;
    for (int r = 0; r < rows_; ++r) all.push_back(row(r));
    return all;
  }

  std::string offScreen;  // "row,column;" of each draw outside

 private:
  std::string& at(int r, int c) { return cells_[static_cast<std::size_t>(r * columns_ + c)]; }
  const std::string& at(int r, int c) const {
    return cells_[static_cast<std::size_t>(r * columns_ + c)];
  }
  bool outside(int row, int column, int width) {
    if (row >= 0 && row < rows_ && column >= 0 && column + width <= columns_) return false;
    offScreen += std::to_string(row) + "," + std::to_string(column) + ";";
    return true;
  }
  int rows_;
  int columns_;
  std::vector<std::string> cells_;  // empty: the right half of a wide character
};

// The console window and the main window; without a loop, a dialog the window opens ends at once.
struct Console {
  explicit Console(int rows = 24, int columns = 80) : screen(rows, columns) {}
  ~Console() { window.finish(); }
  // Listening on 127.0.0.1 at a port the system picks; set after the creation loaded the file.
  void createService(bool manualBinding = true) {
    window.setService(
        core::ServiceController::create(platform, settings, meter, protocol::dispatchCommand));
    ASSERT_NE(window.state().service, nullptr);
    config::Settings s = settings.snapshot();
    s.use_manualip = manualBinding;
    s.bind_manualip.assign("127.0.0.1");
    s.bind_manualport.assign("0");
    settings.replace(s);
  }
  intptr_t command(intptr_t id) { return window.handleMessage(platform::events::Command{id}); }
  // Runs the main thread's side of the queue until done(), for at most 20 s.
  bool pumpUntil(const std::function<bool()>& done) {
    platform::MessageQueue::Taken t;
    for (int n = 0; n < 400 && !done(); ++n) {
      if (queue.take(t, 50)) platform::MessageQueue::answer(t, window.handleMessage(t.message));
    }
    return done();
  }

  FakeClock clock{100};
  platform::LinuxNetwork network;
  platform::LinuxTextCodec codec;
  MemoryRegistry registry;
  platform::MessageQueue queue;
  platform::LinuxFileSystem files{"."};  // no client comes to the store
  platform::Platform platform{clock, network, codec, registry, queue, files};
  Screen screen;
  shell::ConsoleWindow console{screen, queue, clock};
  config::SettingsStore settings;
  protocol::TransferMeter meter;
  FakePower power;
  shell::MainWindow window{platform, settings, meter, console, power.devices()};
};

}  // namespace drovn::test
