#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/awaitables.h"
#include "platform/event_loop.h"
#include "platform/http_post.h"
#include "platform/task.h"

namespace sentrel {

class Monitor;
class ServerList;

// Sends the monitors that are down to one or more Alertmanagers, which then group them,
// silence, inhibit and route them to their receivers.
//
// A monitor fires when a failure event of it acts: the alert policy let it through (no
// maintenance, no parent down) and its failure number passed the event's latency count.
// Its alert goes to every Alertmanager at once, again every minute while it fires, and
// as resolved once the monitor is no longer red, is held back, or is gone.
//
// The labels say only what the server file says (alertname, server, monitor, type, port,
// group, severity), never which Sentrel sends them: several Sentrels that watch the same
// file and post to the same Alertmanagers give one alert, which Alertmanager notifies once.
class AlertmanagerNotifier {
 public:
  // What the notifier asks of the program: whether a monitor is held back now, and the
  // status page's address for the alerts' generatorURL (empty while it does not run).
  struct Host {
    std::function<bool(const Monitor&)> held;
    std::function<std::string()> statusPageUrl;
  };

  AlertmanagerNotifier(HttpPoster& poster, Host host);
  ~AlertmanagerNotifier();
  AlertmanagerNotifier(const AlertmanagerNotifier&) = delete;
  AlertmanagerNotifier& operator=(const AlertmanagerNotifier&) = delete;

  // The Alertmanagers, as the setting AlertmanagerURLs lists them (separated by blanks or
  // commas); returns what is wrong with items that are left out. Empty: none, and the
  // alerts that fire are forgotten.
  std::vector<std::string> SetUrls(const std::string& setting);
  // Where the alerts go ("http://am:9093/api/v2/alerts"), in the setting's order.
  std::vector<std::string> Endpoints() const;
  bool Enabled() const { return !targets_.empty(); }

  // A failure event of the monitor acted with this message: it fires (again).
  void Fire(const Monitor& monitor, const std::string& message);
  // Posts as resolved every alert whose monitor is gone, no longer red or held back.
  void Sweep();
  size_t FiringCount() const { return firing_.size(); }
  // Posts still under way (or waiting for their turn).
  size_t PostsUnderWay() const { return posts_.Size(); }
  // Ends every post where it waits (the program is closing).
  void CancelPosts() { posts_.CancelAll(); }

  static constexpr const char* kAlertName = "SentrelMonitorDown";
  static constexpr int64_t kRepeatMs = 60'000;
  // A firing alert is valid this long after each post: should every Sentrel that sends it
  // stop, Alertmanager resolves it by itself.
  static constexpr int64_t kValidMs = 4 * 60'000;
  static constexpr int64_t kPostLimitMs = 10'000;

 private:
  struct Alert {
    std::weak_ptr<const char> alive;
    const Monitor* monitor;
    std::vector<std::pair<std::string, std::string>> labels;
    std::string message, record;
    double startsAt;
  };
  // One Alertmanager: posts to it go in turn, so a resolution never overtakes the alert.
  struct Target {
    std::string url;
    AsyncMutex turn;
    bool failing = false;
  };
  std::string AlertJson(const Alert& alert, bool resolved, double now) const;
  void PostToAll(const std::string& body);
  void ArmRepeat();
  void Repeat();
  static Task<void> PostTask(AlertmanagerNotifier* self, Target* target, std::string body);

  HttpPoster& poster_;
  Host host_;
  std::map<uint64_t, Alert> firing_;
  std::vector<std::unique_ptr<Target>> targets_;
  EventLoop::TimerId repeat_ = 0;
  // Declared last: posts end before the targets they use.
  TaskGroup posts_;
};

// The labels of a monitor's alert, in this order: alertname, server, monitor, type, port,
// group, severity.
std::vector<std::pair<std::string, std::string>> AlertLabels(const Monitor& monitor);

}  // namespace sentrel
