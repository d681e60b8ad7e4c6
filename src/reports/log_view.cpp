#include "reports/log_view.h"

#include "model/server.h"
#include "reports/log_lines.h"

namespace sentrel {

bool IsErrorsOnlyLine(std::string_view line) {
  LeadingLogWords words;
  words.Split(line, 6);
  if (words.Count() < 6) return false;
  return words[5] != "OK" && words[5] != "LOST";
}

namespace {

template <typename Sink>
void ForEachLine(LogLineReader& reader, bool errorsOnly, Sink&& sink) {
  LeadingLogWords words;
  std::string_view line;
  while (reader.Next(line)) {
    if (errorsOnly) {
      words.Split(line, 6);
      if (words.Count() < 6 || words[5] == "OK" || words[5] == "LOST") continue;
    }
    sink(line);
  }
}

}  // namespace

void ReadLogLines(const std::string& path, bool errorsOnly,
                  const std::function<void(std::string_view)>& sink, const ReadProgress& progress) {
  LogLineReader reader(path);
  if (progress) reader.OnProgress(progress);
  ForEachLine(reader, errorsOnly, sink);
}

void LogText::Reserve(size_t bytes, size_t lines) {
  text_.reserve(bytes);
  starts_.reserve(lines + 1);
}

void LogText::Append(std::string_view line) {
  text_.append(line);
  starts_.push_back(text_.size());
}

void LogText::ShrinkToFit() {
  // Only a buffer that is largely empty is worth a copy: the copy needs both for a moment.
  if (text_.capacity() - text_.size() > text_.capacity() / 4) text_.shrink_to_fit();
  if (starts_.capacity() - starts_.size() > starts_.capacity() / 4) starts_.shrink_to_fit();
}

std::string LogViewCaption(const Server& server, bool errorsOnly) {
  std::string caption = "Sentrel Logfile: " + server.name;
  if (errorsOnly) caption += " (errors only)";
  return caption;
}

LogView ViewServerLog(const Server& server, bool errorsOnly, const ReadProgress& progress) {
  return ViewLogFile(server, server.LogPath(), errorsOnly, progress);
}

LogView ViewLogFile(const Server& server, const std::string& path, bool errorsOnly,
                    const ReadProgress& progress) {
  LogView view;
  LogLineReader reader(path);
  if (progress) reader.OnProgress(progress);
  // The whole view holds about the file: room for all of it at once spares the copies of
  // a growing buffer, which would briefly need twice the text. A record line is some 60
  // bytes; the offsets grow by themselves when the guess is short.
  if (!errorsOnly && reader.FileSize() > 0)
    view.lines.Reserve(static_cast<size_t>(reader.FileSize()),
                       static_cast<size_t>(reader.FileSize() / 56));
  ForEachLine(reader, errorsOnly, [&view](std::string_view line) { view.lines.Append(line); });
  view.lines.ShrinkToFit();
  view.caption = LogViewCaption(server, errorsOnly);
  return view;
}

}  // namespace sentrel
