#pragma once

#include <QDialog>
#include <memory>

#include "reports/log_view.h"

namespace Ui {
class LogWindow;
}

namespace sentrel::gui {

class LogTextView;

// The log window: one read-only pane over a server's log file, or over its errors-only
// lines. It opens centred on the screen at 578 x 365; the pane fills it and wraps long
// lines. The window owns the lines it shows and nothing of the model, so it stays valid
// whatever the scan does while it is open.
class LogWindow : public QDialog {
  Q_OBJECT

 public:
  explicit LogWindow(QWidget* parent = nullptr);
  ~LogWindow() override;

  // Takes the view: its caption becomes the window's, its lines the pane's.
  void ShowView(LogView view);
  LogTextView* Memo1() const;

 private:
  const std::unique_ptr<Ui::LogWindow> ui_;
};

// Places a window of its current size in the middle of the screen it will open on.
void CentreOnScreen(QWidget* window, QWidget* parent);

}  // namespace sentrel::gui
