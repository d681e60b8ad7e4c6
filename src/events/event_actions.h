#pragma once

#include <string>

namespace sentrel {

class TIPEvent;

// The eight actions of an event. Each gets the event's settings as they were when the
// execution started (a copy, so an event list replaced during a wait never leaves an
// action with a destroyed event). A failing action throws; that ends the execution.
class EventActions {
 public:
  virtual ~EventActions() = default;
  virtual void DoNetSend(const TIPEvent& ev, const std::string& message,
                         const std::string& server, const std::string& status) = 0;
  virtual void DoPopup(const TIPEvent& ev, const std::string& message) = 0;
  virtual void DoExe(const TIPEvent& ev, const std::string& message, const std::string& server,
                     const std::string& status) = 0;
  virtual void DoMail(const TIPEvent& ev, const std::string& message, const std::string& server,
                      const std::string& status) = 0;
  virtual void DoShutdown(const TIPEvent& ev) = 0;
  virtual void DoSound(const TIPEvent& ev) = 0;
  virtual void DoSerial(const TIPEvent& ev) = 0;
  virtual void DoPrint(const TIPEvent& ev, const std::string& server,
                       const std::string& status) = 0;
  // Cancels a pending reboot of the named computer (empty: this one). Only the event
  // editor asks for it; the outcome is not reported.
  virtual void AbortShutdown(const std::string& /*computer*/) {}
};

}  // namespace sentrel
