#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel {

// A time in which a server's events are held back: planned work on it. Once, from one
// local date-time to another ("2026-12-24 18:00..2026-12-27 08:00"), or every week on
// some days between two times of day ("weekly Sat,Sun 02:00-04:00"); a weekly range whose
// end comes before its start runs over midnight into the next day.
struct MaintenanceWindow {
  bool weekly = false;
  // Once: local date-times, to the minute.
  double from = 0;
  double until = 0;
  // Weekly: bit 0 Monday ... bit 6 Sunday; minutes of the day, end 1440 for midnight.
  uint8_t days = 0;
  int startMinute = 0;
  int endMinute = 0;

  bool ActiveAt(double now) const;
  // The end of the stretch of this window that holds `now` (only when ActiveAt(now)).
  double EndAfter(double now) const;
  // A one-off window that is over by `now`; a save leaves it out.
  bool ExpiredAt(double now) const { return !weekly && until <= now; }
  friend bool operator==(const MaintenanceWindow&, const MaintenanceWindow&) = default;
};

// The windows of a Maintenance value, separated by ";": those that are understood. For
// each one that is not, *errors gets the piece and why.
std::vector<MaintenanceWindow> ParseMaintenance(std::string_view text,
                                                std::vector<std::string>* errors = nullptr);
// One window as the file holds it.
std::string FormatMaintenanceWindow(const MaintenanceWindow& window);
// The windows joined by "; ", leaving out one-off windows that are over by `now`
// (now 0: none left out).
std::string FormatMaintenance(const std::vector<MaintenanceWindow>& windows, double now = 0);

// Whether one of the windows holds `now`, and when the maintenance that holds it ends
// (windows that meet or overlap count as one stretch); 0 when none holds it.
double MaintenanceUntil(const std::vector<MaintenanceWindow>& windows, double now);

// A one-off window from now for a number of minutes, to the minute (the start rounded
// down, the end up), as the file keeps it.
MaintenanceWindow MaintenanceFor(double now, int minutes);
MaintenanceWindow MaintenanceBetween(double from, double until);

// Monday 0 ... Sunday 6.
int WeekdayOf(double dateTime);

}  // namespace sentrel
