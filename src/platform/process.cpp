#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

#include "platform/awaitables.h"
#include "platform/blocking_wait.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/event_loop.h"

extern char** environ;

namespace sentrel {

std::vector<std::string> SplitCommandLine(const std::string& text) {
  std::vector<std::string> args;
  std::string current;
  bool inArg = false;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && text[i + 1] == '"') {
      current += '"';
      inArg = true;
      ++i;
    } else if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        current += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
      inArg = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inArg) args.push_back(std::move(current));
      current.clear();
      inArg = false;
    } else {
      current += c;
      inArg = true;
    }
  }
  if (inArg) args.push_back(std::move(current));
  return args;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> FindProgram(const std::string& name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) return name;
  const char* env = getenv("PATH");
  std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t end = path.find(':', start);
    std::string dir =
        path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return std::nullopt;
}

namespace {

// Under a fake clock, how long a child may run in real time before the clock jumps to the
// limit of the wait.
constexpr int64_t kChildGraceMs = 3000;

int PidfdOpen(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Children started and left running, with the pidfd the loop watches for each (-1 when
// the system has none; those are reaped by a slow timer and at every start).
std::map<pid_t, int> detached;
EventLoop::TimerId sweepTimer = 0;

void Forget(pid_t pid) {
  auto it = detached.find(pid);
  if (it == detached.end()) return;
  if (it->second >= 0) {
    CurrentLoop().Unwatch(it->second);
    close(it->second);
  }
  detached.erase(it);
}

bool TryReap(pid_t pid) {
  int status = 0;
  pid_t r = waitpid(pid, &status, WNOHANG);
  // ECHILD: someone else reaped it (or it never was ours); nothing is left to wait for.
  return r == pid || (r < 0 && errno == ECHILD);
}

void ScheduleSweep() {
  EventLoop& loop = CurrentLoop();
  if (sweepTimer != 0 && loop.TimerPending(sweepTimer)) return;
  sweepTimer = loop.AddTimer(1000, [] {
    sweepTimer = 0;
    ReapChildren();
    for (const auto& [pid, fd] : detached)
      if (fd < 0) {
        ScheduleSweep();
        break;
      }
  });
}

void Adopt(pid_t pid) {
  int fd = PidfdOpen(pid);
  detached[pid] = fd;
  if (fd < 0) {
    ScheduleSweep();
    return;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  CurrentLoop().Watch(fd, EPOLLIN, [pid](uint32_t) {
    if (TryReap(pid)) Forget(pid);
  });
}

// Standard input texts not yet taken by their child. The parent's end of the pair is
// non-blocking; what the socket does not take at once goes out as the loop finds room.
std::map<int, std::string> pendingInput;

void FinishInput(int fd) {
  CurrentLoop().Unwatch(fd);
  close(fd);
  pendingInput.erase(fd);
}

void FeedInput(int fd) {
  std::string& rest = pendingInput[fd];
  while (!rest.empty()) {
    ssize_t n = send(fd, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      break;  // the child closed its input: what is left is not wanted
    }
    rest.erase(0, static_cast<size_t>(n));
  }
  FinishInput(fd);
}

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

std::string AbsoluteProgram(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace

pid_t Spawn(const SpawnRequest& request) {
  ReapChildren();
  if (request.argv.empty()) throw SentrelError("Nothing to start");
  const std::string& name = request.argv.front();
  auto found = FindProgram(name);
  if (!found)
    throw SystemError("Cannot start " + name + ": " + std::strerror(ENOENT), "posix_spawn", ENOENT);
  // The child changes its directory before the program is loaded, so a relative path
  // must be made absolute first.
  std::string program = AbsoluteProgram(*found);

  SpawnSetup setup;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (request.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&setup.attr_, flags);
  posix_spawnattr_setsigmask(&setup.attr_, &none);
  posix_spawnattr_setsigdefault(&setup.attr_, &all);

  int pair[2] = {-1, -1};
  if (request.stdinText) {
    // A socket pair instead of a pipe: send() with MSG_NOSIGNAL cannot raise SIGPIPE
    // when the child exits without reading.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) ThrowErrno("socketpair");
    posix_spawn_file_actions_adddup2(&setup.actions_, pair[1], 0);
    shutdown(pair[1], SHUT_WR);
  } else {
    posix_spawn_file_actions_addopen(&setup.actions_, 0, "/dev/null", O_RDONLY, 0);
  }
  if (!request.workingDir.empty())
    posix_spawn_file_actions_addchdir_np(&setup.actions_, request.workingDir.c_str());

  std::vector<char*> argv;
  for (const auto& a : request.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &setup.actions_, &setup.attr_, argv.data(), environ);
  if (pair[1] >= 0) close(pair[1]);
  if (rc != 0) {
    if (pair[0] >= 0) close(pair[0]);
    throw SystemError("Cannot start " + name + ": " + std::strerror(rc), "posix_spawn", rc);
  }
  if (pair[0] >= 0) {
    shutdown(pair[0], SHUT_RD);
    pendingInput[pair[0]] = *request.stdinText;
    FeedInput(pair[0]);
    if (pendingInput.count(pair[0]))
      CurrentLoop().Watch(pair[0], EPOLLOUT, [fd = pair[0]](uint32_t) { FeedInput(fd); });
  }
  return pid;
}

pid_t SpawnDetached(const SpawnRequest& request) {
  pid_t pid = Spawn(request);
  Adopt(pid);
  return pid;
}

std::optional<int> WaitForExit(pid_t pid, int64_t timeoutMs) {
  int status = 0;
  int fd = PidfdOpen(pid);
  if (fd >= 0) {
    int64_t deadline = CurrentClock().MonotonicMs() + timeoutMs;
    short got = 0;
    try {
      // A child is real work that a fake clock cannot hurry: give it real time first.
      got = WaitForFd(fd, POLLIN, deadline, kChildGraceMs);
    } catch (...) {
      close(fd);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      throw;
    }
    close(fd);
    if (got == 0) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return std::nullopt;
    }
  }
  // Without a pidfd the wait has no limit; with one the child has ended by now.
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  return status;
}

namespace {

// Owns a child until it has been reaped: a task destroyed while it waits for the child
// (the program is closing, the event was cancelled) stops the child and reaps it.
class ChildHold {
 public:
  explicit ChildHold(pid_t pid) : pid_(pid) {}
  ~ChildHold() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ChildHold(const ChildHold&) = delete;
  ChildHold& operator=(const ChildHold&) = delete;
  // Reaps the child if it has ended; its wait status then.
  std::optional<int> TryEnd() {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return status;
    }
    if (r < 0 && errno != EINTR) {
      pid_ = -1;  // not ours any more: nothing is left to wait for
      return -1;
    }
    return std::nullopt;
  }
  void Kill() {
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

class FdHold {
 public:
  explicit FdHold(int fd) : fd_(fd) {}
  ~FdHold() {
    if (fd_ >= 0) close(fd_);
  }
  FdHold(const FdHold&) = delete;
  FdHold& operator=(const FdHold&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// How often a child is looked at where the system gives no pidfd to watch.
constexpr int64_t kChildPollMs = 50;

}  // namespace

Task<std::optional<int>> WaitForChild(pid_t pid, int64_t limitMs) {
  ChildHold child(pid);
  const int64_t deadline = CurrentClock().MonotonicMs() + limitMs;
  // A child is real work that a fake clock cannot hurry: it gets real time first.
  EventLoop::RealWork hold = CurrentLoop().HoldForRealWork(kChildGraceMs);
  FdHold pidfd(PidfdOpen(pid));
  if (pidfd.get() >= 0) fcntl(pidfd.get(), F_SETFD, FD_CLOEXEC);
  for (;;) {
    if (auto status = child.TryEnd()) co_return *status;
    if (CurrentClock().MonotonicMs() >= deadline) break;
    if (pidfd.get() >= 0) {
      if (co_await WaitFd(pidfd.get(), EPOLLIN, deadline) == 0) break;
    } else {
      co_await SleepUntil(std::min(deadline, CurrentClock().MonotonicMs() + kChildPollMs));
    }
  }
  if (auto status = child.TryEnd()) co_return *status;
  child.Kill();
  co_return std::nullopt;
}

void ReapChildren() {
  std::vector<pid_t> done;
  for (const auto& [pid, fd] : detached)
    if (TryReap(pid)) done.push_back(pid);
  for (pid_t pid : done) Forget(pid);
}

size_t RunningChildren() {
  return detached.size();
}

}  // namespace sentrel
