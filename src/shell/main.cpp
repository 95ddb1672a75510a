// The program entry: reads the command line, builds the platform, claims the single instance,
// creates the service and the main window, starts the service and runs the message loop.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/Settings.h"
#include "core/ServiceController.h"
#include "platform/AwakeHold.h"
#include "platform/Clock.h"
#include "platform/LinuxFileSystem.h"
#include "platform/LinuxRegistry.h"
#include "platform/MessageQueue.h"
#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/SingleInstance.h"
#include "platform/Terminal.h"
#include "platform/TextCodec.h"
#include "platform/WirelessSwitch.h"
#include "protocol/Dispatcher.h"
#include "protocol/TransferMeter.h"
#include "shell/CommandLine.h"
#include "shell/ConsoleWindow.h"
#include "shell/HeadlessWindow.h"
#include "shell/MainWindow.h"
#include "shell/MessageLoop.h"

namespace {

using namespace drovn;

int usageError(const std::string& message) {
  std::cerr << "drovn: " << message << "\nTry 'drovn --help' for more information.\n";
  return shell::kUsageExit;
}

int run(const shell::CommandLine& line, const std::vector<shell::PreparedOverlay>& overlays,
        platform::TextCodec& codec) {
  const std::string registryPath =
      line.registryPath.empty() ? platform::defaultRegistryPath() : line.registryPath;

  platform::LinuxClock clock;
  platform::LinuxNetwork network;
  platform::LinuxRegistry registry(registryPath, codec);
  platform::MessageQueue queue;
  platform::LinuxFileSystem files(line.storeDir);
  platform::Platform platform{clock, network, codec, registry, queue, files};

  // A second start only brings the first forward.
  const auto instance = platform::SingleInstance::claim(registryPath, queue);
  if (!instance) return 0;
  // Before the terminal is opened: ncurses then leaves SIGINT and SIGTERM to these handlers, so
  // a signal is a Close like the soft key's, and the terminal is given back on the way out.
  platform::installCloseSignals(queue);

  // The console needs a terminal on both ends; a run whose input or output is a pipe or a file
  // prints the log as the headless window does. Opened before any thread of the service runs,
  // since it sets the process's locale.
  std::unique_ptr<platform::Terminal> terminal;
  if (!line.headless && platform::standardStreamsAreTerminal()) {
    std::string why;
    terminal = platform::Terminal::open(why);
    if (!terminal) std::cerr << "drovn: no console (" << why << "); printing the log instead\n";
  }
  std::optional<shell::ConsoleWindow> console;
  std::optional<shell::HeadlessWindow> headless;
  if (terminal) {
    console.emplace(*terminal, queue, clock);
  } else {
    headless.emplace(std::cout);
  }
  shell::ShellWindow& front = console ? static_cast<shell::ShellWindow&>(*console)
                                      : static_cast<shell::ShellWindow&>(*headless);

  config::SettingsStore settings;
  protocol::TransferMeter meter;
  platform::LogindAwakeHold awake;
  platform::RfkillWirelessSwitch wireless;
  shell::MainWindow window(platform, settings, meter, front, {awake, wireless});
  shell::MessageLoop loop(window, queue, clock, console ? &*console : nullptr);
  if (console) {
    console->attachLoop(loop);
    console->repaintWindow();
  }

  auto service =
      core::ServiceController::create(platform, settings, meter, protocol::dispatchCommand);
  if (service) {
    // Loaded from the registry by the construction; the command line wins for this run.
    config::Settings s = settings.snapshot();
    shell::applyOverlays(overlays, s);
    settings.replace(s);
    // Without a console nobody would see the service refuse to start: say why and stop here.
    // The console shows the refusal in its log instead.
    std::string why;
    if (!console && !shell::checkStartSettings(s, codec, why)) {
      std::cerr << "drovn: " << why << '\n';
      return shell::kUsageExit;
    }
    service->setCertificateFolder(shell::certificateFolder(registryPath));
    if (!console && !service->prepareTls(why)) {
      std::cerr << "drovn: TLS: " << why << '\n';
      return shell::kUsageExit;
    }
  }
  window.setService(service);
  service.reset();  // the window owns it from here on
  if (auto& owned = window.state().service) owned->startServiceAtLaunch();
  window.appendLogText();

  loop.run();
  const int code = window.finish();

  if (window.state().threadsAbandoned) {
    // A thread that was given up on may still use what this function owns: leave without
    // running any destructor, but with the terminal given back to the shell.
    if (terminal) terminal->restore();
    std::cout.flush();
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  shell::CommandLine line;
  std::string error;
  if (!shell::parseCommandLine(args, line, error)) return usageError(error);
  if (line.action == shell::CommandLine::Action::Help) {
    std::cout << shell::usageText();
    return 0;
  }
  if (line.action == shell::CommandLine::Action::Version) {
    std::cout << shell::versionText();
    return 0;
  }
  if (!shell::validateStoreDir(line.storeDir, error)) {
    std::cerr << "drovn: " << error << '\n';
    return shell::kUsageExit;
  }
  try {
    platform::LinuxTextCodec codec;
    std::vector<shell::PreparedOverlay> overlays;
    if (!shell::prepareOverlays(line.overlays, codec, overlays, error)) return usageError(error);
    return run(line, overlays, codec);
  } catch (const std::exception& e) {
    std::cerr << "drovn: " << e.what() << '\n';
  } catch (...) {
    std::cerr << "drovn: unexpected failure\n";
  }
  // Threads of the service may still run: leave without destructors.
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(1);
}
