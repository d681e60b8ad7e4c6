#include "app/run_setup.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/command_line.h"
#include "app/errors_log.h"
#include "platform/descriptor_budget.h"
#include "platform/event_loop.h"
#include "platform/file_util.h"

namespace sentrel {

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  // Only a byte for the loop, the signal's number: the stop or the reload happens when
  // the loop next dispatches.
  int saved = errno;
  char c = static_cast<char>(sig);
  [[maybe_unused]] ssize_t n = write(signalPipe[1], &c, 1);
  errno = saved;
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

}  // namespace

int FailWith(const std::string& message, int code) {
  std::fprintf(stderr, "sentrel: %s\n", message.c_str());
  return code;
}

void InstallStopSignals(EventLoop& loop, std::function<void()> stop,
                        std::function<void()> reload) {
  if (signalPipe[0] < 0 && pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) < 0) return;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  if (reload) sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  loop.Watch(signalPipe[0], EPOLLIN,
             [stop = std::move(stop), reload = std::move(reload)](uint32_t) {
               char buf[64];
               bool stopping = false, reloading = false;
               for (ssize_t n; (n = read(signalPipe[0], buf, sizeof buf)) > 0;)
                 for (ssize_t i = 0; i < n; ++i) (buf[i] == SIGHUP ? reloading : stopping) = true;
               // A stop wins: a program that is closing reads nothing again.
               if (stopping)
                 stop();
               else if (reloading && reload)
                 reload();
             });
}

int RunSetup::Prepare(const CommandLine& cl, EventLoop& loop) {
  // A monitor of thousands of servers holds thousands of connections at once.
  RaiseOpenFileLimit();
  // Large blocks (a status page, the metrics of thousands of monitors) come from their
  // own mappings and go back to the system when freed. Left to itself, the allocator
  // raises this bound after the first such block is freed, and later ones then stay in
  // the heap, keeping the memory of readers long gone.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  std::string error;
  if (!PrepareDataDir(cl, error)) return FailWith(error, 1);
  // Without a window a service must not quietly watch another configuration.
  if (cl.mode == CommandLine::Mode::Headless && !cl.serverFile.empty() &&
      !FileExists(cl.serverFile))
    return FailWith("server file not found: " + cl.serverFile, 2);
  try {
    if (!lock_.Acquire(DataDir()))
      return FailWith("another Sentrel is already running on the data directory " + DataDir(), 1);
  } catch (const std::exception& e) {
    return FailWith(e.what(), 1);
  }

  SetCurrentLoop(&loop);
  loop.SetErrorHandler(HandleRunTimeError);
  settings_ = std::make_unique<SettingsStore>(cl.settingsPath.empty() ? DefaultSettingsPath()
                                                                      : cl.settingsPath);
  if (cl.settingsPath.empty()) {
    // Settings of an earlier version move to the new place at once, so the old file is
    // read this one time; the program says so when it has started.
    settings_->LoadOrAdopt(OldSettingsPath());
    if (!settings_->AdoptedFrom().empty()) {
      try {
        settings_->Save();
      } catch (const std::exception& e) {
        adoptFailure_ = e.what();
      }
    }
  } else {
    settings_->Load();
  }
  SetCurrentSettings(settings_.get());
  installed_ = true;
  return 0;
}

std::string RunSetup::SettingsMovedNote() const {
  if (!settings_ || settings_->AdoptedFrom().empty()) return {};
  std::string note = "Settings read from " + settings_->AdoptedFrom() +
                     ", where earlier versions kept them; they are kept in " +
                     settings_->Path() + " from now on";
  if (!adoptFailure_.empty())
    note += ", once that can be written (" + adoptFailure_ + ")";
  return note;
}

RunSetup::~RunSetup() {
  if (!installed_) return;
  SetCurrentSettings(nullptr);
  SetCurrentLoop(nullptr);
}

StartOptions StartOptionsFor(const CommandLine& cl, bool headless) {
  StartOptions options;
  options.commandLineFile = cl.serverFile;
  options.webPorts = cl.webPorts;
  options.webBind = cl.webBind;
  options.shard = cl.shard;
  options.headless = headless;
  options.startWeb = headless && !cl.noWeb;
  options.startScan = headless;
  return options;
}

}  // namespace sentrel
