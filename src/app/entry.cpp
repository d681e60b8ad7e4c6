#include "app/entry.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "app/command_line.h"
#include "app/errors_log.h"
#include "app/headless_frontend.h"
#include "app/log_commands.h"
#include "app/program.h"
#include "platform/descriptor_budget.h"
#include "platform/settings_store.h"
#include "platform/event_loop.h"
#include "platform/file_util.h"
#include "platform/paths.h"

namespace sentrel {

namespace {

int signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  // Only a flag for the loop: the stop happens when the outermost loop regains control.
  int saved = errno;
  char c = 1;
  [[maybe_unused]] ssize_t n = write(signalPipe[1], &c, 1);
  errno = saved;
}

// SIGINT and SIGTERM end the program as closing the window does: the pass in progress
// stops at its next check boundary, then the program saves and exits.
void InstallStopSignals(EventLoop& loop, std::function<void()> stop) {
  if (signalPipe[0] < 0 && pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) < 0) return;
  struct sigaction sa{};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  loop.Watch(signalPipe[0], EPOLLIN, [stop = std::move(stop)](uint32_t) {
    char buf[64];
    while (read(signalPipe[0], buf, sizeof buf) > 0) {
    }
    stop();
  });
}

int Fail(const std::string& message, int code) {
  std::fprintf(stderr, "sentrel: %s\n", message.c_str());
  return code;
}

// Sets up the data directory; false (with a message) when it cannot be used.
bool PrepareDataDir(const CommandLine& cl, std::string& error) {
  std::string dir = ResolveDataDir(cl.dataDir);
  try {
    MakeDirectories(dir);
  } catch (const std::exception& e) {
    error = "cannot use the data directory " + dir + ": " + e.what();
    return false;
  }
  SetDataDir(dir);
  return true;
}

int RunMonitor(const CommandLine& cl) {
  std::string error;
  if (!PrepareDataDir(cl, error)) return Fail(error, 1);
  // Without a window a service must not quietly watch another configuration.
  if (cl.mode == CommandLine::Mode::Headless && !cl.serverFile.empty() &&
      !FileExists(cl.serverFile))
    return Fail("server file not found: " + cl.serverFile, 2);

  DataDirLock lock;
  try {
    if (!lock.Acquire(DataDir()))
      return Fail("another Sentrel is already running on the data directory " + DataDir(), 1);
  } catch (const std::exception& e) {
    return Fail(e.what(), 1);
  }

  EventLoop loop;
  SetCurrentLoop(&loop);
  loop.SetErrorHandler(HandleRunTimeError);

  SettingsStore settings(cl.settingsPath.empty() ? DefaultSettingsPath() : cl.settingsPath);
  settings.Load();
  SetCurrentSettings(&settings);

  HeadlessFrontend frontend;
  Program program(frontend, settings);
  frontend.Mirror(program.activityPane);
  frontend.Mirror(program.messagePane);
  // Before Create: its first pass already serves the loop, and a stop must reach it.
  InstallStopSignals(loop, [&program] { program.RequestQuit(); });

  StartOptions options;
  options.commandLineFile = cl.serverFile;
  options.webPorts = cl.webPorts;
  options.headless = true;
  options.startWeb = !cl.noWeb;
  options.startScan = true;
  try {
    program.Create(options);
  } catch (const std::exception& e) {
    HandleRunTimeError(e.what());
    SetCurrentLoop(nullptr);
    return Fail(e.what(), 1);
  }

  // A stop that came during start-up's first pass has already been asked for.
  if (!program.QuitRequested()) loop.Run();

  int code = 0;
  try {
    program.Close();
  } catch (const std::exception& e) {
    HandleRunTimeError(e.what());
    std::fprintf(stderr, "sentrel: %s\n", e.what());
    code = 1;
  }
  SetCurrentSettings(nullptr);
  SetCurrentLoop(nullptr);
  return code;
}

}  // namespace

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

int RunSentrel(const std::vector<std::string>& args, DesktopRunner desktop) {
  std::string error;
  auto cl = ParseCommandLine(args, error);
  if (!cl) {
    std::fprintf(stderr, "sentrel: %s\nTry 'sentrel --help'.\n", error.c_str());
    return 2;
  }
  // A monitor of thousands of servers holds thousands of connections at once.
  if (cl->mode == CommandLine::Mode::Window || cl->mode == CommandLine::Mode::Headless)
    RaiseOpenFileLimit();
  switch (cl->mode) {
    case CommandLine::Mode::Help:
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    case CommandLine::Mode::Version:
      std::puts("Sentrel 2.2");
      return 0;
    case CommandLine::Mode::Window:
      if (desktop && DisplayAvailable()) return desktop(*cl);
      if (desktop)
        std::fputs("sentrel: no display (DISPLAY and WAYLAND_DISPLAY are unset); running headless\n",
                   stderr);
      return RunMonitor(*cl);
    case CommandLine::Mode::Headless:
      return RunMonitor(*cl);
    case CommandLine::Mode::DumpLogs:
    case CommandLine::Mode::RequestTimes:
    case CommandLine::Mode::Log:
      return RunLogReaderCommand(*cl);
    default:
      return Fail("this command is not available in this build", 2);
  }
}

}  // namespace sentrel
