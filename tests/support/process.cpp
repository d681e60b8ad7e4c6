#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support/test_env.h"

extern char** environ;

namespace sentrel::test {

namespace {
int counter = 0;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& workDir,
                           const std::vector<std::string>& extraEnv) {
  std::string base = "/tmp/sentrel-child-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  outPath_ = base + ".out";
  errPath_ = base + ".err";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    for (const auto& e : extraEnv) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (!done_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  unlink(outPath_.c_str());
  unlink(errPath_.c_str());
}

void ChildProcess::Signal(int sig) {
  if (!done_) kill(pid_, sig);
}

int ChildProcess::Wait(int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      done_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string ChildProcess::Stdout() const { return ReadFile(outPath_); }
std::string ChildProcess::Stderr() const { return ReadFile(errPath_); }

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (Stdout().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int RunProcess(const std::vector<std::string>& argv, const std::string& workDir, std::string* out,
               std::string* err, int timeoutMs) {
  ChildProcess child(argv, workDir);
  int code = child.Wait(timeoutMs);
  if (out) *out = child.Stdout();
  if (err) *err = child.Stderr();
  return code;
}

}  // namespace sentrel::test
