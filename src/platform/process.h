#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/task.h"

namespace sentrel {

// Splits a parameter text into arguments the way a command line is split, without a
// shell: blanks and tabs separate arguments; a double quote starts or ends a quoted
// stretch in which blanks are kept; inside a quoted stretch two double quotes stand for
// one; a backslash directly before a double quote makes it a plain character. Quotes
// join with the text around them ("a"b is the one argument ab); "" alone is an empty
// argument. Nothing else is special: no variables, no globbing, no escapes.
std::vector<std::string> SplitCommandLine(const std::string& text);

// The file a program name stands for: a name with a "/" is taken as it is; a bare name
// is looked for on $PATH. Nothing when it is not found.
std::optional<std::string> FindProgram(const std::string& name);
// A regular file this process may execute.
bool IsExecutableFile(const std::string& path);

// Starting a program: never through a shell. argv[0] names the program (a bare name is
// looked for on $PATH). The child gets default signal handling and an empty signal mask
// whatever this process has set, standard input from /dev/null unless a text is given,
// and our standard output and error.
struct SpawnRequest {
  std::vector<std::string> argv;
  // Change to this directory in the child before the program starts; empty: ours.
  std::string workingDir;
  // The text the child reads on its standard input, then end of file.
  std::optional<std::string> stdinText;
  // Run in a session of its own, so a stop signal to the monitor's terminal does not
  // reach a program it started and left running.
  bool newSession = false;
};

// Starts the program and returns its process id. Throws SystemError when it cannot be
// started (not found, not executable, no such working directory).
pid_t Spawn(const SpawnRequest& request);

// Starts the program and leaves it running; it is reaped by the loop as soon as it ends
// (never left a zombie). Throws as Spawn does.
pid_t SpawnDetached(const SpawnRequest& request);

// Waits, without serving the loop, until the child ends or timeoutMs passes; a child
// still running then is killed. Always reaps it. Returns the wait status, or nothing when
// the child had to be killed.
std::optional<int> WaitForExit(pid_t pid, int64_t timeoutMs);

// The task's wait for a child: it suspends until the child ends or limitMs passes; a
// child still running then is killed. Always reaps it. Returns the wait status, or
// nothing when the child had to be killed. A task destroyed while it waits kills and
// reaps the child, so nothing it started outlives it.
Task<std::optional<int>> WaitForChild(pid_t pid, int64_t limitMs);

// Reaps every started child that has ended by now (the loop does this on its own too).
void ReapChildren();
// Children started with SpawnDetached and not reaped yet.
size_t RunningChildren();

}  // namespace sentrel
