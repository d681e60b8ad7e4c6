#include "model/monitor.h"

#include <unordered_set>
#include <utility>

#include "platform/ini_file.h"

namespace sentrel {

MonitorType MonitorTypeOf(std::string_view typ) {
  if (typ == "ping") return MonitorType::Ping;
  if (typ == "http") return MonitorType::Http;
  if (typ == "port") return MonitorType::Port;
  return MonitorType::Unknown;
}

const char* RecordKind(MonitorType type) {
  switch (type) {
    case MonitorType::Ping:
      return "PING";
    case MonitorType::Http:
      return "HTTP";
    default:
      return "PORT";
  }
}

StatusColour ColourOf(std::string_view status) {
  if (status == "green") return StatusColour::Green;
  if (status == "yellow") return StatusColour::Yellow;
  if (status == "red") return StatusColour::Red;
  return StatusColour::Unchecked;
}

const char* ColourWord(StatusColour colour) {
  switch (colour) {
    case StatusColour::Green:
      return "green";
    case StatusColour::Yellow:
      return "yellow";
    case StatusColour::Red:
      return "red";
    default:
      return "";
  }
}

namespace {
// The key of a data item is the text before its first "=".
std::string_view KeyOf(const std::string& item) {
  auto eq = item.find('=');
  return eq == std::string::npos ? std::string_view(item) : std::string_view(item).substr(0, eq);
}
}  // namespace

uint64_t Monitor::NextRunId() {
  static uint64_t next = 0;
  return ++next;
}

Monitor::~Monitor() {
  if (httpRequest) httpRequest->DetachMonitor();
  if (CheckInFlight* c = std::exchange(check, nullptr)) c->DetachMonitor();
}

std::string Monitor::GetValue(std::string_view key) const {
  for (const auto& item : data) {
    auto eq = item.find('=');
    if (eq == std::string::npos) continue;
    if (EqualsIgnoreCase(std::string_view(item).substr(0, eq), key)) return item.substr(eq + 1);
  }
  return "";
}

void Monitor::SetValue(std::string_view key, std::string_view value) {
  for (auto it = data.begin(); it != data.end(); ++it) {
    if (it->find('=') == std::string::npos) continue;
    if (!EqualsIgnoreCase(KeyOf(*it), key)) continue;
    if (value.empty())
      data.erase(it);
    else
      *it = std::string(key) + "=" + std::string(value);
    return;
  }
  if (!value.empty()) data.push_back(std::string(key) + "=" + std::string(value));
}

int MonitorList::Add(const std::string& base) {
  auto monitor = std::make_unique<Monitor>(server);
  monitor->typ = base;
  monitor->name = UniqueName(base);
  monitors_.push_back(std::move(monitor));
  return Count() - 1;
}

std::string MonitorList::UniqueName(const std::string& base) const {
  return UniqueName(base, nullptr);
}

std::string MonitorList::UniqueName(const std::string& base, const Monitor* except) const {
  // One pass over the names, then the candidates base, base2, base3, ... are looked up:
  // linear per call, however many monitors a server has.
  std::unordered_set<std::string> taken;
  taken.reserve(monitors_.size());
  for (const auto& m : monitors_)
    if (m.get() != except) taken.insert(ToLower(m->name));
  const std::string lowerBase = ToLower(base);
  if (!taken.count(lowerBase)) return base;
  for (int counter = 2;; ++counter) {
    std::string suffix = std::to_string(counter);
    if (!taken.count(lowerBase + suffix)) return base + suffix;
  }
}

void MonitorList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  // Take it out of the list first, so nothing reached from its destructor sees it listed.
  auto doomed = std::move(monitors_[static_cast<size_t>(index)]);
  monitors_.erase(monitors_.begin() + index);
}

void MonitorList::Clear() {
  for (int i = Count() - 1; i >= 0; --i) Delete(i);
}

const Monitor* MonitorList::SameRecords(const std::string& typ, int32_t port,
                                        const Monitor* except) const {
  const MonitorType type = MonitorTypeOf(typ);
  if (type == MonitorType::Unknown) return nullptr;
  const int32_t recorded = type == MonitorType::Ping ? 0 : port;
  for (const auto& m : monitors_) {
    if (m.get() == except || m->Type() != type) continue;
    if ((type == MonitorType::Ping ? 0 : m->port) == recorded) return m.get();
  }
  return nullptr;
}

void MonitorList::PutAll(std::vector<std::unique_ptr<Monitor>> monitors) {
  monitors_ = std::move(monitors);
  for (auto& m : monitors_) m->server = server;
}

int MonitorList::IndexOf(const Monitor* monitor) const {
  for (size_t i = 0; i < monitors_.size(); ++i)
    if (monitors_[i].get() == monitor) return static_cast<int>(i);
  return -1;
}

}  // namespace sentrel
