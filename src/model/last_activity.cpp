#include "model/last_activity.h"

namespace sentrel {

std::string LastActivity = "unknown";

}  // namespace sentrel
