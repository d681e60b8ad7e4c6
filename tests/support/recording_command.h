#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sentrel::test {

// A small program for the tests to start in place of a real command (a player, wall,
// shutdown, ssh, xdg-open): it records its arguments, its standard input and its working
// directory, then marks itself done and exits with the code it was made with.
class RecordingCommand {
 public:
  // Writes the program as dir/name. pauseSeconds makes it sleep before it exits.
  RecordingCommand(const std::string& dir, const std::string& name, int exitCode = 0,
                   double pauseSeconds = 0);
  const std::string& Path() const { return path_; }

  // Whether it has run to its end (all records written).
  bool Done() const;
  // Waits in real time until it is done; false after realMs.
  bool WaitDone(int realMs = 5000) const;
  std::vector<std::string> Args() const;
  std::string Stdin() const;
  std::string Cwd() const;

 private:
  std::string path_;
  std::string record_;
};

// Children of this process that have ended and were never reaped.
int CountZombieChildren();

// Pumps the current loop, sleeping a little in real time between pumps, until cond holds
// or realMs passes (for waits on other processes, which a fake clock cannot speed up).
bool PumpUntil(const std::function<bool()>& cond, int realMs = 5000);

}  // namespace sentrel::test
