#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>

#include "support/process.h"
#include "support/test_env.h"

namespace sentrel::test {

// Real servers from Debian packages, each started by the test with a configuration of
// its own on a free loopback port, in the foreground, and killed when the object goes.
// Never the package's own service. Ok() is false (with Why()) when the program is not
// installed or did not come up; tests then skip.
class PackagedServer {
 public:
  virtual ~PackagedServer() = default;
  bool Ok() const { return ok_; }
  const std::string& Why() const { return why_; }
  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path, const std::string& host = "127.0.0.1") const {
    return "http://" + host + ":" + std::to_string(port_) + path;
  }
  // Whether it listens on [::1] too (where the machine has IPv6 on loopback).
  bool OnIpv6() const { return ipv6_; }
  const TempDir& Dir() const { return dir_; }

 protected:
  // Starts argv and waits until the port accepts connections.
  void Start(const std::vector<std::string>& argv);

  TempDir dir_;
  uint16_t port_ = 0;
  int family_ = AF_INET;  // the address Start waits for: 127.0.0.1 or ::1
  bool ipv6_ = false;
  bool ok_ = false;
  std::string why_;
  std::unique_ptr<ChildProcess> child_;
};

// nginx serving Dir()/www, with "/old" answering 302 to "/index.html", on 127.0.0.1 and,
// where the machine has it, on [::1] with the same port.
class NginxServer : public PackagedServer {
 public:
  explicit NginxServer(const std::string& indexHtml);
};

// tinyproxy as a forward proxy listening on 127.0.0.1 (or ::1 with AF_INET6) that lets
// 127.0.0.1 and ::1 in.
class TinyProxy : public PackagedServer {
 public:
  explicit TinyProxy(int family = AF_INET);
};

// A port that was free a moment ago on 127.0.0.1 and, where the machine has IPv6 on
// loopback, on ::1 as well.
uint16_t FreeLoopbackPort();
// The path of an installed program, or "" when it is not there.
std::string FindProgram(const std::string& name);

}  // namespace sentrel::test
