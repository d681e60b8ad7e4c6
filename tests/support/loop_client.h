#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel::test {

// A TCP client on the test's own loop, so it runs beside the server under test on the
// one thread: connects to 127.0.0.1, sends what it is told, and collects everything that
// arrives until the peer closes; then it closes too.
class LoopClient {
 public:
  // rcvbuf > 0 shrinks the receive buffer, so the server's sends come back short.
  // readChunk limits how much one notification reads (a slow reader).
  explicit LoopClient(int port, int rcvbuf = 0, size_t readChunk = 65536);
  ~LoopClient();
  LoopClient(const LoopClient&) = delete;
  LoopClient& operator=(const LoopClient&) = delete;

  void Send(std::string_view bytes);
  // Stops reading; the kernel buffers stay as they are (a client that does not read).
  void StopReading();
  void StartReading();
  // A normal close (FIN).
  void Close();
  // An abortive close: the peer gets a reset.
  void Reset();

  bool Finished() const { return eof_ || error_ != 0 || fd_ < 0; }
  bool Eof() const { return eof_; }
  int Error() const { return error_; }
  const std::string& Received() const { return received_; }
  // Called after each read that added bytes.
  void OnData(std::function<void()> callback) { onData_ = std::move(callback); }

 private:
  void OnReadable();
  int fd_ = -1;
  size_t readChunk_;
  bool reading_ = false;
  bool eof_ = false;
  int error_ = 0;
  std::string received_;
  std::function<void()> onData_;
};

// Serves the current loop until done() holds or realMs of real time have passed; fake
// time moves only as the clock's auto-advance allows. Returns done().
bool ServeUntil(const std::function<bool()>& done, int64_t realMs = 10000);

// A port that was free a moment ago (bound to port 0 and released).
int FreePort();

// A socket that holds a port: bound on all interfaces and listening, without
// SO_REUSEADDR, so nobody else can listen there while it lives.
class PortHolder {
 public:
  explicit PortHolder(int port = 0);
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  int Port() const { return port_; }
  void Release();

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A blocking HTTP exchange for tests that talk to another process: connects to
// 127.0.0.1:port, sends the request, reads to the end. Empty on any failure.
std::string FetchBlocking(int port, const std::string& request, int timeoutMs = 10000);

// Waits (real time) until something accepts connections on 127.0.0.1:port.
bool WaitForListener(int port, int timeoutMs);

}  // namespace sentrel::test
