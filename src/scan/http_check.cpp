#include "scan/http_check.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "model/last_activity.h"
#include "model/server.h"
#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/descriptor_budget.h"
#include "platform/event_loop.h"
#include "platform/socket_errors.h"
#include "platform/tls_client.h"
#include "scan/http_client.h"
#include "scan/scanner.h"

namespace sentrel {

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size()))
    text.replace(pos, from.size(), to);
}

}  // namespace

std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

HttpChecks::HttpChecks(Scanner& scan) : scan_(scan) {}

HttpChecks::~HttpChecks() {
  *alive_ = false;
  if (retryTimer_) CurrentLoop().CancelTimer(retryTimer_);
  tasks_.CancelAll();
  // The monitors outlive us here or not at all; either way none may keep a pointer to a
  // request that is about to go.
  for (auto& [id, request] : requests_) {
    HttpRequest& r = *request.client;
    if (r.monitor && r.monitor->httpRequest == &r) r.monitor->httpRequest = nullptr;
    r.monitor = nullptr;
  }
  queue_.clear();
  requests_.clear();
}

namespace {

void CopySettings(HttpRequest& request, const Monitor& monitor) {
  request.url = monitor.GetValue("url");
  request.username = monitor.GetValue("username");
  request.password = monitor.GetValue("password");
  request.proxy = monitor.GetValue("proxy");
  request.proxyPort = monitor.GetValue("proxyport");
  request.noCache = true;
}

}  // namespace

Task<void> HttpChecks::DoAHTTP(Monitor& monitor) {
  LastActivity = "DoAHTTP " + monitor.server->name;
  auto alive = monitor.Watch();

  if (auto* old = dynamic_cast<HttpRequest*>(monitor.httpRequest)) {
    // Still waiting for a connection: nothing has been asked of the server, so nothing
    // timed out. The check keeps its place and goes with the monitor's settings of now.
    if (queue_.count(old->checkId)) {
      CopySettings(*old, monitor);
      ShowWaiting();
      co_return;
    }
    // A request still running when the monitor is due again has taken too long: abort
    // it and give its verdict time to come in. Only this check waits; the rest of the
    // program goes on meanwhile.
    if (old->state() != HttpRequest::State::Ready) {
      Abort(old->checkId);
      std::weak_ptr<bool> self = alive_;
      co_await SleepFor(kAbortWaitMs);
      if (alive.expired() || self.expired() || !*self.lock()) co_return;
    }
  }

  const uint64_t id = nextId_++;
  HttpRequest* request =
      requests_.emplace(id, Request{std::make_unique<HttpRequest>()}).first->second.client.get();
  request->checkId = id;
  CopySettings(*request, monitor);
  request->onDocData = [request](const char* data, size_t size) {
    // Each piece counts as text up to its first NUL byte.
    size_t textLength = strnlen(data, size);
    size_t room = kMaxBodyText - std::min(kMaxBodyText, request->bodyText.size());
    request->bodyText.append(data, std::min(textLength, room));
  };
  std::weak_ptr<bool> self = alive_;
  request->onDetached = [this, self, id] {
    // Nothing of this request may reach a monitor any more: it stops at once, and goes
    // from the loop, since it may be the one whose verdict is being handed out now.
    auto it = requests_.find(id);
    if (it != requests_.end() && it->second.task) tasks_.Cancel(it->second.task);
    CurrentLoop().Post([this, self, id] {
      if (auto a = self.lock(); a && *a) Discard(id);
    });
  };

  monitor.httpRequest = request;
  request->monitor = &monitor;
  // While checks wait, this one joins them at the end: they go first, in their order,
  // as room comes free.
  if (!queue_.empty() || !MayStart()) {
    Enqueue(id);
    co_return;
  }
  Start(id);
}

void HttpChecks::CancelAll() {
  std::vector<HttpRequest*> all;
  all.reserve(requests_.size());
  for (auto& [id, request] : requests_) all.push_back(request.client.get());
  for (HttpRequest* request : all) {
    if (request->monitor && request->monitor->httpRequest == request)
      request->monitor->httpRequest = nullptr;
    // As for a deleted monitor: the request stops, and its completion (should one be on
    // its way) finds no monitor.
    request->DetachMonitor();
  }
  queue_.clear();
  if (retryTimer_) {
    CurrentLoop().CancelTimer(retryTimer_);
    retryTimer_ = 0;
  }
  ShowWaiting();
}

