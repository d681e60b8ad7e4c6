#include "model/maintenance.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "platform/date_time.h"

namespace sentrel {

namespace {

constexpr const char* kDayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr int kMinutesPerDay = 1440;
constexpr double kMinute = 1.0 / kMinutesPerDay;

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// "hh:mm" as minutes of the day; "24:00" only where allowMidnight.
std::optional<int> ParseClock(std::string_view t, bool allowMidnight) {
  if (t.size() != 5 || t[2] != ':') return std::nullopt;
  for (size_t i : {0u, 1u, 3u, 4u})
    if (!std::isdigit(static_cast<unsigned char>(t[i]))) return std::nullopt;
  const int h = (t[0] - '0') * 10 + (t[1] - '0');
  const int m = (t[3] - '0') * 10 + (t[4] - '0');
  if (m > 59) return std::nullopt;
  if (h == 24 && m == 0 && allowMidnight) return kMinutesPerDay;
  if (h > 23) return std::nullopt;
  return h * 60 + m;
}

std::string Clock(int minutes) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%02d:%02d", minutes / 60, minutes % 60);
  return buf;
}

// "yyyy-mm-dd hh:mm"
std::optional<double> ParseStamp(std::string_view s) {
  s = Trimmed(s);
  const size_t blank = s.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  auto date = ParseDate(s.substr(0, blank));
  auto minutes = ParseClock(Trimmed(s.substr(blank + 1)), false);
  if (!date || !minutes) return std::nullopt;
  return *date + *minutes * kMinute;
}

int MinuteOfDay(double dt) {
  return TimeOfDayMs(dt) / 60000;
}

std::string Stamp(double dt) {
  return FormatDate(dt) + " " + Clock(MinuteOfDay(dt));
}

std::optional<int> DayIndex(std::string_view name) {
  for (int d = 0; d < 7; ++d)
    if (SameLetters(name, kDayNames[d])) return d;
  return std::nullopt;
}

// "Sat,Sun", "Mon-Fri", "Mon,Wed-Fri".
std::optional<uint8_t> ParseDays(std::string_view text) {
  uint8_t days = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view item = Trimmed(text.substr(pos, comma - pos));
    const size_t dash = item.find('-');
    if (dash == std::string_view::npos) {
      auto d = DayIndex(item);
      if (!d) return std::nullopt;
      days |= static_cast<uint8_t>(1u << *d);
    } else {
      auto first = DayIndex(Trimmed(item.substr(0, dash)));
      auto last = DayIndex(Trimmed(item.substr(dash + 1)));
      if (!first || !last) return std::nullopt;
      for (int d = *first;; d = (d + 1) % 7) {
        days |= static_cast<uint8_t>(1u << d);
        if (d == *last) break;
      }
    }
    pos = comma + 1;
  }
  return days ? std::optional<uint8_t>(days) : std::nullopt;
}

// "Sat,Sun", "Mon-Fri": three days or more in a row as a range.
std::string DaysText(uint8_t days) {
  std::string out;
  for (int d = 0; d < 7;) {
    if (!(days & (1u << d))) {
      ++d;
      continue;
    }
    int last = d;
    while (last + 1 < 7 && (days & (1u << (last + 1)))) ++last;
    if (!out.empty()) out += ',';
    if (last - d >= 2) {
      out += std::string(kDayNames[d]) + "-" + kDayNames[last];
    } else {
      for (int k = d; k <= last; ++k) out += std::string(k > d ? "," : "") + kDayNames[k];
    }
    d = last + 1;
  }
  return out;
}

double MidnightOf(double dt) {
  return std::floor(dt + 0.5 / 86'400'000.0);
}

constexpr const char* kForms =
    "write 2026-12-24 18:00..2026-12-27 08:00 for once, or weekly Sat,Sun 02:00-04:00";

}  // namespace

int WeekdayOf(double dateTime) {
  // Day 0 of the count, 1899-12-30, was a Saturday (5 when Monday is 0).
  const long whole = static_cast<long>(MidnightOf(dateTime));
  return static_cast<int>(((whole + 5) % 7 + 7) % 7);
}

bool MaintenanceWindow::ActiveAt(double now) const {
  if (!weekly) return from <= now && now < until;
  const int day = WeekdayOf(now);
  const int minute = MinuteOfDay(now);
  auto on = [this](int d) { return (days & (1u << ((d + 7) % 7))) != 0; };
  if (startMinute < endMinute) return on(day) && minute >= startMinute && minute < endMinute;
  // Over midnight: the evening of a listed day, or the morning after it.
  return (on(day) && minute >= startMinute) || (on(day - 1) && minute < endMinute);
}

