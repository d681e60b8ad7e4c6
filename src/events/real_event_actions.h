#pragma once

#include <cstdint>
#include <string>

#include "events/event_actions.h"

namespace sentrel {

class Frontend;
class HttpPoster;
class TextPane;

// The actions as they really happen: the popup and the print notice through the front
// end, programs and commands started without a shell, mail over SMTP, the serial script
// on a terminal device. Every command is a [Sentrel] setting (see the k...Command names
// below) so a machine can use other tools, and tests can use recording ones.
class RealEventActions : public EventActions {
 public:
  // history: the "Messages/Errors" pane for "<#hist>" and "<#allhist>" (may be null);
  // poster: what sends the webhooks (null: none are sent).
  RealEventActions(Frontend& frontend, const TextPane* history, HttpPoster* poster = nullptr)
      : frontend_(frontend), history_(history), poster_(poster) {}

  void DoNetSend(const Event& ev, const std::string& message, const std::string& server,
                 const std::string& status) override;
  void DoPopup(const Event& ev, const std::string& message) override;
  void DoPopupAbout(const Event& ev, const DesktopNotice& notice) override;
  void DoExe(const Event& ev, const std::string& message, const std::string& server,
             const std::string& status) override;
  Task<void> DoMail(Event ev, std::string message, std::string server, std::string status) override;
  Task<void> DoShutdown(Event ev) override;
  Task<void> DoSound(Event ev) override;
  Task<void> DoSerial(Event ev) override;
  void DoPrint(const Event& ev, const std::string& server, const std::string& status) override;
  void DoWebhook(const Event& ev, const std::string& message, const std::string& server,
                 const std::string& status) override;
  Task<std::string> TestWebhook(Event ev, std::string message, std::string server,
                                std::string status) override;
  // Webhooks still being delivered (or waiting for their next try), and their end.
  size_t Deliveries() const { return deliveries_.Size(); }
  void CancelDeliveries() { deliveries_.CancelAll(); }

  // Cancels a pending reboot of the named computer (empty: this one). The event editor's
  // "Cancel" button uses it; the command's outcome is not reported.
  Task<void> AbortShutdown(std::string computer) override;

 private:
  // The popup window's AddMessage: one line as it is.
  void AddMessage(const std::string& text);

  Frontend& frontend_;
  const TextPane* history_;
  HttpPoster* poster_;
  TaskGroup deliveries_;
};

// [Sentrel] settings of the commands, each a command line split like ExePara (no shell).
// "<#file>", "<#user>", "<#host>" and "<#text>" are filled inside single arguments, so a
// value can never add or split one.
inline constexpr const char* kSoundCommandKey = "SoundCommand";
// Empty: the first of pw-play, paplay and aplay found on $PATH, with the file.
inline constexpr const char* kSoundCommandDefault = "";
inline constexpr const char* kOpenCommandKey = "OpenCommand";
inline constexpr const char* kOpenCommandDefault = "xdg-open <#file>";
inline constexpr const char* kNetSendAllKey = "NetSendAllCommand";
inline constexpr const char* kNetSendAllDefault = "wall";
inline constexpr const char* kNetSendUserKey = "NetSendUserCommand";
inline constexpr const char* kNetSendUserDefault = "write -- <#user>";
// shutdown counts in minutes: +1 is the shortest delay that keeps the 40 seconds.
inline constexpr const char* kRebootKey = "RebootCommand";
inline constexpr const char* kRebootDefault = "shutdown -r +1 \"<#text>\"";
inline constexpr const char* kRemoteRebootKey = "RemoteRebootCommand";
inline constexpr const char* kRemoteRebootDefault =
    "ssh -o BatchMode=yes -o ConnectTimeout=15 -- <#host> \"shutdown -r +1 '<#text>'\"";
inline constexpr const char* kAbortRebootKey = "AbortRebootCommand";
inline constexpr const char* kAbortRebootDefault = "shutdown -c";
inline constexpr const char* kRemoteAbortRebootKey = "RemoteAbortRebootCommand";
inline constexpr const char* kRemoteAbortRebootDefault =
    "ssh -o BatchMode=yes -o ConnectTimeout=15 -- <#host> \"shutdown -c\"";

// A proxy for the webhooks ("host:port"); empty: straight to the receivers.
inline constexpr const char* kWebhookProxyKey = "WebhookProxy";

inline constexpr const char* kRebootMessage =
    "Sentrel reboots this machine NOW. Please stand back!";

// How long an action waits for a command it must see finish before it gives up on it and
// kills it: the sound player, and the reboot commands (ssh may hang on a dead host).
inline constexpr int64_t kSoundLimitMs = 10 * 60 * 1000;
inline constexpr int64_t kRebootLimitMs = 60 * 1000;

}  // namespace sentrel
