#pragma once

#include <string>

#include "events/event_list.h"
#include "platform/serial_port.h"
#include "platform/task.h"

namespace sentrel {

// The serial action: the script named by SerialText, on the port and line settings of
// SerialOptions. Lines starting with "?" wait (up to 30 seconds; the task suspends) for
// the rest of the line to arrive; every other line is sent with a CR. What is sent and
// received goes to "serial.log" in the current directory. Throws SentrelError on
// failure; the port and the log are closed then, the lines logged so far stay. A script
// asked for while another one runs waits for it to end, then runs, in order.
Task<void> RunSerialScript(Event ev);

// SerialOptions read: the five table indexes and what they stand for.
struct SerialOptions {
  int port = 0, baud = 4, stop = 0, bits = 3, parity = 0;
  // "COM1".."COM8", or empty for an index outside the table.
  std::string PortName() const;
  LineSettings Line() const;
};
// "port=0,bits=3,baud=4,parity=0,stop=0": keys in any order and case, commas or blanks
// between items, the first item of a key counts. Throws when a key is missing or its
// value is not a decimal number.
SerialOptions ParseSerialOptions(const std::string& text);

// The device behind "COM1".."COM8": the [Sentrel] setting of that name, by default
// /dev/ttyS0../dev/ttyS7.
std::string SerialDevicePath(int portIndex);

inline constexpr const char* kSerialLogName = "serial.log";
inline constexpr int64_t kSerialWaitMs = 30'000;
inline constexpr size_t kSerialWaitTextMax = 1024;

}  // namespace sentrel
