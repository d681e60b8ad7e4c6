#include "reports/status_badges.h"

#include <cstdio>
#include <vector>

#include "model/server_list.h"
#include "platform/ini_file.h"
#include "reports/availability.h"
#include "reports/status_encoding.h"

namespace sentrel {

namespace {

// Advance widths of Verdana (units of 1/2048 em) for the printable ASCII characters; the
// badge is sized from them and the text is fitted to that size, so a viewer with another
// font still shows the text whole inside its field.
constexpr int kVerdana[95] = {
    720,  823,  1024, 1838, 1303, 2210, 1491, 550,  1038, 1038, 1303, 1838, 745,  1063, 745,  1303,
    1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 1303, 889,  889,  1838, 1838, 1838, 1118,
    2048, 1401, 1405, 1433, 1587, 1294, 1178, 1585, 1548, 862,  924,  1432, 1139, 1730, 1539, 1614,
    1241, 1614, 1432, 1400, 1235, 1507, 1401, 2025, 1403, 1236, 1403, 1038, 1303, 1038, 1838, 1303,
    1303, 1229, 1272, 1067, 1272, 1220, 719,  1272, 1294, 562,  681,  1186, 562,  1989, 1294, 1243,
    1272, 1272, 874,  1067, 807,  1294, 1186, 1677, 1186, 1186, 1051, 1300, 1038, 1300, 1838};
constexpr int kFontSize = 11;
constexpr int kPadding = 6;
// Texts longer than this (in characters) are cut with an ellipsis: a badge is a glance.
constexpr size_t kMaxChars = 60;

// The text as valid UTF-8 without control characters, cut to kMaxChars characters.
std::string Clean(std::string_view text) {
  std::string valid;
  AppendValidUtf8(valid, text);
  std::string out;
  size_t chars = 0;
  for (size_t i = 0; i < valid.size();) {
    const auto c = static_cast<unsigned char>(valid[i]);
    size_t n = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
    if (c < 0x20 || c == 0x7f) {
      out += ' ';
    } else if (chars == kMaxChars) {
      out += "\xe2\x80\xa6";  // ...
      break;
    } else {
      out.append(valid, i, n);
    }
    ++chars;
    i += n;
  }
  return out;
}

int TextWidth(std::string_view utf8) {
  int units = 0;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 32 && c < 127) {
      units += kVerdana[c - 32];
      ++i;
      continue;
    }
    // Another script: about a digit's width, wider for the wide ones.
    units += c >= 0xe3 ? 2048 : 1303;
    i += c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
  }
  return (units * kFontSize + 2047) / 2048;
}

void AppendXml(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

void AppendText(std::string& out, std::string_view text, int centre, int width) {
  char buf[128];
  // A shadow one pixel down, then the text itself.
  std::snprintf(buf, sizeof buf,
                "<text x=\"%d\" y=\"15\" fill=\"#010101\" fill-opacity=\".3\" textLength=\"%d\">",
                centre, width);
  out += buf;
  AppendXml(out, text);
  std::snprintf(buf, sizeof buf, "</text><text x=\"%d\" y=\"14\" textLength=\"%d\">", centre, width);
  out += buf;
  AppendXml(out, text);
  out += "</text>";
}

std::string PercentDecode(std::string_view s) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// A name from the address against a name of the model: the same bytes, or the same text
// once the model's name is read as the page shows it (a name from a Windows file).
bool SameName(const std::string& model, const std::string& asked) {
  if (model == asked) return true;
  std::string valid;
  AppendValidUtf8(valid, model);
  return valid == asked;
}

bool SameNameIgnoringCase(const std::string& model, const std::string& asked) {
  std::string valid;
  AppendValidUtf8(valid, model);
  return EqualsIgnoreCase(valid, asked);
}

const Server* FindServer(const ServerList& servers, const std::string& name) {
  for (int i = 0; i < servers.Count(); ++i)
    if (SameName(servers.Items(i)->name, name)) return servers.Items(i);
  // Names are unique regardless of case, so another case is no guess.
  for (int i = 0; i < servers.Count(); ++i)
    if (SameNameIgnoringCase(servers.Items(i)->name, name)) return servers.Items(i);
  return nullptr;
}

const Monitor* FindMonitor(const Server& server, const std::string& name) {
  for (int i = 0; i < server.ports.Count(); ++i)
    if (SameName(server.ports.Items(i)->name, name)) return server.ports.Items(i);
  for (int i = 0; i < server.ports.Count(); ++i)
    if (SameNameIgnoringCase(server.ports.Items(i)->name, name)) return server.ports.Items(i);
  return nullptr;
}

// The request time at which a monitor of this type turns yellow.
int32_t SlowMs(const Monitor& m) {
  return m.Type() == MonitorType::Http ? 10000 : 5000;
}

}  // namespace

