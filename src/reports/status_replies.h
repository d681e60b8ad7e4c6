#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/event_loop.h"
#include "reports/status_exports.h"
#include "reports/status_page.h"

namespace sentrel {

class ServerList;
class AvailabilitySource;
struct StatusRequest;

// Bytes that many replies share and nobody changes: the page's body, the metrics, the
// JSON. A large one is also put into a sealed memory file, which the kernel sends to a
// socket without copying it first (sendfile); a reply copies only its own few hundred
// bytes of headers. Made anew, never changed: a send still under way keeps the old one.
class SharedReplyBody {
 public:
  explicit SharedReplyBody(std::string bytes);
  ~SharedReplyBody();
  SharedReplyBody(const SharedReplyBody&) = delete;
  SharedReplyBody& operator=(const SharedReplyBody&) = delete;
  const std::string& Bytes() const { return bytes_; }
  // The memory file, or -1 when the body is small or none could be made.
  int Fd() const { return fd_; }
  // The memory it holds: the bytes, and the memory file's copy of them.
  size_t Footprint() const { return bytes_.capacity() + (fd_ >= 0 ? bytes_.size() : 0); }
  // Made later than every body with a smaller number.
  uint64_t Serial() const { return serial_; }
  // What all bodies alive now hold, together (tests and diagnostics).
  static size_t LiveFootprint();

 private:
  std::string bytes_;
  int fd_ = -1;
  uint64_t serial_;
};

// One reply as it goes out: three pieces sent as one. The headers and whatever belongs
// to this request alone, the shared bytes, and a short tail (the gzip trailer).
struct StatusReply {
  std::string prefix;
  std::shared_ptr<const SharedReplyBody> owner;  // keeps body alive; empty for built-in files
  std::string_view body;
  int bodyFd = -1;  // sent with sendfile when there is one
  std::string suffix;
  // The request was read to its end: the connection closes as soon as the reply is out.
  bool closeWhenSent = false;
};

// What the status web server answers: the page, /metrics (Prometheus), /status.json, the
// badges under /badge/ and the page's own logo and alarm sound. How the bytes reach a
// client (connections, time sharing, descriptors) is the server's business.
//
// The page is kept made, not made per request: its body (everything below the clock
// line) is made again when the model has changed, at most once a second, and every
// request gets a copy of the same bytes. Only the few hundred bytes of the head, which
// carry the clock, are made anew each second. So a thousand browsers cost the checks no
// more than one.
class StatusReplies {
 public:
  // The page, the metrics and the JSON are made again at most this often.
  static constexpr int64_t kRefreshMs = 1000;
  // After a request for the page, the page is kept up to date from a timer for this
  // long (browsers reload it every 60 seconds). Without readers it is left alone, and
  // the first request after such a quiet time brings it up to date itself.
  static constexpr int64_t kWarmMs = 120000;

  // Asked for the program's counters when the metrics or the JSON are made.
  using CountersSource = std::function<ProgramCounters()>;

  // web: the server's own counters, which the metrics and the JSON report. newVersion
  // runs whenever a shared body has been superseded by a newer one.
  StatusReplies(ServerList& servers, const WebCounters& web, std::function<void()> newVersion);
  ~StatusReplies();
  StatusReplies(const StatusReplies&) = delete;
  StatusReplies& operator=(const StatusReplies&) = delete;

  void SetAddresses(StatusPageAddresses addresses);
  const StatusPageAddresses& Addresses() const { return addresses_; }
  void SetCountersSource(CountersSource source) { counters_ = std::move(source); }
  void SetAvailabilitySource(AvailabilitySource* source) { availability_ = source; }
  ProgramCounters ProgramFacts() const;

  // The server starts listening: the first browser gets a page that is already made.
  void Start();
  // The server stops: nothing is kept, a page of megabytes is not held for nobody.
  void Stop();

  // The reply to a request.
  StatusReply Answer(const StatusRequest& request);
  // The page as a request for it gets it now (the kept body, the head of this second).
  std::string GetStatusHTML();
  // How often the page's body has been made since the server was created.
  uint64_t PageBuilds() const { return pageBuilds_; }
  // Whether the body is one of the current versions, which every new reply shares.
  bool IsCurrent(const SharedReplyBody* body) const;

 private:
  // The kept body of the page and what is made from it.
  struct PageCache {
    bool valid = false;
    uint64_t fingerprint = 0;
    int64_t builtMs = 0;
    bool alarm = false;
    std::shared_ptr<const SharedReplyBody> body;
    uint32_t bodyCrc = 0;
    std::shared_ptr<const SharedReplyBody> gzipBody;  // deflated, the last piece
    // The head of one second for one body.
    uint64_t headBuild = 0;
    std::string headTime;
    int64_t headSecond = -1;
    std::string head;
    std::string gzipHead;  // deflated head, a piece that lets the body follow
    uint32_t headCrc = 0;
  };
  // The metrics or the JSON, kept for a second.
  struct TextCache {
    bool valid = false;
    int64_t builtMs = 0;
    std::shared_ptr<const SharedReplyBody> text;
    std::shared_ptr<const SharedReplyBody> gzip;
  };

  void PreparePage(StatusReply& r, bool gzip);
  void PrepareText(StatusReply& r, TextCache& cache, bool gzip, std::string_view contentType,
                   std::string (StatusReplies::*build)());
  void PrepareFile(StatusReply& r, std::string_view contentType, std::string_view bytes);
  void PrepareBadge(StatusReply& r, std::string_view path);
  // The page body is made again when the model's fingerprint has changed.
  void RefreshPage(bool force);
  // The head of the current second for the current body.
  void RefreshHead();
  void EnsureGzipBody();
  // Keeps the page up to date once a second while someone reads it.
  void ArmPageTimer();
  void OnPageTimer();
  std::string BuildMetrics();
  std::string BuildJson();

  ServerList& servers_;
  const WebCounters& web_;
  std::function<void()> newVersion_;
  CountersSource counters_;
  AvailabilitySource* availability_ = nullptr;
  StatusPageAddresses addresses_;
  bool started_ = false;
  HistoryRowsCache historyCache_;
  PageCache page_;
  uint64_t pageBuilds_ = 0;
  EventLoop::TimerId pageTimer_ = 0;
  int64_t lastPageRequestMs_ = 0;
  int64_t lastGzipRequestMs_ = 0;
  bool gzipAsked_ = false;
  TextCache metrics_;
  TextCache json_;
};

}  // namespace sentrel
