#include "gui/maintenance_dialog.h"

#include <QCheckBox>
#include <QDateTime>
#include <QPushButton>
#include <array>
#include <cmath>

#include "gui/modal_answers.h"
#include "platform/date_time.h"
#include "ui_maintenance_dialog.h"

namespace sentrel::gui {

namespace {

QDateTime ToQDateTime(double dt) {
  int y = 0, m = 0, d = 0;
  DecodeDate(dt, y, m, d);
  const int ms = TimeOfDayMs(dt);
  return QDateTime(QDate(y, m, d), QTime(ms / 3'600'000, ms / 60'000 % 60));
}

double FromQDateTime(const QDateTime& t) {
  return EncodeDate(t.date().year(), t.date().month(), t.date().day()) +
         EncodeTime(t.time().hour(), t.time().minute(), 0);
}

int Minutes(const QTime& t) {
  return t.hour() * 60 + t.minute();
}

}  // namespace

MaintenanceDialog::MaintenanceDialog(const QString& subject, const QString& current, double now,
                                     QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::MaintenanceDialog>()), now_(now) {
  ui_->setupUi(this);
  ui_->subject->setText(subject);
  ui_->current->setText(current);
  // An hour from now, to the minute, as the first guess of an end.
  ui_->untilEdit->setDateTime(ToQDateTime(std::ceil((now + 1.0 / 24) * 1440) / 1440));
  ui_->weeklyFrom->setTime(QTime(2, 0));
  ui_->weeklyTo->setTime(QTime(4, 0));
  const std::array<QCheckBox*, 7> days{ui_->day0, ui_->day1, ui_->day2, ui_->day3,
                                       ui_->day4, ui_->day5, ui_->day6};
  days[static_cast<size_t>(WeekdayOf(now))]->setChecked(true);
  // Touching the fields of a choice picks that choice.
  connect(ui_->untilEdit, &QDateTimeEdit::dateTimeChanged, this,
          [this] { ui_->untilTime->setChecked(true); });
  for (QCheckBox* day : days)
    connect(day, &QCheckBox::toggled, this, [this] { ui_->weekly->setChecked(true); });
  for (QTimeEdit* t : {ui_->weeklyFrom, ui_->weeklyTo})
    connect(t, &QTimeEdit::timeChanged, this, [this] { ui_->weekly->setChecked(true); });
  ui_->untilEdit->setAccessibleName(QStringLiteral("Until"));
  ui_->weeklyFrom->setAccessibleName(QStringLiteral("Every week from"));
  ui_->weeklyTo->setAccessibleName(QStringLiteral("Every week to"));
  connect(ui_->buttons, &QDialogButtonBox::accepted, this, &MaintenanceDialog::accept);
  connect(ui_->buttons, &QDialogButtonBox::rejected, this, &MaintenanceDialog::reject);
  ui_->for30->setFocus();
}

MaintenanceDialog::~MaintenanceDialog() = default;

MaintenanceWindow MaintenanceDialog::Window(double now) const {
  if (ui_->for60->isChecked()) return MaintenanceFor(now, 60);
  if (ui_->for240->isChecked()) return MaintenanceFor(now, 240);
  if (ui_->untilTime->isChecked())
    return MaintenanceBetween(now, FromQDateTime(ui_->untilEdit->dateTime()));
  if (ui_->weekly->isChecked()) {
    MaintenanceWindow w;
    w.weekly = true;
    const std::array<QCheckBox*, 7> days{ui_->day0, ui_->day1, ui_->day2, ui_->day3,
                                         ui_->day4, ui_->day5, ui_->day6};
    for (size_t d = 0; d < days.size(); ++d)
      if (days[d]->isChecked()) w.days |= static_cast<uint8_t>(1u << d);
    w.startMinute = Minutes(ui_->weeklyFrom->time());
    w.endMinute = Minutes(ui_->weeklyTo->time());
    // A range that ends at 00:00 ends at midnight.
    if (w.endMinute == 0) w.endMinute = 1440;
    return w;
  }
  return MaintenanceFor(now, 30);
}

void MaintenanceDialog::accept() {
  const MaintenanceWindow w = Window(now_);
  QString problem;
  if (w.weekly && w.days == 0)
    problem = QStringLiteral("Choose at least one day of the week.");
  else if (w.weekly && w.startMinute == w.endMinute % 1440)
    problem = QStringLiteral("The times of the week's window are equal: it would be empty.");
  else if (!w.weekly && w.until <= now_)
    problem = QStringLiteral("That time has passed.");
  if (!problem.isEmpty()) {
    ShowMessage(this, windowTitle(), problem, QMessageBox::Warning);
    return;
  }
  QDialog::accept();
}

}  // namespace sentrel::gui
