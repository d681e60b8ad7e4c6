#pragma once

#include "platform/task.h"

namespace sentrel {

class Scanner;
class Monitor;

// The probe the port check sends once connected: 12 bytes, no line end.
inline constexpr char kPortProbe[] = "Sentrel Test";
// How long the port check waits for the connection.
inline constexpr int kPortWaitMs = 10000;

// One port check of the monitor, to its verdict: connect, wait up to 10 seconds for the
// connection (a refusal ends the wait when it arrives), judge, send the probe, close.
// The task suspends while it waits; a monitor deleted meanwhile ends it quietly.
Task<void> RunPortCheck(Scanner& scan, Monitor& monitor);

}  // namespace sentrel
