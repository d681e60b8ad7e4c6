#pragma once

#include <string>
#include <vector>

#include "events/event_list.h"
#include "platform/task.h"

namespace sentrel {

class TextPane;

// The mail action: the template named by Mailtext (line 1 "host:port[:greeting name]",
// line 2 the sender, line 3 the subject, the rest the body), its placeholders filled,
// sent over SMTP to the recipients in MailAddress. "mail.log" in the current directory
// gets a " MAIL " line before the dialogue and a " DONE " line after it succeeded.
// Throws SentrelError on any failure. The task suspends for the whole dialogue; when it
// is destroyed before the dialogue ended, the errors log says the mail was abandoned.
Task<void> SendEventMail(Event ev, std::string message, std::string server, std::string status,
                         const TextPane* history);

// A new Message-ID: "<stamp.pid.counter.sentrel@host>", unique on this machine.
std::string NewMessageId();

// Lines of a text file: each ends with CR LF, LF or CR; a last line without an ending
// counts too, an ending at the very end adds no empty line.
std::vector<std::string> SplitTextLines(const std::string& text);

inline constexpr const char* kMailLogName = "mail.log";
inline constexpr const char* kMailSenderName = "Sentrel";

}  // namespace sentrel
