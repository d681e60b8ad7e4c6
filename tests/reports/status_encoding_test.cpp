#include "reports/status_encoding.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <stdexcept>

#include "status_test_util.h"

namespace sentrel {
namespace {

// A gzip member made of pieces compressed at different times reads back as the texts
// in order, with a trailer that checks: a second's clock line before a body made once.
TEST(StatusEncodingTest, GzipPiecesReadBackAsOneText) {
  std::string body;
  for (int i = 0; i < 20000; ++i)
    body += "<tr><td>server" + std::to_string(i % 97) + "</td></tr>\r\n";
  const std::string deflatedBody = DeflatePiece(body, true);
  for (const std::string head : {"", "x", "\r\n <HTML><TITLE>Sentrel Status 2024-05-01 08:00:00"}) {
    std::string gz(GzipHeader());
    gz += DeflatePiece(head, false);
    gz += deflatedBody;
    gz +=
        GzipTrailer(Crc32Combine(Crc32(head), Crc32(body), body.size()), head.size() + body.size());
    EXPECT_EQ(test::Gunzip(gz), head + body);
  }
  EXPECT_LT(deflatedBody.size(), body.size() / 5);
  EXPECT_EQ(test::Gunzip(Gzip("")), "");
  EXPECT_EQ(test::Gunzip(Gzip(body)), body);
  // A wrong trailer is caught by the reader, so the round trips above prove the CRCs.
  std::string bad = Gzip("abc");
  bad[bad.size() - 8] ^= 1;
  EXPECT_THROW(test::Gunzip(bad), std::runtime_error);
}

TEST(StatusEncodingTest, AcceptEncodingFollowsTheQualities) {
  for (const char* yes : {"gzip", "GZIP", "deflate, gzip", "gzip;q=0.5", "x-gzip", "*",
                          "br;q=1.0, gzip;q=0.8, *;q=0.1", "gzip ; q=1", "identity, *;q=0.001"})
    EXPECT_TRUE(AcceptsGzip(yes)) << yes;
  for (const char* no : {"", "identity", "br, deflate", "gzip;q=0", "gzip;q=0.000", "*;q=0",
                         "*, gzip;q=0", "gzip;q=abc", "gzipx"})
    EXPECT_FALSE(AcceptsGzip(no)) << no;
}

TEST(StatusEncodingTest, RequestGivesPathGzipAndWhetherItEnded) {
  auto r = ParseStatusRequest("GET /metrics HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n");
  EXPECT_EQ(r.path, "/metrics");
  EXPECT_TRUE(r.gzip);
  EXPECT_TRUE(r.complete);

  r = ParseStatusRequest("GET /status.json?x=1 HTTP/1.0\nACCEPT-ENCODING: identity\n\n");
  EXPECT_EQ(r.path, "/status.json");
  EXPECT_FALSE(r.gzip);
  EXPECT_TRUE(r.complete);

  EXPECT_EQ(ParseStatusRequest("GET http://host:8080/metrics HTTP/1.0\r\n\r\n").path, "/metrics");
  EXPECT_EQ(ParseStatusRequest("GET http://host HTTP/1.0\r\n\r\n").path, "/");
  // Cut anywhere: what there is of the path, and never "ended".
  r = ParseStatusRequest("GET /met");
  EXPECT_EQ(r.path, "/met");
  EXPECT_FALSE(r.complete);
  r = ParseStatusRequest("GET / HTTP/1.1\r\nAccept-Encoding: gzip\r\n");
  EXPECT_TRUE(r.gzip);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(ParseStatusRequest("garbage").path, "");
  EXPECT_EQ(ParseStatusRequest(std::string("\x16\x03\x01\x00", 4)).path, "");
  // A request with a body, or more behind its head, is not read to its end.
  EXPECT_FALSE(ParseStatusRequest("POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\n").complete);
  EXPECT_FALSE(ParseStatusRequest("GET / HTTP/1.0\r\n\r\nGET / HTTP/1.0\r\n\r\n").complete);
  EXPECT_TRUE(ParseStatusRequest("GET / HTTP/1.0\r\nContent-Length: 0\r\n\r\n").complete);
}

TEST(StatusEncodingTest, TextsBecomeValidUtf8AndAreEscaped) {
  auto utf8 = [](std::string_view in) {
    std::string out;
    AppendValidUtf8(out, in);
    return out;
  };
  EXPECT_EQ(utf8("plain"), "plain");
  EXPECT_EQ(utf8("M\xc3\xbcnchen \xe2\x82\xac \xf0\x9f\x94\xb4"),
            "M\xc3\xbcnchen \xe2\x82\xac \xf0\x9f\x94\xb4");
  // Windows-1252 bytes: u umlaut, euro, a curly quote; an unassigned byte.
  EXPECT_EQ(utf8("M\xfcnchen \x80 \x93x\x94 \x81"),
            "M\xc3\xbcnchen \xe2\x82\xac \xe2\x80\x9cx\xe2\x80\x9d \xef\xbf\xbd");
  // Broken sequences: cut, overlong, surrogate, past U+10FFFF.
  EXPECT_EQ(utf8("a\xc3"), "a\xc3\x83");
  EXPECT_EQ(utf8("\xc0\xaf"), "\xc3\x80\xc2\xaf");
  EXPECT_EQ(utf8("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xe2\x82\xac");
  EXPECT_EQ(utf8("\xf4\x90\x80\x80").substr(0, 2), "\xc3\xb4");

  std::string json;
  AppendJsonString(json, std::string("a\"b\\c\nd\re\tf\x01g\x7f/\xfc", 16));
  EXPECT_EQ(json, "\"a\\\"b\\\\c\\nd\\re\\tf\\u0001g\x7f/\xc3\xbc\"");

  std::string label;
  AppendLabelValue(label, "a\"b\\c\nd\r\xfc");
  EXPECT_EQ(label, "a\\\"b\\\\c\\nd\r\xc3\xbc");
}

}  // namespace
}  // namespace sentrel
