#include "support/web_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/loopback_server.h"

namespace sentrel::test {

namespace {

bool Accepts(uint16_t port, int family) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET6) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
    sa->sin6_family = AF_INET6;
    sa->sin6_addr = in6addr_loopback;
    sa->sin6_port = htons(port);
    len = sizeof *sa;
  } else {
    auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa->sin_port = htons(port);
    len = sizeof *sa;
  }
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0;
  close(fd);
  return ok;
}

// The listen lines for a port on loopback: 127.0.0.1, and [::1] where there is IPv6.
std::string ListenLines(uint16_t port, const std::string& options, bool ipv6) {
  std::string lines = "    listen 127.0.0.1:" + std::to_string(port) + options + ";\n";
  if (ipv6) lines += "    listen [::1]:" + std::to_string(port) + options + ";\n";
  return lines;
}

}  // namespace

uint16_t FreeLoopbackPort() {
  const bool ipv6 = LoopbackIpv6(nullptr);
  for (int tries = 0;; ++tries) {
    uint16_t port = 0;
    int v4 = BindLoopback(SOCK_STREAM, &port);
    if (!ipv6) {
      close(v4);
      return port;
    }
    try {
      uint16_t same = port;
      close(BindLoopback(SOCK_STREAM, &same, AF_INET6));
      close(v4);
      return port;
    } catch (const std::exception&) {
      close(v4);
      if (tries == 20) throw;
    }
  }
}

std::string FindProgram(const std::string& name) {
  for (const char* dir :
       {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin", "/usr/local/bin"}) {
    std::string path = std::string(dir) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

void PackagedServer::Start(const std::vector<std::string>& argv) {
  child_ = std::make_unique<ChildProcess>(argv, dir_.Path());
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    if (Accepts(port_, family_)) {
      ok_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  why_ = argv[0] + " did not come up: " + child_->Stderr();
}

NginxServer::NginxServer(const std::string& indexHtml) {
  std::string nginx = FindProgram("nginx");
  if (nginx.empty()) {
    why_ = "nginx is not installed (Debian package nginx-light)";
    return;
  }
  port_ = FreeLoopbackPort();
  ipv6_ = LoopbackIpv6(nullptr);
  const std::string d = dir_.Path();
  std::filesystem::create_directories(d + "/www");
  std::filesystem::create_directories(d + "/tmp");
  WriteFile(d + "/www/index.html", indexHtml);
  WriteFile(d + "/nginx.conf",
            "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            "pid " +
                d + "/nginx.pid;\nerror_log " + d +
                "/error.log;\n"
                "events { worker_connections 4096; }\n"
                "http {\n"
                "  access_log " +
                d +
                "/access.log;\n"
                "  client_body_temp_path " +
                d + "/tmp;\n  proxy_temp_path " + d +
                "/tmp;\n"
                "  fastcgi_temp_path " +
                d + "/tmp;\n  uwsgi_temp_path " + d +
                "/tmp;\n"
                "  scgi_temp_path " +
                d +
                "/tmp;\n"
                "  server {\n" +
                ListenLines(port_, " backlog=4096", ipv6_) + "    root " + d +
                "/www;\n"
                "    location = /old { return 302 /index.html; }\n"
                "  }\n"
                "}\n");
  Start({nginx, "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"});
}

TinyProxy::TinyProxy(int family) {
  std::string tinyproxy = FindProgram("tinyproxy");
  if (tinyproxy.empty()) {
    why_ = "tinyproxy is not installed (Debian package tinyproxy)";
    return;
  }
  if (family == AF_INET6 && !LoopbackIpv6(&why_)) return;
  port_ = FreeLoopbackPort();
  family_ = family;
  ipv6_ = family == AF_INET6;
  const std::string d = dir_.Path();
  WriteFile(d + "/tinyproxy.conf", "Port " + std::to_string(port_) + "\nListen " +
                                       (family == AF_INET6 ? "::1" : "127.0.0.1") +
                                       "\nTimeout 30\nMaxClients 50\n"
                                       "LogFile \"" +
                                       d + "/tinyproxy.log\"\nPidFile \"" + d +
                                       "/tinyproxy.pid\"\n"
                                       "LogLevel Info\nAllow 127.0.0.1\nAllow ::1\n");
  Start({tinyproxy, "-d", "-c", d + "/tinyproxy.conf"});
}

}  // namespace sentrel::test
