#pragma once

namespace sentrel {

class TIPEvent;

// The serial action: the script named by SerialText on the port named by SerialOptions,
// everything sent and received recorded in "serial.log".
void RunSerialScript(const TIPEvent& ev);

}  // namespace sentrel
