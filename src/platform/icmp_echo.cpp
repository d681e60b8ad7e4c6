#include "platform/icmp_echo.h"

#include <fcntl.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/ini_file.h"
#include "platform/process.h"

namespace sentrel {

namespace {

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kDestUnreachable = 3;
constexpr uint8_t kSourceQuenchType = 4;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kTimeExceeded = 11;
constexpr uint8_t kParameterProblemType = 12;

constexpr uint8_t kV6DestUnreachable = 1;
constexpr uint8_t kV6PacketTooBig = 2;
constexpr uint8_t kV6TimeExceeded = 3;
constexpr uint8_t kV6ParameterProblem = 4;
constexpr uint8_t kV6EchoRequest = 128;
constexpr uint8_t kV6EchoReply = 129;

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v & 0xff);
}

uint16_t Checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += Get16(data + i);
  if (length & 1) sum += static_cast<uint32_t>(data[length - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// Identifiers for raw sockets: every raw ICMP socket on the machine sees every reply, so
// ours must differ from other programs' and from our own earlier echoes.
uint16_t NextRawId() {
  static uint16_t counter = 0;
  return static_cast<uint16_t>((static_cast<unsigned>(getpid()) * 2654435761u >> 16) +
                               ++counter * 7919u);
}

uint16_t NextSequence() {
  static uint16_t sequence = 0;
  return ++sequence;
}

// Send failures that mean the request never left: this machine has no way to that
// network, or no address of that family, so another address of the host may still do.
bool NotSent(int err) {
  return err == ENETUNREACH || err == EHOSTUNREACH || err == EADDRNOTAVAIL || err == EAFNOSUPPORT ||
         err == ENETDOWN;
}

int SendErrorStatus(int err) {
  switch (err) {
    case ENETUNREACH:
      return icmp_status::kNetUnreachable;
    case EHOSTUNREACH:
      return icmp_status::kHostUnreachable;
    case EMSGSIZE:
      return icmp_status::kPacketTooBig;
    default:
      return icmp_status::kGeneralFailure;
  }
}

}  // namespace

std::string pingStatusText(int code) {
  switch (code) {
    case 0:
      return "No error";
    case 11001:
      return "Buffer too small";
    case 11002:
      return "Destination network unreachable";
    case 11003:
      return "Destination host unreachable";
    case 11004:
      return "Destination protocol unreachable";
    case 11005:
      return "Destination port unreachable";
    case 11006:
      return "No resources";
    case 11007:
      return "Bad option";
    case 11008:
      return "Hardware error";
    case 11009:
      return "Packet too big";
    case 11010:
      return "Request timed out";
    case 11011:
      return "Bad request";
    case 11012:
      return "Bad route";
    case 11013:
      return "TTL expired in transit";
    case 11014:
      return "TTL expired in reassembly";
    case 11015:
      return "Parameter problem";
    case 11016:
      return "Source quench";
    case 11017:
      return "Option too big";
    case 11018:
      return "Bad Destination";
    case 11019:
      return "Address deleted";
    case 11020:
      return "Sp"
             "ec MTU change";  // the system's own wording for this code
    case 11021:
      return "MTU change";
    case 11050:
      return "General failure";
    case 11255:
      return "Pending";
    default:
      return "ICMP error #" + std::to_string(code);
  }
}

int IcmpErrorStatus(int type, int code) {
  switch (type) {
    case kDestUnreachable:
      switch (code) {
        case 0:   // network
        case 6:   // network unknown
        case 9:   // network prohibited
        case 11:  // network for this type of service
          return icmp_status::kNetUnreachable;
        case 2:
          return icmp_status::kProtocolUnreachable;
        case 3:
          return icmp_status::kPortUnreachable;
        case 4:
          return icmp_status::kPacketTooBig;  // fragmentation needed
        case 5:
          return icmp_status::kBadRoute;  // source route failed
        default:
          return icmp_status::kHostUnreachable;
      }
    case kTimeExceeded:
      return code == 1 ? icmp_status::kTtlExpiredReassembly : icmp_status::kTtlExpiredTransit;
    case kParameterProblemType:
      return icmp_status::kParameterProblem;
    case kSourceQuenchType:
      return icmp_status::kSourceQuench;
    default:
      return icmp_status::kGeneralFailure;
  }
}

int Icmp6ErrorStatus(int type, int code) {
  switch (type) {
    case kV6DestUnreachable:
      switch (code) {
        case 0:  // no route
        case 6:  // reject route
          return icmp_status::kNetUnreachable;
        case 4:
          return icmp_status::kPortUnreachable;
        default:  // prohibited, beyond scope, address unreachable, policy
          return icmp_status::kHostUnreachable;
      }
    case kV6PacketTooBig:
      return icmp_status::kPacketTooBig;
    case kV6TimeExceeded:
      return code == 1 ? icmp_status::kTtlExpiredReassembly : icmp_status::kTtlExpiredTransit;
    case kV6ParameterProblem:
      return icmp_status::kParameterProblem;
    default:
      return icmp_status::kGeneralFailure;
  }
}

std::optional<int> ClassifyIcmp6Message(const uint8_t* m, size_t length, uint16_t id,
                                        uint16_t sequence, bool checkId) {
  if (length < 8) return std::nullopt;
  uint8_t type = m[0];
  if (type == kV6EchoReply) {
    if (Get16(m + 6) != sequence) return std::nullopt;
    if (checkId && Get16(m + 4) != id) return std::nullopt;
    return icmp_status::kSuccess;
  }
  if (type < kV6DestUnreachable || type > kV6ParameterProblem) return std::nullopt;
  // The error quotes as much of our packet as fits: its 40-byte IPv6 header (our echo
  // carries no extension headers) and the echo header behind it.
  const uint8_t* inner = m + 8;
  size_t innerLength = length - 8;
  if (innerLength < 40 + 8 || (inner[0] >> 4) != 6) return std::nullopt;
  if (inner[6] != IPPROTO_ICMPV6) return std::nullopt;
  const uint8_t* quoted = inner + 40;
  if (quoted[0] != kV6EchoRequest || Get16(quoted + 6) != sequence) return std::nullopt;
  if (checkId && Get16(quoted + 4) != id) return std::nullopt;
  return Icmp6ErrorStatus(type, m[1]);
}

std::optional<int> ClassifyIcmpMessage(const uint8_t* m, size_t length, uint16_t id,
                                       uint16_t sequence, bool checkId) {
  if (length < 8) return std::nullopt;
  uint8_t type = m[0];
  if (type == kEchoReply) {
    if (Get16(m + 6) != sequence) return std::nullopt;
    if (checkId && Get16(m + 4) != id) return std::nullopt;
    return icmp_status::kSuccess;
  }
  if (type != kDestUnreachable && type != kTimeExceeded && type != kParameterProblemType &&
      type != kSourceQuenchType)
    return std::nullopt;
  // An error message quotes the IP header of the packet it is about and at least the
  // first eight bytes behind it: our echo request's header.
  const uint8_t* inner = m + 8;
  size_t innerLength = length - 8;
  if (innerLength < 20 || (inner[0] >> 4) != 4) return std::nullopt;
  size_t ihl = static_cast<size_t>(inner[0] & 0x0f) * 4;
  if (ihl < 20 || innerLength < ihl + 8) return std::nullopt;
  if (inner[9] != IPPROTO_ICMP) return std::nullopt;
  const uint8_t* quoted = inner + ihl;
  if (quoted[0] != kEchoRequest || Get16(quoted + 6) != sequence) return std::nullopt;
  if (checkId && Get16(quoted + 4) != id) return std::nullopt;
  return IcmpErrorStatus(type, m[1]);
}

bool SkipIpHeader(const uint8_t*& message, size_t& length) {
  if (length < 20) return false;
  size_t ihl = static_cast<size_t>(message[0] & 0x0f) * 4;
  if (ihl < 20 || length < ihl) return false;
  message += ihl;
  length -= ihl;
  return true;
}

IcmpEcho::IcmpEcho(int family) : family_(family) {
  const bool v6 = family == AF_INET6;
  const int protocol = v6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);
  fd_ = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd_ >= 0) {
    // Errors for our echoes arrive on the socket's error queue, with the ICMP type and
    // code the router sent.
    int on = 1;
    if (v6) {
      setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    } else {
      setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
    return;
  }
  fd_ = socket(family, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd_ < 0) throw SentrelError("Unable to get ping handle");
  raw_ = true;
  // A raw socket sees every ICMP message the host receives, our own requests to a local
  // address included; take only replies and the errors that can concern an echo.
  if (v6) {
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    for (int type :
         {kV6EchoReply, kV6DestUnreachable, kV6PacketTooBig, kV6TimeExceeded, kV6ParameterProblem})
      ICMP6_FILTER_SETPASS(type, &filter);
    setsockopt(fd_, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    return;
  }
  icmp_filter filter{};
  filter.data = ~((1u << kEchoReply) | (1u << kDestUnreachable) | (1u << kSourceQuenchType) |
                  (1u << kTimeExceeded) | (1u << kParameterProblemType));
  setsockopt(fd_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
}

IcmpEcho::~IcmpEcho() {
  if (fd_ >= 0) close(fd_);
}

Task<EchoResult> IcmpEcho::Echo(IpAddress address, std::string data, int ttl, int timeoutMs) {
  done_ = false;
  result_ = EchoResult{};
  const bool v6 = family_ == AF_INET6;
  if (address.Family() != family_) co_return EchoResult{0, icmp_status::kGeneralFailure, false, {}};
  if (v6) {
    setsockopt(fd_, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl);
  } else {
    setsockopt(fd_, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
  }

  std::vector<uint8_t> packet(8 + data.size());
  packet[0] = v6 ? kV6EchoRequest : kEchoRequest;
  packet[1] = 0;
  id_ = raw_ ? NextRawId() : 0;  // a datagram socket puts in its own identifier
  sequence_ = NextSequence();
  Put16(&packet[4], id_);
  Put16(&packet[6], sequence_);
  std::memcpy(packet.data() + 8, data.data(), data.size());
  // The ICMPv6 checksum covers the addresses too; the system computes it for us.
  if (!v6) Put16(&packet[2], Checksum(packet.data(), packet.size()));

  sockaddr_storage to{};
  const socklen_t toLength = address.ToSockaddr(0, &to);
  ssize_t sent;
  do {
    sent = sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), toLength);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) co_return EchoResult{0, SendErrorStatus(errno), !NotSent(errno), {}};

  // The task suspends until an answer or an error message for this request arrives,
  // or the time is up; everything else on the socket is read and dropped meanwhile.
  const int64_t deadline = CurrentClock().MonotonicMs() + timeoutMs;
  while (!done_) {
    uint32_t events = co_await WaitFd(fd_, EPOLLIN | EPOLLERR, deadline);
    if (events == 0) break;
    if (events & EPOLLERR) ReadErrorQueue();
    ReadAnswers();
  }
  co_return done_ ? result_ : EchoResult{0, icmp_status::kTimedOut, true, {}};
}

void IcmpEcho::ReadAnswers() {
  uint8_t buffer[1500];
  while (!done_) {
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A datagram socket also reports a pending error here; fetch it from the queue.
      if (errno != EAGAIN && errno != EWOULDBLOCK && !raw_) ReadErrorQueue();
      return;
    }
    const uint8_t* message = buffer;
    size_t length = static_cast<size_t>(n);
    // Only an IPv4 raw socket hands over the IP header as well.
    if (raw_ && family_ == AF_INET && !SkipIpHeader(message, length)) continue;
    auto status = family_ == AF_INET6 ? ClassifyIcmp6Message(message, length, id_, sequence_, raw_)
                                      : ClassifyIcmpMessage(message, length, id_, sequence_, raw_);
    if (!status) continue;
    done_ = true;
    result_ = EchoResult{*status == icmp_status::kSuccess ? 1 : 0, *status, true, {}};
  }
}

