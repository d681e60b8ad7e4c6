#include "platform/date_time.h"

#include <cmath>
#include <ctime>
#include <cstdio>

namespace sentrel {

namespace {

// Days from 1970-01-01 for a proleptic Gregorian date (Howard Hinnant's algorithm).
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, int& y, int& m, int& d) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long yy = static_cast<long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

constexpr long kUnixEpochDay = 25569;  // 1970-01-01 counted from 1899-12-30

// Splits a value into whole days and milliseconds of the day, carrying a rounding that
// reaches a full day into the day count.
void Split(double dt, long& days, int& ms) {
  double whole = std::floor(dt);
  long long total = std::llround((dt - whole) * 86'400'000.0);
  days = static_cast<long>(whole);
  if (total >= 86'400'000) {
    total -= 86'400'000;
    ++days;
  }
  ms = static_cast<int>(total);
}

bool ReadDigits(std::string_view s, size_t pos, size_t n, int& out) {
  if (pos + n > s.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    char c = s[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return kDays[m - 1];
}

}  // namespace

double EncodeDate(int year, int month, int day) {
  return static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month),
                                           static_cast<unsigned>(day)) +
                             kUnixEpochDay);
}

double DateTimeFromUnix(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&t, &local);
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         EncodeTime(local.tm_hour, local.tm_min, local.tm_sec);
}

double EncodeTime(int hour, int minute, int second, int ms) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + ms) / 86'400'000.0;
}

void DecodeDate(double dt, int& year, int& month, int& day) {
  long days;
  int ms;
  Split(dt, days, ms);
  CivilFromDays(days - kUnixEpochDay, year, month, day);
}

int TimeOfDayMs(double dt) {
  long days;
  int ms;
  Split(dt, days, ms);
  return ms;
}

std::string FormatDate(double dt) {
  int y, m, d;
  DecodeDate(dt, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string FormatTime(double dt) {
  int ms = TimeOfDayMs(dt);
  int s = ms / 1000;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", s / 3600, (s / 60) % 60, s % 60);
  return buf;
}

std::string FormatDateTime(double dt) {
  if (TimeOfDayMs(dt) == 0) return FormatDate(dt);
  return FormatDate(dt) + " " + FormatTime(dt);
}

std::optional<double> ParseDate(std::string_view text) {
  // yyyy-mm-dd, exactly ten characters.
  int y, m, d;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  if (!ReadDigits(text, 0, 4, y) || !ReadDigits(text, 5, 2, m) || !ReadDigits(text, 8, 2, d))
    return std::nullopt;
  if (m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return std::nullopt;
  return EncodeDate(y, m, d);
}

std::optional<double> ParseTime(std::string_view text) {
  int h, n, s;
  if (text.size() != 8 || text[2] != ':' || text[5] != ':') return std::nullopt;
  if (!ReadDigits(text, 0, 2, h) || !ReadDigits(text, 3, 2, n) || !ReadDigits(text, 6, 2, s))
    return std::nullopt;
  if (h > 23 || n > 59 || s > 59) return std::nullopt;
  return EncodeTime(h, n, s);
}

std::optional<double> ParseDateTime(std::string_view date, std::string_view time) {
  auto d = ParseDate(date);
  if (!d) return std::nullopt;
  auto t = ParseTime(time);
  if (!t) return std::nullopt;
  return *d + *t;
}

std::string FormatRfc5322(double dt, int utcOffsetMinutes) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int year = 0, month = 0, day = 0;
  DecodeDate(dt, year, month, day);
  const int ms = TimeOfDayMs(dt);
  const int seconds = ms / 1000;
  // Day 0 of the count, 1899-12-30, was a Saturday.
  const long whole = static_cast<long>(std::floor(dt));
  const int weekday = static_cast<int>(((whole % 7) + 7 + 6) % 7);
  const int offset = utcOffsetMinutes < 0 ? -utcOffsetMinutes : utcOffsetMinutes;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", kDays[weekday], day,
                kMonths[month - 1], year, seconds / 3600, seconds / 60 % 60, seconds % 60,
                utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return buf;
}

std::string FormatRfc3339Utc(double dt, int utcOffsetMinutes) {
  const double utc = dt - utcOffsetMinutes / (24.0 * 60.0);
  int year = 0, month = 0, day = 0;
  DecodeDate(utc, year, month, day);
  const int ms = TimeOfDayMs(utc);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day,
                ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return buf;
}

int LocalUtcOffsetMinutes() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return static_cast<int>(local.tm_gmtoff / 60);
}

}  // namespace sentrel
