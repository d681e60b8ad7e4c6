#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel {

// How far a long read has come: the bytes read so far and the file's size when it was
// opened (0 for a file whose size is unknown). Called once per block, not per line.
using ReadProgress = std::function<void(uint64_t bytesRead, uint64_t fileSize)>;

// Reads a log file line by line in big blocks, without copying a line unless it crosses
// a block border. A line ends at LF; a CR right before the LF belongs to the line end, so
// a line comes back without "\r\n". A last line without a line end still counts; an empty
// file has no lines. A lone CR inside a line stays in it (the word splitter treats it as
// a blank), so no text after it is ever lost.
class LogLineReader {
 public:
  // Opens the file for reading, from the byte at offset on (the start of a line); throws
  // SystemError ("open <path>: ...") when it cannot.
  explicit LogLineReader(const std::string& path, uint64_t offset = 0);
  ~LogLineReader();
  LogLineReader(const LogLineReader&) = delete;
  LogLineReader& operator=(const LogLineReader&) = delete;

  // The next line without its line end; false at the end of the file. Throws SystemError
  // when reading fails. The views stay valid until the next call, and the last line's
  // views also after the call that reports the end of the file.
  bool Next(std::string_view& line);
  // The same, with raw also covering the line end exactly as it is in the file.
  bool Next(std::string_view& line, std::string_view& raw);

  // The open descriptor, for fstat.
  int Descriptor() const { return fd_; }
  const std::string& Path() const { return path_; }
  // The file's size when it was opened; 0 when it is no regular file.
  uint64_t FileSize() const { return fileSize_; }
  // Reports every block read from now on.
  void OnProgress(ReadProgress progress) { progress_ = std::move(progress); }

 private:
  void Fill();

  std::string path_;
  int fd_ = -1;
  std::vector<char> buffer_;
  size_t begin_ = 0;  // first unread byte
  size_t end_ = 0;    // one past the last byte read
  bool eof_ = false;
  uint64_t fileSize_ = 0;
  uint64_t bytesRead_ = 0;
  ReadProgress progress_;
};

// The leading words of a log line as SplitLogWords gives them, found without allocating
// for the usual line. Only a word that starts with a double quote needs the full splitter;
// such a line goes through it and the views point into its words.
class LeadingLogWords {
 public:
  static constexpr size_t kMaxWords = 8;

  // Splits off at most maxWords words (maxWords <= kMaxWords); Count() then tells how many
  // the line has, capped at maxWords. The views stay valid until the next Split and as
  // long as the line's text.
  void Split(std::string_view line, size_t maxWords);
  size_t Count() const { return count_; }
  std::string_view operator[](size_t i) const { return words_[i]; }

 private:
  std::string_view words_[kMaxWords];
  size_t count_ = 0;
  std::vector<std::string> slow_;
};

// The operator's answer to "how many days" as a whole number, the way the program reads
// every whole number typed or stored (decimal with an optional sign, or 0x hex). Anything
// else throws SentrelError "'<text>' is not a valid integer value".
int32_t ParseDaysAnswer(std::string_view text);

// Milliseconds since 1899-12-30 for a date-time value, rounded to the millisecond: the
// readers compare whole milliseconds so that a record exactly on a day boundary is never
// judged by a rounding error.
int64_t DateTimeToMs(double dt);
constexpr int64_t kMsPerDay = 86'400'000;

// Reads a "yyyy-mm-dd" word into whole days since 1899-12-30 (the strict form of
// ParseDate), remembering the last date read: log files hold thousands of lines per day,
// so nearly every line hits the remembered one.
class DateWordCache {
 public:
  // False when the word is not such a date.
  bool Days(std::string_view word, int64_t& days);

 private:
  char last_[10] = {};
  int64_t lastDays_ = 0;
  bool valid_ = false;
};

// A "hh:nn:ss" time word as seconds of the day; false when it is not one (the strict
// form ParseTime reads).
bool TimeWordSeconds(std::string_view word, int& seconds);

}  // namespace sentrel