void IcmpEcho::ReadErrorQueue() {
  for (;;) {
    uint8_t payload[576];
    char control[512];
    iovec iov{payload, sizeof payload};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &msg, MSG_ERRQUEUE);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      const bool v4Error = c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR;
      const bool v6Error = c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR;
      if (!v4Error && !v6Error) continue;
      sock_extended_err err;
      std::memcpy(&err, CMSG_DATA(c), sizeof err);
      // The payload is our own request as sent; it tells which echo the error is for.
      if (n >= 8 && Get16(payload + 6) != sequence_) continue;
      if (done_) continue;
      done_ = true;
      int status = err.ee_origin == SO_EE_ORIGIN_ICMP ? IcmpErrorStatus(err.ee_type, err.ee_code)
                   : err.ee_origin == SO_EE_ORIGIN_ICMP6
                       ? Icmp6ErrorStatus(err.ee_type, err.ee_code)
                       : SendErrorStatus(static_cast<int>(err.ee_errno));
      result_ = EchoResult{0, status, true, {}};
    }
  }
}

namespace {

// What the ping program prints for an ICMP error it received, or for a send that failed
// here, and the status code each stands for. The more particular texts come first.
struct PingPhrase {
  const char* text;  // lower case
  int status;
  bool sent;  // false: the request never left (a local error), another address may do
};
constexpr PingPhrase kPingPhrases[] = {
    {"destination net ", icmp_status::kNetUnreachable, true},
    {"destination host ", icmp_status::kHostUnreachable, true},
    {"destination protocol unreachable", icmp_status::kProtocolUnreachable, true},
    {"destination port unreachable", icmp_status::kPortUnreachable, true},
    {"destination unreachable: no route", icmp_status::kNetUnreachable, true},
    {"destination unreachable: port unreachable", icmp_status::kPortUnreachable, true},
    {"destination unreachable", icmp_status::kHostUnreachable, true},
    {"source host isolated", icmp_status::kHostUnreachable, true},
    {"packet filtered", icmp_status::kHostUnreachable, true},
    {"precedence", icmp_status::kHostUnreachable, true},
    {"frag needed", icmp_status::kPacketTooBig, true},
    {"packet too big", icmp_status::kPacketTooBig, true},
    {"source route failed", icmp_status::kBadRoute, true},
    {"source quench", icmp_status::kSourceQuench, true},
    {"time to live exceeded", icmp_status::kTtlExpiredTransit, true},
    {"time exceeded: hop limit", icmp_status::kTtlExpiredTransit, true},
    {"frag reassembly time exceeded", icmp_status::kTtlExpiredReassembly, true},
    {"time exceeded: defragmentation", icmp_status::kTtlExpiredReassembly, true},
    {"parameter problem", icmp_status::kParameterProblem, true},
    {"network is unreachable", icmp_status::kNetUnreachable, false},
    {"no route to host", icmp_status::kHostUnreachable, false},
    {"cannot assign requested address", icmp_status::kHostUnreachable, false},
    {"address family not supported", icmp_status::kNetUnreachable, false},
};

// The program's own words for a record: its lines joined, control characters blanked,
// not too long.
std::string PingWords(const std::string& output) {
  std::string words;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    start = end + 1;
    for (char& c : line) {
      auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f) c = ' ';
    }
    size_t b = line.find_first_not_of(' ');
    if (b == std::string::npos) continue;
    line = line.substr(b, line.find_last_not_of(' ') - b + 1);
    if (!words.empty()) words += "; ";
    words += line;
  }
  constexpr size_t kMaxWords = 200;
  if (words.size() > kMaxWords) words = words.substr(0, kMaxWords) + "...";
  return words;
}

