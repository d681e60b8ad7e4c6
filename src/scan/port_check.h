#pragma once

namespace sentrel {

class TInfiniScan;
class TPort;

// The probe the port check sends once connected: 12 bytes, no line end.
inline constexpr char kPortProbe[] = "Sentrel Test";
// How long the port check waits for the connection.
inline constexpr int kPortWaitMs = 10000;

// One port check of the monitor, to its verdict: connect, wait up to 10 seconds serving
// the loop, judge, send the probe, close.
void RunPortCheck(TInfiniScan& scan, TPort& monitor);

}  // namespace sentrel
