#include "platform/paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/error.h"
#include "platform/file_util.h"

namespace sentrel {

namespace {
std::string dataDir = ".";

std::string HomeDir() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (passwd* pw = getpwuid(getuid())) return pw->pw_dir;
  return "/";
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}
}  // namespace

const std::string& DataDir() { return dataDir; }
void SetDataDir(const std::string& dir) { dataDir = dir.empty() ? "." : dir; }
std::string DataPath(const std::string& name) { return JoinPath(dataDir, name); }

std::string ResolveDataDir(const std::string& option) {
  if (!option.empty()) return option;
  if (auto v = Env("SENTREL_HOME"); !v.empty()) return v;
  if (auto v = Env("XDG_DATA_HOME"); !v.empty()) return JoinPath(v, "sentrel");
  return JoinPath(HomeDir(), ".local/share/sentrel");
}

namespace {
std::string ConfigHome() {
  std::string base = Env("XDG_CONFIG_HOME");
  return base.empty() ? JoinPath(HomeDir(), ".config") : base;
}
}  // namespace

std::string DefaultSettingsPath() { return JoinPath(ConfigHome(), "sentrel/sentrel.ini"); }

std::string OldSettingsPath() { return JoinPath(ConfigHome(), "Hallvik/Corvane.ini"); }

DataDirLock::~DataDirLock() {
  if (fd_ >= 0) close(fd_);
}

bool DataDirLock::Acquire(const std::string& dir) {
  std::string path = JoinPath(dir, ".sentrel.lock");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) ThrowErrno("open " + path);
  if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
    close(fd);
    return false;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return true;
}

bool DataDirLock::HeldByOther(const std::string& dir) {
  std::string path = JoinPath(dir, ".sentrel.lock");
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) < 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

}  // namespace sentrel
