#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/task.h"
#include "platform/tcp_stream.h"

namespace sentrel {

// One plain-text mail as the dialogue sends it.
struct MailMessage {
  std::string senderAddress;
  std::string senderName;
  // The recipient items as they stand in the event (see SplitRecipients).
  std::vector<std::string> recipients;
  std::string subject;
  std::vector<std::string> body;
  // The Date and Message-ID headers; each is sent only when set.
  std::string date;
  std::string messageId;
};

// The items of a recipient list: separated by commas, blanks or control characters; an
// item in double quotes may hold them (two double quotes inside stand for one).
std::vector<std::string> SplitRecipients(const std::string& list);
// The address an item puts on the envelope: what stands in angle brackets, else what
// follows a colon, else the whole item. May be empty (the item then only shows in "To:").
std::string EnvelopeAddress(const std::string& item);
// The number formed by the leading digits of a reply line (at most ten), 0 when none.
int64_t ReplyCode(const std::string& line);
// The header lines of the mail, in the order they are sent.
std::vector<std::string> MailHeader(const MailMessage& mail);

// The time a whole mail dialogue may take, from the name lookup to the reply to QUIT.
inline constexpr int64_t kMailDialogueLimitMs = 60'000;

// Texts of the failures that end a dialogue.
inline constexpr const char* kHostLookupFailed = "Host Lookup Failed";
inline constexpr const char* kConnectionFailed = "Connection Failed";
inline constexpr const char* kAuthenticationFailed = "Authentication failed";
inline constexpr const char* kIncompleteHeader = "Incomplete Header";
inline constexpr const char* kMailTimedOut =
    "Mail server did not complete the dialogue within 60 seconds";
inline constexpr const char* kMailConnectionClosed =
    "Mail server closed the connection before it replied";

// Our own SMTP client. Every wait (name lookup, connection, each reply) suspends the
// task that sends the mail, so other checks and events run meanwhile; several clients
// can be in a dialogue at once, each with its own connection. A failure throws
// SentrelError with one of the texts above or the server's reply line; the connection is
// released on every path, always with an abortive close (the socket lingers for 0
// seconds), also when the task is destroyed where it waits. A CR or LF inside a command,
// header or text line is sent as a blank, so no value can end a line.
class SmtpClient {
 public:
  explicit SmtpClient(int64_t limitMs = kMailDialogueLimitMs);
  ~SmtpClient();
  SmtpClient(const SmtpClient&) = delete;
  SmtpClient& operator=(const SmtpClient&) = delete;

  // Looks the host up, connects, reads the greeting and sends HELO. The dialogue's time
  // limit starts here.
  Task<void> Connect(std::string host, uint16_t port, std::string greetingName);
  // RSET, MAIL FROM, RCPT TO for each recipient with an envelope address, DATA, the
  // header and body, and the final ".".
  Task<void> Send(MailMessage mail);
  // QUIT, its reply, and the close.
  Task<void> Disconnect();

 private:
  Task<void> SendLine(std::string line);
  Task<void> SendBytes(std::string bytes);
  // A command whose reply must be below 400.
  Task<void> Command(std::string line);
  // One reply line with its line break; throws when the server closes first or the
  // time limit passes.
  Task<std::string> ReadLine();
  Task<std::string> ReadReply(bool skipContinuations);
  [[noreturn]] void Fail(const std::string& text);

  int64_t limitMs_;
  int64_t deadline_ = 0;
  TcpStream stream_;
  bool closedByPeer_ = false;
  std::string in_;
};

}  // namespace sentrel
