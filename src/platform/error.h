#pragma once

#include <stdexcept>
#include <string>

namespace sentrel {

// The one error type of the program. Its message is the program's own text, the
// line that ends up in "Sentrel errors.log" after " RunTimeError ".
class SentrelError : public std::runtime_error {
 public:
  explicit SentrelError(const std::string& message) : std::runtime_error(message) {}
};

// A failed system call: the call's name and errno, plus the Windows Sockets code where
// the program prints one (0 when the call has none).
class SystemError : public SentrelError {
 public:
  SystemError(const std::string& message, std::string call, int err, int wsaCode = 0)
      : SentrelError(message), call_(std::move(call)), errno_(err), wsaCode_(wsaCode) {}
  const std::string& Call() const { return call_; }
  int Errno() const { return errno_; }
  int WsaCode() const { return wsaCode_; }

 private:
  std::string call_;
  int errno_;
  int wsaCode_;
};

// Throws SystemError for the current errno: "<call>: <strerror>".
[[noreturn]] void ThrowErrno(const std::string& call);

}  // namespace sentrel
