// The system actions: popup, sound, program start, network message, reboot and print.
// None of them runs a shell; texts reach commands as single arguments or on standard
// input, so nothing a monitored server sends can become a command.
#include "events/real_event_actions.h"

#include <sys/wait.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "events/event_list.h"
#include "events/mail_action.h"
#include "events/placeholders.h"
#include "events/serial_action.h"
#include "events/webhook_action.h"
#include "model/frontend.h"
#include "model/last_activity.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "platform/process.h"
#include "platform/settings_store.h"

namespace sentrel {

namespace {

using Tokens = std::vector<std::pair<std::string, std::string>>;

// Fills the tokens in one pass: a value that happens to hold a token is not filled again.
std::string FillTokens(const std::string& arg, const Tokens& tokens) {
  std::string out;
  size_t pos = 0;
  while (pos < arg.size()) {
    bool hit = false;
    if (arg.compare(pos, 2, "<#") == 0) {
      for (const auto& [token, value] : tokens) {
        if (arg.compare(pos, token.size(), token) == 0) {
          out += value;
          pos += token.size();
          hit = true;
          break;
        }
      }
    }
    if (!hit) out += arg[pos++];
  }
  return out;
}

std::vector<std::string> CommandFromSetting(const char* key, const char* def,
                                            const Tokens& tokens) {
  std::vector<std::string> argv = SplitCommandLine(CurrentSettings().Sentrel(key, def));
  for (auto& arg : argv) arg = FillTokens(arg, tokens);
  return argv;
}

// The code a command's end stands for: its exit status, or 128 plus the signal.
int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// How a command ended: code 0 on success, else the exit code, errno when it could not
// start, or ETIMEDOUT when it had to be stopped; failure says which, for the errors log.
struct CommandEnd {
  int code = 0;
  std::string failure;
};

// Runs a command to its end. Only this task waits: a sound plays for seconds, ssh may
// wait for its connect time-out, and everything else goes on.
Task<CommandEnd> RunToEnd(std::vector<std::string> argv, int64_t limitMs) {
  SpawnRequest request;
  request.argv = std::move(argv);
  const std::string command = request.argv.empty() ? std::string() : request.argv.front();
  pid_t pid = -1;
  CommandEnd end;
  try {
    pid = Spawn(request);
  } catch (const SystemError& e) {
    end.code = e.Errno() ? e.Errno() : -1;
    end.failure = e.what();
  }
  if (end.code != 0) co_return end;
  auto status = co_await WaitForChild(pid, limitMs);
  if (!status) {
    end.code = ETIMEDOUT;
    end.failure =
        command + " did not finish within " + std::to_string(limitMs / 1000) + " s and was stopped";
  } else if (int code = ExitCode(*status); code != 0) {
    end.code = code;
    end.failure = command + " ended with exit code " + std::to_string(code);
  }
  co_return end;
}

}  // namespace

void RealEventActions::AddMessage(const std::string& text) {
  frontend_.ShowPopupMessage(text);
}

void RealEventActions::DoPopup(const Event&, const std::string& message) {
  AddMessage(FormatDateTime(Now()) + " " + message);
}

void RealEventActions::DoPopupAbout(const Event&, const DesktopNotice& notice) {
  frontend_.ShowEventPopup(FormatDateTime(Now()) + " " + notice.message, notice);
}

void RealEventActions::DoPrint(const Event&, const std::string& server, const std::string& status) {
  frontend_.ShowNotice("printer\r\n" + server + "\r\n" + status);
}

Task<void> RealEventActions::DoSound(Event ev) {
  if (ev.Sound.empty()) co_return;
  // A FIFO or a device named as the sound would keep the player reading for ever.
  RejectSpecialFile(ev.Sound, "Sound");
  std::vector<std::string> argv =
      CommandFromSetting(kSoundCommandKey, kSoundCommandDefault, {{"<#file>", ev.Sound}});
  if (argv.empty()) {
    for (const char* player : {"pw-play", "paplay", "aplay"}) {
      if (FindProgram(player)) {
        argv = {player, ev.Sound};
        break;
      }
    }
    // An action that cannot act says so where every failed action is told: it throws,
    // and the event's runner writes it to the errors log.
    if (argv.empty())
      throw SentrelError("Cannot play " + ev.Sound +
                         ": no sound player found (pw-play, paplay, aplay; or set SoundCommand)");
  }
  // The sound plays to its end before the event goes on; a player that hangs is stopped.
  // Only this event waits for it: the window and the checks go on meanwhile.
  CommandEnd end = co_await RunToEnd(std::move(argv), kSoundLimitMs);
  if (end.code != 0) throw SentrelError("Cannot play " + ev.Sound + ": " + end.failure);
}

void RealEventActions::DoExe(const Event& ev, const std::string& message, const std::string& server,
                             const std::string& status) {
  if (ev.Exe.empty()) return;
  // Split first, then fill each argument: a value can never add, split or join arguments.
  std::vector<std::string> args = SplitCommandLine(ev.ExePara);
  for (auto& arg : args) arg = ExpandPlaceholders(arg, message, server, status, history_);

  SpawnRequest request;
  auto slash = ev.Exe.rfind('/');
  if (slash != std::string::npos) request.workingDir = ev.Exe.substr(0, slash + 1);
  request.newSession = true;

  std::optional<std::string> path = FindProgram(ev.Exe);
  if (!path && FileExists(ev.Exe)) path = ev.Exe;
  if (path && IsExecutableFile(*path)) {
    request.argv.push_back(AbsolutePath(*path));
    request.argv.insert(request.argv.end(), args.begin(), args.end());
  } else if (path && FileExists(*path)) {
    // A document: open it with the desktop's handler for its type.
    request.argv = CommandFromSetting(kOpenCommandKey, kOpenCommandDefault,
                                      {{"<#file>", AbsolutePath(*path)}});
    if (request.argv.empty()) return;
  } else {
    throw SentrelError("Cannot start " + ev.Exe + ": no such program");
  }
  // A program that cannot be started throws with the reason; what a started program does
  // is its own business.
  SpawnDetached(request);
}

void RealEventActions::DoNetSend(const Event& ev, const std::string& message,
                                 const std::string& server, const std::string& status) {
  if (ev.NetSend.empty()) return;
  std::string text = ExpandPlaceholders(ev.NetSendText, message, server, status, history_);
  if (text.empty() || text.back() != '\n') text += '\n';
  SpawnRequest request;
  if (ev.NetSend == "*")
    request.argv = CommandFromSetting(kNetSendAllKey, kNetSendAllDefault, {});
  else
    request.argv =
        CommandFromSetting(kNetSendUserKey, kNetSendUserDefault, {{"<#user>", ev.NetSend}});
  if (request.argv.empty()) return;
  request.stdinText = std::move(text);
  try {
    SpawnDetached(request);
  } catch (const SentrelError& e) {
    throw SentrelError(std::string("Cannot send the network message: ") + e.what());
  }
}

Task<void> RealEventActions::DoShutdown(Event ev) {
  // Rights are the reboot command's business here (shutdown as root, ssh keys for a
  // remote computer), so of the steps that could fail only the request itself remains.
  const Tokens tokens{{"<#host>", ev.Shutdown}, {"<#text>", kRebootMessage}};
  std::vector<std::string> argv =
      ev.Shutdown.empty() ? CommandFromSetting(kRebootKey, kRebootDefault, tokens)
                          : CommandFromSetting(kRemoteRebootKey, kRemoteRebootDefault, tokens);
  if (argv.empty()) co_return;
  CommandEnd end = co_await RunToEnd(std::move(argv), kRebootLimitMs);
  if (end.code == 0) co_return;
  // The popup tells whoever sits at the screen; the errors log keeps it with the other
  // failed actions.
  AddMessage("Error rebooting remote computer (" + std::to_string(end.code) + ")");
  throw SentrelError("Cannot reboot " +
                     (ev.Shutdown.empty() ? std::string("this machine") : ev.Shutdown) + ": " +
                     end.failure);
}

Task<void> RealEventActions::AbortShutdown(std::string computer) {
  const Tokens tokens{{"<#host>", computer}};
  std::vector<std::string> argv =
      computer.empty()
          ? CommandFromSetting(kAbortRebootKey, kAbortRebootDefault, tokens)
          : CommandFromSetting(kRemoteAbortRebootKey, kRemoteAbortRebootDefault, tokens);
  if (argv.empty()) co_return;
  co_await RunToEnd(std::move(argv), kRebootLimitMs);
}

void RealEventActions::DoWebhook(const Event& ev, const std::string& message,
                                 const std::string& server, const std::string& status) {
  if (!poster_ || ev.WebhookURL.empty()) return;
  HttpPostRequest request =
      BuildWebhookRequest(ev, message, server, status, history_,
                          CurrentSettings().Sentrel(kWebhookProxyKey, ""));
  const std::string what = WebhookName(ev) + " about " + message;
  // A failure that remains after the retries ends at the group as an errors-log line.
  deliveries_.Start(DeliverWebhook(*poster_, std::move(request), what), "Webhook " + what);
}

Task<std::string> RealEventActions::TestWebhook(Event ev, std::string message, std::string server,
                                                std::string status) {
  if (!poster_) co_return std::string();
  if (ev.WebhookURL.empty()) throw SentrelError("Webhook: no URL to send to");
  HttpPostRequest request =
      BuildWebhookRequest(ev, message, server, status, history_,
                          CurrentSettings().Sentrel(kWebhookProxyKey, ""));
  co_return co_await TryWebhookOnce(*poster_, std::move(request), WebhookName(ev));
}

Task<void> RealEventActions::DoMail(Event ev, std::string message, std::string server,
                                    std::string status) {
  co_await SendEventMail(std::move(ev), std::move(message), std::move(server), std::move(status),
                         history_);
}

Task<void> RealEventActions::DoSerial(Event ev) {
  co_await RunSerialScript(std::move(ev));
}

}  // namespace sentrel
