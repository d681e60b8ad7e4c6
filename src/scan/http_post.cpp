#include "scan/http_post.h"

#include <memory>

#include "platform/clock.h"
#include "scan/http_client.h"

namespace sentrel {

Task<HttpPostResult> ClientHttpPoster::Post(HttpPostRequest request) {
  HttpPostResult result;
  const std::string problem = UrlProblem(request.url);
  if (!problem.empty()) {
    result.reason = request.url + ": " + problem;
    co_return result;
  }
  auto client = std::make_unique<HttpRequest>();
  client->url = request.url;
  client->proxy = request.proxy;
  client->noCache = false;
  client->method = request.method;
  client->requestBody = std::move(request.body);
  client->extraHeaders = std::move(request.headers);
  client->deadlineMs = CurrentClock().MonotonicMs() + request.timeoutMs;
  co_await client->Fetch();
  if (client->timedOut) {
    result.reason = "no answer within " + std::to_string(request.timeoutMs / 1000) + " s";
    co_return result;
  }
  result.status = client->answerStatus;
  result.reason = client->answerStatus != 0 ? client->answerReason : client->reasonPhrase;
  co_return result;
}

}  // namespace sentrel
