#include "gui/desktop_dialogs.h"

#include "app/program.h"
#include "gui/event_editor_dialog.h"
#include "gui/event_name_prompt.h"
#include "gui/message_popup.h"
#include "gui/monitor_editor_dialog.h"
#include "gui/qt_frontend.h"

namespace sentrel::gui {

QPointer<DesktopDialogs> DesktopDialogs::current_;

DesktopDialogs::DesktopDialogs(QWidget* mainWindow, Program& program) : QObject(mainWindow) {
  setObjectName(QStringLiteral("DesktopDialogs"));
  // The popup is a window of its own beside the main window; the dialogs are modal to it.
  popup = new Terrorwin(mainWindow);
  namePrompt = new Tename(mainWindow);
  eventManager = new Teventform(program.eventList, *namePrompt, mainWindow);
  editor = new TForm2(
      program.serverList, program.eventList, [this](int index) { return EditEvents(index); },
      mainWindow);
}

DesktopDialogs& DesktopDialogs::Get(QWidget* mainWindow, Program& program) {
  if (!current_ || current_->parent() != mainWindow)
    current_ = new DesktopDialogs(mainWindow, program);
  return *current_;
}

DesktopDialogs& DesktopDialogs::Attach(QWidget* mainWindow, Program& program,
                                       QtFrontend& frontend) {
  DesktopDialogs& dialogs = Get(mainWindow, program);
  // Through Current(): a message that comes while the window is being taken down finds
  // no popup and is dropped, never a destroyed one.
  frontend.popupMessage = [](const QString& message) {
    if (DesktopDialogs* d = Current()) d->popup->AddMessage(message);
  };
  frontend.notice = [window = QPointer<QWidget>(mainWindow)](const QString& text) {
    ShowPrintNotice(window.data(), text);
  };
  return dialogs;
}

DesktopDialogs* DesktopDialogs::Current() {
  return current_.data();
}

int DesktopDialogs::EditEvents(int index) {
  return eventManager->EditEvents(index);
}

}  // namespace sentrel::gui
