// Bytes a browser (or anything else) sends to the status web server, in pieces, and the
// ways it may leave. The server listens on port 80 of a network namespace of our own and
// runs on the loop; this harness is its client on 127.0.0.1.
// Input: byte 0 decides the cut into pieces, byte 1 holds flags (bit 0: the client resets
// the connection instead of closing it, bit 1: it leaves before reading the page, bit 2: a
// second client connects meanwhile and sends nothing), the rest is what the client sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/text_pane.h"
#include "fuzz_support.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "reports/status_web_server.h"

using namespace sentrel;
using fuzz::Check;

namespace {

struct Harness {
  FakeClock clock;
  EventLoop loop;
  std::vector<std::string> errors;
  TServerList servers;
  TextPane messages{"Messages/Errors"};
  std::unique_ptr<StatusWebServer> web;

  Harness() {
    SetCurrentClock(&clock);
    SetCurrentLoop(&loop);
    clock.AttachLoop(&loop);
    loop.SetErrorHandler([this](const std::string& m) { errors.push_back(m); });
    servers.messagePane = &messages;
    TServer* s = servers.Items(servers.Add("web1"));
    s->ip = "127.0.0.1";
    TPort* http = s->ports.Items(s->ports.Add("http"));
    http->status = "red";
    http->lostCount = 3;
    TPort* ping = s->ports.Items(s->ports.Add("ping"));
    ping->status = "green";
    messages.AddLine("2026-12-07 14:00:00 web1 HTTP 80 DOWN <b>500</b> \"Internal\" & more");
    web = std::make_unique<StatusWebServer>(servers, [](const std::string&) {});
    web->SetPorts({80});
    web->StartWebserver();
    if (!web->Listening()) fuzz::Broken("the status server does not listen");
  }
};

int Connect() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(80);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  Check(rc == 0 || errno == EINPROGRESS, "the client connects");
  return fd;
}

void Leave(int fd, bool reset) {
  if (reset)
    fuzz::CloseAbortive(fd);
  else
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzz::EnterPrivateNetwork() || size < 2) return 0;
  static Harness* h = new Harness;
  const bool reset = data[1] & 1;
  const bool leaveEarly = data[1] & 2;
  const bool idleNeighbour = data[1] & 4;
  std::string_view request(reinterpret_cast<const char*>(data) + 2, size - 2);
  const int32_t countBefore = h->web->requestCount;

  int idle = idleNeighbour ? Connect() : -1;
  int fd = Connect();
  std::string reply;
  bool eof = false;
  h->loop.Watch(fd, EPOLLIN | EPOLLRDHUP, [&](uint32_t) {
    if (!fuzz::DrainInto(fd, reply)) eof = true;
  });

  fuzz::Pieces pieces(data[0], request);
  std::string_view piece;
  while (pieces.Next(piece)) {
    if (!fuzz::SendAll(fd, piece, h->loop)) break;
    h->loop.Pump();
  }
  h->loop.Pump();

  if (!request.empty() && !leaveEarly) {
    // The page comes whole and byte for byte, however the request was cut, then the
    // server's end of the connection.
    Check(h->loop.WaitUntil([&] { return eof; }, 5000), "the page ends");
    Check(reply == std::string(kStatusReplyHeader) + h->web->GetStatusHTML(), "the whole page");
    Check(h->web->requestCount == countBefore + 1, "one request counted per connection");
  }
  if (request.empty()) {
    Check(reply.empty(), "nothing asked, nothing answered");
    Check(h->web->requestCount == countBefore, "nothing counted");
  }

  h->loop.Unwatch(fd);
  Leave(fd, reset);
  if (idle >= 0) Leave(idle, reset);
  // Every connection goes as soon as its client has left, not when a timer runs out.
  const int64_t start = h->clock.MonotonicMs();
  Check(h->loop.WaitUntil([&] { return h->web->ConnectionCount() == 0; }, 60000),
        "the server lets go of every connection");
  Check(h->clock.MonotonicMs() - start < StatusWebServer::kIdleLimitMs,
        "a connection goes when its client leaves");
  // A client that leaves in order, after its page, is no error.
  Check(h->errors.empty() || reset || leaveEarly, "no error for a client that behaves");
  h->errors.clear();
  return 0;
}
