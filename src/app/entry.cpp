#include "app/entry.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/check_command.h"
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
  InstallStopSignals(
      loop, [&program] { program.RequestQuit(); },
      [&program] {
        if (!program.QuitRequested()) program.Reload();
      });

  try {
    StartOptions options = StartOptionsFor(cl, true);
    options.settingsNote = setup.SettingsMovedNote();
    program.Create(options);
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

namespace {

// Whether a local stream socket accepts a connection; abstract names start with '@'.
bool SocketAnswers(const std::string& path, std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    error = "name too long";
    return false;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (path[0] == '@') addr.sun_path[0] = '\0';
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
  if (!ok) error = std::strerror(errno);
  close(fd);
  return ok;
}

}  // namespace

std::string DisplayProblem() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const std::string display = x ? x : "";
  const std::string waylandName = wayland ? wayland : "";
  if (display.empty() && waylandName.empty())
    return "no display (DISPLAY and WAYLAND_DISPLAY are unset)";
  // A platform chosen by hand (offscreen, vnc, ...) needs no display server.
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const std::string qpa = platform ? platform : "";
  if (!qpa.empty() && qpa.rfind("xcb", 0) != 0 && qpa.rfind("wayland", 0) != 0) return "";

  // A display that is named but not there (a stale DISPLAY in an ssh or su session)
  // would end the program inside the toolkit; it runs headless instead.
  std::string error;
  if (!waylandName.empty()) {
    std::string path = waylandName;
    if (path[0] != '/') {
      const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      path = std::string(runtime ? runtime : "") + "/" + waylandName;
    }
    if (SocketAnswers(path, error)) return "";
  }
  if (!display.empty()) {
    const size_t colon = display.rfind(':');
    const std::string host = colon == std::string::npos ? display : display.substr(0, colon);
    // A display on another host (or forwarded over TCP) is the toolkit's to reach.
    if (colon == std::string::npos || (!host.empty() && host != "unix")) return "";
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    const std::string socketPath = "/tmp/.X11-unix/X" + number;
    if (SocketAnswers("@" + socketPath, error) || SocketAnswers(socketPath, error)) return "";
    return "the display " + display + " cannot be reached (" + error + ")";
  }
  return "the Wayland display " + waylandName + " cannot be reached (" + error + ")";
}

bool DisplayAvailable() { return DisplayProblem().empty(); }

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
      const std::string problem = desktop ? DisplayProblem() : "this build has no window";
      if (problem.empty()) return desktop(*cl);
      // Without a window this is the headless program, with all its rules (a server
      // file that is not there is an error; the file is never written).
      std::fprintf(stderr, "sentrel: %s; running headless\n", problem.c_str());
      CommandLine headless = *cl;
      headless.mode = CommandLine::Mode::Headless;
      return RunMonitor(headless);
    }
    case CommandLine::Mode::Headless:
      return RunMonitor(*cl);
    case CommandLine::Mode::DumpLogs:
    case CommandLine::Mode::RequestTimes:
    case CommandLine::Mode::Log:
    case CommandLine::Mode::Availability:
      return RunLogReaderCommand(*cl);
    case CommandLine::Mode::Check:
      return RunCheckCommand(*cl);
    default:
      return FailWith("this command is not available in this build", 2);
  }
}

}  // namespace sentrel
