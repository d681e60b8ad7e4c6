#pragma once

#include <string>
#include <string_view>

namespace sentrel {

class ServerList;
class AvailabilitySource;

// Small SVG pictures of one monitor for a wiki page or a README, in the usual two-field
// look (a grey label, a coloured value), answered by the status web server:
//   /badge/SERVER/MONITOR/status.svg             up, warning, down, not checked
//   /badge/SERVER/MONITOR/availability-24h.svg   (also -7d, -30d) the share of good checks
//   /badge/SERVER/MONITOR/response.svg           the last check's request time
// SERVER and MONITOR are the names as the tree shows them, percent-encoded where needed.
// A badge for a server, monitor or picture that is not there is a grey "unknown" one,
// sent with status 404.
struct BadgeReply {
  int status = 404;  // 200 or 404
  std::string svg;
};

// The badge for a request path that begins with "/badge/".
BadgeReply BuildBadge(const ServerList& servers, AvailabilitySource* availability,
                      std::string_view path);

// A badge with these texts and fill colour (such as "#4c1"); the texts are escaped here.
std::string BadgeSvg(std::string_view label, std::string_view value, std::string_view colour);

// Colours of the badges.
inline constexpr const char* kBadgeGreen = "#4c1";
inline constexpr const char* kBadgeYellow = "#dfb317";
inline constexpr const char* kBadgeRed = "#e05d44";
inline constexpr const char* kBadgeGrey = "#9f9f9f";

constexpr const char* kBadgeContentType = "image/svg+xml; charset=utf-8";

}  // namespace sentrel
