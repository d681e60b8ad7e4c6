#include "events/mail_action.h"

#include "platform/error.h"

namespace sentrel {

void SendEventMail(const TIPEvent&, const std::string&, const std::string&, const std::string&,
                   const TextPane*) {
  throw SentrelError("Mail is not available yet");
}

}  // namespace sentrel