std::string BadgeSvg(std::string_view label, std::string_view value, std::string_view colour) {
  const std::string l = Clean(label), v = Clean(value);
  const int lw = TextWidth(l), vw = TextWidth(v);
  const int left = lw + 2 * kPadding, right = vw + 2 * kPadding, width = left + right;
  std::string title = l + ": " + v;
  std::string out;
  out.reserve(1200 + 4 * (l.size() + v.size()));
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"20\" role=\"img\" "
                "aria-label=\"",
                width);
  out += buf;
  AppendXml(out, title);
  out += "\"><title>";
  AppendXml(out, title);
  out += "</title>";
  out +=
      "<linearGradient id=\"s\" x2=\"0\" y2=\"100%\"><stop offset=\"0\" stop-color=\"#bbb\" "
      "stop-opacity=\".1\"/><stop offset=\"1\" stop-opacity=\".1\"/></linearGradient>";
  std::snprintf(buf, sizeof buf,
                "<clipPath id=\"r\"><rect width=\"%d\" height=\"20\" rx=\"3\" fill=\"#fff\"/>"
                "</clipPath><g clip-path=\"url(#r)\"><rect width=\"%d\" height=\"20\" "
                "fill=\"#555\"/><rect x=\"%d\" width=\"%d\" height=\"20\" fill=\"",
                width, left, left, right);
  out += buf;
  AppendXml(out, colour);
  std::snprintf(buf, sizeof buf, "\"/><rect width=\"%d\" height=\"20\" fill=\"url(#s)\"/></g>",
                width);
  out += buf;
  out +=
      "<g fill=\"#fff\" text-anchor=\"middle\" font-family=\"Verdana,Geneva,DejaVu Sans,sans-serif\" "
      "font-size=\"11\">";
  AppendText(out, l, left / 2, lw);
  AppendText(out, v, left + right / 2, vw);
  out += "</g></svg>\n";
  return out;
}

BadgeReply BuildBadge(const ServerList& servers, AvailabilitySource* availability,
                      std::string_view path) {
  // /badge/SERVER/MONITOR/PICTURE.svg
  std::vector<std::string> parts;
  std::string_view rest = path.substr(std::string_view("/badge/").size());
  while (true) {
    const size_t slash = rest.find('/');
    parts.push_back(PercentDecode(rest.substr(0, slash)));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  BadgeReply reply;
  if (parts.size() != 3) {
    reply.svg = BadgeSvg("badge", "unknown", kBadgeGrey);
    return reply;
  }
  const std::string& picture = parts[2];
  const Server* server = FindServer(servers, parts[0]);
  const Monitor* monitor = server ? FindMonitor(*server, parts[1]) : nullptr;
  // The names as the tree spells them where they are found, else as asked.
  const std::string label = (server ? server->name : parts[0]) + " " +
                            (monitor ? monitor->name : parts[1]);
  const AvailabilityWindow* window = nullptr;
  for (const AvailabilityWindow& w : kAvailabilityWindows)
    if (picture == std::string("availability-") + w.name + ".svg") window = &w;
  const bool known = picture == "status.svg" || picture == "response.svg" || window;
  if (!monitor || !known) {
    reply.svg = BadgeSvg(label, "unknown", kBadgeGrey);
    return reply;
  }
  reply.status = 200;
  const Monitor& m = *monitor;
  const bool checked = m.Colour() != StatusColour::Unchecked;
  if (picture == "status.svg") {
    if (m.Colour() == StatusColour::Green)
      reply.svg = BadgeSvg(label, "up", kBadgeGreen);
    else if (m.Colour() == StatusColour::Yellow)
      reply.svg = BadgeSvg(label, "warning", kBadgeYellow);
    else if (m.Colour() == StatusColour::Red)
      reply.svg = BadgeSvg(label, "down", kBadgeRed);
    else
      reply.svg = BadgeSvg(label, "not checked", kBadgeGrey);
  } else if (picture == "response.svg") {
    const char* colour = !checked                          ? kBadgeGrey
                         : m.Colour() == StatusColour::Red ? kBadgeRed
                         : m.lastResponseMs >= SlowMs(m)   ? kBadgeYellow
                                                           : kBadgeGreen;
    reply.svg = BadgeSvg(label + " response",
                         checked ? std::to_string(m.lastResponseMs) + " ms" : "no data", colour);
  } else {
    Availability a;
    if (availability) a = availability->MonitorAvailability(m, window->hours);
    const double ratio = a.Ratio();
    const char* colour = !a.HasData() || a.pending ? kBadgeGrey
                         : ratio >= 0.99           ? kBadgeGreen
                         : ratio >= 0.95           ? kBadgeYellow
                                                   : kBadgeRed;
    reply.svg = BadgeSvg(label + " " + window->name,
                         a.pending ? "reading logs" : FormatAvailabilityPercent(a), colour);
  }
  return reply;
}

}  // namespace sentrel
