#include "app/command_line.h"

#include "platform/ini_file.h"
#include "reports/status_web_server.h"

namespace sentrel {

std::string UsageText() {
  return "Usage: sentrel [OPTIONS] [SERVERFILE]\n"
         "       sentrel --headless [OPTIONS] [SERVERFILE]\n"
         "       sentrel --dump-logs DAYS [OPTIONS] [SERVERFILE]\n"
         "       sentrel --request-times SERVER MONITOR DAYS [OPTIONS] [SERVERFILE]\n"
         "       sentrel --log SERVER [--errors-only] [OPTIONS] [SERVERFILE]\n"
         "       sentrel --availability [DAYS] [--csv] [OPTIONS] [SERVERFILE]\n"
         "       sentrel --check [--strict] [OPTIONS] [SERVERFILE]\n"
         "\n"
         "Network monitor: pings, HTTP requests and TCP port checks of the servers in\n"
         "SERVERFILE, with events, per-server logs and a status web page.\n"
         "\n"
         "Options (a value may also be joined with '=': --data-dir=DIR):\n"
         "  --headless            run without windows (always scans)\n"
         "  --data-dir DIR        logs, events.ini and the errors log live here\n"
         "                        (default $SENTREL_HOME, else $XDG_DATA_HOME/sentrel)\n"
         "  --settings FILE       the settings file\n"
         "                        (default $XDG_CONFIG_HOME/sentrel/sentrel.ini)\n"
         "  --web-ports P1,P2,..  ports the status web server tries (default 80,8080,8081)\n"
         "  --web-bind ADDRESS    the address the status web server listens on\n"
         "                        (default: all interfaces, IPv4 and IPv6)\n"
         "  --no-web              headless without the status web server\n"
         "  --shard K/N           watch only the servers whose name falls to K of N (N Sentrels\n"
         "                        on one server file watch every server once)\n"
         "  --dump-logs DAYS      cut records older than DAYS days out of every log, exit\n"
         "  --yes                 with --dump-logs 0: really empty every log\n"
         "  --request-times SERVER MONITOR DAYS\n"
         "                        print a monitor's request times of the last DAYS days\n"
         "  --log SERVER          print a server's log file\n"
         "  --errors-only         with --log: only the lines that are not OK or LOST\n"
         "  --availability [DAYS] print every monitor's availability, outages and downtime\n"
         "                        of the last DAYS days (default 30)\n"
         "  --csv                 with --availability: the same as CSV\n"
         "  --check               check the server file and the data directory's events.ini,\n"
         "                        print what is wrong (FILE:LINE: error|warning: text), exit 1\n"
         "                        on errors\n"
         "  --strict              with --check: warnings count as errors\n"
         "  --help                show this text\n"
         "  --version             show the version\n"
         "\n"
         "Settings of the settings file's [Sentrel] section that change how it checks:\n"
         "  ParallelChecks=1      a scan pass starts every due check at once (the default)\n"
         "  ParallelChecks=0      a scan pass waits for each ping and port check in turn\n"
         "  ParallelCheckLimit=N  at most N checks at once in parallel (default: as many\n"
         "                        as the open-file limit allows)\n"
         "The window's Options > Check monitors in parallel sets ParallelChecks. Every\n"
         "setting: man sentrel, and /usr/share/doc/sentrel/settings-file.md.\n";
}

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error) {
  CommandLine cl;
  std::vector<std::string> positional;
  // The option being read and a value joined to it with "=", when there was one.
  std::string opt;
  std::optional<std::string> joined;
  auto needValue = [&](size_t& i, std::string& out) {
    if (joined) {
      out = *joined;
      joined.reset();
      return true;
    }
    // "--log --settings FILE" lacks the server: "--settings" is no server name.
    if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0) {
      error = "option " + opt + " needs a value";
      return false;
    }
    out = args[++i];
    return true;
  };
  auto noValue = [&]() {
    if (!joined) return true;
    error = "option " + opt + " takes no value";
    return false;
  };
  auto setMode = [&](CommandLine::Mode m) {
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
    opt = a;
    joined.reset();
    if (a.rfind("--", 0) == 0) {
      auto eq = a.find('=');
      if (eq != std::string::npos) {
        opt = a.substr(0, eq);
        joined = a.substr(eq + 1);
      }
    }
    if (opt == "--help" || opt == "-h") {
      cl.mode = CommandLine::Mode::Help;
      return cl;
    } else if (opt == "--version") {
      cl.mode = CommandLine::Mode::Version;
      return cl;
    } else if (opt == "--headless") {
      if (!noValue()) return std::nullopt;
      headless = true;
    } else if (opt == "--data-dir") {
      if (!needValue(i, cl.dataDir)) return std::nullopt;
    } else if (opt == "--settings") {
      if (!needValue(i, cl.settingsPath)) return std::nullopt;
    } else if (opt == "--no-web") {
      if (!noValue()) return std::nullopt;
      cl.noWeb = true;
    } else if (opt == "--shard") {
      std::string text;
      if (!needValue(i, text)) return std::nullopt;
      const auto shard = Shard::Parse(text);
      if (!shard) {
        error = "--shard needs K/N with 1 <= K <= N <= " + std::to_string(Shard::kMaxShards) +
                ", such as 2/3, not '" + text + "'";
        return std::nullopt;
      }
      cl.shard = *shard;
    } else if (opt == "--web-bind") {
      if (!needValue(i, cl.webBind)) return std::nullopt;
      if (!StatusWebServer::IsBindAddress(cl.webBind)) {
        error = "--web-bind needs an IP address of this machine, such as 127.0.0.1 or ::1, not '" +
                cl.webBind + "'";
        return std::nullopt;
      }
    } else if (opt == "--web-ports") {
      std::string list;
      if (!needValue(i, list)) return std::nullopt;
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
    } else if (opt == "--dump-logs") {
      if (!setMode(CommandLine::Mode::DumpLogs) || !needValue(i, cl.days)) return std::nullopt;
    } else if (opt == "--request-times") {
      if (!setMode(CommandLine::Mode::RequestTimes) || !needValue(i, cl.server) ||
          !needValue(i, cl.monitor) || !needValue(i, cl.days))
        return std::nullopt;
    } else if (opt == "--availability") {
      if (!setMode(CommandLine::Mode::Availability)) return std::nullopt;
      // DAYS may be left out: a following whole number is it, anything else is not.
      if (joined) {
        cl.days = *joined;
        joined.reset();
      } else if (i + 1 < args.size() && !args[i + 1].empty() &&
                 args[i + 1].find_first_not_of("0123456789") == std::string::npos) {
        cl.days = args[++i];
      } else {
        cl.days = "30";
      }
    } else if (opt == "--csv") {
      if (!noValue()) return std::nullopt;
      cl.csv = true;
    } else if (opt == "--log") {
      if (!setMode(CommandLine::Mode::Log) || !needValue(i, cl.server)) return std::nullopt;
    } else if (opt == "--check") {
      if (!setMode(CommandLine::Mode::Check) || !noValue()) return std::nullopt;
    } else if (opt == "--strict") {
      if (!noValue()) return std::nullopt;
      cl.strict = true;
    } else if (opt == "--errors-only") {
      if (!noValue()) return std::nullopt;
      cl.errorsOnly = true;
    } else if (opt == "--yes") {
      if (!noValue()) return std::nullopt;
      cl.yes = true;
    } else if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + opt;
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
  if (cl.strict && cl.mode != CommandLine::Mode::Check) {
    error = "--strict needs --check";
    return std::nullopt;
  }
  if (cl.csv && cl.mode != CommandLine::Mode::Availability) {
    error = "--csv needs --availability";
    return std::nullopt;
  }
  if (cl.yes && cl.mode != CommandLine::Mode::DumpLogs) {
    error = "--yes needs --dump-logs";
    return std::nullopt;
  }
  if (cl.mode == CommandLine::Mode::Window && headless) cl.mode = CommandLine::Mode::Headless;
  return cl;
}

}  // namespace sentrel
