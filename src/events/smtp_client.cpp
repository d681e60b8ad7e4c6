// Our SMTP client: one dialogue per mail, every wait served by the loop.
#include "events/smtp_client.h"



#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/name_lookup.h"
#include "platform/tcp_stream.h"

namespace sentrel {

std::vector<std::string> SplitRecipients(const std::string& list) {
  std::vector<std::string> items;
  auto separator = [](char c) { return c == ',' || static_cast<unsigned char>(c) <= ' '; };
  size_t i = 0;
  while (i < list.size()) {
    if (separator(list[i])) {
      ++i;
      continue;
    }
    std::string item;
    if (list[i] == '"') {
      ++i;
      while (i < list.size()) {
        if (list[i] == '"') {
          if (i + 1 < list.size() && list[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += list[i++];
      }
    }
    while (i < list.size() && !separator(list[i])) item += list[i++];
    items.push_back(std::move(item));
  }
  return items;
}

std::string EnvelopeAddress(const std::string& item) {
  size_t lt = item.find('<');
  if (lt != std::string::npos) {
    std::string rest = item.substr(lt + 1);
    rest = rest.substr(0, rest.find('<'));
    return rest.substr(0, rest.find('>'));
  }
  size_t colon = item.find(':');
  if (colon != std::string::npos) {
    std::string rest = item.substr(colon + 1);
    return rest.substr(0, rest.find(':'));
  }
  return item;
}

int64_t ReplyCode(const std::string& line) {
  int64_t code = 0;
  for (size_t i = 0; i < line.size() && i < 10; ++i) {
    if (line[i] < '0' || line[i] > '9') break;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

std::vector<std::string> MailHeader(const MailMessage& mail) {
  std::vector<std::string> header;
  header.push_back("From: " + mail.senderName + "<" + mail.senderAddress + ">");
  if (!mail.recipients.empty()) {
    std::string to = "To: ";
    for (size_t i = 0; i < mail.recipients.size(); ++i) {
      if (i) to += ',';
      to += mail.recipients[i];
    }
    header.push_back(to);
  }
  if (!mail.subject.empty()) header.push_back("Subject: " + mail.subject);
  if (!mail.date.empty()) header.push_back("Date: " + mail.date);
  if (!mail.messageId.empty()) header.push_back("Message-ID: " + mail.messageId);
  header.push_back("Mime-Version: 1.0");
  header.push_back("Content-Type: text/plain; charset=us-ascii");
  return header;
}

namespace {

std::string WithoutLineBreak(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// A CR or LF inside a command or a header line would end it early and let the rest pass
// for a command or header of its own (a quoted recipient may hold any control character).
// They go out as blanks; the server then refuses the odd address, not our dialogue.
std::string OneLine(std::string line) {
  for (char& c : line)
    if (c == '\r' || c == '\n') c = ' ';
  return line;
}

}  // namespace

SmtpClient::SmtpClient(int64_t limitMs) : limitMs_(limitMs) {}

SmtpClient::~SmtpClient() = default;

void SmtpClient::Fail(const std::string& text) {
  stream_.Close();
  throw SentrelError(text);
}

Task<void> SmtpClient::SendBytes(std::string bytes) {
  if (closedByPeer_) Fail(kMailConnectionClosed);
  const bool sent = co_await stream_.Write(std::move(bytes), deadline_);
  if (sent) co_return;
  if (stream_.TimedOut()) Fail(kMailTimedOut);
  closedByPeer_ = true;
  Fail(kMailConnectionClosed);
}

Task<void> SmtpClient::SendLine(std::string line) { co_await SendBytes(OneLine(std::move(line)) + "\r\n"); }

Task<std::string> SmtpClient::ReadLine() {
  // A reply already received stands even when the server has closed since.
  char buffer[4096];
  while (in_.find('\n') == std::string::npos && !closedByPeer_) {
    // Every wait of the dialogue counts against the one time limit.
    if (CurrentClock().MonotonicMs() >= deadline_) Fail(kMailTimedOut);
    const ssize_t n = co_await stream_.Read(buffer, sizeof buffer, deadline_);
    if (n > 0)
      in_.append(buffer, static_cast<size_t>(n));
    else if (stream_.TimedOut())
      Fail(kMailTimedOut);
    else
      closedByPeer_ = true;  // orderly end or a reset: either way no more replies
  }
  size_t lf = in_.find('\n');
  if (lf == std::string::npos) Fail(kMailConnectionClosed);
  std::string line = in_.substr(0, lf + 1);
  in_.erase(0, lf + 1);
  co_return line;
}

Task<std::string> SmtpClient::ReadReply(bool skipContinuations) {
  std::string line = co_await ReadLine();
  if (skipContinuations)
    while ((!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-'))
      line = co_await ReadLine();
  co_return line;
}

Task<void> SmtpClient::Connect(std::string host, uint16_t port, std::string greetingName) {
  deadline_ = CurrentClock().MonotonicMs() + limitMs_;
  // The lookup runs beside the loop like every other name lookup of the program, within
  // the dialogue's time limit.
  LookupResult found;
  Trigger answered;
  auto lookup = NameLookup::Start(host, [&found, &answered](int error, in_addr address) {
    found.error = error;
    found.address = address;
    answered.Fire();
  });
  if (!co_await answered.Wait(deadline_)) {
    lookup.reset();  // cancels: the handler above is never called after this
    Fail(kMailTimedOut);
  }
  if (found.error != 0) Fail(kHostLookupFailed);
  // The socket lingers for 0 seconds: every close of the dialogue resets the connection.
  stream_.ResetOnClose();
  bool connected = false;
  std::vector<IpAddress> addresses(1, IpAddress(found.address));
  try {
    connected = co_await stream_.Connect(std::move(addresses), port, deadline_);
  } catch (const SystemError&) {
  }
  if (!connected) Fail(stream_.TimedOut() ? kMailTimedOut : kConnectionFailed);
  // Every command is one whole line that waits for its reply anyway; holding the short
  // final "." back until the mail text is acknowledged would only add a delay.
  stream_.NoDelay();
  co_await ReadReply(true);  // the greeting; its code is not tested
  co_await SendLine("HELO " + greetingName);
  if (ReplyCode(co_await ReadReply(true)) >= 300) Fail(kAuthenticationFailed);
}

Task<void> SmtpClient::Command(std::string line) {
  co_await SendLine(std::move(line));
  std::string reply = co_await ReadReply(false);
  if (ReplyCode(reply) >= 400) Fail(WithoutLineBreak(reply));
}

Task<void> SmtpClient::Send(MailMessage mail) {
  std::vector<std::string> header = MailHeader(mail);
  if (mail.senderAddress.empty() || mail.recipients.empty()) Fail(kIncompleteHeader);

  co_await Command("RSET");
  co_await Command("MAIL FROM:<" + mail.senderAddress + ">");
  for (const auto& item : mail.recipients) {
    std::string address = EnvelopeAddress(item);
    if (address.empty()) continue;
    // A refused recipient does not end the dialogue; DATA fails when none was taken.
    co_await SendLine("RCPT TO:<" + address + ">");
    co_await ReadReply(false);
  }
  co_await Command("DATA");
  std::string data;
  for (const auto& line : header) data += OneLine(line) + "\r\n";
  data += "\r\n\r\n";
  for (const auto& line : mail.body) {
    if (!line.empty() && line[0] == '.') data += '.';
    data += OneLine(line) + "\r\n";
  }
  co_await SendBytes(std::move(data));
  co_await Command(".");
}

Task<void> SmtpClient::Disconnect() {
  std::string reply;
  co_await SendLine("QUIT");
  try {
    reply = co_await ReadReply(false);
  } catch (const SentrelError&) {
    // The server took the mail with its reply to "."; a server that hangs up or keeps
    // silent after QUIT does not undo that.
  }
  stream_.Close();
  if (ReplyCode(reply) >= 340) throw SentrelError(WithoutLineBreak(reply));
}

}  // namespace sentrel
