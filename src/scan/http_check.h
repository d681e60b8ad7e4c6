#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/task.h"

namespace sentrel {

class Scanner;
class Monitor;
class HttpRequest;

// The HTTP check: `DoAHTTP` starts one request for a monitor and returns; the request
// runs as a task of its own, and when it ends `HttpRequestDone` hands the verdict to the
// scan engine. This object owns the requests in flight and their tasks.
//
// A request only starts while the descriptor budget has room for its connection beside
// the reserve that the records, the errors log and the other checks need. Otherwise it
// waits in a queue, in pass order, and starts as checks in flight complete; its time is
// measured from its own start. A waiting check is the monitor's request as one in flight
// is: a deleted monitor or a replaced configuration drops it, and a monitor that comes
// due again while its check still waits keeps that check in its place.
class HttpChecks {
 public:
  // At most this much of a body is kept for the content tests; the byte count still
  // counts every byte.
  static constexpr size_t kMaxBodyText = 16u * 1024u * 1024u;
  // How long DoAHTTP waits after aborting a request that had not finished.
  static constexpr int64_t kAbortWaitMs = 5000;

  explicit HttpChecks(Scanner& scan);
  ~HttpChecks();
  HttpChecks(const HttpChecks&) = delete;
  HttpChecks& operator=(const HttpChecks&) = delete;

  // While checks wait, the queue is offered room again this often, also when nothing in
  // flight completes (room freed by something else).
  static constexpr int64_t kQueueRetryMs = 250;

  // Starts the monitor's request and ends; only the wait after aborting a request that
  // had not finished keeps it suspended.
  Task<void> DoAHTTP(Monitor& monitor);
  // Every request in flight or waiting ends where it is, without a verdict; each is
  // discarded from the loop.
  void CancelAll();
  // Requests not yet completed: started ones and waiting ones.
  size_t InFlight() const { return requests_.size(); }
  size_t Running() const { return requests_.size() - queue_.size(); }
  size_t Waiting() const { return queue_.size(); }

 private:
  struct Request {
    std::unique_ptr<HttpRequest> client;
    TaskGroup::Id task = 0;
    // Started (not waiting in the queue): its connection counts in the budget.
    bool started = false;
  };

  // One request as a task: the request to its end, then its verdict.
  Task<void> RunRequest(uint64_t id, HttpRequest* request);
  void HttpRequestDone(uint64_t id);
  // A line in the "Messages/Errors" pane, once a day per monitor, while the server's
  // certificate expires within TlsClient::kExpiryNoticeDays. The colour does not change.
  void NoticeCertificateExpiry(Monitor& monitor, const HttpRequest& request);
  // Gives up a request that still runs: its task ends where it waits, and its verdict
  // ("Request Timed Out") follows from the loop.
  void Abort(uint64_t id);
  void Discard(uint64_t id);
  // Room for one more connection beside the reserve.
  bool MayStart();
  void Start(uint64_t id);
  void Enqueue(uint64_t id);
  void ArmRetry();
  // Starts waiting checks, in order, while there is room.
  void Drain();
  void ShowWaiting();

  Scanner& scan_;
  uint64_t nextId_ = 1;
  std::map<uint64_t, Request> requests_;
  // Waiting checks by id: ids grow in the order DoAHTTP made them, which is pass order.
  std::set<uint64_t> queue_;
  uint64_t retryTimer_ = 0;
  uint64_t noticePass_ = ~uint64_t{0};  // the pass whose queue was noted
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Declared last: the tasks go first, before the requests they use.
  TaskGroup tasks_;
};

// The upper case the content tests compare in: letters a to z only.
std::string UpperAscii(std::string text);

}  // namespace sentrel
