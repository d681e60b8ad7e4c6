#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QInputDialog;
class QWidget;

namespace sentrel::gui {

// Every modal question of the windows goes through here: message boxes, text prompts and
// file dialogs. A test queues the answers before it triggers a command; a question then
// takes the next answer without showing anything. Once a test armed the queue, a question
// with no answer queued goes to the unanswered handler (the test suite fails the test)
// and gets the safe answer (No, Cancel, no file) instead of waiting for a human.
class ModalAnswers {
 public:
  // Tests: from now on questions are answered from the queues.
  static void Arm(std::function<void(const QString& question)> unanswered);
  static void Disarm();
  static bool Armed();

  static void QueueButton(QMessageBox::StandardButton button);
  // A text prompt's answer; nullopt is Cancel.
  static void QueueText(std::optional<QString> text);
  // A file dialog's answer; an empty name is Cancel.
  static void QueueFile(const QString& path);
  // Answers queued and not taken yet (a test that leaves some asked fewer questions than
  // it meant to).
  static int Pending();

  // Every question asked since the last Disarm/ClearAsked, in order: the box's text, the
  // prompt's label or the file dialog's caption.
  static const QStringList& Asked();
  // The filters the file dialogs among them offered, in order.
  static const QStringList& FileFilters();
  static void ClearAsked();
};

// A Yes/No confirmation. True for Yes.
bool AskYesNo(QWidget* parent, const QString& title, const QString& text);
// What to do when the server file cannot be saved at close.
enum class SaveChoice { SaveAs, CloseWithoutSaving, Cancel };
// Asks it: "Save as...", "Close without saving", "Cancel" (the default). A test answers
// with QueueButton: Save is Save as, Discard is Close without saving, anything else Cancel.
SaveChoice AskSaveChoice(QWidget* parent, const QString& title, const QString& text);
// Before the configuration is replaced (File > New, Open): save its changes first?
enum class SaveChanges { Save, Discard, Cancel };
// Asks it: "Save", "Don't save", "Cancel" (the default). A test answers with QueueButton:
// Save, Discard, anything else Cancel.
SaveChanges AskSaveChanges(QWidget* parent, const QString& title, const QString& text);
// An OK box; icon chooses information, warning or critical.
void ShowMessage(QWidget* parent, const QString& title, const QString& text,
                 QMessageBox::Icon icon = QMessageBox::Information);
// The same box for what the program itself tells while it works (the print notice): it
// is shown and the call returns at once, so no work waits for the operator to read it.
void OpenMessage(QWidget* parent, const QString& title, const QString& text,
                 QMessageBox::Icon icon = QMessageBox::Information);
// A modal text prompt with a preset value; nullopt when cancelled.
std::optional<QString> PromptText(QWidget* parent, const QString& title, const QString& label,
                                  const QString& value);
// That prompt as PromptText shows it, never narrower than its title needs.
std::unique_ptr<QInputDialog> MakeTextPrompt(QWidget* parent, const QString& title,
                                             const QString& label, const QString& value);
// What a title bar takes beside the title: its buttons and margins, generously.
constexpr int kTitleBarButtons = 160;

// A text prompt the caller shows with a dialog of its own (the event name prompt): a
// test's queued text answers it as it answers PromptText; otherwise show() asks.
std::optional<QString> PromptTextWith(const QString& label,
                                      const std::function<std::optional<QString>()>& show);

struct FileDialogOptions {
  QString caption{};
  QString filter{};         // "Sentrel configuration (*.mcf)"
  QString defaultSuffix{};  // "mcf"
  QString path{};           // the file or directory to start at
  bool save = false;      // a save dialog (with the overwrite prompt) instead of an open one
};
// The chosen path, or an empty text when cancelled. An open dialog accepts only an
// existing file.
QString AskFileName(QWidget* parent, const FileDialogOptions& options);

}  // namespace sentrel::gui
