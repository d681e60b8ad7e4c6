#include "events/mail_action.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "events/abandoned_notice.h"
#include "events/event_list.h"
#include "events/placeholders.h"
#include "events/smtp_client.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/file_util.h"

namespace sentrel {

std::vector<std::string> SplitTextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(line));
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

namespace {

void AppendMailLog(const char* word, const Event& ev, const std::string& message,
                   const std::string& server, const std::string& status) {
  AppendToFile(kMailLogName, FormatDateTime(Now()) + word + ev.MailAddress + " " + server + " " +
                                 message + " " + status + "\r\n");
}

uint16_t ParsePort(const std::string& text) {
  bool ok = !text.empty() && text.size() <= 5;
  for (char c : text) ok = ok && c >= '0' && c <= '9';
  if (!ok || std::stoul(text) > 65535)
    throw SentrelError("Mail server port \"" + text + "\" is not a number");
  return static_cast<uint16_t>(std::stoul(text));
}

}  // namespace

std::string NewMessageId() {
  static uint64_t counter = 0;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strcpy(host, "localhost");
  // Only what a message id may hold: a host name with odd characters keeps the id valid.
  std::string domain;
  for (const char* c = host; *c; ++c)
    domain += (std::isalnum(static_cast<unsigned char>(*c)) || *c == '.' || *c == '-') ? *c : '-';
  int year = 0, month = 0, day = 0;
  const double now = Now();
  DecodeDate(now, year, month, day);
  const int ms = TimeOfDayMs(now);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d.%d.%llu", year, month, day,
                ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, static_cast<int>(getpid()),
                static_cast<unsigned long long>(++counter));
  return "<" + std::string(stamp) + ".sentrel@" + domain + ">";
}

Task<void> SendEventMail(Event ev, std::string message, std::string server, std::string status,
                         const TextPane* history) {
  std::vector<std::string> lines = SplitTextLines(ReadActionFile(ev.Mailtext, "Mail template"));
  AppendMailLog(" MAIL ", ev, message, server, status);
  if (lines.size() < 3)
    throw SentrelError("Mail template " + ev.Mailtext + " has no sender or no subject line");

  const std::string serverLine = lines.front();
  size_t first = serverLine.find(':');
  if (first == std::string::npos)
    throw SentrelError("No port in the mail server line \"" + serverLine + "\"");
  std::string host = serverLine.substr(0, first);
  size_t second = serverLine.find(':', first + 1);
  uint16_t port = ParsePort(serverLine.substr(
      first + 1, second == std::string::npos ? std::string::npos : second - first - 1));
  std::string greetingName = second == std::string::npos ? "" : serverLine.substr(second + 1);

  // The placeholders are filled over the whole rest at once: a value with line breaks
  // in the sender or subject line moves the lines after it down.
  std::string rest;
  for (size_t i = 1; i < lines.size(); ++i) rest += lines[i] + "\r\n";
  lines = SplitTextLines(ExpandPlaceholders(rest, message, server, status, history));
  if (lines.size() < 2)
    throw SentrelError("Mail template " + ev.Mailtext + " has no sender or no subject line");

  MailMessage mail;
  mail.senderAddress = lines[0];
  mail.subject = lines[1];
  mail.body.assign(lines.begin() + 2, lines.end());
  mail.senderName = kMailSenderName;
  mail.recipients = SplitRecipients(ev.MailAddress);
  // A mail needs its date (RFC 5322), and filters distrust one without an id.
  mail.date = FormatRfc5322(Now(), LocalUtcOffsetMinutes());
  mail.messageId = NewMessageId();

  // A mail the program gives up on (it is closing) is said, since no DONE line follows.
  AbandonedNotice abandoned("Mail abandoned before it was sent: to " + ev.MailAddress +
                            " about " + message);
  SmtpClient client;
  try {
    co_await client.Connect(host, port, greetingName);
    co_await client.Send(mail);
    co_await client.Disconnect();
  } catch (...) {
    abandoned.Finished();  // a failure is reported as what it is
    throw;
  }
  abandoned.Finished();
  AppendMailLog(" DONE ", ev, message, server, status);
}

}  // namespace sentrel
