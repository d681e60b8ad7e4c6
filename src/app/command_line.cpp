#include "app/command_line.h"

#include "platform/ini_file.h"

namespace sentrel {

std::string UsageText() {
  return "Usage: sentrel [OPTIONS] [SERVERFILE]\n"
         "       sentrel --headless [OPTIONS] [SERVERFILE]\n"
         "       sentrel --dump-logs DAYS [OPTIONS] [SERVERFILE]\n"
         "       sentrel --request-times SERVER MONITOR DAYS [OPTIONS] [SERVERFILE]\n"
         "       sentrel --log SERVER [--errors-only] [OPTIONS] [SERVERFILE]\n"
         "\n"
         "Network monitor: pings, HTTP requests and TCP port checks of the servers in\n"
         "SERVERFILE, with events, per-server logs and a status web page.\n"
         "\n"
         "Options:\n"
         "  --headless            run without windows (always scans)\n"
         "  --data-dir DIR        logs, events.ini and the errors log live here\n"
         "                        (default $SENTREL_HOME, else $XDG_DATA_HOME/sentrel)\n"
         "  --settings FILE       the settings file\n"
         "                        (default $XDG_CONFIG_HOME/Hallvik/Corvane.ini)\n"
         "  --web-ports P1,P2,..  ports the status web server tries (default 80,8080,8081)\n"
         "  --no-web              headless without the status web server\n"
         "  --dump-logs DAYS      cut records older than DAYS days out of every log, exit\n"
         "  --request-times SERVER MONITOR DAYS\n"
         "                        print a monitor's request times of the last DAYS days\n"
         "  --log SERVER          print a server's log file\n"
         "  --errors-only         with --log: only the lines that are not OK or LOST\n"
         "  --help                show this text\n"
         "  --version             show the version\n";
}

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error) {
  CommandLine cl;
  std::vector<std::string> positional;
  auto needValue = [&](size_t& i, const std::string& opt, std::string& out) {
    if (i + 1 >= args.size()) {
      error = "option " + opt + " needs a value";
      return false;
    }
    out = args[++i];
    return true;
  };
  auto setMode = [&](CommandLine::Mode m, const std::string& opt) {
    if (cl.mode != CommandLine::Mode::Window && cl.mode != CommandLine::Mode::Headless) {
      error = "option " + opt + " cannot be combined with another command";
      return false;
    }
    cl.mode = m;
    return true;
  };

  bool headless = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      cl.mode = CommandLine::Mode::Help;
      return cl;
    } else if (a == "--version") {
      cl.mode = CommandLine::Mode::Version;
      return cl;
    } else if (a == "--headless") {
      headless = true;
    } else if (a == "--data-dir") {
      if (!needValue(i, a, cl.dataDir)) return std::nullopt;
    } else if (a == "--settings") {
      if (!needValue(i, a, cl.settingsPath)) return std::nullopt;
    } else if (a == "--no-web") {
      cl.noWeb = true;
    } else if (a == "--web-ports") {
      std::string list;
      if (!needValue(i, a, list)) return std::nullopt;
      cl.webPorts.clear();
      size_t pos = 0;
      while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        std::string item(Trim(list.substr(pos, comma == std::string::npos ? list.npos : comma - pos)));
        auto port = ParseIniInteger(item);
        if (!port || *port < 1 || *port > 65535 || item.find('x') != std::string::npos) {
          error = "invalid port '" + item + "' in --web-ports";
          return std::nullopt;
        }
        cl.webPorts.push_back(*port);
        if (comma == std::string::npos) break;
        pos = comma + 1;
      }
      cl.webPortsGiven = true;
    } else if (a == "--dump-logs") {
      if (!setMode(CommandLine::Mode::DumpLogs, a) || !needValue(i, a, cl.days)) return std::nullopt;
    } else if (a == "--request-times") {
      if (!setMode(CommandLine::Mode::RequestTimes, a) || !needValue(i, a, cl.server) ||
          !needValue(i, a, cl.monitor) || !needValue(i, a, cl.days))
        return std::nullopt;
    } else if (a == "--log") {
      if (!setMode(CommandLine::Mode::Log, a) || !needValue(i, a, cl.server)) return std::nullopt;
    } else if (a == "--errors-only") {
      cl.errorsOnly = true;
    } else if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + a;
      return std::nullopt;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() > 1) {
    error = "more than one server file given: " + positional[1];
    return std::nullopt;
  }
  if (!positional.empty()) cl.serverFile = positional[0];
  if (cl.errorsOnly && cl.mode != CommandLine::Mode::Log) {
    error = "--errors-only needs --log";
    return std::nullopt;
  }
  if (cl.mode == CommandLine::Mode::Window && headless) cl.mode = CommandLine::Mode::Headless;
  return cl;
}

}  // namespace sentrel
