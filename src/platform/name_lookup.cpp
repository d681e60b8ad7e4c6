#include "platform/name_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/awaitables.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/socket_errors.h"

namespace sentrel {

int LookupSignal() {
  return SIGRTMIN + 5;
}

void BlockLookupSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, LookupSignal());
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

namespace {

// Blocked during static initialisation, before main() runs, so that no thread of the
// program (ours, a toolkit's, the resolver's helpers) can ever take the signal with its
// default action, which ends the process. Threads inherit the mask of their creator.
[[maybe_unused]] const bool lookupSignalBlocked = (BlockLookupSignal(), true);

addrinfo Ipv4Hints() {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  return hints;
}

// The first IPv4 address of a result list.
bool FirstAddress(const addrinfo* list, in_addr* address) {
  for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr) {
      *address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ParseDottedAddress(const std::string& text, in_addr* address) {
  return !text.empty() && inet_aton(text.c_str(), address) != 0;
}

int LookupBlocking(const std::string& name, in_addr* address) {
  if (name.empty()) return wsa::kHostNotFound;
  addrinfo hints = Ipv4Hints();
  addrinfo* result = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0) return WsaCodeFromGai(rc);
  bool found = FirstAddress(result, address);
  freeaddrinfo(result);
  return found ? 0 : wsa::kNoData;
}

struct NameLookup::Request {
  std::string name;
  addrinfo hints = Ipv4Hints();
  gaicb cb{};
  Handler handler;
  bool finished = false;
  int error = 0;
  in_addr address{};
};

namespace {

// The one signalfd of the process and the lookups the resolver still works on.
class LookupService {
 public:
  using RequestPtr = std::shared_ptr<NameLookup::Request>;

  void Submit(const RequestPtr& request) {
    EnsureWatched();
    request->cb.ar_name = request->name.c_str();
    request->cb.ar_service = nullptr;
    request->cb.ar_request = &request->hints;
    request->cb.ar_result = nullptr;
    gaicb* list[1] = {&request->cb};
    sigevent sev{};
    sev.sigev_notify = SIGEV_SIGNAL;
    sev.sigev_signo = LookupSignal();
    int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, &sev);
    if (rc != 0) {
      // The resolver did not take the request: report it like a failed lookup.
      request->finished = true;
      request->error = WsaCodeFromGai(rc);
      PostFinished(request);
      return;
    }
    pending_.push_back(request);
  }

  // Makes sure the handler never runs; frees the request when the resolver lets go.
  void Cancel(const RequestPtr& request) {
    request->handler = nullptr;
    if (request->finished) return;
    auto it = std::find(pending_.begin(), pending_.end(), request);
    if (it == pending_.end()) return;
    int rc = gai_cancel(&request->cb);
    if (rc == EAI_CANCELED || rc == EAI_ALLDONE) {
      if (request->cb.ar_result) freeaddrinfo(request->cb.ar_result);
      request->cb.ar_result = nullptr;
      request->finished = true;
      pending_.erase(it);
    }
    // EAI_NOTCANCELED: a helper thread is working on it; it stays listed until it ends.
  }

  void PostFinished(const RequestPtr& request) {
    std::weak_ptr<NameLookup::Request> weak = request;
    CurrentLoop().Post([weak] {
      auto r = weak.lock();
      if (!r || !r->handler) return;
      Handler h = std::move(r->handler);
      r->handler = nullptr;
      h(r->error, r->address);
    });
  }

  size_t InFlight() const { return pending_.size(); }

 private:
  using Handler = NameLookup::Handler;

  void EnsureWatched() {
    if (sfd_ < 0) {
      BlockLookupSignal();
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, LookupSignal());
      sfd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
      if (sfd_ < 0) ThrowErrno("signalfd");
    }
    // Tests replace the loop; whichever loop runs now must hear the completions.
    EventLoop& loop = CurrentLoop();
    if (!loop.IsWatched(sfd_)) loop.Watch(sfd_, EPOLLIN, [this](uint32_t) { OnSignal(); });
  }

  void OnSignal() {
    signalfd_siginfo info[16];
    while (read(sfd_, info, sizeof info) > 0) {
    }
    // Signals of one kind may merge, so every listed request is asked, not only the one
    // a signal names.
    std::vector<RequestPtr> done;
    for (auto it = pending_.begin(); it != pending_.end();) {
      const RequestPtr& r = *it;
      int rc = gai_error(&r->cb);
      if (rc == EAI_INPROGRESS) {
        ++it;
        continue;
      }
      r->finished = true;
      if (rc == 0) {
        r->error = FirstAddress(r->cb.ar_result, &r->address) ? 0 : wsa::kNoData;
      } else {
        r->error = WsaCodeFromGai(rc);
      }
      if (r->cb.ar_result) freeaddrinfo(r->cb.ar_result);
      r->cb.ar_result = nullptr;
      done.push_back(r);
      it = pending_.erase(it);
    }
    for (auto& r : done) {
      if (!r->handler) continue;
      Handler h = std::move(r->handler);
      r->handler = nullptr;
      h(r->error, r->address);
    }
  }

  int sfd_ = -1;
  std::vector<RequestPtr> pending_;
};

LookupService& Service() {
  static LookupService* service = new LookupService();  // lives as long as the process
  return *service;
}

}  // namespace

std::unique_ptr<NameLookup> NameLookup::Start(const std::string& name, Handler handler) {
  std::unique_ptr<NameLookup> lookup(new NameLookup());
  auto request = std::make_shared<Request>();
  request->name = name;
  request->handler = std::move(handler);
  lookup->request_ = request;
  if (ParseDottedAddress(name, &request->address)) {
    request->finished = true;
    Service().PostFinished(request);
  } else {
    Service().Submit(request);
  }
  return lookup;
}

NameLookup::~NameLookup() {
  if (request_) Service().Cancel(request_);
}

bool NameLookup::Done() const {
  return request_->finished && !request_->handler;
}

size_t LookupsInFlight() {
  return Service().InFlight();
}

namespace {
// How long a lookup may take in real time before a fake clock moves on without it.
constexpr int64_t kLookupGraceMs = 5000;
}  // namespace

Task<LookupResult> Lookup(std::string name) {
  LookupResult result;
  Trigger answered;
  EventLoop::RealWork hold = CurrentLoop().HoldForRealWork(kLookupGraceMs);
  // The handler runs from the loop; the lookup dies with this frame, and with it the
  // handler, so it never finds the frame gone.
  auto lookup = NameLookup::Start(name, [&result, &answered](int error, in_addr address) {
    result.error = error;
    result.address = address;
    answered.Fire();
  });
  co_await answered.Wait();
  co_return result;
}

}  // namespace sentrel
