#include "support/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace sentrel::test {

PtyDevice::PtyDevice() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) < 0 || unlockpt(master_) < 0)
    throw std::runtime_error("no pseudo-terminal");
  slavePath_ = ptsname(master_);
  keeper_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (keeper_ < 0) throw std::runtime_error("cannot open " + slavePath_);
  // Raw from the start, so bytes the device sends before the program configures the
  // port are neither echoed nor translated.
  termios t{};
  tcgetattr(keeper_, &t);
  cfmakeraw(&t);
  tcsetattr(keeper_, TCSANOW, &t);
}

PtyDevice::~PtyDevice() {
  if (keeper_ >= 0) close(keeper_);
  if (master_ >= 0) close(master_);
}

void PtyDevice::Send(const std::string& bytes) {
  if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("pty write failed");
}

std::string PtyDevice::Received(int quietMs) {
  std::string out;
  for (;;) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, quietMs) <= 0 || !(p.revents & POLLIN)) return out;
    char buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

std::string PtyDevice::ReceiveUntil(const std::string& end, int realMs) {
  std::string out;
  auto stop = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
  while (!out.ends_with(end) && std::chrono::steady_clock::now() < stop) out += Received(5);
  return out;
}

void PtyDevice::HangUp() {
  close(keeper_);
  keeper_ = -1;
  close(master_);
  master_ = -1;
}

}  // namespace sentrel::test
