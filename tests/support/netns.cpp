#include "support/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "platform/event_loop.h"

extern char** environ;

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

OwnLoop::OwnLoop(FakeClock& clock, std::vector<std::string>* errors)
    : clock_(clock), before_(&CurrentLoop()) {
  SetCurrentLoop(&loop_);
  clock_.AttachLoop(&loop_);
  if (errors) loop_.SetErrorHandler([errors](const std::string& m) { errors->push_back(m); });
}

OwnLoop::~OwnLoop() {
  SetCurrentLoop(before_);
  clock_.AttachLoop(before_);
}

bool LocalhostIsBothFamilies(std::string* found) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  std::vector<std::string> order;
  if (getaddrinfo("localhost", nullptr, &hints, &result) == 0) {
    for (addrinfo* ai = result; ai; ai = ai->ai_next) {
      char text[INET6_ADDRSTRLEN] = "";
      if (ai->ai_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr, text,
                  sizeof text);
      else if (ai->ai_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr, text,
                  sizeof text);
      order.push_back(text);
    }
    freeaddrinfo(result);
  }
  std::string joined;
  for (const auto& a : order) joined += (joined.empty() ? "" : " ") + a;
  if (found) *found = joined;
  return order.size() >= 2 && order[0] == "::1" && order[1] == "127.0.0.1";
}

LocalhostOnBothFamilies WhereLocalhostIsOnBothFamilies(std::string* why) {
  std::string found;
  if (LocalhostIsBothFamilies(&found)) return LocalhostOnBothFamilies::Here;
  constexpr const char* kOwnHosts = "SENTREL_TEST_OWN_HOSTS";
  if (getenv(kOwnHosts)) {
    *why = "even with a hosts file of its own, localhost is \"" + found + "\"";
    return LocalhostOnBothFamilies::Unavailable;
  }
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string testName = std::string(info->test_suite_name()) + "." + info->name();
  const std::string filter = "--gtest_filter=" + testName;
  char hosts[] = "/tmp/sentrel-hosts-XXXXXX";
  char log[] = "/tmp/sentrel-hosts-run-XXXXXX";
  int hostsFd = mkstemp(hosts);
  int logFd = mkstemp(log);
  if (hostsFd < 0 || logFd < 0) {
    *why = "localhost is \"" + found + "\" here, and no hosts file of our own can be made";
    return LocalhostOnBothFamilies::Unavailable;
  }
  WriteAll(hostsFd, "::1 localhost\n127.0.0.1 localhost\n");
  fchmod(hostsFd, 0644);
  close(hostsFd);

  // Everything the child needs is made before the fork: between fork and exec it only
  // makes system calls.
  std::vector<std::string> args = {"/proc/self/exe", filter};
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back(std::string(kOwnHosts) + "=1");
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const char kNoNamespace[] = "no private /etc/hosts can be bound\n";

  pid_t pid = fork();
  if (pid == 0) {
    dup2(logFd, 1);
    dup2(logFd, 2);
    if (unshare(CLONE_NEWNS) < 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
        mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr) < 0) {
      ssize_t ignored = write(2, kNoNamespace, sizeof kNoNamespace - 1);
      (void)ignored;
      _exit(77);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(logFd);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  std::string output;
  {
    std::ifstream in(log);
    output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  unlink(hosts);
  unlink(log);
  if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) == 77) {
    *why = "localhost is \"" + found + "\" here, and " + (output.empty() ? "no fork" : output);
    return LocalhostOnBothFamilies::Unavailable;
  }
  if (WEXITSTATUS(status) == 0 && output.find("[  SKIPPED ]") != std::string::npos) {
    *why = "skipped in a process with its own hosts file:\n" + output;
    return LocalhostOnBothFamilies::Unavailable;
  }
  // A run that found no test to run passes too: only the test's own "OK" counts.
  if (WEXITSTATUS(status) != 0 || output.find("[       OK ] " + testName) == std::string::npos)
    ADD_FAILURE() << "in a process with its own hosts file (localhost is ::1, 127.0.0.1):\n"
                  << output;
  return LocalhostOnBothFamilies::RanElsewhere;
}

bool BecomeNobody(std::string* why) {
  constexpr uid_t kNobody = 65534;
  if (setgroups(0, nullptr) < 0 || setresgid(kNobody, kNobody, kNobody) < 0 ||
      setresuid(kNobody, kNobody, kNobody) < 0) {
    if (why) *why = std::string("cannot become nobody: ") + std::strerror(errno);
    return false;
  }
  return true;
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

EchoRequestRecorder::EchoRequestRecorder(int family) : family_(family) {
  const int protocol =
      family == AF_INET6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);
  fd_ = socket(family, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd_ < 0) throw std::runtime_error("raw socket failed");
  if (family == AF_INET6) {
    int on = 1;
    setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
    setsockopt(fd_, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
  }
  CurrentLoop().Watch(fd_, EPOLLIN, [this](uint32_t) { OnPacket(); });
}

EchoRequestRecorder::~EchoRequestRecorder() {
  CurrentLoop().Unwatch(fd_);
  close(fd_);
}

void EchoRequestRecorder::OnPacket() {
  for (;;) {
    uint8_t packet[1500];
    char control[256];
    iovec iov{packet, sizeof packet};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &msg, 0);
    if (n <= 0) return;
    size_t length = static_cast<size_t>(n);
    if (family_ == AF_INET6) {
      int hops = -1;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT)
          std::memcpy(&hops, CMSG_DATA(c), sizeof hops);
      if (length < 8 || packet[0] != ICMP6_ECHO_REQUEST) continue;
      seen_.push_back("ttl=" + std::to_string(hops) + " data=" + std::to_string(length - 8));
    } else {
      size_t ihl = static_cast<size_t>(packet[0] & 0x0f) * 4;
      if (length < ihl + 8 || packet[ihl] != 8) continue;
      seen_.push_back("ttl=" + std::to_string(packet[8]) +
                      " data=" + std::to_string(length - ihl - 8));
    }
  }
}

}  // namespace sentrel::test
