#pragma once

#include <string>

namespace sentrel::test {

// A pseudo-terminal pair where the test plays the device on the master side; the
// program opens the slave path as its serial port. The test keeps a slave descriptor
// of its own (raw, never read) so the pair stays up between the program's runs.
class PtyDevice {
 public:
  PtyDevice();
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  // The device sends bytes to the port.
  void Send(const std::string& bytes);
  // What the port sent the device: everything that arrives within realMs of quiet.
  std::string Received(int quietMs = 20);
  // Waits in real time until the port has sent text ending with end; returns it all.
  std::string ReceiveUntil(const std::string& end, int realMs = 5000);
  // The device goes away: the port sees a hang-up.
  void HangUp();

 private:
  int master_ = -1;
  int keeper_ = -1;
  std::string slavePath_;
};

}  // namespace sentrel::test
