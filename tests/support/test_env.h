#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "support/run_to_completion.h"

namespace sentrel::test {

// Makes a directory the current one while it lives ("mail.log" and "serial.log" are
// written to the current directory), then goes back to the one before.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& path);
  ~CurrentDirectory();
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::string old_;
};

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes a file whole (test helper; throws on failure).
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

// The usual test world: a fake clock, a loop on it, a data directory of its own and the
// errors going to a list instead of a file.
class CoreFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  FakeClock clock_;
  std::unique_ptr<EventLoop> loop_;
  std::unique_ptr<TempDir> dir_;
  std::vector<std::string> errors_;
};

}  // namespace sentrel::test
