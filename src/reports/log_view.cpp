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

void ReadLogLines(const std::string& path, bool errorsOnly,
                  const std::function<void(std::string_view)>& sink) {
  LogLineReader reader(path);
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

std::string LogViewCaption(const TServer& server, bool errorsOnly) {
  std::string caption = "Sentrel Logfile: " + server.name;
  if (errorsOnly) caption += " (errors only)";
  return caption;
}

LogView ViewServerLog(const TServer& server, bool errorsOnly) {
  LogView view;
  ReadLogLines(server.LogPath(), errorsOnly,
               [&view](std::string_view line) { view.lines.emplace_back(line); });
  view.caption = LogViewCaption(server, errorsOnly);
  return view;
}

}  // namespace sentrel
