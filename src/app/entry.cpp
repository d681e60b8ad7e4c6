#include "app/entry.h"

#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/errors_log.h"
#include "app/headless_frontend.h"
#include "app/log_commands.h"
#include "app/program.h"
#include "app/run_setup.h"
#include "platform/event_loop.h"

namespace sentrel {

namespace {

int RunMonitor(const CommandLine& cl) {
  EventLoop loop;
  RunSetup setup;
  if (int code = setup.Prepare(cl, loop)) return code;

  HeadlessFrontend frontend;
  Program program(frontend, setup.Settings());
  frontend.Mirror(program.activityPane);
  frontend.Mirror(program.messagePane);
  // Before Create: its first pass already serves the loop, and a stop must reach it.
  InstallStopSignals(loop, [&program] { program.RequestQuit(); });

  try {
    program.Create(StartOptionsFor(cl, true));
  } catch (const std::exception& e) {
    HandleRunTimeError(e.what());
    return FailWith(e.what(), 1);
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
  switch (cl->mode) {
    case CommandLine::Mode::Help:
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    case CommandLine::Mode::Version:
      std::puts("Sentrel 2.2");
      return 0;
    case CommandLine::Mode::Window: {
      if (desktop && DisplayAvailable()) return desktop(*cl);
      // Without a window this is the headless program, with all its rules (a server
      // file that is not there is an error; the file is never written).
      std::fputs(desktop ? "sentrel: no display (DISPLAY and WAYLAND_DISPLAY are unset); "
                           "running headless\n"
                         : "sentrel: this build has no window; running headless\n",
                 stderr);
      CommandLine headless = *cl;
      headless.mode = CommandLine::Mode::Headless;
      return RunMonitor(headless);
    }
    case CommandLine::Mode::Headless:
      return RunMonitor(*cl);
    case CommandLine::Mode::DumpLogs:
    case CommandLine::Mode::RequestTimes:
    case CommandLine::Mode::Log:
      return RunLogReaderCommand(*cl);
    default:
      return FailWith("this command is not available in this build", 2);
  }
}

}  // namespace sentrel
