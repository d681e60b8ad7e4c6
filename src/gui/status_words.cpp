#include "gui/status_words.h"

#include <cmath>

#include "gui/status_lights.h"
#include "gui/text.h"
#include "platform/date_time.h"

namespace sentrel::gui {

namespace {

QString SummaryWords(const RowStatus& s) {
  if (s.monitors == 0) return QStringLiteral("no monitors");
  if (s.image == kImageNotChecked) return QStringLiteral("not checked");
  QString word;
  switch (s.image) {
    case kImageRed:
      word = QStringLiteral("down");
      break;
    case kImageYellow:
      word = QStringLiteral("warning");
      break;
    case kImageUnreachable:
      word = QStringLiteral("unreachable");
      break;
    case kImageMaintenance:
      word = QStringLiteral("in maintenance");
      break;
    default:
      word = QStringLiteral("OK");
      break;
  }
  return word + QStringLiteral(": ") + QString::number(s.showing) + QStringLiteral(" of ") +
         QString::number(s.monitors) +
         (s.monitors == 1 ? QStringLiteral(" monitor") : QStringLiteral(" monitors"));
}

}  // namespace

QString StatusWords(const RowStatus& s, double now) {
  if (!s.elsewhere.isEmpty()) return s.elsewhere;
  if (s.summary) return SummaryWords(s);
  if (s.image == kImageUnreachable || s.image == kImageMaintenance) {
    RowStatus colour = s;
    colour.image = s.colourImage;
    return s.holdWords + QStringLiteral(", ") + StatusWords(colour, now);
  }
  switch (s.image) {
    case kImageGreen:
      return QStringLiteral("OK");
    case kImageYellow:
      return s.lostOnce ? QStringLiteral("1 lost") : QStringLiteral("slow");
    case kImageRed: {
      QString words = QStringLiteral("down");
      if (s.downSince > 0) {
        // The time alone while it is today's; a longer outage names its day as well.
        const bool today = std::floor(s.downSince) == std::floor(now);
        words += QStringLiteral(" since ") +
                 ToQ(today ? FormatTime(s.downSince) : FormatDateTime(s.downSince));
      }
      return words + QStringLiteral(", ") + QString::number(s.lost) + QStringLiteral(" lost");
    }
    default:
      return QStringLiteral("not checked");
  }
}

QString MaintenanceWords(double until, double now) {
  const bool today = std::floor(until) == std::floor(now);
  return QStringLiteral("in maintenance until ") +
         ToQ(today ? FormatTime(until) : FormatDateTime(until));
}

}  // namespace sentrel::gui
