// Bytes a browser (or anything else) sends to the status web server, in pieces, and the
// ways it may leave. The server listens on port 80 of a network namespace of our own and
// runs on the loop; this harness is its client on 127.0.0.1.
// Input: byte 0 decides the cut into pieces, byte 1 holds flags (bit 0: the client resets
// the connection instead of closing it, bit 1: it leaves before reading the page, bit 2: a
// second client connects meanwhile and sends nothing), the rest is what the client sends.
#include <arpa/inet.h>
#include <zlib.h>
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
  ServerList servers;
  TextPane messages{"Messages/Errors"};
  std::unique_ptr<StatusWebServer> web;

  Harness() {
    SetCurrentClock(&clock);
    SetCurrentLoop(&loop);
    clock.AttachLoop(&loop);
    loop.SetErrorHandler([this](const std::string& m) { errors.push_back(m); });
    servers.messagePane = &messages;
    Server* s = servers.Items(servers.Add("web1"));
    s->ip = "127.0.0.1";
    Monitor* http = s->ports.Items(s->ports.Add("http"));
    http->status = "red";
    http->lostCount = 3;
    Monitor* ping = s->ports.Items(s->ports.Add("ping"));
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

std::string Inflate(std::string_view gz) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) fuzz::Broken("zlib");
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = static_cast<uInt>(gz.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    char buf[65536];
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  }
  inflateEnd(&z);
  Check(rc == Z_STREAM_END && z.avail_in == 0, "a gzip reply is one whole gzip stream");
  return out;
}

// Whatever was asked, one whole reply: its header block, a Content-Length that is the
// size of what follows, and for the page exactly the page (as it is, or gzip of it).
void CheckReply(const std::string& reply, const std::string& page) {
  const size_t end = reply.find("\r\n\r\n");
  Check(end != std::string::npos, "a reply has its header block");
  const std::string head = reply.substr(0, end + 2);
  const std::string_view body = std::string_view(reply).substr(end + 4);
  // A badge of a monitor that is not there is the one reply with another status.
  Check(head.rfind("HTTP/1.0 200 OK", 0) == 0 ||
            (head.rfind("HTTP/1.0 404 Not Found\r\nContent-Type: image/svg+xml", 0) == 0),
        "every request is answered with 200, an unknown badge with 404");
  const size_t length = head.find("Content-Length: ");
  Check(length != std::string::npos, "every reply says its length");
  const size_t value = length + 16;
  Check(head.substr(value, head.find("\r\n", value) - value) == std::to_string(body.size()),
        "Content-Length is the length");
  const bool gzip = head.find("\r\nContent-Encoding: gzip\r\n") != std::string::npos;
  const std::string plain = gzip ? Inflate(body) : std::string(body);
  if (head.rfind(std::string(kStatusReplyHeader), 0) == 0)
    Check("\r\n" + plain == page, "the whole page");
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
    CheckReply(reply, h->web->GetStatusHTML());
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
