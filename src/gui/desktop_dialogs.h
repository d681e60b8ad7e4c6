#pragma once

#include <QObject>
#include <QPointer>

class QWidget;

namespace sentrel {
class Program;
}

namespace sentrel::gui {

class DesktopNotifier;
class EventNamePrompt;
class EventEditorDialog;
class MessagePopup;
class MonitorEditorDialog;
class QtFrontend;

// The windows for editing and for the event actions: the editor dialog, the event
// manager with its name prompt, and the popup window. They are made once, at start-up
// after the splash, as children of the main window, and reused for the whole run; each
// use fills them anew.
class DesktopDialogs : public QObject {
  Q_OBJECT

 public:
  // The dialogs of this main window: made on the first call, the same ones afterwards.
  static DesktopDialogs& Get(QWidget* mainWindow, Program& program);
  // Makes them for this main window and lets the front end's popup and print notice
  // reach them: the popup window gets the events' messages and the reboot's errors, and
  // the desktop's notification service the events' popups (unless the setting
  // PopupWindow is 0 and a service takes them, the popup window shows them too).
  static DesktopDialogs& Attach(QWidget* mainWindow, Program& program, QtFrontend& frontend);
  // The dialogs made last, or nothing before start-up made them (or after their main
  // window went).
  static DesktopDialogs* Current();

  // The event manager on the event of this index; the index chosen after OK, -1 after
  // Cancel.
  int EditEvents(int index);

  MessagePopup* popup;
  // The desktop's notifications of the events' popups.
  DesktopNotifier* notifier;
  EventNamePrompt* namePrompt;
  EventEditorDialog* eventManager;
  MonitorEditorDialog* editor;

 private:
  DesktopDialogs(QWidget* mainWindow, Program& program);

  static QPointer<DesktopDialogs> current_;
};

}  // namespace sentrel::gui
