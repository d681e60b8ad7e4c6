#include "platform/icmp_echo.h"

#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/event_loop.h"

namespace sentrel {

namespace {

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kDestUnreachable = 3;
constexpr uint8_t kSourceQuenchType = 4;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kTimeExceeded = 11;
constexpr uint8_t kParameterProblemType = 12;

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
      return "Sp" "ec MTU change";  // the system's own wording for this code
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

IcmpEcho::IcmpEcho() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd_ >= 0) {
    // Errors for our echoes arrive on the socket's error queue, with the ICMP type and
    // code the router sent.
    int on = 1;
    setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    return;
  }
  fd_ = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd_ < 0) throw SentrelError("Unable to get ping handle");
  raw_ = true;
  // A raw socket sees every ICMP message the host receives, our own requests to a local
  // address included; take only replies and the errors that can concern an echo.
  icmp_filter filter{};
  filter.data = ~((1u << kEchoReply) | (1u << kDestUnreachable) | (1u << kSourceQuenchType) |
                  (1u << kTimeExceeded) | (1u << kParameterProblemType));
  setsockopt(fd_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
}

IcmpEcho::~IcmpEcho() {
  if (fd_ >= 0) close(fd_);
}

Task<EchoResult> IcmpEcho::Echo(in_addr address, std::string data, int ttl, int timeoutMs) {
  done_ = false;
  result_ = EchoResult{};
  setsockopt(fd_, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);

  std::vector<uint8_t> packet(8 + data.size());
  packet[0] = kEchoRequest;
  packet[1] = 0;
  id_ = raw_ ? NextRawId() : 0;  // a datagram socket puts in its own identifier
  sequence_ = NextSequence();
  Put16(&packet[4], id_);
  Put16(&packet[6], sequence_);
  std::memcpy(packet.data() + 8, data.data(), data.size());
  Put16(&packet[2], Checksum(packet.data(), packet.size()));

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = address;
  ssize_t sent;
  do {
    sent =
        sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) co_return EchoResult{0, SendErrorStatus(errno)};

  // The task suspends until an answer or an error message for this request arrives,
  // or the time is up; everything else on the socket is read and dropped meanwhile.
  const int64_t deadline = CurrentClock().MonotonicMs() + timeoutMs;
  while (!done_) {
    uint32_t events = co_await WaitFd(fd_, EPOLLIN | EPOLLERR, deadline);
    if (events == 0) break;
    if (events & EPOLLERR) ReadErrorQueue();
    ReadAnswers();
  }
  co_return done_ ? result_ : EchoResult{0, icmp_status::kTimedOut};
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
    if (raw_ && !SkipIpHeader(message, length)) continue;
    auto status = ClassifyIcmpMessage(message, length, id_, sequence_, raw_);
    if (!status) continue;
    done_ = true;
    result_ = EchoResult{*status == icmp_status::kSuccess ? 1 : 0, *status};
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
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
      sock_extended_err err;
      std::memcpy(&err, CMSG_DATA(c), sizeof err);
      // The payload is our own request as sent; it tells which echo the error is for.
      if (n >= 8 && Get16(payload + 6) != sequence_) continue;
      if (done_) continue;
      done_ = true;
      int status = err.ee_origin == SO_EE_ORIGIN_ICMP
                       ? IcmpErrorStatus(err.ee_type, err.ee_code)
                       : SendErrorStatus(static_cast<int>(err.ee_errno));
      result_ = EchoResult{0, status};
    }
  }
}

}  // namespace sentrel
