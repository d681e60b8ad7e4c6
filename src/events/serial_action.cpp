#include "events/serial_action.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "events/event_list.h"
#include "events/mail_action.h"
#include "model/last_activity.h"
#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/settings_store.h"

namespace sentrel {

namespace {

constexpr int kRates[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                          14400, 19200, 38400, 56000, 57600, 115200};

// The serial log stays open for the whole run; each line and each received byte is
// written through at once, so the log shows how far a run got even when it fails.
class SerialLog {
 public:
  SerialLog() {
    fd_ = open(kSerialLogName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      int err = errno;
      throw SystemError(std::string("open ") + kSerialLogName + ": " + std::strerror(err), "open",
                        err);
    }
  }
  ~SerialLog() { close(fd_); }
  SerialLog(const SerialLog&) = delete;
  SerialLog& operator=(const SerialLog&) = delete;

  void Line(const std::string& text) { Raw(FormatDateTime(Now()) + text + "\r\n"); }
  void Raw(const std::string& bytes) {
    CurrentFileWriter().WriteAll(fd_, bytes.data(), bytes.size());
  }

 private:
  int fd_ = -1;
};

[[noreturn]] void OperationFailed(int err) {
  throw SentrelError("Operation failed: " + std::to_string(err));
}

// Waits for the target, reading byte by byte and logging each byte as it comes. True
// when it arrived within the time. The task suspends between bytes.
Task<bool> WaitFor(SerialPort& port, SerialLog& log, std::string target) {
  std::string received;
  const int64_t start = CurrentClock().MonotonicMs();
  int hangup = 0;
  for (;;) {
    int err = 0;
    std::optional<char> byte = port.ReadByte(err);
    if (err) OperationFailed(err);
    if (!byte && hangup) OperationFailed(hangup);
    if (byte) {
      log.Raw(std::string(1, *byte));
      received += *byte;
      // Checked after every byte, so the text can only have just completed at the end;
      // the empty text is never found.
      if (!target.empty() && received.ends_with(target)) co_return true;
    }
    if (CurrentClock().MonotonicMs() - start > kSerialWaitMs) co_return false;
    if (!byte) hangup = co_await port.WaitReadable(start + kSerialWaitMs + 1);
  }
}

}  // namespace

std::string SerialOptions::PortName() const {
  if (port < 0 || port > 7) return "";
  return "COM" + std::to_string(port + 1);
}

LineSettings SerialOptions::Line() const {
  LineSettings s;
  s.baud = baud >= 0 && baud < 13 ? kRates[baud] : 0;
  s.dataBits = bits + 5;
  s.parity =
      parity >= 0 && parity <= 4 ? static_cast<LineSettings::Parity>(parity) : LineSettings::kNone;
  s.stopBits =
      stop >= 0 && stop <= 2 ? static_cast<LineSettings::StopBits>(stop) : LineSettings::kOne;
  return s;
}

SerialOptions ParseSerialOptions(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> items;
  std::string item;
  auto flush = [&] {
    if (item.empty()) return;
    size_t eq = item.find('=');
    if (eq == std::string::npos)
      items.emplace_back(ToLower(item), "");
    else
      items.emplace_back(ToLower(item.substr(0, eq)), item.substr(eq + 1));
    item.clear();
  };
  for (char c : text) {
    if (c == ',' || static_cast<unsigned char>(c) <= ' ')
      flush();
    else
      item += c;
  }
  flush();

  auto value = [&](const char* key) {
    for (const auto& [k, v] : items) {
      if (k != key) continue;
      size_t i = (!v.empty() && (v[0] == '-' || v[0] == '+')) ? 1 : 0;
      bool ok = i < v.size() && v.size() - i <= 9;
      for (size_t j = i; j < v.size(); ++j)
        ok = ok && std::isdigit(static_cast<unsigned char>(v[j]));
      if (!ok)
        throw SentrelError(std::string("Serial option ") + key + "=\"" + v + "\" is not a number");
      return std::stoi(v);
    }
    throw SentrelError(std::string("Serial options lack \"") + key + "\": " + text);
  };
  SerialOptions o;
  o.port = value("port");
  o.baud = value("baud");
  o.stop = value("stop");
  o.bits = value("bits");
  o.parity = value("parity");
  return o;
}

std::string SerialDevicePath(int portIndex) {
  if (portIndex < 0 || portIndex > 7) return "";
  return CurrentSettings().Sentrel("COM" + std::to_string(portIndex + 1),
                                   "/dev/ttyS" + std::to_string(portIndex));
}

namespace {

// A script waits for its answers, so another event can want the port meanwhile. Two
// scripts must not talk to one modem at once, and neither may be lost: the later one
// waits for the lock and runs once the running one has ended, in the order they came.
AsyncMutex& SerialScripts() {
  static AsyncMutex scripts;
  return scripts;
}

}  // namespace

Task<void> RunSerialScript(Event ev) {
  AsyncMutex::Guard turn = co_await SerialScripts().Lock();
  LastActivity = "IPEvent.DoSerial";
  SerialLog log;
  std::vector<std::string> script = SplitTextLines(ReadActionFile(ev.SerialText, "Serial script"));
  SerialOptions options = ParseSerialOptions(ev.SerialOptions);

  log.Line(" open");
  SerialPort port;
  if (port.Open(SerialDevicePath(options.port)) != 0)
    throw SentrelError("Unable to open com port: " + options.PortName());
  int err = port.SetLine(options.Line());
  if (!err) err = port.SetTimeouts();
  if (err) {
    port.Close();
    throw SentrelError("Unable to set com state: " + std::to_string(err));
  }
  log.Line(" start");

  for (const std::string& line : script) {
    if (!line.empty() && line[0] == '?') {
      std::string target = line.substr(1, kSerialWaitTextMax);
      log.Line(" Waitfor: \"" + target + "\"");
      bool arrived = co_await WaitFor(port, log, target);
      log.Raw("\r\n");
      log.Line(arrived ? " OK" : " Timeout!");
    } else {
      log.Line(" Send: \"" + line + "\"");
      if (int werr = co_await port.Write(line + "\r")) OperationFailed(werr);
    }
  }
}

}  // namespace sentrel
