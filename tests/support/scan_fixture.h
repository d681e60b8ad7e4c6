#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/program.h"
#include "model/frontend.h"
#include "platform/clock.h"
#include "platform/settings_store.h"
#include "scan/scanner.h"
#include "support/test_env.h"

namespace sentrel::test {

// A front end that remembers what it was asked to show.
struct RecordingFrontend : Frontend {
  int screenUpdates = 0;
  std::vector<std::string> panel0;  // every activity text shown
  std::vector<std::string> popups;
  std::vector<double> popupTimes;  // when each popup came (the test clock's date-time)
  std::vector<std::string> notices;
  void ScreenUpdate() override { ++screenUpdates; }
  void StatusPanelChanged(int panel, const std::string& text) override {
    if (panel == 0) panel0.push_back(text);
  }
  void ShowPopupMessage(const std::string& m) override {
    popups.push_back(m);
    popupTimes.push_back(Now());
  }
  void ShowNotice(const std::string& t) override { notices.push_back(t); }
  bool AskYesNo(const std::string&) override { return true; }
};

// The program with its RunEvent calls recorded as "name|message|server|status|n".
class RecordingProgram : public Program {
 public:
  using Program::Program;
  void RunEvent(const std::string& name, const std::string& message, const std::string& server,
                const std::string& status, int32_t n, uint64_t monitor) override {
    events.push_back(name + "|" + message + "|" + server + "|" + status + "|" + std::to_string(n));
    Program::RunEvent(name, message, server, status, n, monitor);
  }
  std::vector<std::string> events;
};

// Checks whose outcomes a test scripts: each call runs the next function queued for
// that monitor (or the default), which usually hands a verdict to the scanner.
class ScriptedChecks : public Checks {
 public:
  using Step = std::function<void(Monitor&)>;
  void Queue(Monitor* monitor, Step step) { steps_[monitor].push_back(std::move(step)); }
  Task<void> DoAping(Monitor& m) override {
    Run("ping", m);
    co_return;
  }
  Task<void> DoAHTTP(Monitor& m) override {
    Run("http", m);
    co_return;
  }
  Task<void> DoAPort(Monitor& m) override {
    Run("port", m);
    co_return;
  }
  std::vector<std::string> calls;  // "kind server:monitor"
  Step fallback;

 private:
  void Run(const char* kind, Monitor& m) {
    calls.push_back(std::string(kind) + " " + m.server->name + ":" + m.name);
    auto it = steps_.find(&m);
    if (it != steps_.end() && !it->second.empty()) {
      Step s = std::move(it->second.front());
      it->second.pop_front();
      s(m);
    } else if (fallback) {
      fallback(m);
    }
  }
  std::map<Monitor*, std::deque<Step>> steps_;
};

class ScanFixture : public CoreFixture {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A server with a log file named after it, in group "Main".
  Server* AddServer(const std::string& name);
  Monitor* AddMonitor(Server* server, const std::string& typ, int port = 80);
  std::string Log(const std::string& server) { return ReadFile(dir_->File(server + ".log")); }
  Scanner& scan() { return program_->scanner; }
  // Serves the loop until the pass and every check it started have ended.
  bool WaitForChecks(int64_t ms) {
    return loop_->WaitUntil([&] { return !scan().PassRunning() && scan().ChecksRunning() == 0; },
                            ms);
  }
  // Checks in the file's order, each ping and port check waited for (ParallelChecks=0).
  void InOrder() { scan().SetParallel(false); }

  RecordingFrontend frontend_;
  SettingsStore settings_;
  std::unique_ptr<RecordingProgram> program_;
  ScriptedChecks checks_;
};

}  // namespace sentrel::test
