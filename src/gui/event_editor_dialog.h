#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "events/event_list.h"
#include "platform/task.h"

class QLineEdit;
class QSpinBox;
class QComboBox;
class QPushButton;

namespace Ui {
class EventEditorDialog;
class EventPagePopup;
class EventPageSound;
class EventPageExecute;
class EventPageMail;
class EventPageNetsend;
class EventPageShutdown;
class EventPagePrint;
class EventPageSerial;
class EventPageWebhook;
}  // namespace Ui

namespace sentrel {
class EventActions;
class Event;
class EventList;
}  // namespace sentrel

namespace sentrel::gui {

class EventNamePrompt;

// The event manager: creates, renames, copies, deletes and edits the events of the
// program's one event list, in place, as the operator types; OK keeps the changes by
// saving the events file, Cancel puts the events back as they were when the dialog
// opened. Either way the latency marks stay, so no outage is reported twice. Each
// action page has a "Test" button that runs the action at once with its present
// settings. Made once at start and reused.
class EventEditorDialog : public QDialog {
  Q_OBJECT

 public:
  // The server name the Test buttons pass to the actions that take one.
  static constexpr const char* kSampleServer = "www.example.com";
  static constexpr const char* kTestMessage = "This is just a test.";

  EventEditorDialog(EventList& events, EventNamePrompt& namePrompt, QWidget* parent = nullptr);
  ~EventEditorDialog() override;

  // Saves the list to the events file, shows the dialog with the event of this index,
  // and returns the current index after OK, or -1 after Cancel (the events are then as
  // they were). When the file cannot be written the dialog is not shown.
  // The events file is "events.ini" in the data directory.
  int EditEvents(int index);
  int EditEvents(int index, const std::string& eventsPath);

  int CurrentIndex() const { return current_; }

  // The widgets, for the tests and the screenshots.
  const Ui::EventEditorDialog& ui() const { return *ui_; }
  struct Pages;
  const Pages& pages() const { return *pages_; }
  // Shows the page of action i (0 popup ... 7 serial, 8 webhook), as selecting it in the list does.
  void SelectAction(int action);

  // The button handlers, by their captions.
  void AddClick();
  void RenameClick();
  void CopyClick();
  void DeleteClick();

 private:
  Event* Current() const;
  // Fills the name list and selects the current event in it.
  void FillNames();
  void ShowEvent();
  void ShowSerialOptions(Event& ev);
  void SetSerialOption(const char* key, int position);
  void ShowPortDevice();
  void BindText(QLineEdit* field, std::string Event::*member);
  void BindFile(QLineEdit* field, QPushButton* browse, const QString& caption,
                const QString& filter);
  // Runs one action of the current event as a test, as a task of this dialog: the
  // dialog takes no input until it has ended, and the checks go on meanwhile.
  void RunTest(const std::function<Task<void>(EventActions&, const Event&)>& action);
  void ShowError(const QString& text);
  // The event at index becomes current; the name list and the controls follow.
  void MakeCurrent(int index);

  const std::unique_ptr<Ui::EventEditorDialog> ui_;
  const std::unique_ptr<Pages> pages_;
  EventList& events_;
  EventNamePrompt& namePrompt_;
  std::array<QSpinBox*, kActionCount> counts_{};
  int current_ = -1;
  // Set while the controls are filled from the event: those changes are not edits.
  bool showing_ = false;
  // The test under way; declared last, so it ends before anything it uses goes.
  TaskGroup tests_;
};

}  // namespace sentrel::gui
