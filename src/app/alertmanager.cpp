#include "app/alertmanager.h"

#include <cctype>

#include "model/monitor.h"
#include "model/server.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/json_text.h"
#include "scan/http_client.h"

namespace sentrel {

std::vector<std::pair<std::string, std::string>> AlertLabels(const Monitor& monitor) {
  return {{"alertname", AlertmanagerNotifier::kAlertName},
          {"server", monitor.server->name},
          {"monitor", monitor.name},
          {"type", monitor.typ},
          {"port", std::to_string(monitor.port)},
          {"group", monitor.server->group},
          {"severity", "critical"}};
}

AlertmanagerNotifier::AlertmanagerNotifier(HttpPoster& poster, Host host)
    : poster_(poster), host_(std::move(host)) {}

AlertmanagerNotifier::~AlertmanagerNotifier() {
  posts_.CancelAll();
  if (repeat_) CurrentLoop().CancelTimer(repeat_);
}

std::vector<std::string> AlertmanagerNotifier::SetUrls(const std::string& setting) {
  std::vector<std::string> problems;
  posts_.CancelAll();
  targets_.clear();
  std::string item;
  auto take = [&] {
    if (item.empty()) return;
    std::string url = std::move(item);
    item.clear();
    std::string problem = UrlProblem(url);
    if (problem.empty() && url.find("://") == std::string::npos)
      problem = "it needs http:// or https:// in front";
    if (!problem.empty()) {
      problems.push_back(url + ": " + problem);
      return;
    }
    // The base address of an Alertmanager (with the route prefix it may have) or its
    // alerts API itself.
    while (!url.empty() && url.back() == '/') url.pop_back();
    const std::string api = "/api/v2/alerts";
    if (url.size() < api.size() || url.compare(url.size() - api.size(), api.size(), api) != 0)
      url += api;
    auto target = std::make_unique<Target>();
    target->url = url;
    targets_.push_back(std::move(target));
  };
  for (char c : setting) {
    if (c == ' ' || c == ',' || c == '\t' || c == ';')
      take();
    else
      item += c;
  }
  take();
  if (targets_.empty()) {
    firing_.clear();
    if (repeat_) CurrentLoop().CancelTimer(repeat_);
    repeat_ = 0;
  }
  return problems;
}

std::vector<std::string> AlertmanagerNotifier::Endpoints() const {
  std::vector<std::string> urls;
  for (const auto& t : targets_) urls.push_back(t->url);
  return urls;
}

std::string AlertmanagerNotifier::AlertJson(const Alert& alert, bool resolved, double now) const {
  const int offset = LocalUtcOffsetMinutes();
  std::string out = "{\"labels\":{";
  for (size_t i = 0; i < alert.labels.size(); ++i) {
    if (i) out += ',';
    AppendJsonString(out, alert.labels[i].first);
    out += ':';
    AppendJsonString(out, alert.labels[i].second);
  }
  out += "},\"annotations\":{\"summary\":";
  AppendJsonString(out, alert.message);
  out += ",\"record\":";
  AppendJsonString(out, alert.record);
  out += "},\"startsAt\":\"" + FormatRfc3339Utc(alert.startsAt, offset) + "\",\"endsAt\":\"";
  out += FormatRfc3339Utc(resolved ? now : now + kValidMs / 1000.0 / kSecondsPerDay, offset);
  out += '"';
  const std::string page = host_.statusPageUrl ? host_.statusPageUrl() : std::string();
  if (!page.empty()) {
    out += ",\"generatorURL\":";
    AppendJsonString(out, page);
  }
  out += '}';
  return out;
}

void AlertmanagerNotifier::Fire(const Monitor& monitor, const std::string& message) {
  if (targets_.empty()) return;
  auto [it, fresh] = firing_.try_emplace(monitor.runId);
  Alert& alert = it->second;
  alert.alive = monitor.Watch();
  alert.monitor = &monitor;
  alert.labels = AlertLabels(monitor);
  alert.message = message;
  alert.record = monitor.lastErrorRecord;
  if (!fresh) return;  // the minute's repeat carries it
  alert.startsAt = Now();
  PostToAll("[" + AlertJson(alert, false, alert.startsAt) + "]");
  ArmRepeat();
}

void AlertmanagerNotifier::Sweep() {
  if (firing_.empty()) return;
  const double now = Now();
  std::string resolved;
  for (auto it = firing_.begin(); it != firing_.end();) {
    const Alert& alert = it->second;
    const bool gone = alert.alive.expired();
    if (!gone && alert.monitor->Colour() == StatusColour::Red &&
        !(host_.held && host_.held(*alert.monitor))) {
      ++it;
      continue;
    }
    // The labels were taken while the monitor was there: a deleted one is resolved as
    // it was announced.
    resolved += (resolved.empty() ? "" : ",") + AlertJson(alert, true, now);
    it = firing_.erase(it);
  }
  if (!resolved.empty()) PostToAll("[" + resolved + "]");
  if (firing_.empty() && repeat_) {
    CurrentLoop().CancelTimer(repeat_);
    repeat_ = 0;
  }
}

void AlertmanagerNotifier::ArmRepeat() {
  if (repeat_ || firing_.empty()) return;
  repeat_ = CurrentLoop().AddTimer(kRepeatMs, [this] {
    repeat_ = 0;
    Repeat();
  });
}

void AlertmanagerNotifier::Repeat() {
  Sweep();
  if (firing_.empty()) return;
  const double now = Now();
  std::string body;
  for (auto& [id, alert] : firing_) {
    // The record and the labels as they are now (an edit may have moved the server).
    alert.labels = AlertLabels(*alert.monitor);
    alert.record = alert.monitor->lastErrorRecord;
    body += (body.empty() ? "" : ",") + AlertJson(alert, false, now);
  }
  PostToAll("[" + body + "]");
  ArmRepeat();
}

void AlertmanagerNotifier::PostToAll(const std::string& body) {
  for (const auto& target : targets_)
    posts_.Start(PostTask(this, target.get(), body), "Alertmanager " + target->url);
}

Task<void> AlertmanagerNotifier::PostTask(AlertmanagerNotifier* self, Target* target,
                                          std::string body) {
  AsyncMutex::Guard turn = co_await target->turn.Lock();
  HttpPostRequest request;
  request.url = target->url;
  request.headers = {"Content-Type: application/json"};
  request.body = std::move(body);
  request.timeoutMs = kPostLimitMs;
  const HttpPostResult result = co_await self->poster_.Post(std::move(request));
  // One line when an Alertmanager stops taking the alerts and one when it takes them
  // again, not one a minute.
  if (!result.Delivered() && !target->failing) {
    target->failing = true;
    CurrentLoop().ReportError("Alertmanager " + target->url + " did not take the alerts: " +
                              result.Text() + "; they are sent again every minute");
  } else if (result.Delivered() && target->failing) {
    target->failing = false;
    CurrentLoop().ReportError("Alertmanager " + target->url + " takes the alerts again");
  }
}

}  // namespace sentrel
