#include "support/test_env.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/settings_store.h"
#include "model/last_activity.h"
#include "platform/file_util.h"
#include "platform/paths.h"

namespace sentrel::test {

TempDir::TempDir() {
  char templ[] = "/tmp/sentrel-test-XXXXXX";
  char* p = mkdtemp(templ);
  if (!p) throw std::runtime_error("mkdtemp failed");
  path_ = p;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

CurrentDirectory::CurrentDirectory(const std::string& path) {
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) ADD_FAILURE() << "getcwd failed";
  old_ = buf;
  if (chdir(path.c_str()) != 0) ADD_FAILURE() << "cannot change to " << path;
}

CurrentDirectory::~CurrentDirectory() {
  if (chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot change back to " << old_;
}

void CoreFixture::SetUp() {
  SetCurrentClock(&clock_);
  loop_ = std::make_unique<EventLoop>();
  clock_.AttachLoop(loop_.get());
  SetCurrentLoop(loop_.get());
  loop_->SetErrorHandler([this](const std::string& m) { errors_.push_back(m); });
  dir_ = std::make_unique<TempDir>();
  SetDataDir(dir_->Path());
  LastActivity = "unknown";
}

void CoreFixture::TearDown() {
  SetCurrentLoop(nullptr);
  loop_.reset();
  SetCurrentClock(nullptr);
  SetCurrentSettings(nullptr);
  SetCurrentFileWriter(nullptr);
  SetDataDir(".");
  dir_.reset();
}

}  // namespace sentrel::test