class PipeEnd {
 public:
  explicit PipeEnd(int fd = -1) : fd_(fd) {}
  ~PipeEnd() { Close(); }
  PipeEnd(const PipeEnd&) = delete;
  PipeEnd& operator=(const PipeEnd&) = delete;
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

std::vector<std::string> SystemPingArguments(const IpAddress& address, int dataSize, int ttl,
                                             int timeoutMs) {
  // -W counts whole seconds; the child is stopped at the exact limit anyway.
  const int seconds = std::max(1, (timeoutMs + 999) / 1000);
  return {"-n",
          "-c",
          "1",
          "-s",
          std::to_string(dataSize),
          "-t",
          std::to_string(ttl),
          "-W",
          std::to_string(seconds),
          "--",
          address.ToString()};
}

EchoResult ParsePingOutput(const std::string& output, std::optional<int> waitStatus) {
  if (!waitStatus) return EchoResult{0, icmp_status::kTimedOut, true, {}};
  const bool exited = WIFEXITED(*waitStatus);
  const int code = exited ? WEXITSTATUS(*waitStatus) : -1;
  const std::string text = ToLower(output);
  if (code == 0 && text.find(" bytes from ") != std::string::npos)
    return EchoResult{1, icmp_status::kSuccess, true, {}};
  for (const PingPhrase& phrase : kPingPhrases)
    if (text.find(phrase.text) != std::string::npos)
      return EchoResult{0, phrase.status, phrase.sent, {}};
  // Sent, and nothing came back in time.
  if (code == 1) return EchoResult{0, icmp_status::kTimedOut, true, {}};
  // Anything else means the program could not do its work: say what it said.
  std::string words = PingWords(output);
  if (words.empty())
    words = exited ? "ping ended with status " + std::to_string(code)
                   : "ping ended by signal " + std::to_string(WTERMSIG(*waitStatus));
  return EchoResult{0, icmp_status::kGeneralFailure, false, words};
}

Task<EchoResult> SystemPingEcho(IpAddress address, int dataSize, int ttl, int timeoutMs,
                                std::string program) {
  const std::string name = program.empty() ? std::string("ping") : program;
  if (!FindProgram(name))
    co_return EchoResult{
        0, icmp_status::kGeneralFailure, false,
        "this user may open no ICMP socket and there is no " + name + " program on the PATH"};
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0)
    co_return EchoResult{0, icmp_status::kGeneralFailure, false,
                         std::string("no pipe for ping: ") + std::strerror(errno)};
  PipeEnd reader(fds[0]);
  PipeEnd writer(fds[1]);
  fcntl(reader.get(), F_SETFL, O_NONBLOCK);

  SpawnRequest request;
  request.argv = {name};
  for (auto& a : SystemPingArguments(address, dataSize, ttl, timeoutMs)) request.argv.push_back(a);
  request.outputFd = writer.get();
  // Its messages in the words this parser knows.
  request.environment = {"LC_ALL=C"};
  pid_t pid;
  try {
    pid = Spawn(request);
  } catch (const SystemError& e) {
    co_return EchoResult{0, icmp_status::kGeneralFailure, false, e.what()};
  }
  writer.Close();
  // A ping prints a few hundred bytes, far less than a pipe holds: it never blocks on
  // us, and what it wrote is read once it has ended.
  std::optional<int> status = co_await WaitForChild(pid, timeoutMs);
  std::string output;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(reader.get(), buffer, sizeof buffer);
    if (n > 0) {
      if (output.size() < 64 * 1024) output.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  co_return ParsePingOutput(output, status);
}

}  // namespace sentrel
