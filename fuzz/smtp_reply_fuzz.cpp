// The SMTP client sending one mail while the server's replies arrive in pieces. The
// server is this harness on 127.0.0.1 port 25 of a network namespace of our own; it sends
// its next piece whenever the client waits, and closes when it has no more.
// Input: byte 0 decides the cut into pieces, the rest is everything the server says.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "events/smtp_client.h"
#include "fuzz_support.h"
#include "platform/clock.h"
#include "platform/error.h"

using namespace sentrel;
using fuzz::Check;

namespace {

struct Harness {
  FakeClock clock;
  fuzz::FeedingLoop loop;
  fuzz::Listener listener{25};
  Harness() {
    SetCurrentClock(&clock);
    SetCurrentLoop(&loop);
    clock.AttachLoop(&loop);
  }
};

// Everything the client says for the mail below, up to its final "."; "QUIT" follows
// when the server took the mail.
const std::string kDialogue =
    "HELO sentrel.example.test\r\n"
    "RSET\r\n"
    "MAIL FROM:<sentrel@example.test>\r\n"
    "RCPT TO:<ops@example.test>\r\n"
    "RCPT TO:<oncall@example.test>\r\n"
    "DATA\r\n"
    "From: Sentrel<sentrel@example.test>\r\n"
    "To: ops@example.test,On Call <oncall@example.test>\r\n"
    "Subject: web1 DOWN\r\n"
    "Mime-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n\r\n"
    "web1 HTTP 80 DOWN\r\n"
    "..a line that starts with a dot\r\n"
    "\r\n"
    ".\r\n";

bool IsOwnText(const std::string& text) {
  for (const char* t : {kHostLookupFailed, kConnectionFailed, kAuthenticationFailed,
                        kIncompleteHeader, kMailTimedOut, kMailConnectionClosed})
    if (text == t) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzz::EnterPrivateNetwork() || size < 1) return 0;
  static Harness* h = new Harness;
  std::string_view replies(reinterpret_cast<const char*>(data) + 1, size - 1);
  fuzz::Pieces pieces(data[0], replies);

  int peer = -1;
  bool closed = false;
  int spins = 0;
  std::string received;
  h->loop.onIdle = [&]() -> bool {
    if (peer < 0) {
      peer = h->listener.Accept();
      if (peer < 0) return ++spins < 1000;  // still connecting
    }
    fuzz::DrainInto(peer, received);
    if (closed) return false;
    std::string_view piece;
    if (pieces.Next(piece)) {
      fuzz::SendAll(peer, piece, h->loop);
      return true;
    }
    shutdown(peer, SHUT_WR);
    closed = true;
    return true;
  };

  MailMessage mail;
  mail.senderAddress = "sentrel@example.test";
  mail.senderName = "Sentrel";
  mail.recipients = {"ops@example.test", "On Call <oncall@example.test>"};
  mail.subject = "web1 DOWN";
  mail.body = {"web1 HTTP 80 DOWN", ".a line that starts with a dot", ""};

  const int64_t start = h->clock.MonotonicMs();
  bool sent = false;
  std::string error;
  try {
    SmtpClient client;
    RunToCompletion(client.Connect("127.0.0.1", 25, "sentrel.example.test"));
    RunToCompletion(client.Send(mail));
    RunToCompletion(client.Disconnect());
    sent = true;
  } catch (const SentrelError& e) {
    error = e.what();
  }
  h->loop.onIdle = nullptr;
  if (peer >= 0) {
    fuzz::DrainInto(peer, received);
    fuzz::CloseAbortive(peer);
  }
  h->listener.RefuseWaiting();

  Check(h->clock.MonotonicMs() == start, "no wait runs into the time limit");
  if (sent) {
    Check(received == kDialogue + "QUIT\r\n", "a mail sent is the whole dialogue");
  } else {
    // A refusal of QUIT comes after the whole dialogue.
    Check(
        kDialogue.compare(0, received.size(), received) == 0 || received == kDialogue + "QUIT\r\n",
        "a failed dialogue stops, it never says anything else");
    Check(!error.empty() && error.find('\n') == std::string::npos, "a failure is one line");
    Check(IsOwnText(error) || replies.find(error) != std::string_view::npos,
          "a failure is the client's own text or the server's reply");
  }
  return 0;
}
