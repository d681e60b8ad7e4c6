// The serial options string of an event ("port=0,bits=3,baud=4,parity=0,stop=0"), read
// and applied to a pseudo-terminal as the serial action applies it to its port.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "events/serial_action.h"
#include "fuzz_support.h"
#include "platform/error.h"
#include "platform/serial_port.h"

using namespace sentrel;
using fuzz::Check;

namespace {

// One pseudo-terminal for the whole run; its slave is the port the settings go to.
SerialPort& Port() {
  static SerialPort port;
  static int master = -1;
  if (master < 0) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) fuzz::Broken("no pty");
    if (port.Open(ptsname(master)) != 0) fuzz::Broken("cannot open the pty");
  }
  return port;
}

std::string Format(const SerialOptions& o) {
  return "port=" + std::to_string(o.port) + ",bits=" + std::to_string(o.bits) +
         ",baud=" + std::to_string(o.baud) + ",parity=" + std::to_string(o.parity) +
         ",stop=" + std::to_string(o.stop);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  SerialOptions o;
  try {
    o = ParseSerialOptions(text);
  } catch (const SentrelError&) {
    return 0;
  }
  SerialOptions again = ParseSerialOptions(Format(o));
  Check(again.port == o.port && again.bits == o.bits && again.baud == o.baud &&
            again.parity == o.parity && again.stop == o.stop,
        "options read back as written");

  Check(o.PortName().empty() == (o.port < 0 || o.port > 7), "a port name for COM1 to COM8 only");
  Check(SerialDevicePath(o.port).empty() == o.PortName().empty(), "a device for each port name");

  LineSettings line = o.Line();
  static const int kRates[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                               14400, 19200, 38400, 56000, 57600, 115200};
  bool known = line.baud == 0;
  for (int r : kRates) known = known || r == line.baud;
  Check(known, "a rate from the table");
  Check(line.parity >= LineSettings::kNone && line.parity <= LineSettings::kSpace, "a parity");
  Check(line.stopBits >= LineSettings::kOne && line.stopBits <= LineSettings::kTwo, "stop bits");

  int err = Port().SetLine(line);
  bool valid = line.baud > 0 && line.dataBits >= 5 && line.dataBits <= 8;
  Check(valid ? err == 0 : err != 0, "the port takes exactly the valid settings");
  return 0;
}
