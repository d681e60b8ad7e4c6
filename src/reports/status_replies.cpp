#include "reports/status_replies.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/descriptor_budget.h"
#include "reports/status_assets.h"
#include "reports/status_badges.h"
#include "reports/status_encoding.h"

namespace sentrel {

namespace {

// Below this a body is sent from memory: the copy costs less than the extra calls.
constexpr size_t kFileBodyMin = 32768;

int64_t MonoMs() {
  return CurrentClock().MonotonicMs();
}

void AppendHeader(std::string& out, std::string_view name, std::string_view value) {
  out += name;
  out += ": ";
  out += value;
  out += "\r\n";
}

void SetBody(StatusReply& r, const std::shared_ptr<const SharedReplyBody>& body) {
  r.owner = body;
  r.body = body->Bytes();
  r.bodyFd = body->Fd();
}

size_t liveFootprint = 0;
uint64_t nextSerial = 1;

}  // namespace

size_t SharedReplyBody::LiveFootprint() {
  return liveFootprint;
}

SharedReplyBody::SharedReplyBody(std::string bytes)
    : bytes_(std::move(bytes)), serial_(nextSerial++) {
  // Made by appending, the text may hold up to twice its size: kept for as long as any
  // reader needs it, it holds what it says and no more.
  if (bytes_.capacity() > bytes_.size() + bytes_.size() / 8)
    std::string(bytes_.data(), bytes_.size()).swap(bytes_);
  liveFootprint += bytes_.capacity();
  if (bytes_.size() < kFileBodyMin) return;
  if (!Descriptors().HasRoom(1, DescriptorBudget::Reserve(OpenFileLimit()))) return;
  int fd = memfd_create("sentrel-status", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return;
  size_t done = 0;
  while (done < bytes_.size()) {
    ssize_t n = write(fd, bytes_.data() + done, bytes_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  // Sealed, so nothing can change bytes that a send may still be reading.
  if (done != bytes_.size() ||
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) < 0) {
    close(fd);
    return;  // sent from memory instead
  }
  fd_ = fd;
  liveFootprint += bytes_.size();
  Descriptors().Opened(1);
}

SharedReplyBody::~SharedReplyBody() {
  liveFootprint -= Footprint();
  if (fd_ < 0) return;
  close(fd_);
  Descriptors().Closed(1);
}

StatusReplies::StatusReplies(ServerList& servers, const WebCounters& web,
                             std::function<void()> newVersion)
    : servers_(servers), web_(web), newVersion_(std::move(newVersion)) {}

StatusReplies::~StatusReplies() {
  Stop();
}

void StatusReplies::SetAddresses(StatusPageAddresses addresses) {
  addresses_ = std::move(addresses);
  // The addresses are in the page: the next request must not get the old ones.
  page_.valid = false;
}

void StatusReplies::Start() {
  started_ = true;
  RefreshPage(true);
}

void StatusReplies::Stop() {
  started_ = false;
  if (pageTimer_) CurrentLoop().CancelTimer(pageTimer_);
  pageTimer_ = 0;
  page_ = PageCache{};
  metrics_ = TextCache{};
  json_ = TextCache{};
}

void StatusReplies::RefreshPage(bool force) {
  const int64_t now = MonoMs();
  if (!force && page_.valid) {
    // At most once a second: a change inside that second waits for the timer.
    if (now - page_.builtMs < kRefreshMs) return;
    if (StatusPageFingerprint(servers_) == page_.fingerprint) return;
  }
  std::string body;
  page_.alarm = AppendStatusBody(body, servers_, addresses_, &historyCache_);
  // Made after the body, which may name empty groups "Main".
  page_.fingerprint = StatusPageFingerprint(servers_);
  page_.bodyCrc = Crc32(body);
  page_.body = std::make_shared<const SharedReplyBody>(std::move(body));
  page_.gzipBody.reset();
  page_.builtMs = now;
  page_.valid = true;
  ++pageBuilds_;
  // While gzip readers are about, the compressed body is made with the page, not by the
  // request that first finds it missing.
  if (gzipAsked_ && now - lastGzipRequestMs_ < kWarmMs) EnsureGzipBody();
  if (newVersion_) newVersion_();
}

bool StatusReplies::IsCurrent(const SharedReplyBody* body) const {
  return body == page_.body.get() || body == page_.gzipBody.get() || body == metrics_.text.get() ||
         body == metrics_.gzip.get() || body == json_.text.get() || body == json_.gzip.get();
}

void StatusReplies::EnsureGzipBody() {
  if (!page_.gzipBody)
    page_.gzipBody =
        std::make_shared<const SharedReplyBody>(DeflatePiece(page_.body->Bytes(), true));
}

void StatusReplies::RefreshHead() {
  // The clock line changes once a second: the text is made only then.
  const double dt = Now();
  const int64_t second = std::llround(dt * 86'400'000.0) / 1000;
  if (page_.headBuild == pageBuilds_ && page_.headSecond == second && !page_.head.empty()) return;
  page_.headSecond = second;
  std::string now = FormatDateTime(dt);
  if (page_.headBuild == pageBuilds_ && page_.headTime == now) return;
  page_.head.clear();
  AppendStatusHead(page_.head, now, page_.alarm, addresses_);
  page_.headTime = std::move(now);
  page_.headBuild = pageBuilds_;
  page_.gzipHead.clear();
  // The page's first CR LF ends the reply's header block; the body starts after it.
  page_.headCrc = Crc32(std::string_view(page_.head).substr(2));
}

void StatusReplies::ArmPageTimer() {
  if (pageTimer_ || !started_) return;
  pageTimer_ = CurrentLoop().AddTimer(kRefreshMs, [this] {
    pageTimer_ = 0;
    OnPageTimer();
  });
}

void StatusReplies::OnPageTimer() {
  RefreshPage(false);
  if (MonoMs() - lastPageRequestMs_ < kWarmMs) ArmPageTimer();
}

std::string StatusReplies::GetStatusHTML() {
  if (!page_.valid) RefreshPage(true);
  RefreshHead();
  return page_.head + page_.body->Bytes();
}

ProgramCounters StatusReplies::ProgramFacts() const {
  return counters_ ? counters_() : ProgramCounters{};
}

std::string StatusReplies::BuildMetrics() {
  return BuildStatusMetrics(servers_, ProgramFacts(), web_, availability_);
}

std::string StatusReplies::BuildJson() {
  return BuildStatusJson(servers_, ProgramFacts(), web_, availability_);
}

StatusReply StatusReplies::Answer(const StatusRequest& request) {
  StatusReply r;
  r.closeWhenSent = request.complete;
  const std::string_view path = request.path;
  if (path == "/metrics") {
    PrepareText(r, metrics_, request.gzip, kMetricsContentType, &StatusReplies::BuildMetrics);
  } else if (path == "/status.json") {
    PrepareText(r, json_, request.gzip, "application/json", &StatusReplies::BuildJson);
  } else if (path.rfind("/badge/", 0) == 0) {
    PrepareBadge(r, path);
  } else if (!path.empty() && path == addresses_.logo) {
    // Only while the page links the files here; with a site of the operator's own these
    // paths are like any other and get the page.
    PrepareFile(r, StatusLogo().contentType, StatusLogo().bytes);
  } else if (!path.empty() && path == addresses_.alarmSound) {
    PrepareFile(r, StatusAlarmSound().contentType, StatusAlarmSound().bytes);
  } else {
    PreparePage(r, request.gzip);
  }
  return r;
}

void StatusReplies::PreparePage(StatusReply& r, bool gzip) {
  const int64_t now = MonoMs();
  // A page nobody kept up to date (nobody asked for a while) is brought up to date
  // first; otherwise the timer does that, and this request only copies.
  if (!page_.valid || !pageTimer_) RefreshPage(!page_.valid);
  lastPageRequestMs_ = now;
  ArmPageTimer();
  RefreshHead();
  const std::string_view head = page_.head;
  const size_t plainSize = head.size() - 2 + page_.body->Bytes().size();
  r.prefix.assign(kStatusReplyHeader);
  if (!gzip) {
    AppendHeader(r.prefix, "Content-Length", std::to_string(plainSize));
    r.prefix += head;
    SetBody(r, page_.body);
    return;
  }
  gzipAsked_ = true;
  lastGzipRequestMs_ = now;
  EnsureGzipBody();
  if (page_.gzipHead.empty()) page_.gzipHead = DeflatePiece(head.substr(2), false);
  const uint32_t crc = Crc32Combine(page_.headCrc, page_.bodyCrc, page_.body->Bytes().size());
  r.suffix = GzipTrailer(crc, plainSize);
  const size_t size = GzipHeader().size() + page_.gzipHead.size() + page_.gzipBody->Bytes().size() +
                      r.suffix.size();
  AppendHeader(r.prefix, "Content-Encoding", "gzip");
  AppendHeader(r.prefix, "Content-Length", std::to_string(size));
  AppendHeader(r.prefix, "Vary", "Accept-Encoding");
  r.prefix += "\r\n";
  r.prefix += GzipHeader();
  r.prefix += page_.gzipHead;
  SetBody(r, page_.gzipBody);
}

void StatusReplies::PrepareText(StatusReply& r, TextCache& cache, bool gzip,
                                std::string_view contentType,
                                std::string (StatusReplies::*build)()) {
  const int64_t now = MonoMs();
  if (!cache.valid || now - cache.builtMs >= kRefreshMs) {
    cache.text = std::make_shared<const SharedReplyBody>((this->*build)());
    cache.gzip.reset();
    cache.builtMs = now;
    cache.valid = true;
    if (newVersion_) newVersion_();
  }
  if (gzip && !cache.gzip)
    cache.gzip = std::make_shared<const SharedReplyBody>(Gzip(cache.text->Bytes()));
  const std::shared_ptr<const SharedReplyBody>& body = gzip ? cache.gzip : cache.text;
  r.prefix = "HTTP/1.0 200 OK\r\n";
  AppendHeader(r.prefix, "Content-Type", contentType);
  AppendHeader(r.prefix, "Server", "Sentrel 2.2");
  if (gzip) AppendHeader(r.prefix, "Content-Encoding", "gzip");
  AppendHeader(r.prefix, "Content-Length", std::to_string(body->Bytes().size()));
  AppendHeader(r.prefix, "Vary", "Accept-Encoding");
  r.prefix += "\r\n";
  SetBody(r, body);
}

void StatusReplies::PrepareFile(StatusReply& r, std::string_view contentType,
                                std::string_view bytes) {
  r.prefix = "HTTP/1.0 200 OK\r\n";
  AppendHeader(r.prefix, "Content-Type", contentType);
  AppendHeader(r.prefix, "Server", "Sentrel 2.2");
  AppendHeader(r.prefix, "Content-Length", std::to_string(bytes.size()));
  // The files never change while the program runs.
  AppendHeader(r.prefix, "Cache-Control", "max-age=86400");
  r.prefix += "\r\n";
  r.body = bytes;
}

void StatusReplies::PrepareBadge(StatusReply& r, std::string_view path) {
  BadgeReply badge = BuildBadge(servers_, availability_, path);
  r.prefix = badge.status == 200 ? "HTTP/1.0 200 OK\r\n" : "HTTP/1.0 404 Not Found\r\n";
  AppendHeader(r.prefix, "Content-Type", kBadgeContentType);
  AppendHeader(r.prefix, "Server", "Sentrel 2.2");
  AppendHeader(r.prefix, "Content-Length", std::to_string(badge.svg.size()));
  // A badge shows the state of now: a page that embeds it asks again each time.
  AppendHeader(r.prefix, "Cache-Control", "no-cache, max-age=0");
  r.prefix += "\r\n";
  SetBody(r, std::make_shared<const SharedReplyBody>(std::move(badge.svg)));
}

}  // namespace sentrel
