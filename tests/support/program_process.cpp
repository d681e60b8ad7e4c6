#include "support/program_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace sentrel::test {

namespace {

pid_t Spawn(const std::vector<std::string>& args, const std::string& outputPath) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // Its own process group, so a program that starts helpers of its own (a browser) can
  // be ended with all of them.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ) != 0) pid = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits for the child up to timeoutMs; true when it has ended (status filled in).
bool WaitFor(pid_t pid, int timeoutMs, int& status) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

ProgramProcess::ProgramProcess(const std::string& binary, const std::vector<std::string>& args,
                               const std::string& outputPath) {
  std::vector<std::string> all{binary};
  all.insert(all.end(), args.begin(), args.end());
  pid_ = Spawn(all, outputPath);
}

ProgramProcess::~ProgramProcess() { Stop(); }

bool ProgramProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  status_ = status;
  pid_ = -1;
  return false;
}

int ProgramProcess::Stop(int graceMs) {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  if (!WaitFor(pid_, graceMs, status_)) {
    kill(-pid_, SIGKILL);
    WaitFor(pid_, 5000, status_);
  }
  pid_ = -1;
  return status_;
}

bool WaitForListener(int port, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int RunCommand(const std::vector<std::string>& args, const std::string& outputPath,
               int timeoutMs) {
  pid_t pid = Spawn(args, outputPath);
  if (pid <= 0) return -1;
  int status = 0;
  if (!WaitFor(pid, timeoutMs, status)) {
    kill(-pid, SIGKILL);
    WaitFor(pid, 5000, status);
    return -1;
  }
  // Helpers the command left behind in its group go with it.
  kill(-pid, SIGKILL);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FindExecutable(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t colon = dirs.find(':', start);
    std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return "";
}

}  // namespace sentrel::test
