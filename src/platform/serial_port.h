#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/task.h"

namespace sentrel {

// Line settings of a serial port. The rest is fixed: raw binary bytes, no parity
// checking, no flow control of any kind, DTR and RTS held off, reads that return at once.
struct LineSettings {
  int baud = 2400;
  int dataBits = 8;
  enum Parity { kNone = 0, kOdd, kEven, kMark, kSpace } parity = kNone;
  enum StopBits { kOne = 0, kOneAndHalf, kTwo } stopBits = kOne;
};

// A terminal device used as a serial port, through termios. Every failure carries the
// system's error code (errno), which the serial action prints.
class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort() { Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens an existing device for reading and writing, for us alone where the system
  // allows. Returns the error code, 0 on success.
  int Open(const std::string& path);
  // The line settings, then the time-outs; returns the error code of the first step the
  // device refuses, 0 on success. A rate of 0 and data bits outside 5 to 8 are refused.
  int SetLine(const LineSettings& settings);
  int SetTimeouts();
  // Writes all bytes, suspending while the device's queue is full, for at most 100 ms
  // per byte plus 1000 ms. Returns the error code, 0 on success (ETIMEDOUT when too slow).
  Task<int> Write(std::string bytes);
  // One byte when one has arrived, else nothing; err gets the code of a failed read.
  std::optional<char> ReadByte(int& err);
  // Suspends the task until a byte can be read or the deadline passes, so the window
  // and the checks go on while a script waits for its answer. Returns the error code of
  // a device that has hung up (bytes it sent before may still be there to read), else 0.
  Task<int> WaitReadable(int64_t deadlineMs);
  // Drops what arrived unread, and closes. Nothing is written after this.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace sentrel
