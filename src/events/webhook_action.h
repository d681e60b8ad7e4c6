#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "events/event_list.h"
#include "platform/http_post.h"
#include "platform/task.h"

namespace sentrel {

class TextPane;

// The webhook action: one HTTP POST of the event's WebhookBody to its WebhookURL.
//
// WebhookURL may begin with another method and a blank ("PUT https://..."; POST, PUT and
// PATCH are sent). Placeholders in the URL are filled percent-encoded; "<#id>", in the URL,
// the body or the headers, is an id of this one notification that its retries keep (a
// receiver that takes a transaction id, such as Matrix, then never shows it twice).
//
// The body and the header values are templates with the placeholders of the other actions
// ("<#msg>", "<#server>", "<#status>", "<#date>", "<#time>", "<#hist>", "<#allhist>"),
// each filled once: a value that holds a placeholder is not filled again. In a JSON body
// (one whose first character is "{" or "[", or one sent with a JSON Content-Type) the
// values are escaped as JSON string contents, so a message with quotes, backslashes or
// line breaks keeps the body valid; the template puts the quotes around them. An empty
// body template sends kDefaultWebhookBody.
//
// WebhookHeaders holds "Name: value" items separated by "|". Without a Content-Type of
// the operator's, a JSON body goes as "application/json" and any other as
// "text/plain; charset=utf-8".
inline constexpr const char* kDefaultWebhookBody =
    "{\"text\":\"<#msg>\",\"server\":\"<#server>\",\"status\":\"<#status>\",\"date\":\"<#date>\","
    "\"time\":\"<#time>\"}";

// The request of an event's webhook with its texts filled in. proxy is the [Sentrel]
// setting WebhookProxy ("host:port", empty for none).
HttpPostRequest BuildWebhookRequest(const Event& ev, const std::string& message,
                                    const std::string& server, const std::string& status,
                                    const TextPane* history, const std::string& proxy = "");

// The method and the URL of a WebhookURL text ("PUT https://..."); the method is POST
// when the text names none. Empty method: the text names one that is not sent.
struct WebhookTarget {
  std::string method;
  std::string url;
};
WebhookTarget SplitWebhookTarget(const std::string& text);

// The items of a WebhookHeaders text, trimmed, empty ones left out.
std::vector<std::string> SplitWebhookHeaders(const std::string& text);
// What is wrong with the items ("Authorization Bearer x" has no colon, ...); empty when
// nothing is.
std::vector<std::string> WebhookHeaderProblems(const std::string& text);

// How often and how long a webhook is tried: when the receiver cannot be reached or
// answers 5xx, again after each of these waits (counted from the try before it), as long
// as the try starts within kWebhookRetryWindowMs of the first. Every try is given up
// after kWebhookTryLimitMs.
inline constexpr int64_t kWebhookRetryDelaysMs[] = {10'000, 30'000, 60'000};
inline constexpr int64_t kWebhookRetryWindowMs = 120'000;
inline constexpr int64_t kWebhookTryLimitMs = 15'000;

// Delivers one webhook with its retries. Throws SentrelError, for the errors log, when
// the last try failed or the receiver refused it (4xx); a task destroyed before the
// delivery ended says in the errors log that the webhook was abandoned.
// what: names the webhook in those lines (the event and where it goes, never the URL's
// path or query, which often hold the receiver's secret).
Task<void> DeliverWebhook(HttpPoster& poster, HttpPostRequest request, std::string what);
// One try, for the event editor's Test button: its outcome as a short text ("HTTP 200
// OK"). Throws SentrelError when it failed.
Task<std::string> TryWebhookOnce(HttpPoster& poster, HttpPostRequest request, std::string what);

// "webhook of event \"Alarm\" to https://hooks.example.com".
std::string WebhookName(const Event& ev);

}  // namespace sentrel
