#pragma once

#include <QString>

namespace sentrel::gui {

// What a tree row's light means, as the row's accessible description and tooltip say it
// in words: a light told apart by its colour alone reaches neither a screen reader nor
// an operator who cannot tell red from green.
struct RowStatus {
  int image = 1;  // the light shown (1 not checked, 2 green, 3 yellow, 4 red, 5, 6)
  // A monitor whose events are held back: the light of its colour, and why they are held
  // ("unreachable through router", "in maintenance until 16:00").
  int colourImage = 1;
  QString holdWords;
  // A server of another shard, never checked here: what its rows say instead.
  QString elsewhere;
  // Monitor rows.
  bool lostOnce = false;  // yellow because a green monitor lost one check (else: slow)
  int lost = 0;           // the lost count of a red monitor
  double downSince = 0;   // when it turned red, as a date-time; 0 when not known
  // Server and group rows: the monitors under the row, and how many of them show the
  // row's light.
  bool summary = false;
  int monitors = 0;
  int showing = 0;
  friend bool operator==(const RowStatus&, const RowStatus&) = default;
};

// "not checked", "OK", "slow", "1 lost", "down since 17:10:02, 3 lost" for a monitor
// (with the date too when the day is not today's), after why its events are held back
// when they are ("unreachable through router, down since ..."); for a server or group the
// worst of its monitors with their count, "down: 2 of 5 monitors", "in maintenance: 1 of
// 2 monitors", or "no monitors"; for the rows of a server another shard watches, which.
QString StatusWords(const RowStatus& status, double now);
// "in maintenance until 16:00:00" (with the date when the day is not today's).
QString MaintenanceWords(double until, double now);

}  // namespace sentrel::gui
