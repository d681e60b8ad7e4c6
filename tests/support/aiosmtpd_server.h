#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace sentrel::test {

// A real SMTP server (python3-aiosmtpd) started by the test on 127.0.0.1 with an
// ephemeral port and stopped by it. Every mail it takes is appended to a file: the
// envelope ("FROM ...", "RCPT ..." lines), the message as received, then ".END".
class AiosmtpdServer {
 public:
  // dir: where the server's script, port file and mail file go.
  explicit AiosmtpdServer(const std::string& dir);
  ~AiosmtpdServer();
  AiosmtpdServer(const AiosmtpdServer&) = delete;
  AiosmtpdServer& operator=(const AiosmtpdServer&) = delete;

  // False (with the reason in Error()) when the server could not be started.
  bool Started() const { return port_ != 0; }
  const std::string& Error() const { return error_; }
  uint16_t Port() const { return port_; }
  std::string Mails() const;

 private:
  std::string mailFile_;
  std::string error_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

}  // namespace sentrel::test
