#pragma once

#include <string>

#include "events/event_list.h"
#include "model/frontend.h"
#include "platform/task.h"

namespace sentrel {

// The nine actions of an event. Each gets the event's settings as they were when the
// execution started (a copy, so an event list replaced during a wait never leaves an
// action with a destroyed event). A failing action throws; the execution reports it and
// goes on with the next action. The actions that wait (mail, reboot, sound, serial) are
// tasks: they suspend while they wait, and only their own execution waits with them.
class EventActions {
 public:
  virtual ~EventActions() = default;
  virtual void DoNetSend(const Event& ev, const std::string& message, const std::string& server,
                         const std::string& status) = 0;
  virtual void DoPopup(const Event& ev, const std::string& message) = 0;
  // The popup of an execution, knowing what it is about (the desktop's notification
  // says it too); without more to do with that, the plain popup.
  virtual void DoPopupAbout(const Event& ev, const DesktopNotice& notice) {
    DoPopup(ev, notice.message);
  }
  virtual void DoExe(const Event& ev, const std::string& message, const std::string& server,
                     const std::string& status) = 0;
  // The waiting actions take their texts by value: the task outlives its caller's copies.
  virtual Task<void> DoMail(Event ev, std::string message, std::string server,
                            std::string status) = 0;
  virtual Task<void> DoShutdown(Event ev) = 0;
  virtual Task<void> DoSound(Event ev) = 0;
  virtual Task<void> DoSerial(Event ev) = 0;
  virtual void DoPrint(const Event& ev, const std::string& server, const std::string& status) = 0;
  // Starts delivering the event's webhook and returns: the delivery and its retries go on
  // by themselves, so a slow receiver holds up no other action.
  virtual void DoWebhook(const Event& /*ev*/, const std::string& /*message*/,
                         const std::string& /*server*/, const std::string& /*status*/) {}
  // One try of the webhook for the event editor's Test button, ending with the
  // receiver's answer ("HTTP 200 OK"); throws when it failed.
  virtual Task<std::string> TestWebhook(Event /*ev*/, std::string /*message*/,
                                        std::string /*server*/, std::string /*status*/) {
    co_return std::string();
  }
  // Cancels a pending reboot of the named computer (empty: this one). Only the event
  // editor asks for it; the outcome is not reported.
  virtual Task<void> AbortShutdown(std::string /*computer*/) { co_return; }
};

}  // namespace sentrel