bool HttpChecks::MayStart() {
  // Every started check stands for one descriptor in the estimate until its verdict has
  // been handed out. An exact count sees only the ones holding a socket now: a check
  // still looking up its host opens one shortly, and an aborted one whose verdict still
  // waits in the loop will be credited back then; both count as taken.
  auto promised = [this] {
    int n = 0;
    for (const auto& [id, request] : requests_) {
      const auto state = request.client->state();
      if (request.started &&
          (state == HttpRequest::State::DnsLookup || state == HttpRequest::State::Ready))
        ++n;
    }
    return n;
  };
  return Descriptors().HasRoom(1, DescriptorBudget::Reserve(OpenFileLimit()), promised);
}

Task<void> HttpChecks::RunRequest(uint64_t id, HttpRequest* request) {
  co_await request->Fetch();
  HttpRequestDone(id);
}

void HttpChecks::Start(uint64_t id) {
  Request& request = requests_.at(id);
  HttpRequest& client = *request.client;
  // The request's time runs from here, not from when it was queued, so its record is
  // true to the server.
  client.startMs = CurrentClock().MonotonicMs();
  request.started = true;
  // Its socket, opened once the address is known. What the lookup itself opens for a
  // moment, the reserve covers, and the next exact count sees.
  Descriptors().Opened(1);
  const std::string activity =
      "DoAHTTP " + (client.monitor ? client.monitor->server->name : std::string());
  const TaskGroup::Id task = tasks_.Start(RunRequest(id, &client), activity);
  // A request that ended at once has had its verdict (and may be gone).
  auto it = requests_.find(id);
  if (it != requests_.end() && tasks_.Running(task)) it->second.task = task;
}

void HttpChecks::Abort(uint64_t id) {
  auto it = requests_.find(id);
  if (it == requests_.end()) return;
  if (it->second.task) tasks_.Cancel(std::exchange(it->second.task, 0));
  it->second.client->Aborted();
  std::weak_ptr<bool> self = alive_;
  CurrentLoop().Post([this, self, id] {
    if (auto a = self.lock(); a && *a) HttpRequestDone(id);
  });
}

void HttpChecks::Enqueue(uint64_t id) {
  const bool forming = queue_.empty();
  queue_.insert(id);
  ArmRetry();
  ShowWaiting();
  // Once per pass at most, when the queue forms: an operator reading the errors log
  // learns why records come later than the pass, and what the program holds.
  if (forming && noticePass_ != scan_.PassNumber()) {
    noticePass_ = scan_.PassNumber();
    const int limit = OpenFileLimit();
    CurrentLoop().ReportError(
        "HTTP checks wait for a free connection: " + std::to_string(Running()) + " in flight, " +
        std::to_string(Waiting()) + " waiting, " +
        std::to_string(DescriptorBudget::Reserve(limit)) +
        " descriptors kept in reserve (open file limit " + std::to_string(limit) + ")");
  }
}

void HttpChecks::ArmRetry() {
  if (retryTimer_) return;
  std::weak_ptr<bool> self = alive_;
  retryTimer_ = CurrentLoop().AddTimer(kQueueRetryMs, [this, self] {
    if (auto a = self.lock(); !a || !*a) return;
    retryTimer_ = 0;
    Drain();
  });
}

void HttpChecks::Drain() {
  const size_t before = queue_.size();
  while (!queue_.empty()) {
    const uint64_t id = *queue_.begin();
    auto it = requests_.find(id);
    if (it == requests_.end() || !it->second.client->monitor) {
      queue_.erase(queue_.begin());
      continue;
    }
    if (!MayStart()) break;
    queue_.erase(queue_.begin());
    Start(id);
  }
  if (queue_.empty()) {
    if (retryTimer_) {
      CurrentLoop().CancelTimer(retryTimer_);
      retryTimer_ = 0;
    }
  } else {
    ArmRetry();
  }
  if (queue_.size() != before) ShowWaiting();
}

void HttpChecks::ShowWaiting() {
  // Inside a pass the pass's own texts tell what it does; between passes the queue is
  // what goes on, until it is empty.
  if (scan_.PassRunning() && queue_.empty()) return;
  if (!queue_.empty())
    scan_.activityText = WaitingActivityText(queue_.size());
  else if (scan_.activityText.find(" waiting for a free connection") != std::string::npos)
    scan_.activityText = "All Servers done, idle";
  else
    return;
  scan_.ShowActivity();
}

