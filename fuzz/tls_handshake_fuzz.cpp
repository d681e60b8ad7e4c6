// The TLS client's handshake against a server played from memory: the client's hello goes
// nowhere, and the input is what the "server" answers, arriving in pieces, then its end.
// No socket and no network: the bytes go through the client's memory buffers.
// Input: byte 0 decides the cut into pieces, byte 1 bit 0 makes the host an address
// instead of a name, the rest is the server's bytes.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/tls_client.h"

using namespace sentrel;
using fuzz::Check;

namespace {

// A reason goes into a log record: short, one line, and naming TLS.
bool IsReason(const std::string& reason) {
  if (reason.rfind("TLS", 0) != 0 || reason.size() > 120) return false;
  for (char c : reason)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool address = data[1] & 1;
  std::string_view server(reinterpret_cast<const char*>(data) + 2, size - 2);

  TlsClient client(address ? "127.0.0.1" : "localhost");
  Check(client.Handshake() == TlsClient::Step::WantMore, "the client starts by waiting");
  std::string hello = client.TakeOutput();
  Check(hello.size() > 5 && hello[0] == '\x16' && hello[1] == '\x03',
        "the hello is a handshake record");
  Check(hello.find("localhost") != std::string::npos || address, "a host name goes out as SNI");
  Check(hello.find("127.0.0.1") == std::string::npos, "an address never goes out as SNI");

  size_t sent = 0;
  TlsClient::Step step = TlsClient::Step::WantMore;
  fuzz::Pieces pieces(data[0], server);
  std::string_view piece;
  while (step == TlsClient::Step::WantMore && pieces.Next(piece)) {
    client.Feed(piece.data(), piece.size());
    step = client.Handshake();
    sent += client.TakeOutput().size();
  }
  // Noise cannot prove that it holds a key the trust store vouches for, and the hello's
  // random is new every time, so no recorded handshake fits either.
  Check(step != TlsClient::Step::Done, "the handshake never completes");
  if (step == TlsClient::Step::WantMore) {
    client.FeedEnd();
    step = client.Handshake();
    sent += client.TakeOutput().size();
  }
  Check(step == TlsClient::Step::Failed, "the server's end fails the handshake");
  Check(IsReason(client.Failure()), "the failure has a short reason");
  Check(sent < 64 * 1024, "the client answers noise with little");

  // A failed client stays failed and hands out nothing.
  char buffer[64];
  Check(client.Handshake() == TlsClient::Step::Failed, "failed stays failed");
  Check(client.Read(buffer, sizeof buffer) == -1, "no data from a failed connection");
  Check(!client.Write("GET / HTTP/1.0\r\n\r\n"), "no data into a failed connection");
  Check(client.CertificateNotAfter() == 0, "no certificate from a failed handshake");
  return 0;
}
