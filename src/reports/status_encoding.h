#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/json_text.h"

namespace sentrel {

// The byte-level helpers of the status web server's replies: gzip made of pieces, the
// request head, and texts fit for JSON and for Prometheus labels.

// Raw deflate of one piece of a gzip body. A piece that is not the last ends on a full
// flush: it is byte-aligned and the next piece refers to nothing before it, so a
// piece compressed once can follow any number of pieces compressed later (the page's
// clock line changes every second, the rest of the page only when the model does).
std::string DeflatePiece(std::string_view data, bool last);
// The ten bytes that open a gzip member, and the eight that close it.
std::string_view GzipHeader();
std::string GzipTrailer(uint32_t crc, uint64_t size);
// The whole gzip member of a text, in one piece.
std::string Gzip(std::string_view data);
uint32_t Crc32(std::string_view data);
// The CRC of a followed by b, from their own CRCs.
uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t sizeB);

// What the status server looks at in a request: the path (without query) and whether a
// gzip body is welcome. Nothing else of the request matters.
struct StatusRequest {
  std::string_view path;  // empty when the first piece had no request line
  bool gzip = false;
  // The request head ended with its empty line and announced no body: the connection
  // can be closed as soon as the reply is out, nothing more will come.
  bool complete = false;
};
// Reads the first piece of a request as it arrived (it may be cut anywhere).
StatusRequest ParseStatusRequest(std::string_view bytes);
// Whether an Accept-Encoding value allows gzip (RFC 9110: "gzip", "x-gzip" or "*" with a
// quality above zero; an explicit zero quality for gzip refuses it).
bool AcceptsGzip(std::string_view acceptEncoding);

// A Prometheus label value (without quotes): valid UTF-8, with backslash, double quote
// and line feed escaped as the text exposition format asks.
void AppendLabelValue(std::string& out, std::string_view text);

}  // namespace sentrel
