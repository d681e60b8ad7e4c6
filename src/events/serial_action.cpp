#include "events/serial_action.h"

#include "platform/error.h"

namespace sentrel {

void RunSerialScript(const TIPEvent&) { throw SentrelError("Serial scripts are not available yet"); }

}  // namespace sentrel
