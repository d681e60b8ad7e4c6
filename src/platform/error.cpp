#include "platform/error.h"

#include <cerrno>
#include <cstring>

namespace sentrel {

void ThrowErrno(const std::string& call) {
  int err = errno;
  throw SystemError(call + ": " + std::strerror(err), call, err);
}

}  // namespace sentrel
