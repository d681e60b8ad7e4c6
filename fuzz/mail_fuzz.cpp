// The mail action: a mail template and a recipient list, sent to a well-behaved SMTP
// server that this harness plays on 127.0.0.1 port 25 of a network namespace of its own.
// Input: line 1 is the recipient list, line 2 the event's message, the rest the template
// ("127.0.0.1:25" on its first line reaches the server).
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "events/event_list.h"
#include "events/mail_action.h"
#include "fuzz_support.h"
#include "model/text_pane.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_util.h"

using namespace sentrel;
using fuzz::Check;

namespace {

struct Harness {
  FakeClock clock;
  fuzz::FeedingLoop loop;
  fuzz::Listener listener{25};
  TextPane history;
  std::string dir = fuzz::ScratchDirectory("mail");
  Harness() {
    SetCurrentClock(&clock);
    SetCurrentLoop(&loop);
    clock.AttachLoop(&loop);
    history.AddLine("2026-12-07 13:59:00 web1 HTTP 80 DOWN 0ms");
    history.AddLine("2026-12-07 14:00:00 db1 PING 0 DOWN (timeout)");
  }
};

// The server answers every command as a mail server does and checks that the client
// keeps to the dialogue: HELO, RSET, MAIL, RCPT..., DATA, the text, ".", QUIT.
class SmtpPeer {
 public:
  explicit SmtpPeer(int fd) : fd_(fd) { Reply("220 mail.example.test ESMTP"); }

  // Handles what has arrived; true when there was anything.
  bool Serve(EventLoop& loop) {
    size_t before = in_.size();
    fuzz::DrainInto(fd_, in_);
    bool acted = in_.size() != before;
    for (size_t lf; (lf = in_.find('\n')) != std::string::npos;) {
      std::string line = in_.substr(0, lf + 1);
      in_.erase(0, lf + 1);
      Check(line.size() >= 2 && line[line.size() - 2] == '\r', "a line ends with CR LF");
      line.resize(line.size() - 2);
      Check(line.find('\r') == std::string::npos, "no bare CR inside a line");
      Line(line);
    }
    if (!out_.empty()) {
      fuzz::SendAll(fd_, out_, loop);
      out_.clear();
      acted = true;
    }
    return acted;
  }

  bool TookMail() const { return quit_ && mails_ == 1; }

 private:
  void Reply(const char* text) { out_ += std::string(text) + "\r\n"; }

  void Line(const std::string& line) {
    Check(!quit_, "nothing after QUIT");
    if (inData_) {
      if (line == ".") {
        inData_ = false;
        ++mails_;
        Reply("250 2.0.0 Ok: queued");
        return;
      }
      // Every line of the text that starts with a dot has it doubled.
      Check(line.empty() || line[0] != '.' || (line.size() >= 2 && line[1] == '.'),
            "a text line starting with a dot is doubled");
      return;
    }
    std::string verb = line.substr(0, 4);
    const std::string expected[] = {"HELO", "RSET", "MAIL", "RCPT", "DATA", "QUIT"};
    int step = -1;
    for (int i = 0; i < 6; ++i)
      if (verb == expected[i]) step = i;
    Check(step >= 0, "only the commands of the dialogue");
    // In order; RCPT may repeat, and QUIT follows the mail.
    Check(step > step_ || (step == 3 && step_ == 3), "the commands come in order");
    Check(step != 5 || mails_ == 1, "QUIT after the mail");
    Check(step != 4 || step_ == 3 || step_ == 2, "DATA after the envelope");
    step_ = step;
    switch (step) {
      case 4:
        inData_ = true;
        Reply("354 End data with <CR><LF>.<CR><LF>");
        break;
      case 5:
        quit_ = true;
        Reply("221 2.0.0 Bye");
        break;
      default:
        Reply("250 Ok");
    }
  }

  int fd_;
  std::string in_;
  std::string out_;
  int step_ = -1;
  bool inData_ = false;
  bool quit_ = false;
  int mails_ = 0;
};

std::string_view TakeLine(std::string_view& in) {
  size_t lf = in.find('\n');
  std::string_view line = in.substr(0, lf);
  in.remove_prefix(lf == std::string_view::npos ? in.size() : lf + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzz::EnterPrivateNetwork()) return 0;
  static Harness* h = new Harness;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::string recipients(TakeLine(in));
  std::string message(TakeLine(in));

  Event ev;
  ev.MailAddress = recipients;
  ev.Mailtext = h->dir + "/alarm.txt";
  WriteFileAtomic(ev.Mailtext, in);
  fuzz::InDirectory cwd(h->dir);
  unlink(kMailLogName);

  std::unique_ptr<SmtpPeer> peer;
  int fd = -1;
  int spins = 0;
  h->loop.onIdle = [&]() -> bool {
    if (!peer) {
      fd = h->listener.Accept();
      if (fd < 0) return ++spins < 1000;  // still connecting
      peer = std::make_unique<SmtpPeer>(fd);
    }
    return peer->Serve(h->loop);
  };

  bool sent = false;
  try {
    RunToCompletion(SendEventMail(ev, message, "web1", "DOWN (2)", &h->history));
    sent = true;
  } catch (const SentrelError& e) {
    Check(std::string_view(e.what()).find('\n') == std::string_view::npos, "a failure is one line");
  }
  h->loop.onIdle = nullptr;
  if (peer) peer->Serve(h->loop);
  if (fd >= 0) fuzz::CloseAbortive(fd);
  h->listener.RefuseWaiting();

  if (sent) {
    Check(peer && peer->TookMail(), "a mail reported sent was taken by the server");
    std::string log = ReadWholeFile(kMailLogName).value_or("");
    Check(log.find(" MAIL ") != std::string::npos && log.find(" DONE ") != std::string::npos,
          "the mail log shows the mail and its end");
  }
  return 0;
}
