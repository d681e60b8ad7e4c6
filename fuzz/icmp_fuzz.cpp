// ICMP packets as the ping check receives them, classified against the echo it sent.
// Input: one byte of flags (bit 0: a raw socket's packet with the IP header in front,
// bit 1: compare the identifier too), two bytes identifier, two bytes sequence number,
// then the packet.
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "fuzz_support.h"
#include "platform/icmp_echo.h"

using namespace sentrel;
using fuzz::Check;

namespace {

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

const std::set<int> kErrorStatuses = {
    icmp_status::kNetUnreachable,      icmp_status::kHostUnreachable,
    icmp_status::kProtocolUnreachable, icmp_status::kPortUnreachable,
    icmp_status::kPacketTooBig,        icmp_status::kBadRoute,
    icmp_status::kTtlExpiredTransit,   icmp_status::kTtlExpiredReassembly,
    icmp_status::kParameterProblem,    icmp_status::kSourceQuench,
    icmp_status::kGeneralFailure};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const bool raw = data[0] & 1;
  const bool checkId = data[0] & 2;
  const uint16_t id = Get16(data + 1);
  const uint16_t sequence = Get16(data + 3);
  // A copy of exactly the packet's size, so a read past it is caught.
  std::vector<uint8_t> packet(data + 5, data + size);

  const uint8_t* message = packet.data();
  size_t length = packet.size();
  if (raw) {
    if (!SkipIpHeader(message, length)) return 0;
  }
  Check(message >= packet.data() && message + length == packet.data() + packet.size(),
        "the ICMP message lies inside the packet");

  auto status = ClassifyIcmpMessage(message, length, id, sequence, checkId);
  if (!status) return 0;
  Check(length >= 8, "a classified message has a header");
  if (*status == icmp_status::kSuccess) {
    Check(message[0] == 0 && Get16(message + 6) == sequence, "a success is our echo reply");
    Check(!checkId || Get16(message + 4) == id, "a success carries our identifier");
  } else {
    Check(kErrorStatuses.count(*status) == 1, "an error status is one the program names");
    Check(pingStatusText(*status).rfind("ICMP error #", 0) != 0, "an error status has a text");
    Check(*status == IcmpErrorStatus(message[0], message[1]), "the status follows type and code");
    // The quoted request must be complete inside the message.
    size_t ihl = static_cast<size_t>(message[8] & 0x0f) * 4;
    Check(8 + ihl + 8 <= length, "the quoted echo request lies inside the message");
    Check(Get16(message + 8 + ihl + 6) == sequence, "the quoted request is ours");
  }
  // Without the identifier test the same message is still an answer.
  Check(ClassifyIcmpMessage(message, length, id, sequence, false) == status,
        "dropping the identifier test keeps a match");
  return 0;
}
