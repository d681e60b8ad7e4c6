#include "support/web_servers.h"

#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace sentrel::test {

namespace {

bool Accepts(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return ok;
}

}  // namespace

uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  close(BindLoopback(SOCK_STREAM, &port));
  return port;
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
    if (Accepts(port_)) {
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
                "  server {\n"
                "    listen 127.0.0.1:" +
                std::to_string(port_) +
                " backlog=4096;\n"
                "    root " +
                d +
                "/www;\n"
                "    location = /old { return 302 /index.html; }\n"
                "  }\n"
                "}\n");
  Start({nginx, "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"});
}

TinyProxy::TinyProxy() {
  std::string tinyproxy = FindProgram("tinyproxy");
  if (tinyproxy.empty()) {
    why_ = "tinyproxy is not installed (Debian package tinyproxy)";
    return;
  }
  port_ = FreeLoopbackPort();
  const std::string d = dir_.Path();
  WriteFile(d + "/tinyproxy.conf", "Port " + std::to_string(port_) +
                                       "\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\n"
                                       "LogFile \"" +
                                       d + "/tinyproxy.log\"\nPidFile \"" + d +
                                       "/tinyproxy.pid\"\n"
                                       "LogLevel Info\nAllow 127.0.0.1\n");
  Start({tinyproxy, "-d", "-c", d + "/tinyproxy.conf"});
}

}  // namespace sentrel::test
