#include "scan/http_post.h"

#include <memory>

#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "scan/http_client.h"

namespace sentrel {

Task<HttpPostResult> ClientHttpPoster::Post(HttpPostRequest request) {
  HttpPostResult result;
  const std::string problem = UrlProblem(request.url);
  if (!problem.empty()) {
    result.reason = request.url + ": " + problem;
    co_return result;
  }
  // Declared before the client, so the client (and the handler that fires it) goes first.
  Trigger done;
  auto client = std::make_unique<tmyhttpcli>();
  client->url = request.url;
  client->proxy = request.proxy;
  client->noCache = false;
  client->method = request.method;
  client->requestBody = std::move(request.body);
  client->extraHeaders = std::move(request.headers);
  client->onRequestDone = [&done](int) { done.Fire(); };
  try {
    client->Get();
  } catch (const SentrelError& e) {
    result.reason = e.what();
    co_return result;
  }
  const int64_t deadline = CurrentClock().MonotonicMs() + request.timeoutMs;
  if (!co_await done.Wait(deadline)) {
    result.reason = "no answer within " + std::to_string(request.timeoutMs / 1000) + " s";
    co_return result;
  }
  result.status = client->answerStatus;
  result.reason = client->answerStatus != 0 ? client->answerReason : client->reasonPhrase;
  co_return result;
}

}  // namespace sentrel
