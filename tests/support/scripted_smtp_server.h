#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sentrel::test {

// An SMTP server for the tests on 127.0.0.1 (port 0), served by the current loop on the
// test's own thread, so the client's waits and the server's answers interleave exactly.
// It keeps every byte the client sent and answers from a small script.
class ScriptedSmtpServer {
 public:
  ScriptedSmtpServer();
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  uint16_t Port() const { return port_; }

  // Sent on connect; empty sends nothing.
  std::string greeting = "220 scripted ESMTP ready\r\n";
  // Replies by command: the first entry whose key the received line starts with wins
  // (the key "." is the reply to the end of the mail text); the rest get plain success.
  std::vector<std::pair<std::string, std::string>> replies;
  // Never says anything at all.
  bool silent = false;
  // Closes the connection (orderly) on receiving this command line, without answering it.
  std::string closeOn;
  // Closes the connection right after the greeting.
  bool hangUpAfterGreeting = false;

  // Called when a client has connected, before the greeting.
  std::function<void()> onConnect;

  // Every byte the client sent, in order.
  std::string received;
  int connections = 0;
  // How the client left: true when the connection was reset, not closed in order.
  bool clientReset = false;
  bool clientGone = false;

 private:
  struct Connection;
  void Accept();
  void OnData(Connection& c);
  void Answer(Connection& c, const std::string& line);
  void Drop(Connection& c);
  std::string ReplyFor(const std::string& line) const;

  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace sentrel::test
