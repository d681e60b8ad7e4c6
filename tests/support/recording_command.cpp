#include "support/recording_command.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/event_loop.h"
#include "support/test_env.h"

namespace sentrel::test {

RecordingCommand::RecordingCommand(const std::string& dir, const std::string& name, int exitCode,
                                   double pauseSeconds)
    : path_(dir + "/" + name), record_(dir + "/" + name + ".rec") {
  std::string script = "#!/bin/sh\n";
  script += "r='" + record_ + "'\n";
  script += ": > \"$r.args\"\n";
  script += "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> \"$r.args\"; done\n";
  script += "cat > \"$r.stdin\"\n";
  script += "pwd > \"$r.cwd\"\n";
  // The pause holds no descriptor of ours: a command stopped at its limit leaves the sleep
  // behind, which would otherwise keep the test's output open (and ctest waiting) to its end.
  if (pauseSeconds > 0)
    script += "sleep " + std::to_string(pauseSeconds) + " </dev/null >/dev/null 2>&1\n";
  script += ": > \"$r.done\"\n";
  script += "exit " + std::to_string(exitCode) + "\n";
  WriteFile(path_, script);
  chmod(path_.c_str(), 0755);
}

bool RecordingCommand::Done() const {
  return access((record_ + ".done").c_str(), F_OK) == 0;
}

bool RecordingCommand::WaitDone(int realMs) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<std::string> RecordingCommand::Args() const {
  std::vector<std::string> out;
  std::string all = ReadFile(record_ + ".args");
  // Each argument is "[...]" on its own line; an argument may itself hold line breaks.
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find("]\n[", pos);
    if (end == std::string::npos) {
      out.push_back(all.substr(pos + 1, all.size() - pos - 3));
      break;
    }
    out.push_back(all.substr(pos + 1, end - pos - 1));
    pos = end + 2;
  }
  return out;
}

std::string RecordingCommand::Stdin() const {
  return ReadFile(record_ + ".stdin");
}

std::string RecordingCommand::Cwd() const {
  std::string cwd = ReadFile(record_ + ".cwd");
  if (!cwd.empty() && cwd.back() == '\n') cwd.pop_back();
  return cwd;
}

int CountZombieChildren() {
  int count = 0;
  pid_t self = getpid();
  DIR* d = opendir("/proc");
  if (!d) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
    std::string stat;
    std::getline(f, stat);
    // pid (comm) state ppid ...: the command may hold blanks and parentheses.
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) continue;
    char state = stat[close + 2];
    long ppid = std::strtol(stat.c_str() + close + 4, nullptr, 10);
    if (ppid == self && state == 'Z') ++count;
  }
  closedir(d);
  return count;
}

bool PumpUntil(const std::function<bool()>& cond, int realMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    CurrentLoop().Pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace sentrel::test
