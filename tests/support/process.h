#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sentrel::test {

// A child process of the test with its standard output and error collected into files.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& workDir,
               const std::vector<std::string>& extraEnv = {});
  ~ChildProcess();
  pid_t Pid() const { return pid_; }
  void Signal(int sig);
  // Waits up to timeoutMs of real time; returns the exit code, or -1 on timeout or a
  // death by signal (then Killed() is true).
  int Wait(int timeoutMs);
  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until standard output contains the text.
  bool WaitForOutput(const std::string& text, int timeoutMs) const;

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  std::string outPath_, errPath_;
};

// Runs a command to its end and returns its exit code; output collected.
int RunProcess(const std::vector<std::string>& argv, const std::string& workDir,
               std::string* out = nullptr, std::string* err = nullptr, int timeoutMs = 30000);

}  // namespace sentrel::test
