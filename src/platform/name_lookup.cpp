#include "platform/name_lookup.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/address_order.h"
#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/file_util.h"
#include "platform/socket_errors.h"

namespace sentrel {

namespace {

// How long a fake clock waits in real time for a query on the wire before it moves on:
// a name server on loopback answers in far less.
constexpr int64_t kQueryGraceMs = 500;
// The configuration files are looked at again at most this often (real time).
constexpr int64_t kConfigCheckMs = 1000;
// The C library's defaults where resolv.conf names none: five seconds a try, two tries.
constexpr int kDefaultTimeoutMs = 5000;
constexpr int kDefaultTries = 2;

int64_t RealMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The first IPv4 address among addresses.
bool FirstIpv4(const std::vector<IpAddress>& addresses, in_addr* address) {
  for (const IpAddress& a : addresses) {
    if (a.IsV4()) {
      *address = a.V4();
      return true;
    }
  }
  return false;
}

void AddOnce(std::vector<IpAddress>& out, const IpAddress& address) {
  if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
}

// What the C library refuses to ask a name server about: nothing, or a name with a blank
// or a control character (a host name never has one).
bool Unaskable(const std::string& name) {
  if (name.empty()) return true;
  for (unsigned char c : name)
    if (c <= ' ' || c == 0x7f) return true;
  return false;
}

// "localhost" and the names under it (RFC 6761) are this machine, whatever a name server
// would say: they are never asked of one.
bool IsLocalhostName(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!name.empty() && name.back() == '.') name.pop_back();
  constexpr std::string_view kLocal = "localhost";
  return name == kLocal || (name.size() > kLocal.size() + 1 && name.ends_with(".localhost"));
}

int WsaCodeFromAres(int status) {
  switch (status) {
    case ARES_SUCCESS:
      return 0;
    case ARES_ENOTFOUND:
    case ARES_EBADNAME:
      return wsa::kHostNotFound;
    case ARES_ENODATA:
      return wsa::kNoData;
    case ARES_ETIMEOUT:
      return kLookupTimedOut;
    case ARES_ENOMEM:
      return wsa::kNoBufferSpace;
    case ARES_EFORMERR:
    case ARES_EREFUSED:
    case ARES_ENOTIMP:
    case ARES_EBADRESP:
      return wsa::kNoRecovery;
    default:
      return wsa::kTryAgain;
  }
}

// What identifies the files the resolver's configuration comes from.
struct ConfigStamp {
  struct File {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
  };
  File files[3];
  bool operator==(const ConfigStamp& o) const {
    for (int i = 0; i < 3; ++i) {
      const File &a = files[i], &b = o.files[i];
      if (a.dev != b.dev || a.ino != b.ino || a.size != b.size ||
          a.mtime.tv_sec != b.mtime.tv_sec || a.mtime.tv_nsec != b.mtime.tv_nsec)
        return false;
    }
    return true;
  }
  static ConfigStamp Now() {
    ConfigStamp s;
    const char* paths[3] = {"/etc/resolv.conf", "/etc/nsswitch.conf", "/etc/host.conf"};
    for (int i = 0; i < 3; ++i) {
      struct stat st {};
      if (stat(paths[i], &st) != 0) continue;
      s.files[i] = {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    }
    return s;
  }
};

// Whether the resolver's configuration names an option ("timeout", "attempts"): then
// it has its way, otherwise the C library's default holds.
bool ConfigNames(const std::string& option) {
  const std::string word = option + ":";
  if (const char* env = std::getenv("RES_OPTIONS"); env && std::strstr(env, word.c_str()))
    return true;
  const std::string conf = ReadWholeFile("/etc/resolv.conf").value_or("");
  size_t at = 0;
  while (at < conf.size()) {
    size_t end = conf.find('\n', at);
    if (end == std::string::npos) end = conf.size();
    const std::string line = conf.substr(at, end - at);
    at = end + 1;
    if (line.rfind("options", 0) == 0 && line.find(word) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

bool ParseDottedAddress(const std::string& text, in_addr* address) {
  return !text.empty() && inet_aton(text.c_str(), address) != 0;
}

struct NameLookup::Request {
  std::string name;
  int family = AF_UNSPEC;
  AddressesHandler handler;
  // Answered, failed, timed out or cancelled: nothing changes its outcome any more.
  bool finished = false;
  int error = 0;
  std::vector<IpAddress> addresses;
  EventLoop* loop = nullptr;
  EventLoop::TimerId deadline = 0;
  // The resolver's query for it, while it runs and the lookup waits for it.
  void* channel = nullptr;
  EventLoop::RealWork hold;
};

namespace {

using RequestPtr = std::shared_ptr<NameLookup::Request>;

// The resolver: c-ares channels driven by the loop. Each channel belongs to one loop and
// one reading of the configuration; when either changes, new lookups go to a new channel
// and the old one is closed once its queries have ended.
class Resolver {
 public:
  Resolver() { ares_library_init(ARES_LIB_INIT_ALL); }

  void Submit(const RequestPtr& request);
  // The lookup was destroyed: its handler never runs. The query may go on.
  void Cancel(const RequestPtr& request);
  // Ends the lookup now with its outcome and hands that to the loop.
  void Finish(const RequestPtr& request, int error, std::vector<IpAddress> addresses,
              bool postHandler);
  size_t Queries() const {
    size_t n = 0;
    for (const auto& c : channels_) n += c->queries;
    return n;
  }

 private:
  struct Channel {
    Resolver* resolver = nullptr;
    ares_channel ares = nullptr;
    EventLoop* loop = nullptr;
    ConfigStamp stamp;
    int timerFd = -1;
    std::unordered_map<int, uint32_t> fds;
    size_t queries = 0;  // started and not yet called back
    size_t waiting = 0;  // of those, the ones a lookup still waits for
    bool retired = false;
  };
  struct Query {
    Channel* channel;
    RequestPtr request;
  };

  Channel* Current();
  static void OnSocketState(void* data, ares_socket_t fd, int readable, int writable);
  static void OnAnswer(void* arg, int status, int timeouts, ares_addrinfo* result);
  void Process(Channel* c, int readFd, int writeFd);
  void ArmTimer(Channel* c);
  // Whether work on this channel may touch its loop: only the loop that runs now is
  // known to exist.
  static bool LoopHere(const Channel* c) { return c->loop == &CurrentLoop(); }
  // Ends queries nobody waits for and closes retired channels that have none left.
  // Never from inside the resolver's own callbacks: posted to the loop.
  void ScheduleTidy();
  void Tidy();
  void Close(Channel* c);
  // The hosts file's addresses for a localhost name, or 127.0.0.1.
  std::vector<IpAddress> LocalhostAddresses(Channel* c, const std::string& name, int family);

  std::vector<std::unique_ptr<Channel>> channels_;  // the last one takes new lookups
  int64_t configCheckedMs_ = 0;
  bool tidyPosted_ = false;
};

Resolver& TheResolver() {
  static Resolver* resolver = new Resolver();  // lives as long as the process
  return *resolver;
}

Resolver::Channel* Resolver::Current() {
  Channel* current = channels_.empty() ? nullptr : channels_.back().get();
  if (current && !current->retired && LoopHere(current)) {
    const int64_t now = RealMs();
    if (now - configCheckedMs_ < kConfigCheckMs) return current;
    configCheckedMs_ = now;
    if (ConfigStamp::Now() == current->stamp) return current;
  }
  if (current) current->retired = true;

  auto c = std::make_unique<Channel>();
  c->resolver = this;
  c->loop = &CurrentLoop();
  c->stamp = ConfigStamp::Now();
  configCheckedMs_ = RealMs();
  ares_options options{};
  int mask = ARES_OPT_SOCK_STATE_CB;
  options.sock_state_cb = &Resolver::OnSocketState;
  options.sock_state_cb_data = c.get();
  if (!ConfigNames("timeout")) {
    options.timeout = kDefaultTimeoutMs;
    mask |= ARES_OPT_TIMEOUTMS;
  }
  if (!ConfigNames("attempts")) {
    options.tries = kDefaultTries;
    mask |= ARES_OPT_TRIES;
  }
  const int rc = ares_init_options(&c->ares, &options, mask);
  if (rc != ARES_SUCCESS) throw SentrelError(std::string("name resolver: ") + ares_strerror(rc));
  c->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (c->timerFd < 0) {
    ares_destroy(c->ares);
    ThrowErrno("timerfd_create");
  }
  // The resolver's own retries run on the real clock, as its time-outs do.
  Channel* raw = c.get();
  c->loop->Watch(c->timerFd, EPOLLIN, [this, raw](uint32_t) {
    uint64_t expirations = 0;
    ssize_t ignored = read(raw->timerFd, &expirations, sizeof expirations);
    (void)ignored;
    Process(raw, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
  });
  channels_.push_back(std::move(c));
  ScheduleTidy();
  return raw;
}

void Resolver::OnSocketState(void* data, ares_socket_t fd, int readable, int writable) {
  auto* c = static_cast<Channel*>(data);
  if (!LoopHere(c)) return;
  EventLoop& loop = *c->loop;
  if (!readable && !writable) {
    c->fds.erase(fd);
    if (loop.IsWatched(fd)) loop.Unwatch(fd);
    return;
  }
  const uint32_t events = (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
  c->fds[fd] = events;
  Resolver* self = c->resolver;
  loop.Watch(fd, events, [self, c, fd](uint32_t got) {
    const bool in = got & (EPOLLIN | EPOLLERR | EPOLLHUP);
    const bool out = got & (EPOLLOUT | EPOLLERR);
    self->Process(c, in ? fd : ARES_SOCKET_BAD, out ? fd : ARES_SOCKET_BAD);
  });
}

void Resolver::Process(Channel* c, int readFd, int writeFd) {
  ares_process_fd(c->ares, readFd, writeFd);
  ArmTimer(c);
}

void Resolver::ArmTimer(Channel* c) {
  timeval buffer{};
  itimerspec due{};
  if (c->queries > 0) {
    if (const timeval* left = ares_timeout(c->ares, nullptr, &buffer)) {
      due.it_value.tv_sec = left->tv_sec;
      due.it_value.tv_nsec = static_cast<long>(left->tv_usec) * 1000;
      // Zero would disarm it: a time-out due now fires at once.
      if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0) due.it_value.tv_nsec = 1;
    }
  }
  timerfd_settime(c->timerFd, 0, &due, nullptr);
}

void Resolver::OnAnswer(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
  auto* query = static_cast<Query*>(arg);
  Channel* c = query->channel;
  RequestPtr request = std::move(query->request);
  delete query;
  --c->queries;
  std::vector<IpAddress> addresses;
  if (status == ARES_SUCCESS && result) {
    for (const ares_addrinfo_node* n = result->nodes; n; n = n->ai_next)
      if (auto a = IpAddress::FromSockaddr(n->ai_addr, n->ai_addrlen)) AddOnce(addresses, *a);
  }
  if (result) ares_freeaddrinfo(result);
  Resolver* self = c->resolver;
  if (request->channel == c && !request->finished) {
    --c->waiting;
    request->channel = nullptr;
    int error = WsaCodeFromAres(status);
    if (error == 0 && addresses.empty()) error = wsa::kNoData;
    if (error == 0) AddressOrder::System().Sort(addresses);
    // Also when the answer comes from inside Submit (a hosts-file name): the handler
    // always runs from the loop.
    self->Finish(request, error, std::move(addresses), true);
  }
  self->ScheduleTidy();
}

void Resolver::Finish(const RequestPtr& request, int error, std::vector<IpAddress> addresses,
                      bool postHandler) {
  if (request->finished) return;
  request->finished = true;
  request->error = error;
  request->addresses = std::move(addresses);
  request->hold.Release();
  if (request->deadline && request->loop == &CurrentLoop())
    request->loop->CancelTimer(request->deadline);
  request->deadline = 0;
  if (auto* c = static_cast<Channel*>(request->channel)) {
    // Timed out: the query goes on without anybody waiting for it.
    --c->waiting;
    request->channel = nullptr;
    ScheduleTidy();
  }
  auto deliver = [](const RequestPtr& r) {
    if (!r->handler) return;
    NameLookup::AddressesHandler h = std::move(r->handler);
    r->handler = nullptr;
    h(r->error, r->addresses);
  };
  if (!postHandler) {
    deliver(request);
    return;
  }
  std::weak_ptr<NameLookup::Request> weak = request;
  CurrentLoop().Post([weak, deliver] {
    if (auto r = weak.lock()) deliver(r);
  });
}

std::vector<IpAddress> Resolver::LocalhostAddresses(Channel* c, const std::string& name,
                                                    int family) {
  std::vector<IpAddress> out;
  for (int f : {AF_INET6, AF_INET}) {
    if (family != AF_UNSPEC && family != f) continue;
    hostent* host = nullptr;
    if (ares_gethostbyname_file(c->ares, name.c_str(), f, &host) != ARES_SUCCESS || !host) continue;
    for (char** p = host->h_addr_list; *p; ++p) {
      if (f == AF_INET) {
        in_addr a{};
        std::memcpy(&a, *p, sizeof a);
        AddOnce(out, IpAddress(a));
      } else {
        in6_addr a{};
        std::memcpy(&a, *p, sizeof a);
        AddOnce(out, IpAddress(a));
      }
    }
    ares_free_hostent(host);
  }
  if (out.empty()) {
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    out.push_back(IpAddress(loopback));
  }
  AddressOrder::System().Sort(out);
  return out;
}

void Resolver::Submit(const RequestPtr& request) {
  Channel* c = Current();
  if (IsLocalhostName(request->name)) {
    Finish(request, 0, LocalhostAddresses(c, request->name, request->family), true);
    return;
  }
  request->channel = c;
  ++c->queries;
  ++c->waiting;
  // A query on the wire is real work that a fake clock should give a moment; an answer
  // from the hosts file comes before this returns and releases it again.
  request->hold = c->loop->HoldForRealWork(kQueryGraceMs);
  ares_addrinfo_hints hints{};
  hints.ai_family = request->family;
  hints.ai_socktype = SOCK_STREAM;
  // Sorted by our own rules (those of the C library), not the resolver's.
  hints.ai_flags = ARES_AI_NOSORT;
  ares_getaddrinfo(c->ares, request->name.c_str(), nullptr, &hints, &Resolver::OnAnswer,
                   new Query{c, request});
  ArmTimer(c);
}

void Resolver::Cancel(const RequestPtr& request) {
  request->handler = nullptr;
  Finish(request, wsa::kTryAgain, {}, false);
}

void Resolver::ScheduleTidy() {
  if (tidyPosted_) return;
  tidyPosted_ = true;
  CurrentLoop().Post([this] {
    tidyPosted_ = false;
    Tidy();
  });
}

void Resolver::Tidy() {
  for (size_t i = 0; i < channels_.size();) {
    Channel* c = channels_[i].get();
    // Queries whose lookups have all ended (timed out, cancelled) are of no use: ending
    // them frees their sockets now rather than after the name servers' time-outs.
    if (c->waiting == 0 && c->queries > 0) ares_cancel(c->ares);
    if (c->retired && c->queries == 0) {
      Close(c);
      channels_.erase(channels_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ArmTimer(c);
    ++i;
  }
}

void Resolver::Close(Channel* c) {
  // A channel of a loop that has gone (a test's) leaves its descriptors alone: closing
  // them here would be the only thing to do, and the loop that watched them is no more.
  ares_destroy(c->ares);
  if (LoopHere(c)) {
    for (const auto& [fd, events] : c->fds)
      if (c->loop->IsWatched(fd)) c->loop->Unwatch(fd);
    if (c->loop->IsWatched(c->timerFd)) c->loop->Unwatch(c->timerFd);
  }
  close(c->timerFd);
}

void StartRequest(const std::shared_ptr<NameLookup::Request>& request, int64_t limitMs) {
  Resolver& resolver = TheResolver();
  EventLoop& loop = CurrentLoop();
  request->loop = &loop;
  if (auto literal = IpAddress::Parse(request->name)) {
    int error = 0;
    std::vector<IpAddress> addresses{*literal};
    if (request->family == AF_INET && !literal->IsV4()) {
      error = wsa::kNoData;
      addresses.clear();
    }
    resolver.Finish(request, error, std::move(addresses), true);
    return;
  }
  if (Unaskable(request->name)) {
    resolver.Finish(request, wsa::kHostNotFound, {}, true);
    return;
  }
  resolver.Submit(request);
  // A name the hosts file knows is answered by now; the rest get their deadline.
  if (request->finished) return;
  std::weak_ptr<NameLookup::Request> weak = request;
  request->deadline = loop.AddTimer(std::max<int64_t>(limitMs, 0), [weak] {
    auto r = weak.lock();
    if (!r) return;
    r->deadline = 0;
    TheResolver().Finish(r, kLookupTimedOut, {}, false);
  });
}

}  // namespace

std::unique_ptr<NameLookup> NameLookup::Start(const std::string& name, Handler handler,
                                              int64_t limitMs) {
  std::unique_ptr<NameLookup> lookup(new NameLookup());
  auto request = std::make_shared<Request>();
  request->name = name;
  request->family = AF_INET;
  request->handler = [handler = std::move(handler)](int error,
                                                    const std::vector<IpAddress>& addresses) {
    in_addr first{};
    if (error == 0 && !FirstIpv4(addresses, &first)) error = wsa::kNoData;
    handler(error, first);
  };
  lookup->request_ = request;
  StartRequest(request, limitMs);
  return lookup;
}

std::unique_ptr<NameLookup> NameLookup::StartAny(const std::string& name, AddressesHandler handler,
                                                 int64_t limitMs) {
  std::unique_ptr<NameLookup> lookup(new NameLookup());
  auto request = std::make_shared<Request>();
  request->name = name;
  request->handler = std::move(handler);
  lookup->request_ = request;
  StartRequest(request, limitMs);
  return lookup;
}

NameLookup::~NameLookup() {
  if (request_) TheResolver().Cancel(request_);
}

bool NameLookup::Done() const {
  return request_->finished && !request_->handler;
}

size_t LookupsInFlight() {
  return TheResolver().Queries();
}

Task<LookupResult> Lookup(std::string name, int64_t deadlineMs) {
  LookupResult result;
  Trigger answered;
  const int64_t limit = deadlineMs < 0
                            ? kLookupLimitMs
                            : std::max<int64_t>(0, deadlineMs - CurrentClock().MonotonicMs());
  // The handler runs from the loop; the lookup dies with this frame, and with it the
  // handler, so it never finds the frame gone.
  auto lookup = NameLookup::StartAny(
      name,
      [&result, &answered](int error, const std::vector<IpAddress>& addresses) {
        result.error = error;
        result.addresses = addresses;
        FirstIpv4(addresses, &result.address);
        answered.Fire();
      },
      limit);
  co_await answered.Wait();
  co_return result;
}

}  // namespace sentrel
