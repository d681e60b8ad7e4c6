#pragma once

#include "platform/http_post.h"

namespace sentrel {

// Posts with the program's own HTTP client: http and https (the certificate checked
// against the system's trust store), directly or through a proxy, on the loop.
class ClientHttpPoster : public HttpPoster {
 public:
  Task<HttpPostResult> Post(HttpPostRequest request) override;
};

}  // namespace sentrel
