// termios2 through ioctl, not <termios.h>: it is the only way to ask for the rates the
// classic table lacks (14400 and 56000 bits per second). The two headers cannot meet in
// one file, so this one uses the kernel's names only.
#include "platform/serial_port.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/event_loop.h"

namespace sentrel {

namespace {

tcflag_t StandardRate(int baud) {
  switch (baud) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return BOTHER;
  }
}

int Errno() {
  return errno ? errno : EIO;
}

}  // namespace

int SerialPort::Open(const std::string& path) {
  Close();
  if (path.empty()) return ENOENT;
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return Errno();
  // Not shared: nobody else may open the device while we drive it (root can anyway).
  ioctl(fd_, TIOCEXCL);
  return 0;
}

int SerialPort::SetLine(const LineSettings& s) {
  if (s.baud <= 0 || s.dataBits < 5 || s.dataBits > 8) return EINVAL;
  termios2 t{};
  if (ioctl(fd_, TCGETS2, &t) < 0) return Errno();
  t.c_iflag = 0;  // binary input: no parity checks, no translation, no XON/XOFF
  t.c_oflag = 0;
  t.c_lflag = 0;
  tcflag_t size = s.dataBits == 5 ? CS5 : s.dataBits == 6 ? CS6 : s.dataBits == 7 ? CS7 : CS8;
  t.c_cflag = CREAD | CLOCAL | size;  // CLOCAL: the modem lines are ignored
  switch (s.parity) {
    case LineSettings::kOdd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case LineSettings::kEven:
      t.c_cflag |= PARENB;
      break;
    case LineSettings::kMark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case LineSettings::kSpace:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    case LineSettings::kNone:
      break;
  }
  // Linux knows one and two stop bits; with 5 data bits the UART makes two into one and
  // a half, which is what 1.5 asks for.
  if (s.stopBits != LineSettings::kOne) t.c_cflag |= CSTOPB;
  tcflag_t rate = StandardRate(s.baud);
  t.c_cflag |= rate;
  t.c_ispeed = t.c_ospeed = static_cast<speed_t>(s.baud);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd_, TCSETS2, &t) < 0) return Errno();
  // DTR and RTS off. A device without modem lines (a pseudo-terminal) has none to drop.
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd_, TIOCMBIC, &lines) < 0 && errno != ENOTTY && errno != EINVAL) return Errno();
  return 0;
}

int SerialPort::SetTimeouts() {
  // A read returns at once with what has arrived.
  termios2 t{};
  if (ioctl(fd_, TCGETS2, &t) < 0) return Errno();
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd_, TCSETS2, &t) < 0) return Errno();
  return 0;
}

Task<int> SerialPort::Write(std::string bytes) {
  int64_t deadline = CurrentClock().MonotonicMs() + 100 * static_cast<int64_t>(bytes.size()) + 1000;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) co_return Errno();
    if (co_await WaitFd(fd_, EPOLLOUT, deadline) == 0) co_return ETIMEDOUT;
  }
  co_return 0;
}

std::optional<char> SerialPort::ReadByte(int& err) {
  err = 0;
  char c;
  for (;;) {
    ssize_t n = read(fd_, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) err = Errno();
    return std::nullopt;
  }
}

Task<int> SerialPort::WaitReadable(int64_t deadlineMs) {
  uint32_t got = co_await WaitFd(fd_, EPOLLIN, deadlineMs);
  // A device that hung up reports itself readable for ever, and reads give nothing.
  if (got & (EPOLLHUP | EPOLLERR)) co_return EIO;
  co_return 0;
}

void SerialPort::Close() {
  if (fd_ < 0) return;
  // Unread input is dropped. Output is left alone: every write has been handed to the
  // device already, and on a pseudo-terminal a flush would throw away what the other
  // side has not read yet.
  ioctl(fd_, TCFLSH, TCIFLUSH);
  ioctl(fd_, TIOCNXCL);
  close(fd_);
  fd_ = -1;
}

}  // namespace sentrel
