#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sentrel {

// Date-time values count days since 1899-12-30; the fraction is the time of day.
// The program writes one fixed form everywhere: "yyyy-mm-dd hh:nn:ss" (24 h). There is
// no blank or comma inside the date, so log readers always see it as two words.

double EncodeDate(int year, int month, int day);
double EncodeTime(int hour, int minute, int second, int ms = 0);
void DecodeDate(double dt, int& year, int& month, int& day);
// Milliseconds since midnight, rounded to the nearest millisecond.
int TimeOfDayMs(double dt);

// The local date-time of a moment given in seconds since 1970 (UTC).
double DateTimeFromUnix(int64_t seconds);

std::string FormatDate(double dt);      // "yyyy-mm-dd"
std::string FormatTime(double dt);      // "hh:nn:ss"
// "yyyy-mm-dd hh:nn:ss"; the date alone when the time of day is exactly zero.
std::string FormatDateTime(double dt);

// The reverse of the forms above. Strict: a word that is not such a date or time gives
// nothing, never a guess.
std::optional<double> ParseDate(std::string_view text);
std::optional<double> ParseTime(std::string_view text);  // fraction of a day
std::optional<double> ParseDateTime(std::string_view date, std::string_view time);

// A local date-time as RFC 5322 writes it in a mail's Date header,
// "Mon, 07 Dec 2026 19:15:39 +0100"; utcOffsetMinutes is the local zone's offset.
std::string FormatRfc5322(double dt, int utcOffsetMinutes);
// A local date-time in UTC as RFC 3339 writes it, "2026-12-07T18:15:39.250Z".
std::string FormatRfc3339Utc(double dt, int utcOffsetMinutes);
// The offset of this machine's local time from UTC now, in minutes.
int LocalUtcOffsetMinutes();

constexpr double kSecondsPerDay = 86400.0;

}  // namespace sentrel
