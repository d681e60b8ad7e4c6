#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sentrel::test {

// The real program binary started by a test, with its output going to a file. It is
// stopped (SIGTERM, then SIGKILL after a grace period) and reaped when this goes away.
class ProgramProcess {
 public:
  ProgramProcess(const std::string& binary, const std::vector<std::string>& args,
                 const std::string& outputPath);
  ~ProgramProcess();
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  // Whether the process is still running.
  bool Running();
  // SIGTERM, wait up to graceMs, then SIGKILL. Returns the exit status as waitpid gives it.
  int Stop(int graceMs = 5000);

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// Waits (real time) until something accepts connections on 127.0.0.1:port.
bool WaitForListener(int port, int timeoutMs);

// Runs a command line without a shell, its output to outputPath, and waits at most
// timeoutMs for it (it is killed after that). Returns the exit code, -1 on timeout or
// when it could not be started.
int RunCommand(const std::vector<std::string>& args, const std::string& outputPath,
               int timeoutMs);

// The full path of an executable found on PATH, or "".
std::string FindExecutable(const std::string& name);

}  // namespace sentrel::test
