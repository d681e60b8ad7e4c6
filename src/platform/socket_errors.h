#pragma once

#include <string>

namespace sentrel {

// The program prints socket failures with the Windows Sockets numbers its users know
// (10061 for a refused connection, 11001 for an unknown host), so the socket layer turns
// every errno and resolver code into one of those before anyone sees it.
namespace wsa {
constexpr int kInterrupted = 10004;
constexpr int kInvalidArgument = 10022;
constexpr int kTooManyOpenFiles = 10024;
constexpr int kWouldBlock = 10035;
constexpr int kInProgress = 10036;
constexpr int kNetUnreachable = 10051;
constexpr int kConnAborted = 10053;
constexpr int kConnReset = 10054;
constexpr int kNoBufferSpace = 10055;
constexpr int kNotConnected = 10057;
constexpr int kTimedOut = 10060;
constexpr int kConnRefused = 10061;
constexpr int kHostUnreachable = 10065;
constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoRecovery = 11003;
constexpr int kNoData = 11004;
}  // namespace wsa

// Out of descriptors or buffers: this process's or the system's own shortage, which says
// nothing about the peer a connection was meant for.
inline bool IsOwnShortage(int code) {
  return code == wsa::kTooManyOpenFiles || code == wsa::kNoBufferSpace;
}

// The Windows Sockets code for an errno value; an errno without one comes back unchanged
// (and prints as "Not a WinSock error").
int WsaCodeFromErrno(int err);
// The Windows Sockets code for a getaddrinfo() result (EAI_*); 0 for success.
int WsaCodeFromGai(int gaiError);
// The text the program prints for a Windows Sockets code.
std::string socketErrorText(int code);

}  // namespace sentrel
