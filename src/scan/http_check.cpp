#include "scan/http_check.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "model/last_activity.h"
#include "model/server.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/event_loop.h"
#include "platform/tls_client.h"
#include "scan/http_client.h"
#include "scan/infini_scan.h"

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

HttpChecks::HttpChecks(TInfiniScan& scan) : scan_(scan) {}

HttpChecks::~HttpChecks() {
  *alive_ = false;
  // The monitors outlive us here or not at all; either way none may keep a pointer to a
  // request that is about to go.
  for (auto& [id, request] : requests_) {
    if (request->monitor && request->monitor->httpRequest == request.get())
      request->monitor->httpRequest = nullptr;
    request->monitor = nullptr;
  }
  requests_.clear();
}

void HttpChecks::DoAHTTP(TPort& monitor) {
  LastActivity = "DoAHTTP " + monitor.server->name;
  auto alive = monitor.Watch();
  EventLoop& loop = CurrentLoop();

  // A request still running when the monitor is due again has taken too long: abort it
  // and give its completion time to come in.
  if (auto* old = dynamic_cast<tmyhttpcli*>(monitor.httpRequest)) {
    if (old->state() != tmyhttpcli::State::Ready) {
      old->Abort();
      loop.Pump();
      loop.WaitUntil([&] { return alive.expired(); }, kAbortWaitMs);
      if (alive.expired()) return;
    }
  }

  const uint64_t id = nextId_++;
  auto owned = std::make_unique<tmyhttpcli>();
  tmyhttpcli* request = owned.get();
  requests_.emplace(id, std::move(owned));
  request->url = monitor.GetValue("url");
  request->username = monitor.GetValue("username");
  request->password = monitor.GetValue("password");
  request->proxy = monitor.GetValue("proxy");
  request->proxyPort = monitor.GetValue("proxyport");
  request->noCache = true;
  request->bodyText.clear();
  request->onDocData = [request](const char* data, size_t size) {
    // Each piece counts as text up to its first NUL byte.
    size_t textLength = strnlen(data, size);
    size_t room = kMaxBodyText - std::min(kMaxBodyText, request->bodyText.size());
    request->bodyText.append(data, std::min(textLength, room));
  };
  std::weak_ptr<bool> self = alive_;
  request->onRequestDone = [this, self, id](int errorCode) {
    if (auto a = self.lock(); a && *a) HttpRequestDone(id, errorCode);
  };
  request->onDetached = [this, self, id] {
    CurrentLoop().Post([this, self, id] {
      if (auto a = self.lock(); a && *a) Discard(id);
    });
  };

  monitor.httpRequest = request;
  request->monitor = &monitor;
  request->startMs = CurrentClock().MonotonicMs();
  try {
    request->Get();
  } catch (const std::exception&) {
    // A request that cannot start stays the monitor's request in flight; the next check
    // aborts it and it is counted as timed out then.
  }
}

void HttpChecks::NoticeCertificateExpiry(TPort& monitor, const tmyhttpcli& r) {
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
  requests_.erase(id);
}

void HttpChecks::HttpRequestDone(uint64_t id, int errorCode) {
  auto it = requests_.find(id);
  if (it == requests_.end()) return;
  tmyhttpcli& r = *it->second;
  TPort* monitor = r.monitor;
  if (!monitor) {
    requests_.erase(it);
    return;
  }
  NoticeCertificateExpiry(*monitor, r);
  const int64_t ms64 = CurrentClock().MonotonicMs() - r.startMs;
  const int32_t ms =
      static_cast<int32_t>(std::min<int64_t>(ms64, std::numeric_limits<int32_t>::max()));
  LastActivity = "HttpRequestDone " + monitor->server->name;
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
  if (success) {
    scan_.HttpVerdict(*monitor, true, ms, bytes, errorCode, r.statusCode, r.reasonPhrase);
  } else {
    std::string message = r.reasonPhrase;
    if (!r.contentError.empty()) message = r.contentError;
    if (r.statusCode == 0) message += " (No Connection)";
    if (r.rcvdCount == 0) message += " (Received No Data)";
    ReplaceAll(message, "Connection aborted on request", "Request Timed Out");
    scan_.HttpVerdict(*monitor, false, ms, bytes, errorCode, r.statusCode, message);
  }

  // The verdict can run events that pump the loop: the monitor may be gone, or a newer
  // request of it may be in flight. Only our own request is cleared from it.
  it = requests_.find(id);
  if (it == requests_.end()) return;
  tmyhttpcli* self = it->second.get();
  if (self->monitor && self->monitor->httpRequest == self) self->monitor->httpRequest = nullptr;
  self->monitor = nullptr;
  requests_.erase(it);
}

}  // namespace sentrel
