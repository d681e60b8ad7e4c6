// Closing the main window: by the operator (save, or ask what to do when the file
// cannot be written), by a signal (no questions), and the placement kept on the way.
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QTimer>

#include "app/program.h"
#include "gui/main_window.h"
#include "gui/modal_answers.h"
#include "gui/qt_event_loop.h"
#include "gui/text.h"
#include "gui/window_placement.h"
#include "ui_main_window.h"

namespace sentrel::gui {

void MainWindow::SaveWindowPlacement() {
  placementSaved_ = true;
  // A settings file that cannot be written is said in the errors log; the close goes on.
  try {
    SavePlacement(*this, program_.settings());
    program_.settings().Save();
  } catch (const std::exception& e) {
    loop_.ReportError(e.what());
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  // The signal's close goes its own way, from the loop.
  if (closingForSignal_) {
    event->ignore();
    return;
  }
  if (loop_.Busy()) {
    // A command is still on the stack (its dialog is open): pulling the window from
    // under it would pull its objects too. The close is done once it has returned.
    event->ignore();
    closePending_ = true;
    program_.RequestQuit();
    return;
  }
  QtEventLoop::Work work(loop_);
  SaveWindowPlacement();
  if (!SaveForClose()) {
    event->ignore();
    program_.CancelQuit();
    return;
  }
  FinishClose();
  event->accept();
}

bool MainWindow::SaveForClose() {
  std::string failure;
  try {
    if (program_.SaveOnClose()) return true;
  } catch (const std::exception& e) {
    failure = e.what();
    loop_.ReportError(failure);
  }
  if (failure.empty()) {
    // No file that may be written (none yet, or one that holds no server): a name is
    // asked for; a cancelled dialog closes without saving, as it always has.
    const SaveOutcome outcome = SaveAsFile();
    if (outcome != SaveOutcome::Failed) return true;
    failure = "The server file could not be saved.";
  }
  for (;;) {
    switch (AskSaveChoice(this, QStringLiteral("Sentrel"),
                          ToQ(failure) + QStringLiteral("\n\nSave the configuration elsewhere?"))) {
      case SaveChoice::SaveAs: {
        const SaveOutcome outcome = SaveAsFile();
        if (outcome == SaveOutcome::Saved) return true;
        continue;  // cancelled or failed again: ask again
      }
      case SaveChoice::CloseWithoutSaving:
        return true;
      case SaveChoice::Cancel:
        return false;
    }
  }
}

void MainWindow::FinishClose() {
  CollectViewSettings();
  try {
    program_.WriteSettings();
  } catch (const std::exception& e) {
    loop_.ReportError(e.what());
  }
  program_.EndWork();
  closed_ = true;
  emit Closed();
}

void MainWindow::CloseForSignal() {
  if (closed_ || closingForSignal_) return;
  closingForSignal_ = true;
  program_.RequestQuit();
  FinishCloseForSignal(0);
}

void MainWindow::ReloadForSignal() {
  if (closed_ || closingForSignal_ || program_.QuitRequested()) return;
  if (loop_.Busy()) {
    program_.ReportProblem(
        "SIGHUP: the files were not read again while a dialog is open; close it and send "
        "SIGHUP again");
    return;
  }
  if (program_.HasUnsavedChanges()) {
    program_.ReportProblem(
        "SIGHUP: the files were not read again, since the window holds changes that are not "
        "saved; save them (or open the file again) first");
    return;
  }
  RunCommand([this] { program_.Reload(); });
}

void MainWindow::FinishCloseForSignal(int attempt) {
  // Nobody answers a question now: every dialog that waits for the operator goes, and
  // with it the command that opened it returns.
  for (int i = 0; i < 16; ++i) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) break;
    if (auto* dialog = qobject_cast<QDialog*>(modal))
      dialog->reject();
    else
      modal->close();
    if (QApplication::activeModalWidget() == modal) modal->hide();
  }
  // The end comes from the outermost loop, once those commands have returned; a stack
  // that will not unwind is left to the quit, after a second and a half at most.
  if (loop_.Busy() && attempt < 75) {
    QTimer::singleShot(20, this, [this, attempt] { FinishCloseForSignal(attempt + 1); });
    return;
  }
  QtEventLoop::Work work(loop_);
  SaveWindowPlacement();
  program_.SaveOrRecover();
  FinishClose();
  hide();
}

}  // namespace sentrel::gui
