#include "events/webhook_action.h"

#include <unistd.h>

#include <cctype>
#include <iterator>
#include <optional>
#include <string_view>

#include "events/abandoned_notice.h"
#include "events/placeholders.h"
#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/ini_file.h"
#include "platform/json_text.h"

namespace sentrel {

namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsTokenChar(char c) {
  // RFC 9110's token characters, which a header name is made of.
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

enum class Escape { None, Json, HeaderValue, Url };

// A new id for one notification: unique on this machine, the same for all its tries.
std::string NewNotificationId() {
  static uint64_t counter = 0;
  return "sentrel-" + std::to_string(CurrentClock().MonotonicMs()) + "-" +
         std::to_string(getpid()) + "-" + std::to_string(++counter);
}

// Fills the placeholders in one pass: what a value brings in is never filled again, and
// the histories are taken only when their placeholder is there.
struct Values {
  const std::string& message;
  const std::string& server;
  const std::string& status;
  const std::string& id;
  const TextPane* history;
};

std::string Fill(std::string_view templ, const Values& v, Escape escape) {
  const double now = Now();
  std::optional<std::string> date, time, serverHistory, fullHistory;
  auto append = [&](std::string& out, std::string_view value) {
    switch (escape) {
      case Escape::Json: {
        std::string quoted;
        AppendJsonString(quoted, value);
        out.append(quoted, 1, quoted.size() - 2);
        break;
      }
      case Escape::HeaderValue:
        for (char c : value) out += c == '\r' || c == '\n' ? ' ' : c;
        break;
      case Escape::Url:
        for (char c : value) {
          const auto u = static_cast<unsigned char>(c);
          if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
          } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
          }
        }
        break;
      case Escape::None:
        out += value;
        break;
    }
  };
  std::string out;
  size_t pos = 0;
  while (pos < templ.size()) {
    const size_t hit = templ.find("<#", pos);
    if (hit == std::string_view::npos) break;
    out.append(templ, pos, hit - pos);
    const std::string_view rest = templ.substr(hit);
    auto is = [&](std::string_view token) { return rest.starts_with(token) ? token.size() : 0; };
    size_t used = 0;
    if ((used = is("<#server>"))) {
      append(out, v.server);
    } else if ((used = is("<#status>"))) {
      append(out, v.status);
    } else if ((used = is("<#id>"))) {
      append(out, v.id);
    } else if ((used = is("<#date>"))) {
      if (!date) date = FormatDate(now);
      append(out, *date);
    } else if ((used = is("<#time>"))) {
      if (!time) time = FormatTime(now);
      append(out, *time);
    } else if ((used = is("<#msg>"))) {
      append(out, v.message);
    } else if ((used = is("<#hist>"))) {
      if (!serverHistory) serverHistory = ServerHistory(v.history, v.server);
      append(out, *serverHistory);
    } else if ((used = is("<#allhist>"))) {
      if (!fullHistory) fullHistory = FullHistory(v.history);
      append(out, *fullHistory);
    } else {
      out += "<#";
      used = 2;
    }
    pos = hit + used;
  }
  out.append(templ.substr(std::min(pos, templ.size())));
  return out;
}

// "https://hooks.example.com:8443": the part of a URL that can go into a log.
std::string Origin(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  std::string origin = url.substr(0, url.find_first_of("/?#", start));
  // Credentials in the URL are a secret too.
  if (const size_t at = origin.rfind('@'); at != std::string::npos && at >= start)
    origin.erase(start, at + 1 - start);
  return origin;
}

}  // namespace

std::vector<std::string> SplitWebhookHeaders(const std::string& text) {
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t bar = text.find('|', pos);
    const std::string_view item = TrimBlanks(
        std::string_view(text).substr(pos, bar == std::string::npos ? text.npos : bar - pos));
    if (!item.empty()) items.emplace_back(item);
    if (bar == std::string::npos) break;
    pos = bar + 1;
  }
  return items;
}

std::vector<std::string> WebhookHeaderProblems(const std::string& text) {
  std::vector<std::string> problems;
  for (const std::string& item : SplitWebhookHeaders(text)) {
    const size_t colon = item.find(':');
    const std::string_view name = TrimBlanks(std::string_view(item).substr(0, colon));
    bool token = !name.empty();
    for (char c : name) token = token && IsTokenChar(c);
    if (colon == std::string::npos)
      problems.push_back("\"" + item + "\" has no \":\" between name and value: it is not sent");
    else if (!token)
      problems.push_back("\"" + std::string(name) + "\" is no header name: it is not sent");
    else if (EqualsIgnoreCase(name, "content-length") || EqualsIgnoreCase(name, "host"))
      problems.push_back(std::string(name) + " is set by Sentrel itself: it is not sent");
  }
  return problems;
}

