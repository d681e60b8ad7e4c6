#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "reports/log_lines.h"

namespace sentrel {

class Server;

// The two views of a server's log file: the whole file, or the lines that are neither a
// plain success nor a plain loss (the state changes and the ping messages that name an
// address). Both read the file as it is at the moment of the call and never change it.

// Whether the errors-only view shows this line: at least six words and word 5 neither
// "OK" nor "LOST" (compared exactly).
bool IsErrorsOnlyLine(std::string_view line);

// Hands every line of the log file (or only the errors-only lines) to sink, in file
// order, without its line end. Throws SystemError when the file does not exist or cannot
// be read; the sink has then seen nothing only when opening failed. progress, when given,
// hears about every block read.
void ReadLogLines(const std::string& path, bool errorsOnly,
                  const std::function<void(std::string_view)>& sink,
                  const ReadProgress& progress = {});

// Lines kept back to back in one buffer, each found by its offset. Operators keep logs of
// millions of lines: one string per line would cost more than the text itself.
class LogText {
 public:
  void Reserve(size_t bytes, size_t lines);
  void Append(std::string_view line);
  size_t Count() const { return starts_.size() - 1; }
  bool Empty() const { return Count() == 0; }
  std::string_view operator[](size_t i) const {
    return std::string_view(text_.data() + starts_[i], starts_[i + 1] - starts_[i]);
  }
  // The bytes of all lines, without line ends.
  size_t Bytes() const { return text_.size(); }
  // Bytes held, the offsets included.
  size_t Footprint() const { return text_.capacity() + starts_.capacity() * sizeof(size_t); }
  // Hands back unused room after the last Append when there is much of it.
  void ShrinkToFit();

 private:
  std::string text_;
  // Where each line starts in text_, and one more entry for the end of the last line.
  std::vector<size_t> starts_{0};
};

// What a log window shows: its caption and its lines.
struct LogView {
  std::string caption;
  LogText lines;
};

// "Sentrel Logfile: " + name, with " (errors only)" for the errors-only view.
std::string LogViewCaption(const Server& server, bool errorsOnly);
// Reads the server's log file in the data directory into a view; throws as ReadLogLines.
LogView ViewServerLog(const Server& server, bool errorsOnly, const ReadProgress& progress = {});
// The same for a given file.
LogView ViewLogFile(const Server& server, const std::string& path, bool errorsOnly,
                    const ReadProgress& progress = {});

}  // namespace sentrel
