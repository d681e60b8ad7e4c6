#include "reports/log_lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/ini_file.h"
#include "reports/log_words.h"

namespace sentrel {

namespace {

// One read per megabyte keeps the system calls out of the profile; a line longer than
// that grows the buffer.
constexpr size_t kBlockSize = 1 << 20;
constexpr size_t kMinBlockSize = 4096;

[[noreturn]] void ThrowPathErrno(const std::string& call, const std::string& path) {
  int err = errno;
  throw SystemError(call + " " + path + ": " + std::strerror(err), call, err);
}

// Character classes of the word splitter, looked up once per byte: the readers spend
// most of their time in this loop.
enum CharClass : unsigned char { kWordChar = 0, kBlank = 1, kComma = 2, kNul = 3, kQuote = 4 };

struct CharClasses {
  unsigned char of[256];
  constexpr CharClasses() : of{} {
    for (int c = 1; c <= 32; ++c) of[c] = kBlank;
    of[0] = kNul;
    of[static_cast<unsigned char>(',')] = kComma;
    of[static_cast<unsigned char>('"')] = kQuote;
  }
};
constexpr CharClasses kClasses;

inline unsigned char ClassOf(char c) {
  return kClasses.of[static_cast<unsigned char>(c)];
}
inline bool IsSpace(char c) {
  return ClassOf(c) == kBlank;
}
// A quote inside a word is an ordinary character; only blanks, commas and NUL end a word.
inline bool EndsWord(char c) {
  return (ClassOf(c) & ~kQuote) != 0;
}

}  // namespace

LogLineReader::LogLineReader(const std::string& path, uint64_t offset) : path_(path) {
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) ThrowPathErrno("open", path);
  if (offset > 0 && lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
    int err = errno;
    close(fd_);
    errno = err;
    ThrowPathErrno("lseek", path);
  }
  bytesRead_ = offset;
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  // A small log gets a buffer of its own size: the readers open every server's log, and
  // most of them are far below a block.
  struct stat st {};
  size_t size = kBlockSize;
  if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
    fileSize_ = static_cast<uint64_t>(st.st_size);
    const uint64_t left = fileSize_ > offset ? fileSize_ - offset : 0;
    if (left < kBlockSize) size = std::max<size_t>(static_cast<size_t>(left) + 1, kMinBlockSize);
  }
  buffer_.resize(size);
}

LogLineReader::~LogLineReader() {
  if (fd_ >= 0) close(fd_);
}

void LogLineReader::Fill() {
  // Keep the unfinished line, move it to the front, and read behind it.
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  for (;;) {
    ssize_t n = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowPathErrno("read", path_);
    }
    if (n == 0) eof_ = true;
    end_ += static_cast<size_t>(n);
    bytesRead_ += static_cast<uint64_t>(n);
    if (progress_ && n > 0) progress_(bytesRead_, fileSize_);
    return;
  }
}

bool LogLineReader::Next(std::string_view& line) {
  std::string_view raw;
  return Next(line, raw);
}

bool LogLineReader::Next(std::string_view& line, std::string_view& raw) {
  size_t searched = begin_;
  for (;;) {
    const char* base = buffer_.data();
    const void* lf =
        searched < end_ ? std::memchr(base + searched, '\n', end_ - searched) : nullptr;
    if (lf) {
      size_t stop = static_cast<size_t>(static_cast<const char*>(lf) - base);
      size_t lineEnd = stop > begin_ && base[stop - 1] == '\r' ? stop - 1 : stop;
      line = std::string_view(base + begin_, lineEnd - begin_);
      raw = std::string_view(base + begin_, stop + 1 - begin_);
      begin_ = stop + 1;
      return true;
    }
    if (eof_) {
      if (begin_ == end_) return false;
      // The last line has no LF; a CR at its very end is a cut-off line end.
      raw = std::string_view(base + begin_, end_ - begin_);
      line = raw.back() == '\r' ? raw.substr(0, raw.size() - 1) : raw;
      begin_ = end_;
      return true;
    }
    size_t pending = end_ - begin_;
    Fill();
    searched = begin_ + pending;
  }
}

void LeadingLogWords::Split(std::string_view line, size_t maxWords) {
  count_ = 0;
  const char* p = line.data();
  const char* const end = p + line.size();
  while (p < end && IsSpace(*p)) ++p;
  while (p < end && count_ < maxWords) {
    unsigned char k = ClassOf(*p);
    if (k == kNul) break;  // a NUL ends the line for the splitter
    if (k == kQuote) {
      SplitLogWords(line, slow_);
      count_ = slow_.size() < maxWords ? slow_.size() : maxWords;
      for (size_t i = 0; i < count_; ++i) words_[i] = slow_[i];
      return;
    }
    const char* b = p;
    while (p < end && !EndsWord(*p)) ++p;
    words_[count_++] = std::string_view(b, static_cast<size_t>(p - b));
    while (p < end && IsSpace(*p)) ++p;
    if (p < end && *p == ',') {
      ++p;
      while (p < end && IsSpace(*p)) ++p;
    }
  }
}

int32_t ParseDaysAnswer(std::string_view text) {
  auto value = ParseIniInteger(Trim(text));
  if (!value) throw SentrelError("'" + std::string(text) + "' is not a valid integer value");
  return *value;
}

int64_t DateTimeToMs(double dt) {
  return std::llround(dt * static_cast<double>(kMsPerDay));
}

bool DateWordCache::Days(std::string_view word, int64_t& days) {
  if (word.size() != 10) return false;
  if (valid_ && std::memcmp(word.data(), last_, 10) == 0) {
    days = lastDays_;
    return true;
  }
  auto date = ParseDate(word);
  if (!date) return false;
  std::memcpy(last_, word.data(), 10);
  lastDays_ = static_cast<int64_t>(*date);
  valid_ = true;
  days = lastDays_;
  return true;
}

bool TimeWordSeconds(std::string_view w, int& seconds) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (w.size() != 8 || w[2] != ':' || w[5] != ':') return false;
  for (size_t i : {0, 1, 3, 4, 6, 7})
    if (!digit(w[i])) return false;
  int h = (w[0] - '0') * 10 + (w[1] - '0');
  int n = (w[3] - '0') * 10 + (w[4] - '0');
  int s = (w[6] - '0') * 10 + (w[7] - '0');
  if (h > 23 || n > 59 || s > 59) return false;
  seconds = (h * 60 + n) * 60 + s;
  return true;
}

}  // namespace sentrel
