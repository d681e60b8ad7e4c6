#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_env.h"
#include "support/web_servers.h"

namespace sentrel::test {

// A private certificate authority made with the openssl tool in a directory of its own,
// and the server certificates it issues. Keys are EC P-256, made in milliseconds.
// Ok() is false (with Why()) when the tool is missing or failed; tests then skip.
class TestCa {
 public:
  struct Issued {
    std::string cert;  // PEM file of the certificate
    std::string key;   // PEM file of its key
  };

  TestCa(const std::string& dir, const std::string& commonName);
  bool Ok() const { return ok_; }
  const std::string& Why() const { return why_; }
  // The CA certificate, for SSL_CERT_FILE.
  const std::string& CertFile() const { return cert_; }

  // A server certificate with these subjectAltName entries ("DNS:localhost,IP:127.0.0.1"),
  // valid from now for `days` days.
  Issued Issue(const std::string& name, const std::string& altNames, int days);
  // The same, valid between two moments given as "YYYYMMDDHHMMSSZ".
  Issued IssueBetween(const std::string& name, const std::string& altNames,
                      const std::string& start, const std::string& end);

 private:
  bool Run(const std::vector<std::string>& argv);
  Issued Request(const std::string& name, std::string* csr);

  std::string dir_;
  std::string cert_;
  std::string key_;
  bool ok_ = false;
  std::string why_;
};

// The end of a certificate's validity as the openssl tool reads it, in seconds since
// 1970; 0 when it cannot be read.
int64_t CertificateNotAfter(const std::string& certFile);

// nginx from Debian serving Dir()/www over TLS: one port per certificate given, in order
// (TlsPort(i)), on 127.0.0.1 and, where the machine has it, on [::1] with the same port, each also
// serving "/big.bin", answering "/old" with 302 to "/index.html" and "/to-plain" with 302 to
// http://127.0.0.1:<PlainPort()>/plain.html. The plain HTTP port serves
// "/plain.html" and answers everything else with 301 to https://localhost:<TlsPort(0)>
// and the same path. The access log has lines of "<request line>" <status> <bytes>
// sni=<the name the client sent, or ->. With a hook port, requests for "/hook..." on the
// TLS ports go on to http://127.0.0.1:<hookPort> (a receiver of the test's own).
class NginxTlsServer : public PackagedServer {
 public:
  // "/big.bin" holds this many bytes: many TLS records, more than one read takes.
  static constexpr size_t kBigFileBytes = 3 * 1024 * 1024 + 17;

  NginxTlsServer(const std::string& indexHtml, const std::vector<TestCa::Issued>& certificates,
                 uint16_t hookPort = 0);
  uint16_t TlsPort(size_t i) const { return tlsPorts_.at(i); }
  uint16_t PlainPort() const { return plainPort_; }
  // "https://<host>:<TlsPort(i)>" + path.
  std::string HttpsUrl(size_t i, const std::string& path,
                       const std::string& host = "localhost") const {
    return "https://" + host + ":" + std::to_string(TlsPort(i)) + path;
  }

 private:
  std::vector<uint16_t> tlsPorts_;
  uint16_t plainPort_ = 0;
};

}  // namespace sentrel::test
