#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/program.h"
#include "platform/paths.h"
#include "platform/settings_store.h"

namespace sentrel {

struct CommandLine;
class EventLoop;

// What the window and the headless program set up alike before the program object
// exists: the data directory and its lock, the loop as the program's current loop with
// the errors log as its error handler, and the settings store. Undone in reverse when it
// goes away.
class RunSetup {
 public:
  RunSetup() = default;
  ~RunSetup();
  RunSetup(const RunSetup&) = delete;
  RunSetup& operator=(const RunSetup&) = delete;

  // Returns 0 when the program may start, else the exit code (the reason is printed on
  // standard error).
  int Prepare(const CommandLine& commandLine, EventLoop& loop);
  SettingsStore& Settings() { return *settings_; }
  // The settings came from the file of an earlier version: a line that says so, for the
  // program to show once it has started; empty otherwise.
  std::string SettingsMovedNote() const;

 private:
  std::string adoptFailure_;
  DataDirLock lock_;
  std::unique_ptr<SettingsStore> settings_;
  bool installed_ = false;
};

// Start-up options from the command line; the window follows the settings for the web
// server and scanning, the headless program the command line.
StartOptions StartOptionsFor(const CommandLine& commandLine, bool headless);

// SIGINT and SIGTERM call stop from the loop (never from the signal handler itself);
// SIGHUP calls reload, when one is given.
void InstallStopSignals(EventLoop& loop, std::function<void()> stop,
                        std::function<void()> reload = {});

// "sentrel: <message>" on standard error; returns code.
int FailWith(const std::string& message, int code);

}  // namespace sentrel