double MaintenanceWindow::EndAfter(double now) const {
  if (!weekly) return until;
  const double midnight = MidnightOf(now);
  const bool endsTomorrow = startMinute >= endMinute && MinuteOfDay(now) >= startMinute;
  return midnight + (endsTomorrow ? 1 : 0) + endMinute * kMinute;
}

namespace {

// One window; false with why when it is not understood.
bool ParseWindow(std::string_view piece, MaintenanceWindow& w, std::string& why) {
  auto fail = [&](std::string text) {
    why = std::move(text);
    return false;
  };
  if (piece.size() > 6 && SameLetters(piece.substr(0, 6), "weekly") &&
      std::isspace(static_cast<unsigned char>(piece[6]))) {
    const std::string_view rest = Trimmed(piece.substr(6));
    const size_t blank = rest.rfind(' ');
    if (blank == std::string_view::npos) return fail(std::string("is not understood: ") + kForms);
    auto days = ParseDays(Trimmed(rest.substr(0, blank)));
    if (!days)
      return fail(
          "names no days: the days are Mon, Tue, Wed, Thu, Fri, Sat and Sun, "
          "separated by commas, or a range such as Mon-Fri");
    const std::string_view range = Trimmed(rest.substr(blank + 1));
    const size_t dash = range.find('-');
    if (dash == std::string_view::npos) return fail("has no time range such as 02:00-04:00");
    auto start = ParseClock(range.substr(0, dash), false);
    auto end = ParseClock(range.substr(dash + 1), true);
    if (!start || !end) return fail("has no time range such as 02:00-04:00");
    if (*start == *end)
      return fail("is empty: its range ends where it starts (a whole day is 00:00-24:00)");
    w.weekly = true;
    w.days = *days;
    w.startMinute = *start;
    w.endMinute = *end;
    return true;
  }
  const size_t dots = piece.find("..");
  if (dots == std::string_view::npos) return fail(std::string("is not understood: ") + kForms);
  auto from = ParseStamp(piece.substr(0, dots));
  auto until = ParseStamp(piece.substr(dots + 2));
  if (!from || !until) return fail(std::string("is not understood: ") + kForms);
  if (*until <= *from) return fail("ends before it starts");
  w.from = *from;
  w.until = *until;
  return true;
}

}  // namespace

std::vector<MaintenanceWindow> ParseMaintenance(std::string_view text,
                                                std::vector<std::string>* errors) {
  std::vector<MaintenanceWindow> windows;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t semi = text.find(';', pos);
    if (semi == std::string_view::npos) semi = text.size();
    const std::string_view piece = Trimmed(text.substr(pos, semi - pos));
    pos = semi + 1;
    if (piece.empty()) continue;
    MaintenanceWindow w;
    std::string why;
    if (ParseWindow(piece, w, why))
      windows.push_back(w);
    else if (errors)
      errors->push_back("\"" + std::string(piece) + "\" " + why);
  }
  return windows;
}

std::string FormatMaintenanceWindow(const MaintenanceWindow& w) {
  if (w.weekly)
    return "weekly " + DaysText(w.days) + " " + Clock(w.startMinute) + "-" +
           (w.endMinute == kMinutesPerDay ? std::string("24:00") : Clock(w.endMinute));
  return Stamp(w.from) + ".." + Stamp(w.until);
}

std::string FormatMaintenance(const std::vector<MaintenanceWindow>& windows, double now) {
  std::string out;
  for (const MaintenanceWindow& w : windows) {
    if (now != 0 && w.ExpiredAt(now)) continue;
    if (!out.empty()) out += "; ";
    out += FormatMaintenanceWindow(w);
  }
  return out;
}

double MaintenanceUntil(const std::vector<MaintenanceWindow>& windows, double now) {
  double until = 0;
  // Windows that meet or overlap make one stretch: follow it to its end (a few steps at
  // most; a weekly window every day of the week with 00:00-24:00 never ends, and a week
  // ahead is as far as anyone needs to know).
  double at = now;
  for (int step = 0; step < 8; ++step) {
    double end = 0;
    for (const MaintenanceWindow& w : windows)
      if (w.ActiveAt(at) && w.EndAfter(at) > end) end = w.EndAfter(at);
    if (end <= at) break;
    until = end;
    at = end;
  }
  return until;
}

MaintenanceWindow MaintenanceBetween(double from, double until) {
  MaintenanceWindow w;
  w.from = MidnightOf(from) + MinuteOfDay(from) * kMinute;
  const double end = MidnightOf(until) + MinuteOfDay(until) * kMinute;
  w.until = end < until - 0.5 / 86'400'000.0 ? end + kMinute : end;
  return w;
}

MaintenanceWindow MaintenanceFor(double now, int minutes) {
  return MaintenanceBetween(now, now + minutes * kMinute);
}

}  // namespace sentrel
