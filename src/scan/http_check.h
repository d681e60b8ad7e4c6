#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace sentrel {

class TInfiniScan;
class TPort;
class tmyhttpcli;

// The HTTP check: `DoAHTTP` starts one request for a monitor and returns; the request's
// completion (`HttpRequestDone`) runs later from the loop and hands the verdict to the
// scan engine. This object owns the requests in flight.
class HttpChecks {
 public:
  // At most this much of a body is kept for the content tests; the byte count still
  // counts every byte.
  static constexpr size_t kMaxBodyText = 16u * 1024u * 1024u;
  // How long DoAHTTP serves the loop after aborting a request that had not finished.
  static constexpr int64_t kAbortWaitMs = 5000;

  explicit HttpChecks(TInfiniScan& scan);
  ~HttpChecks();
  HttpChecks(const HttpChecks&) = delete;
  HttpChecks& operator=(const HttpChecks&) = delete;

  void DoAHTTP(TPort& monitor);
  size_t InFlight() const { return requests_.size(); }

 private:
  void HttpRequestDone(uint64_t id, int errorCode);
  // A line in the "Messages/Errors" pane, once a day per monitor, while the server's
  // certificate expires within TlsClient::kExpiryNoticeDays. The colour does not change.
  void NoticeCertificateExpiry(TPort& monitor, const tmyhttpcli& request);
  void Discard(uint64_t id);

  TInfiniScan& scan_;
  uint64_t nextId_ = 1;
  std::map<uint64_t, std::unique_ptr<tmyhttpcli>> requests_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The upper case the content tests compare in: letters a to z only.
std::string UpperAscii(std::string text);

}  // namespace sentrel
