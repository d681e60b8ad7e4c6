#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <optional>

#include "model/maintenance.h"

namespace Ui {
class MaintenanceDialog;
}

namespace sentrel::gui {

// "Maintenance..." of the tree's pop-up menu: when the alerts of a server or a group are
// held back, for 30 minutes, an hour, four hours, until a time, or every week on some
// days between two times. Shows what the servers hold already.
class MaintenanceDialog : public QDialog {
  Q_OBJECT

 public:
  // subject: what the window is for ("Server: web1"); current: the windows it has now.
  MaintenanceDialog(const QString& subject, const QString& current, double now,
                    QWidget* parent = nullptr);
  ~MaintenanceDialog() override;

  // The window chosen, from `now` on.
  MaintenanceWindow Window(double now) const;
  const Ui::MaintenanceDialog& ui() const { return *ui_; }

  // Refuses a weekly window without a day or with an empty range, and an end that has
  // passed.
  void accept() override;

 private:
  const std::unique_ptr<Ui::MaintenanceDialog> ui_;
  double now_;
};

}  // namespace sentrel::gui
