// Inputs the fuzz targets found, kept as tests of what the code does with them now.
#include "platform/error.h"
#include "scan/http_client.h"
#include "support/loopback_server.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

using Reply = LoopbackServer::Reply;

std::string RequestFor(const UrlParts& target) {
  RequestRoute route = RouteRequest(target, "", "");
  HttpRequest r;
  r.hostName = route.hostName;
  r.requestUri = route.requestUri;
  return r.RequestText();
}

std::string FirstLine(const std::string& request) {
  return request.substr(0, request.find("\r\n"));
}

// url_fuzz: a relative location with control characters and a blank gave a request line
// of several words.
TEST(HttpRequestTextTest, BlanksAndControlCharactersArePercentEncoded) {
  const std::string location("l\x02\0\0 \0\0\0\0t", 10);
  UrlParts next = ResolveLocation(SplitUrl("(hle.test/"), location);
  EXPECT_EQ(RequestFor(next),
            "GET /l%02%00%00%20%00%00%00%00t HTTP/1.0\r\nHost: (hle.test\r\n"
            "Pragma: no-cache\r\n\r\n");

  EXPECT_EQ(FirstLine(RequestFor(SplitUrl("http://127.0.0.1/my page.html"))),
            "GET /my%20page.html HTTP/1.0");
  // A bare CR in the host (a dotted address may be followed by blanks and more) stays
  // inside the Host header.
  EXPECT_EQ(RequestFor(SplitUrl("http://127.0.0.1\r\tX/")),
            "GET / HTTP/1.0\r\nHost: 127.0.0.1%0D%09X\r\nPragma: no-cache\r\n\r\n");
  // Everything else goes out as it is.
  EXPECT_EQ(FirstLine(RequestFor(SplitUrl("http://h/a%20b?q=\"x\"&r=<y>#z"))),
            "GET /a%20b?q=\"x\"&r=<y>#z HTTP/1.0");
}

class HttpLocationTest : public CoreFixture {};

// A server cannot add header lines to the request that follows its "Location".
TEST_F(HttpLocationTest, ALocationWithABareCrCannotStartAHeaderLine) {
  LoopbackServer server([](const std::string& request) {
    if (request.rfind("GET /start ", 0) == 0)
      return Reply::Bytes("HTTP/1.0 302 Found\r\nLocation: /next\rX-Injected: yes\r\n\r\n");
    return Reply::Bytes("HTTP/1.0 200 OK\r\n\r\nfine");
  });
  HttpRequest r;
  r.url = server.Url("/start");
  RunToCompletion(r.Fetch());
  EXPECT_EQ(r.statusCode, 200);
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(FirstLine(server.Requests()[1]), "GET /next%0DX-Injected:%20yes HTTP/1.0");
}

}  // namespace
}  // namespace sentrel::test
