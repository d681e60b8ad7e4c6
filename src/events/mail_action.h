#pragma once

#include <string>

namespace sentrel {

class TIPEvent;
class TextPane;

// The mail action: the template named by Mailtext, filled and sent over SMTP to the
// recipients in MailAddress, with " MAIL " and " DONE " lines in "mail.log".
void SendEventMail(const TIPEvent& ev, const std::string& message, const std::string& server,
                   const std::string& status, const TextPane* history);

}  // namespace sentrel
