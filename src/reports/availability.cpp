#include "reports/availability.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

namespace sentrel {

namespace {

// How many bytes at the start of a log and before the read position tell whether the
// file is still the one read: enough to cover a whole record with its time stamp.
constexpr size_t kPrintSize = 96;
// Two records of one check are written in the same step; a gap longer than this between
// them means they are not one check (a record lost to a full disk, a monitor deleted
// between them and a new one of the same kind and port added later).
constexpr int64_t kJoinLimitMs = 60'000;
// Halving is worth it only for a log that is large; a smaller one is read whole.
constexpr uint64_t kHalvingFrom = 1 << 20;
constexpr size_t kProbeSize = 8192;
constexpr const char* kSummaryMagic = "sentrel-availability 1";

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

char WordCode(std::string_view word) {
  if (word == "OK") return 'O';
  if (word == "LOST") return 'L';
  if (word == "DOWN") return 'D';
  if (word == "UP") return 'U';
  return 0;
}

char UpperAZ(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool KindEquals(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (UpperAZ(word[i]) != upper[i]) return false;
  return true;
}

// Word 4 as a whole number, as the readers take it; nothing when it is not one.
bool PortOf(std::string_view w, int32_t& port) {
  if (!w.empty() && w.size() <= 9) {
    int32_t v = 0;
    size_t i = 0;
    for (; i < w.size() && w[i] >= '0' && w[i] <= '9'; ++i) v = v * 10 + (w[i] - '0');
    if (i == w.size()) {
      port = v;
      return true;
    }
  }
  auto v = ParseIniInteger(w);
  if (!v) return false;
  port = *v;
  return true;
}

// A port record of the probe sent on a socket that never connected: "0ms 0Bytes
// Error=10057", then the end of the line or the lost suffix.
bool IsProbeFailure(std::string_view line) {
  static constexpr std::string_view kNotConnected = " 0ms 0Bytes Error=10057";
  const size_t at = line.find(kNotConnected);
  if (at == std::string_view::npos) return false;
  const size_t end = at + kNotConnected.size();
  return end == line.size() || line[end] == ' ';
}

std::string_view WithoutLineEnd(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\n') raw.remove_suffix(1);
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  return raw;
}

// Reads up to size bytes at offset; fewer at the end of the file.
std::string ReadAt(int fd, uint64_t offset, size_t size) {
  std::string out(size, '\0');
  size_t got = 0;
  while (got < size) {
    ssize_t n = pread(fd, out.data() + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  return out;
}

std::string ReadAt(const std::string& path, uint64_t offset, size_t size) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string out = ReadAt(fd, offset, size);
  close(fd);
  return out;
}

// --- the summary text -------------------------------------------------------------

void AppendInt(std::string& out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void AppendHex(std::string& out, std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  if (bytes.empty()) out += '-';
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
}

// A name as one word: bytes that would end a word, and '%', as %XX.
void AppendEscaped(std::string& out, std::string_view text) {
  static const char digits[] = "0123456789ABCDEF";
  if (text.empty()) out += "%";
  for (unsigned char c : text) {
    if (c <= 32 || c == '%' || c == 127) {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(std::string_view word, std::string& out) {
  out.clear();
  if (word == "%") return true;
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      out += word[i];
      continue;
    }
    if (i + 2 >= word.size()) return false;
    int hi = HexValue(word[i + 1]), lo = HexValue(word[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

bool UnHex(std::string_view word, std::string& out) {
  out.clear();
  if (word == "-") return true;
  if (word.size() % 2) return false;
  for (size_t i = 0; i < word.size(); i += 2) {
    int hi = HexValue(word[i]), lo = HexValue(word[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

uint64_t Fnv1a(std::string_view text) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

// Takes the next line off text (without its "\n"); false at the end.
bool NextLine(std::string_view& text, std::string_view& line) {
  if (text.empty()) return false;
  size_t nl = text.find('\n');
  line = text.substr(0, nl);
  text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
  return true;
}

// Splits a summary line at blanks.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t b = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > b) out.push_back(line.substr(b, i - b));
  }
  return out;
}

template <typename T>
bool Number(std::string_view w, T& v) {
  auto r = std::from_chars(w.data(), w.data() + w.size(), v);
  return r.ec == std::errc() && r.ptr == w.data() + w.size();
}

}  // namespace

int64_t WindowStartMs(int64_t nowMs, int hours) {
  return (FloorDiv(nowMs, kMsPerHour) - (hours - 1)) * kMsPerHour;
}

std::string FormatAvailabilityPercent(int64_t good, int64_t checks) {
  if (checks <= 0) return "no data";
  if (good >= checks) return "100%";
  if (good <= 0) return "0%";
  if (good * 100 % checks == 0) return std::to_string(good * 100 / checks) + "%";
  // Hundredths of a percent, cut: 99.999 % stays below 100 %.
  const int64_t hundredths = good * 10000 / checks;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%02lld%%", static_cast<long long>(hundredths / 100),
                static_cast<long long>(hundredths % 100));
  return buf;
}

std::string FormatDuration(int64_t ms) {
  const int64_t s = std::max<int64_t>(ms, 0) / 1000;
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min";
  if (s < 86400) {
    const int64_t m = s / 60 % 60;
    return std::to_string(s / 3600) + " h" + (m ? " " + std::to_string(m) + " min" : "");
  }
  const int64_t h = s / 3600 % 24;
  return std::to_string(s / 86400) + " d" + (h ? " " + std::to_string(h) + " h" : "");
}

std::string RecordKindOf(std::string_view typ) {
  std::string kind(typ);
  for (char& c : kind) c = UpperAZ(c);
  return kind;
}

std::string SummaryFileName(const std::string& logfile) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : logfile) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  // A leading dot would hide the file; "." and ".." are no names.
  if (!out.empty() && out[0] == '.') out.replace(0, 1, "%2E");
  return out + ".days";
}

std::string SummaryDirectory() {
  return DataPath("availability");
}

std::string SummaryPath(const std::string& logPath) {
  const std::string dir = DataDir() + "/";
  const std::string name = logPath.rfind(dir, 0) == 0 ? logPath.substr(dir.size()) : logPath;
  return JoinPath(SummaryDirectory(), SummaryFileName(name));
}

// --- MonitorHistory ---------------------------------------------------------------

void MonitorHistory::Record(int64_t ms, std::string_view word, bool ping, bool probe) {
  const char w = WordCode(word);
  if (!w) return;
  const bool near = lastWord_ && ms >= lastMs_ && ms - lastMs_ <= kJoinLimitMs;
  // The second record of a check joins the first: "UP" after "OK"; "DOWN" after "LOST"
  // (HTTP, port); "LOST" after "DOWN" (ping, which writes the state change first). The
  // records of a port's failed probe join the failed check they end, however many
  // records that check wrote before them.
  const bool joins =
      probe ? near && (w == 'L' || w == 'D') && (lastWord_ == 'L' || lastWord_ == 'D')
            : !lastJoined_ && near &&
                  ((w == 'U' && lastWord_ == 'O') || (!ping && w == 'D' && lastWord_ == 'L') ||
                   (ping && w == 'L' && lastWord_ == 'D'));
  lastWord_ = w;
  lastMs_ = ms;
  lastJoined_ = joins;
  if (!joins) AddCheck(ms, w == 'O' || w == 'U');
}

void MonitorHistory::NoteEarlier(int64_t ms) {
  // A date before 1899-12-30 (a line edited by hand) says nothing about the monitor.
  if (ms < 0) return;
  if (firstMs_ < 0 || ms < firstMs_) firstMs_ = ms;
}

MonitorHistory::Day& MonitorHistory::DayOf(int32_t day) {
  if (!days_.empty() && days_.back().day == day) return days_.back();
  if (days_.empty() || days_.back().day < day) {
    days_.emplace_back();
    days_.back().day = day;
    return days_.back();
  }
  // A record older than the last one (the clock was set back): its own day, in order.
  auto it = std::lower_bound(days_.begin(), days_.end(), day,
                             [](const Day& d, int32_t v) { return d.day < v; });
  if (it != days_.end() && it->day == day) return *it;
  it = days_.insert(it, Day{});
  it->day = day;
  return *it;
}

void MonitorHistory::AddCheck(int64_t ms, bool good) {
  if (firstMs_ < 0 || ms < firstMs_) firstMs_ = ms;
  const int64_t day = FloorDiv(ms, kMsPerDay);
  const int hour = static_cast<int>((ms - day * kMsPerDay) / kMsPerHour);
  Day& d = DayOf(static_cast<int32_t>(day));
  ++d.total;
  ++d.checks[hour];
  if (good) {
    ++d.totalGood;
    ++d.good[hour];
    if (downSince_ >= 0) {
      outages_.push_back({downSince_, std::max(ms, downSince_)});
      downSince_ = -1;
    }
  } else if (downSince_ < 0) {
    // After the clock was set back, an outage begins where the one before ended at the
    // earliest: outages stay in order and apart, as the figures and the summary need.
    downSince_ = outages_.empty() ? ms : std::max(ms, outages_.back().end);
  }
}

Availability MonitorHistory::Figures(int64_t fromMs, int64_t nowMs) const {
  Availability a;
  a.fromMs = fromMs;
  a.toMs = nowMs;
  if (firstMs_ < 0) return a;
  if (firstMs_ > fromMs) a.fromMs = firstMs_;
  const int64_t fromDay = FloorDiv(fromMs, kMsPerDay);
  const int fromHour = static_cast<int>((fromMs - fromDay * kMsPerDay) / kMsPerHour);
  auto it = std::lower_bound(days_.begin(), days_.end(), fromDay,
                             [](const Day& d, int64_t v) { return d.day < v; });
  for (; it != days_.end(); ++it) {
    if (it->day == fromDay) {
      for (int h = fromHour; h < 24; ++h) {
        a.checks += it->checks[h];
        a.good += it->good[h];
      }
    } else {
      a.checks += it->total;
      a.good += it->totalGood;
    }
  }
  auto clipped = [&](int64_t start, int64_t end) {
    const int64_t b = std::max(start, fromMs), e = std::min(end, nowMs);
    ++a.outages;
    const int64_t length = std::max<int64_t>(e - b, 0);
    a.downtimeMs += length;
    a.longestMs = std::max(a.longestMs, length);
  };
  // Outages are in order and never overlap, so their ends are in order too.
  auto o = std::upper_bound(outages_.begin(), outages_.end(), fromMs,
                            [](int64_t v, const Outage& x) { return v < x.end; });
  for (; o != outages_.end(); ++o)
    if (o->start <= nowMs) clipped(o->start, o->end);
  if (downSince_ >= 0 && downSince_ <= nowMs) {
    clipped(downSince_, nowMs);
    a.downNow = true;
  }
  return a;
}

void MonitorHistory::Prune(int64_t dayMs) {
  const int64_t day = FloorDiv(dayMs, kMsPerDay);
  auto d = std::lower_bound(days_.begin(), days_.end(), day,
                            [](const Day& x, int64_t v) { return x.day < v; });
  days_.erase(days_.begin(), d);
  auto o = std::upper_bound(outages_.begin(), outages_.end(), dayMs,
                            [](int64_t v, const Outage& x) { return v < x.end; });
  outages_.erase(outages_.begin(), o);
  if (days_.empty() && outages_.empty() && downSince_ < 0) *this = MonitorHistory();
}

void MonitorHistory::Serialize(std::string& out) const {
  out += "first ";
  AppendInt(out, firstMs_);
  out += " down ";
  AppendInt(out, downSince_);
  out += " last ";
  out += lastWord_ ? lastWord_ : '-';
  out += lastJoined_ ? " 1 " : " 0 ";
  AppendInt(out, lastMs_);
  out += '\n';
  for (const Day& d : days_) {
    out += "day ";
    AppendInt(out, d.day);
    for (int h = 0; h < 24; ++h) {
      out += ' ';
      AppendInt(out, d.checks[h]);
      if (d.good[h] != d.checks[h]) {
        out += '/';
        AppendInt(out, d.good[h]);
      }
    }
    out += '\n';
  }
  for (const Outage& o : outages_) {
    out += "outage ";
    AppendInt(out, o.start);
    out += ' ';
    AppendInt(out, o.end);
    out += '\n';
  }
}

bool MonitorHistory::Parse(std::string_view& text) {
  *this = MonitorHistory();
  std::string_view line;
  if (!NextLine(text, line)) return false;
  auto f = Fields(line);
  if (f.size() != 8 || f[0] != "first" || f[2] != "down" || f[4] != "last" || f[5].size() != 1)
    return false;
  if (!Number(f[1], firstMs_) || !Number(f[3], downSince_) || !Number(f[7], lastMs_)) return false;
  lastWord_ = f[5][0] == '-' ? 0 : f[5][0];
  if (lastWord_ && !std::strchr("OLDU", lastWord_)) return false;
  if (f[6] != "0" && f[6] != "1") return false;
  lastJoined_ = f[6] == "1";
  for (;;) {
    std::string_view rest = text;
    if (!NextLine(rest, line)) return true;
    if (line.rfind("day ", 0) == 0) {
      auto w = Fields(line);
      if (w.size() != 26) return false;
      Day d;
      if (!Number(w[1], d.day)) return false;
      if (!days_.empty() && days_.back().day >= d.day) return false;
      for (int h = 0; h < 24; ++h) {
        std::string_view v = w[static_cast<size_t>(h) + 2];
        size_t slash = v.find('/');
        if (!Number(v.substr(0, slash), d.checks[h])) return false;
        d.good[h] = d.checks[h];
        if (slash != std::string_view::npos && !Number(v.substr(slash + 1), d.good[h])) return false;
        if (d.good[h] > d.checks[h]) return false;
        d.total += d.checks[h];
        d.totalGood += d.good[h];
      }
      days_.push_back(d);
    } else if (line.rfind("outage ", 0) == 0) {
      auto w = Fields(line);
      Outage o{};
      if (w.size() != 3 || !Number(w[1], o.start) || !Number(w[2], o.end) || o.end < o.start)
        return false;
      if (!outages_.empty() && outages_.back().end > o.start) return false;
      outages_.push_back(o);
    } else {
      return true;
    }
    text = rest;
  }
}

// --- LogHistory -------------------------------------------------------------------

MonitorHistory& LogHistory::HistoryFor(std::string_view server, std::string_view kind,
                                       int32_t port) {
  auto same = [&](const Key& k) {
    return k.port == port && KindEquals(kind, k.kind) && k.server == server;
  };
  if (lastKey_ < keys_.size() && same(*keys_[lastKey_])) return keys_[lastKey_]->history;
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (same(*keys_[i])) {
      lastKey_ = i;
      return keys_[i]->history;
    }
  }
  keys_.push_back(std::make_unique<Key>(Key{std::string(server), RecordKindOf(kind), port, {}}));
  lastKey_ = keys_.size() - 1;
  return keys_.back()->history;
}

const MonitorHistory* LogHistory::Find(std::string_view server, std::string_view kind,
                                       int32_t port) const {
  for (const auto& k : keys_)
    if (k->port == port && k->kind == kind && k->server == server) return &k->history;
  return nullptr;
}

void LogHistory::NoteTail(std::string_view raw) {
  if (raw.size() >= kPrintSize) {
    tail_.assign(raw.substr(raw.size() - kPrintSize));
  } else {
    tail_ += raw;
    if (tail_.size() > kPrintSize) tail_.erase(0, tail_.size() - kPrintSize);
  }
}

void LogHistory::Feed(std::string_view raw) {
  FeedLine(raw);
  NoteTail(raw);
}

void LogHistory::FeedLine(std::string_view raw) {
  // The file's first bytes, as they go by.
  if (head_.size() < kPrintSize && offset_ == head_.size())
    head_ += raw.substr(0, kPrintSize - head_.size());
  offset_ += raw.size();

  const std::string_view line = WithoutLineEnd(raw);
  words_.Split(line, 6);
  if (words_.Count() < 6) return;
  const char w = WordCode(words_[5]);
  if (!w) return;
  int64_t day = 0;
  int seconds = 0;
  if (!dates_.Days(words_[0], day) || !TimeWordSeconds(words_[1], seconds)) return;
  const int64_t ms = day * kMsPerDay + seconds * 1000LL;
  int32_t port = 0;
  if (!PortOf(words_[4], port)) return;
  const std::string_view kind = words_[3];
  MonitorHistory& history = HistoryFor(words_[2], kind, port);
  if (ms < keepFromMs_)
    history.NoteEarlier(ms);
  else
    history.Record(ms, words_[5], KindEquals(kind, "PING"),
                   (w == 'L' || w == 'D') && KindEquals(kind, "PORT") && IsProbeFailure(line));
  dirty_ = true;
}

bool LogHistory::ReadMore(size_t maxBytes) {
  if (!reader_) reader_ = std::make_unique<LogLineReader>(path_, offset_);
  size_t done = 0;
  std::string_view line, raw;
  bool end = false;
  while (done < maxBytes) {
    if (!reader_->Next(line, raw) || raw.back() != '\n') {
      // The end, or a last line still without its line end: it is read when it is whole.
      reader_.reset();
      end = true;
      break;
    }
    FeedLine(raw);
    done += raw.size();
  }
  if (done > 0) {
    const uint64_t from = offset_ > kPrintSize ? offset_ - kPrintSize : 0;
    tail_ = ReadAt(path_, from, static_cast<size_t>(offset_ - from));
  }
  return end;
}

Availability LogHistory::Figures(const std::string& server, std::string_view typ, int32_t port,
                                 int64_t nowMs, int hours) const {
  const int64_t from = WindowStartMs(nowMs, hours);
  const MonitorHistory* h = Find(server, RecordKindOf(typ), port);
  if (!h) {
    Availability a;
    a.fromMs = from;
    a.toMs = nowMs;
    return a;
  }
  return h->Figures(from, nowMs);
}

void LogHistory::Prune(int64_t keepFromMs) {
  const int64_t dayMs = FloorDiv(keepFromMs, kMsPerDay) * kMsPerDay;
  if (dayMs <= keepFromMs_) return;
  keepFromMs_ = dayMs;
  for (auto& k : keys_) k->history.Prune(dayMs);
  std::erase_if(keys_, [](const auto& k) { return k->history.Empty(); });
  lastKey_ = 0;
  dirty_ = true;
}

LogHistory::Check LogHistory::CheckFile() {
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Check::Gone;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Check::Gone;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  Check result = Check::Current;
  if (st.st_ino != seen_.inode || size < offset_) {
    result = Check::Changed;
  } else if (size == seen_.size && mtime == seen_.mtimeNs && size == offset_) {
    result = Check::Current;
  } else if (size == seen_.size && seen_.mtimeNs != 0) {
    // Written to without growing: edited in place.
    result = Check::Changed;
  } else if (ReadAt(fd, 0, head_.size()) != head_ ||
             ReadAt(fd, offset_ - tail_.size(), tail_.size()) != tail_) {
    result = Check::Changed;
  } else {
    result = size > offset_ ? Check::Grown : Check::Current;
    if (result == Check::Current) seen_ = {st.st_ino, size, mtime};
  }
  close(fd);
  return result;
}

void LogHistory::NoteFileState() {
  struct stat st {};
  // A file that holds more than was read (or less) is left to the next check.
  if (stat(path_.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != offset_) return;
  seen_.inode = st.st_ino;
  seen_.size = static_cast<uint64_t>(st.st_size);
  seen_.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

void LogHistory::Clear(int64_t keepFromMs) {
  keys_.clear();
  lastKey_ = 0;
  dates_ = DateWordCache();
  offset_ = 0;
  keepFromMs_ = FloorDiv(keepFromMs, kMsPerDay) * kMsPerDay;
  seen_ = {};
  head_.clear();
  tail_.clear();
  reader_.reset();
  dirty_ = true;
}

void LogHistory::Restart(int64_t keepFromMs) {
  Clear(keepFromMs);
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0) return;
  seen_.inode = st.st_ino;
  offset_ = FindFirstLineOfDay(path_, FloorDiv(keepFromMs_, kMsPerDay));
  ReadHead();
  if (offset_ > 0) {
    const uint64_t from = offset_ > kPrintSize ? offset_ - kPrintSize : 0;
    tail_ = ReadAt(path_, from, static_cast<size_t>(offset_ - from));
  }
}

void LogHistory::ReadHead() {
  head_ = ReadAt(path_, 0, static_cast<size_t>(std::min<uint64_t>(offset_, kPrintSize)));
}

std::string LogHistory::Serialize() const {
  std::string out = kSummaryMagic;
  out += "\nfile ";
  AppendInt(out, static_cast<int64_t>(offset_));
  out += ' ';
  AppendInt(out, static_cast<int64_t>(seen_.inode));
  out += ' ';
  AppendInt(out, static_cast<int64_t>(seen_.size));
  out += ' ';
  AppendInt(out, seen_.mtimeNs);
  out += " keep ";
  AppendInt(out, keepFromMs_);
  out += "\nhead ";
  AppendHex(out, head_);
  out += "\ntail ";
  AppendHex(out, tail_);
  out += '\n';
  for (const auto& k : keys_) {
    out += "key ";
    AppendEscaped(out, k->server);
    out += ' ';
    AppendEscaped(out, k->kind);
    out += ' ';
    AppendInt(out, k->port);
    out += '\n';
    k->history.Serialize(out);
  }
  const uint64_t sum = Fnv1a(out);
  char buf[32];
  std::snprintf(buf, sizeof buf, "end %016llx\n", static_cast<unsigned long long>(sum));
  out += buf;
  return out;
}

bool LogHistory::Parse(std::string_view text) {
  Clear(0);
  dirty_ = false;
  auto fail = [this] {
    Clear(0);
    dirty_ = false;
    return false;
  };
  // The sum first: a file cut short or changed is no summary at all.
  const size_t endAt = text.rfind("end ");
  if (endAt == std::string_view::npos || (endAt > 0 && text[endAt - 1] != '\n')) return fail();
  {
    std::string_view endLine = text.substr(endAt + 4);
    if (!endLine.empty() && endLine.back() == '\n') endLine.remove_suffix(1);
    uint64_t sum = 0;
    auto r = std::from_chars(endLine.data(), endLine.data() + endLine.size(), sum, 16);
    if (r.ec != std::errc() || r.ptr != endLine.data() + endLine.size() ||
        sum != Fnv1a(text.substr(0, endAt)))
      return fail();
  }
  std::string_view body = text.substr(0, endAt);
  std::string_view line;
  if (!NextLine(body, line) || line != kSummaryMagic) return fail();
  if (!NextLine(body, line)) return fail();
  auto f = Fields(line);
  int64_t inode = 0, size = 0, offset = 0;
  if (f.size() != 7 || f[0] != "file" || f[5] != "keep" || !Number(f[1], offset) ||
      !Number(f[2], inode) || !Number(f[3], size) || !Number(f[4], seen_.mtimeNs) ||
      !Number(f[6], keepFromMs_) || offset < 0 || size < 0)
    return fail();
  // A summary kept while its log was still being read saw the file before the reading
  // went on (its size may be below the offset): the log's bytes decide at the start.
  offset_ = static_cast<uint64_t>(offset);
  seen_.inode = static_cast<ino_t>(inode);
  seen_.size = static_cast<uint64_t>(size);
  if (!NextLine(body, line) || line.rfind("head ", 0) != 0 || !UnHex(line.substr(5), head_))
    return fail();
  if (!NextLine(body, line) || line.rfind("tail ", 0) != 0 || !UnHex(line.substr(5), tail_))
    return fail();
  while (NextLine(body, line)) {
    auto k = Fields(line);
    auto key = std::make_unique<Key>();
    if (k.size() != 4 || k[0] != "key" || !Unescape(k[1], key->server) ||
        !Unescape(k[2], key->kind) || !Number(k[3], key->port) || !key->history.Parse(body))
      return fail();
    keys_.push_back(std::move(key));
  }
  return true;
}

// --- finding where a period starts --------------------------------------------------

namespace {

// The first line that starts at or after `at` (the line that `at` falls into is passed
// over unless `at` is 0) and carries a date: its start and day. False when the probe
// finds none.
bool DatedLineAfter(int fd, uint64_t at, uint64_t& lineStart, int64_t& day) {
  const std::string probe = ReadAt(fd, at, kProbeSize);
  size_t pos = 0;
  if (at > 0) {
    const size_t nl = probe.find('\n');
    if (nl == std::string::npos) return false;
    pos = nl + 1;
  }
  DateWordCache dates;
  while (pos < probe.size()) {
    const size_t nl = probe.find('\n', pos);
    if (nl == std::string::npos) return false;
    std::string_view line(probe.data() + pos, nl - pos);
    if (line.size() >= 10 && dates.Days(line.substr(0, 10), day)) {
      lineStart = at + pos;
      return true;
    }
    pos = nl + 1;
  }
  return false;
}

}  // namespace

uint64_t FindFirstLineOfDay(const std::string& path, int64_t day) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) < kHalvingFrom) {
    close(fd);
    return 0;
  }
  // lo is always the start of a dated line older than the day (or the file's start), so
  // reading from it misses no line of the day.
  uint64_t lo = 0, hi = static_cast<uint64_t>(st.st_size);
  uint64_t start = 0;
  int64_t d = 0;
  if (DatedLineAfter(fd, 0, start, d) && d < day) {
    lo = start;
    while (hi - lo > kProbeSize * 4) {
      const uint64_t mid = lo + (hi - lo) / 2;
      if (DatedLineAfter(fd, mid, start, d) && start < hi && d < day)
        lo = start;
      else
        hi = mid;
    }
  }
  close(fd);
  return lo;
}

}  // namespace sentrel
