// The serial action running a script against a device: a pseudo-terminal whose other end
// this harness plays. What the device says is there before the script starts.
// Input: two bytes (little-endian) give the length of what the device says, those bytes
// follow, the rest is the script. The device text is cut at 4000 bytes (the terminal holds
// 4096 unread) and the script at 3500, so nothing the port sends can fill the terminal.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "events/event_list.h"
#include "events/mail_action.h"
#include "events/serial_action.h"
#include "fuzz_support.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "platform/settings_store.h"

using namespace sentrel;
using fuzz::Check;

namespace {

constexpr size_t kDeviceMax = 4000;
constexpr size_t kScriptMax = 3500;

// Time for the serial action, which waits without the loop: it stands still while the
// device has bytes the port has not read, and once the port has read them all every look
// at the clock moves it on past the longest wait. A wait for text that never comes then
// ends at once instead of after 30 seconds, and the outcome depends on the bytes alone.
class DeviceClock final : public Clock {
 public:
  explicit DeviceClock(int tty) : tty_(tty) {}
  double Now() const override { return 46000.5; }
  int64_t MonotonicMs() const override {
    int waiting = 0;
    if (ioctl(tty_, FIONREAD, &waiting) != 0 || waiting == 0) mono_ += kSerialWaitMs + 1000;
    return mono_;
  }

 private:
  int tty_;
  mutable int64_t mono_ = 1'000'000;
};

struct Harness {
  int master = -1;
  int keeper = -1;  // keeps the terminal up between runs and tells what is unread
  std::string dir = fuzz::ScratchDirectory("serial_script");
  SettingsStore settings;
  std::unique_ptr<DeviceClock> clock;

  Harness() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) fuzz::Broken("no pty");
    std::string slave = ptsname(master);
    keeper = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (keeper < 0) fuzz::Broken("cannot open the pty");
    termios t{};
    tcgetattr(keeper, &t);
    cfmakeraw(&t);
    tcsetattr(keeper, TCSANOW, &t);
    settings.WriteText(kSentrelSection, "COM1", slave);
    SetCurrentSettings(&settings);
    clock = std::make_unique<DeviceClock>(keeper);
    SetCurrentClock(clock.get());
  }

  int Unread() const {
    int n = 0;
    ioctl(keeper, FIONREAD, &n);
    return n;
  }

  // What the port sent, waiting briefly for bytes still on their way through the terminal.
  std::string Sent(size_t expected) {
    std::string out;
    for (;;) {
      fuzz::DrainInto(master, out);
      if (out.size() >= expected) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return out;
        continue;
      }
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) return out;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* h = new Harness;
  if (size < 2) return 0;
  size_t deviceLength = std::min<size_t>(data[0] | data[1] << 8, size - 2);
  std::string_view in(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::string device(in.substr(0, std::min(deviceLength, kDeviceMax)));
  std::string script(in.substr(deviceLength, kScriptMax));

  // The device speaks first; the harness waits until the terminal holds every byte.
  std::string stale;
  fuzz::DrainInto(h->master, stale);
  tcflush(h->keeper, TCIOFLUSH);
  if (!device.empty() &&
      write(h->master, device.data(), device.size()) != static_cast<ssize_t>(device.size()))
    fuzz::Broken("the device cannot speak");
  for (int i = 0; i < 1000 && h->Unread() < static_cast<int>(device.size()); ++i) usleep(100);
  Check(h->Unread() == static_cast<int>(device.size()), "the terminal holds what the device said");

  Event ev;
  ev.SerialText = h->dir + "/script.txt";
  WriteFileAtomic(ev.SerialText, script);
  fuzz::InDirectory cwd(h->dir);
  unlink(kSerialLogName);

  bool ran = false;
  try {
    RunToCompletion(RunSerialScript(ev));
    ran = true;
  } catch (const SentrelError& e) {
    Check(std::string_view(e.what()).find('\n') == std::string_view::npos, "a failure is one line");
  }
  Check(ran, "a script on a terminal that works runs to its end");

  // What the port must have sent, and the log it must have written: every wait reads the
  // device's bytes one by one until its text has just arrived, or to their end.
  const std::string stamp = FormatDateTime(46000.5);
  std::string sent, log = stamp + " open\r\n" + stamp + " start\r\n";
  size_t pos = 0;
  for (const std::string& line : SplitTextLines(script)) {
    if (!line.empty() && line[0] == '?') {
      std::string target = line.substr(1, kSerialWaitTextMax);
      log += stamp + " Waitfor: \"" + target + "\"\r\n";
      std::string received;
      bool arrived = false;
      while (!arrived && pos < device.size()) {
        received += device[pos++];
        arrived = !target.empty() && received.ends_with(target);
      }
      log += received + "\r\n" + stamp + (arrived ? " OK" : " Timeout!") + "\r\n";
    } else {
      log += stamp + " Send: \"" + line + "\"\r\n";
      sent += line + "\r";
    }
  }
  Check(h->Sent(sent.size()) == sent, "the port sends the script's lines, each with a CR");
  Check(ReadWholeFile(kSerialLogName) == log, "the log shows every step and every byte read");
  return 0;
}
