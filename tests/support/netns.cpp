#include "support/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "platform/event_loop.h"

namespace sentrel::test {

namespace {

bool BringLoopbackUp() {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  if (ok) {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  }
  close(s);
  return ok;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

uint16_t Checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2)
    sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (length & 1) sum += static_cast<uint32_t>(data[length - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

}  // namespace

bool RunInNetworkNamespace(const std::function<std::string()>& body, std::string& output) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0) {
    output = "pipe failed";
    return false;
  }
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    output = "fork failed";
    return false;
  }
  if (pid == 0) {
    close(fds[0]);
    if (unshare(CLONE_NEWNET) < 0) {
      WriteAll(fds[1], std::string("no network namespace: ") + std::strerror(errno));
      _exit(3);
    }
    if (!BringLoopbackUp()) {
      WriteAll(fds[1], "cannot bring loopback up in the namespace");
      _exit(3);
    }
    std::string result;
    try {
      result = body();
    } catch (const std::exception& e) {
      result = std::string("exception: ") + e.what();
    }
    WriteAll(fds[1], result);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  output = text;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  if (output.empty()) output = "namespace child failed";
  return false;
}

bool WriteProcSys(const std::string& name, const std::string& value) {
  std::ofstream f("/proc/sys/" + name);
  if (!f) return false;
  f << value << "\n";
  f.flush();
  return static_cast<bool>(f);
}

IcmpResponder::IcmpResponder(uint8_t type, uint8_t code) : type_(type), code_(code) {
  fd_ = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd_ < 0) throw std::runtime_error("raw socket failed");
  CurrentLoop().Watch(fd_, EPOLLIN, [this](uint32_t) { OnPacket(); });
}

IcmpResponder::~IcmpResponder() {
  CurrentLoop().Unwatch(fd_);
  close(fd_);
}

void IcmpResponder::OnPacket() {
  uint8_t packet[1500];
  for (;;) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) return;
    size_t ihl = static_cast<size_t>(packet[0] & 0x0f) * 4;
    if (static_cast<size_t>(n) < ihl + 8 || packet[ihl] != 8) continue;  // echo requests only
    std::vector<uint8_t> error(8 + ihl + 8, 0);
    error[0] = type_;
    error[1] = code_;
    std::memcpy(&error[8], packet, ihl + 8);
    uint16_t sum = Checksum(error.data(), error.size());
    error[2] = static_cast<uint8_t>(sum >> 8);
    error[3] = static_cast<uint8_t>(sum);
    sendto(fd_, error.data(), error.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
  }
}

}  // namespace sentrel::test
