#include "support/tls_servers.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "support/loopback_server.h"
#include "support/process.h"

namespace sentrel::test {

namespace {

std::string OpenSsl() {
  static const std::string path = FindProgram("openssl");
  return path;
}

}  // namespace

TestCa::TestCa(const std::string& dir, const std::string& commonName) : dir_(dir) {
  if (OpenSsl().empty()) {
    why_ = "the openssl tool is not installed (Debian package openssl)";
    return;
  }
  std::filesystem::create_directories(dir_ + "/db");
  cert_ = dir_ + "/ca.crt";
  key_ = dir_ + "/ca.key";
  WriteFile(dir_ + "/db/index.txt", "");
  WriteFile(dir_ + "/db/serial", "1000\n");
  // "openssl ca" is the one way the tool issues certificates with dates in the past.
  WriteFile(dir_ + "/ca.cnf", "[ca]\ndefault_ca = test_ca\n[test_ca]\ndatabase = " + dir_ +
                                  "/db/index.txt\nserial = " + dir_ +
                                  "/db/serial\nnew_certs_dir = " + dir_ +
                                  "/db\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
                                  "[any]\ncommonName = supplied\n");
  ok_ =
      Run({OpenSsl(), "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
           "-nodes", "-keyout", key_, "-out", cert_, "-days", "365", "-subj", "/CN=" + commonName});
}

bool TestCa::Run(const std::vector<std::string>& argv) {
  std::string err;
  if (RunProcess(argv, dir_, nullptr, &err) == 0) return true;
  why_ = "openssl " + argv.at(1) + " failed: " + err;
  ok_ = false;
  return false;
}

TestCa::Issued TestCa::Request(const std::string& name, std::string* csr) {
  Issued issued{dir_ + "/" + name + ".crt", dir_ + "/" + name + ".key"};
  *csr = dir_ + "/" + name + ".csr";
  Run({OpenSsl(), "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
       "-keyout", issued.key, "-out", *csr, "-subj", "/CN=" + name});
  return issued;
}

TestCa::Issued TestCa::Issue(const std::string& name, const std::string& altNames, int days) {
  std::string csr;
  Issued issued = Request(name, &csr);
  WriteFile(dir_ + "/" + name + ".ext", "subjectAltName=" + altNames + "\n");
  Run({OpenSsl(), "x509", "-req", "-in", csr, "-CA", cert_, "-CAkey", key_, "-CAcreateserial",
       "-out", issued.cert, "-days", std::to_string(days), "-extfile", dir_ + "/" + name + ".ext"});
  return issued;
}

TestCa::Issued TestCa::IssueBetween(const std::string& name, const std::string& altNames,
                                    const std::string& start, const std::string& end) {
  std::string csr;
  Issued issued = Request(name, &csr);
  WriteFile(dir_ + "/" + name + ".ext", "subjectAltName=" + altNames + "\n");
  Run({OpenSsl(),    "ca",
       "-batch",     "-notext",
       "-config",    dir_ + "/ca.cnf",
       "-cert",      cert_,
       "-keyfile",   key_,
       "-in",        csr,
       "-out",       issued.cert,
       "-startdate", start,
       "-enddate",   end,
       "-extfile",   dir_ + "/" + name + ".ext"});
  return issued;
}

int64_t CertificateNotAfter(const std::string& certFile) {
  std::string out;
  if (RunProcess({OpenSsl(), "x509", "-in", certFile, "-noout", "-enddate", "-dateopt", "iso_8601"},
                 "/", &out) != 0)
    return 0;
  tm t{};
  if (std::sscanf(out.c_str(), "notAfter=%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                  &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
    return 0;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return timegm(&t);
}

NginxTlsServer::NginxTlsServer(const std::string& indexHtml,
                               const std::vector<TestCa::Issued>& certificates, uint16_t hookPort) {
  std::string nginx = FindProgram("nginx");
  if (nginx.empty()) {
    why_ = "nginx is not installed (Debian package nginx-light)";
    return;
  }
  const std::string d = dir_.Path();
  std::filesystem::create_directories(d + "/www");
  std::filesystem::create_directories(d + "/tmp");
  WriteFile(d + "/www/index.html", indexHtml);
  WriteFile(d + "/www/plain.html", "served in plain HTTP\n");
  WriteFile(d + "/www/big.bin", std::string(kBigFileBytes, 'b'));
  ipv6_ = LoopbackIpv6(nullptr);
  for (size_t i = 0; i < certificates.size(); ++i) tlsPorts_.push_back(FreeLoopbackPort());
  plainPort_ = FreeLoopbackPort();

  std::string conf =
      "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d +
      "/nginx.pid;\nerror_log " + d +
      "/error.log;\nevents { worker_connections 4096; }\nhttp {\n"
      "  log_format sni '\"$request\" $status $body_bytes_sent sni=$ssl_server_name';\n"
      "  access_log " +
      d + "/access.log sni;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    conf += std::string("  ") + temp + "_temp_path " + d + "/tmp;\n";
  for (size_t i = 0; i < certificates.size(); ++i) {
    conf += "  server {\n    listen 127.0.0.1:" + std::to_string(tlsPorts_[i]) +
            " ssl backlog=4096;\n" +
            (ipv6_ ? "    listen [::1]:" + std::to_string(tlsPorts_[i]) + " ssl backlog=4096;\n"
                   : std::string()) +
            "    ssl_certificate " + certificates[i].cert + ";\n    ssl_certificate_key " +
            certificates[i].key + ";\n    root " + d +
            "/www;\n    location = /old { return 302 /index.html; }\n"
            "    location = /to-plain { return 302 http://127.0.0.1:" +
            std::to_string(plainPort_) + "/plain.html; }\n" +
            (hookPort ? "    location /hook { proxy_pass http://127.0.0.1:" +
                            std::to_string(hookPort) + "; }\n"
                      : std::string()) +
            "  }\n";
  }
  conf += "  server {\n    listen 127.0.0.1:" + std::to_string(plainPort_) + ";\n    root " + d +
          "/www;\n    location = /plain.html { }\n"
          "    location / { return 301 https://localhost:" +
          std::to_string(tlsPorts_.empty() ? 0 : tlsPorts_[0]) + "$request_uri; }\n  }\n}\n";
  WriteFile(d + "/nginx.conf", conf);
  port_ = plainPort_;
  Start({nginx, "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"});
}

}  // namespace sentrel::test
