#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sentrel {

class ServerList;
class TextPane;

// The History rows made from a pane, kept while the pane stays as it was: a full History
// is most of the page, and the pane changes far less often than browsers ask.
struct HistoryRowsCache {
  const TextPane* pane = nullptr;
  uint64_t version = 0;
  std::string rows;
};

// Where the page's alarm sound, logo and "Homepage" link point. Without a site the
// addresses are bare paths on the status server itself, so a browser on a closed
// network asks nobody else; an operator who hosts the files names the site.
struct StatusPageAddresses {
  std::string alarmSound = "/donotmovethis/alarm.wav";
  std::string logo = "/donotmovethis/Sentrellogo.gif";
  std::string homepage = "/";

  // site: scheme and host without a trailing slash ("http://intranet.example"), or "".
  // homepage: the whole address of the "Homepage" link, or "" for the site's root.
  static StatusPageAddresses ForSite(std::string_view site, std::string_view homepage);
};

// The header block of every reply; the page supplies the empty line that ends it.
constexpr std::string_view kStatusReplyHeader =
    "HTTP/1.0 200 OK \r\nContent-Type: text/html\r\nServer: Sentrel 2.2\r\n";

// The status page: every monitor in tree order, coloured by status, red ones with their
// count and the time since they are down, the alarm sound while any monitor is red, and
// the "Messages/Errors" pane (the servers' message pane) newest line first as the
// History. Every text taken from the model or from the pane is HTML-escaped, because
// monitored servers put their own words into the History. May set empty groups to
// "Main", as placing the servers in the tree does.
std::string GetStatusHTML(ServerList& servers, const StatusPageAddresses& addresses);
// The same page appended to out, so a reply can be built in one buffer; with a cache,
// the History rows are made again only when the pane has changed.
void AppendStatusHTML(std::string& out, ServerList& servers, const StatusPageAddresses& addresses,
                      HistoryRowsCache* cache = nullptr);

// The page in two parts. The head runs to the clock line under the logo: it carries the
// time (twice) and the alarm. The body is everything after it and changes only with the
// model, so a server can keep it and make only the head anew each second.
void AppendStatusHead(std::string& out, std::string_view now, bool alarm,
                      const StatusPageAddresses& addresses);
// Appends the body; returns whether the alarm is on (a monitor is "red").
bool AppendStatusBody(std::string& out, ServerList& servers, const StatusPageAddresses& addresses,
                      HistoryRowsCache* cache = nullptr);
// Changes whenever anything the body shows may have changed (texts, colours, counts,
// times, the History), and is far cheaper than making the body: a server looks at it
// once a second and makes the body again only when it differs.
uint64_t StatusPageFingerprint(ServerList& servers);

// The cell colour of a monitor status: "lightgreen" for "green", "#eeeeee" for "" and
// "?", the status itself otherwise.
std::string_view MonitorColour(std::string_view status);

// Appends text with &, <, > and " replaced by their character references.
void AppendHtmlEscaped(std::string& out, std::string_view text);
std::string HtmlEscaped(std::string_view text);

}  // namespace sentrel