void HttpChecks::NoticeCertificateExpiry(Monitor& monitor, const HttpRequest& r) {
  if (r.certificateNotAfter == 0) return;
  const double now = Now();
  const double expires = DateTimeFromUnix(r.certificateNotAfter);
  if (expires - now > TlsClient::kExpiryNoticeDays) return;
  const auto today = static_cast<int32_t>(std::floor(now));
  if (monitor.certificateNoticeDay == today) return;
  monitor.certificateNoticeDay = today;
  scan_.recordText = monitor.server->name + " certificate of " + r.certificateHost +
                     " expires on " + FormatDate(expires);
  scan_.AddMessageLine();
}

void HttpChecks::Discard(uint64_t id) {
  auto it = requests_.find(id);
  if (it == requests_.end()) return;
  if (it->second.task) tasks_.Cancel(it->second.task);
  // Its connection is closed (or was never made): what Start promised is free again.
  if (it->second.started) Descriptors().Closed(1);
  queue_.erase(id);
  requests_.erase(it);
}

void HttpChecks::HttpRequestDone(uint64_t id) {
  auto it = requests_.find(id);
  if (it == requests_.end()) return;
  // Its task has ended (or was given up): nothing is left to cancel.
  it->second.task = 0;
  HttpRequest& r = *it->second.client;
  Monitor* monitor = r.monitor;
  int errorCode = r.requestErrorCode;
  // This request's connection is closed: the next waiting check may have it. Starting
  // one runs nothing of ours before we return to the loop.
  if (std::exchange(it->second.started, false)) Descriptors().Closed(1);
  Drain();
  if (!monitor) {
    Discard(id);
    return;
  }
  NoticeCertificateExpiry(*monitor, r);
  const int64_t ms64 = CurrentClock().MonotonicMs() - r.startMs;
  const int32_t ms =
      static_cast<int32_t>(std::min<int64_t>(ms64, std::numeric_limits<int32_t>::max()));
  LastActivity = "HttpRequestDone " + monitor->server->name;

  // Out of descriptors after all (another cause than our own checks, which the budget
  // keeps in bounds): the server was never asked, so the monitor gets no record and
  // keeps its colour. The errors log says so, and the next due check tries again.
  if (IsOwnShortage(r.requestErrorCode)) {
    const std::string message = "HTTP check of " + monitor->server->name + " not made: " +
                                r.reasonPhrase + "; it is tried again when next due";
    if (monitor->httpRequest == &r) monitor->httpRequest = nullptr;
    r.monitor = nullptr;
    Discard(id);
    Descriptors().Recount();
    CurrentLoop().ReportError(message);
    return;
  }
  r.contentError.clear();

  if (r.statusCode == 200) {
    const std::string must = UpperAscii(monitor->GetValue("mustinclude"));
    const std::string mayNot = UpperAscii(monitor->GetValue("maynotinclude"));
    if (!must.empty() || !mayNot.empty()) {
      const std::string body = UpperAscii(r.bodyText);
      const bool missing = !must.empty() && body.find(must) == std::string::npos;
      const bool found = !mayNot.empty() && body.find(mayNot) != std::string::npos;
      std::string message;
      if (found) message = "String \"" + mayNot + "\" found in HTML ";
      if (missing) message += "String \"" + must + "\" not found in HTML ";
      r.contentError = message;
    }
  }
  if (!r.contentError.empty()) errorCode = 1;

  const int32_t bytes =
      static_cast<int32_t>(std::min<int64_t>(r.rcvdCount, std::numeric_limits<int32_t>::max()));
  const bool success = errorCode == 0 && r.statusCode == 200 && r.rcvdCount != 0;
  // The server's words reach records, panes, events and the status page: bounded there.
  const std::string reason = BoundedServerText(r.reasonPhrase);
  if (success) {
    scan_.HttpVerdict(*monitor, true, ms, bytes, errorCode, r.statusCode, reason);
  } else {
    std::string message = reason;
    if (!r.contentError.empty()) message = r.contentError;
    if (r.statusCode == 0) message += " (No Connection)";
    if (r.rcvdCount == 0) message += " (Received No Data)";
    ReplaceAll(message, "Connection aborted on request", "Request Timed Out");
    scan_.HttpVerdict(*monitor, false, ms, bytes, errorCode, r.statusCode, message);
  }

  // The verdict runs events, whose actions run up to their first wait before it returns:
  // the monitor may be gone, or a newer request of it may be in flight. Only our own
  // request is cleared from it.
  it = requests_.find(id);
  if (it == requests_.end()) return;
  HttpRequest* self = it->second.client.get();
  if (self->monitor && self->monitor->httpRequest == self) self->monitor->httpRequest = nullptr;
  self->monitor = nullptr;
  Discard(id);
}

}  // namespace sentrel
