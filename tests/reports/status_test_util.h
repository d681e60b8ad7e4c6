#pragma once

#include <zlib.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "model/server_list.h"
#include "reports/status_page.h"

namespace sentrel::test {

// The reply a request for the page gets: the header block with the page's length, then
// the page, whose first CR LF ends the header.
inline std::string StatusPageReply(const std::string& page) {
  return std::string(kStatusReplyHeader) + "Content-Length: " + std::to_string(page.size() - 2) +
         "\r\n" + page;
}

inline std::string StatusPageReply(ServerList& list,
                                   const StatusPageAddresses& addresses = StatusPageAddresses{}) {
  return StatusPageReply(GetStatusHTML(list, addresses));
}

// The text of a gzip member; throws when it is not one (a bad CRC or length included).
inline std::string Gunzip(std::string_view gz) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw std::runtime_error("inflateInit2");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = static_cast<uInt>(gz.size());
  std::string out;
  int rc = Z_OK;
  while (rc == Z_OK) {
    char buf[65536];
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  const bool whole = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  if (!whole) throw std::runtime_error("not one whole gzip member");
  return out;
}

// The header block and the body of an HTTP reply.
inline std::pair<std::string, std::string> SplitReply(const std::string& reply) {
  const size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return {reply, ""};
  return {reply.substr(0, end + 2), reply.substr(end + 4)};
}

// The value of a header in a header block ("" when absent).
inline std::string HeaderValue(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t at = head.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  return head.substr(start, head.find("\r\n", start) - start);
}

}  // namespace sentrel::test