WebhookTarget SplitWebhookTarget(const std::string& text) {
  const std::string_view t = TrimBlanks(text);
  const size_t blank = t.find_first_of(" \t");
  if (blank != std::string_view::npos && t.substr(0, blank).find("://") == std::string_view::npos) {
    std::string method(t.substr(0, blank));
    for (char& c : method) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string url(TrimBlanks(t.substr(blank + 1)));
    if (method == "POST" || method == "PUT" || method == "PATCH") return {method, url};
    return {"", url};
  }
  return {"POST", std::string(t)};
}

HttpPostRequest BuildWebhookRequest(const Event& ev, const std::string& message,
                                    const std::string& server, const std::string& status,
                                    const TextPane* history, const std::string& proxy) {
  const std::string id = NewNotificationId();
  const Values values{message, server, status, id, history};
  HttpPostRequest request;
  const WebhookTarget target = SplitWebhookTarget(ev.WebhookURL);
  if (target.method.empty())
    throw SentrelError("Webhook of event \"" + ev.name + "\": the method of \"" + ev.WebhookURL +
                       "\" is not POST, PUT or PATCH");
  request.method = target.method;
  request.url = Fill(target.url, values, Escape::Url);
  request.proxy = proxy;
  request.timeoutMs = kWebhookTryLimitMs;
  bool contentType = false, jsonType = false;
  for (const std::string& item : SplitWebhookHeaders(ev.WebhookHeaders)) {
    const size_t colon = item.find(':');
    if (colon == std::string::npos) continue;
    const std::string_view name = TrimBlanks(std::string_view(item).substr(0, colon));
    bool token = !name.empty();
    for (char c : name) token = token && IsTokenChar(c);
    // Sentrel frames the request itself: a length or host of the operator's would
    // contradict it.
    if (!token || EqualsIgnoreCase(name, "content-length") || EqualsIgnoreCase(name, "host"))
      continue;
    const std::string value =
        Fill(TrimBlanks(std::string_view(item).substr(colon + 1)), values, Escape::HeaderValue);
    if (EqualsIgnoreCase(name, "content-type")) {
      contentType = true;
      jsonType = value.find("json") != std::string::npos;
    }
    request.headers.push_back(std::string(name) + ": " + value);
  }
  const std::string templ = ev.WebhookBody.empty() ? kDefaultWebhookBody : ev.WebhookBody;
  const std::string_view start = TrimBlanks(templ);
  const bool json = jsonType || start.starts_with('{') || start.starts_with('[');
  request.body = Fill(templ, values, json ? Escape::Json : Escape::None);
  if (!contentType)
    request.headers.push_back(json ? "Content-Type: application/json"
                                   : "Content-Type: text/plain; charset=utf-8");
  return request;
}

std::string WebhookName(const Event& ev) {
  return "webhook of event \"" + ev.name + "\" to " + Origin(SplitWebhookTarget(ev.WebhookURL).url);
}

Task<void> DeliverWebhook(HttpPoster& poster, HttpPostRequest request, std::string what) {
  AbandonedNotice abandoned("Webhook abandoned before it was delivered: " + what);
  const int64_t first = CurrentClock().MonotonicMs();
  int64_t tryStart = first;
  int tries = 0;
  for (;;) {
    ++tries;
    const HttpPostResult result = co_await poster.Post(request);
    if (result.Delivered()) break;
    const size_t retry = static_cast<size_t>(tries - 1);
    const bool again = result.Retryable() && retry < std::size(kWebhookRetryDelaysMs) &&
                       tryStart + kWebhookRetryDelaysMs[retry] - first < kWebhookRetryWindowMs;
    if (!again) {
      abandoned.Finished();
      throw SentrelError("Webhook failed: " + what + ": " + result.Text() + " (" +
                         std::to_string(tries) + (tries == 1 ? " try)" : " tries)"));
    }
    tryStart += kWebhookRetryDelaysMs[retry];
    co_await SleepUntil(tryStart);
  }
  abandoned.Finished();
}

Task<std::string> TryWebhookOnce(HttpPoster& poster, HttpPostRequest request, std::string what) {
  const HttpPostResult result = co_await poster.Post(std::move(request));
  if (!result.Delivered()) throw SentrelError("Webhook failed: " + what + ": " + result.Text());
  co_return result.Text();
}

}  // namespace sentrel
