#include "gui/desktop_dialogs.h"

#include <QPointer>

#include "app/program.h"
#include "gui/desktop_notifier.h"
#include "gui/event_editor_dialog.h"
#include "gui/event_name_prompt.h"
#include "gui/main_window.h"
#include "gui/message_popup.h"
#include "gui/monitor_editor_dialog.h"
#include "gui/qt_frontend.h"
#include "gui/text.h"

namespace sentrel::gui {

QPointer<DesktopDialogs> DesktopDialogs::current_;

DesktopDialogs::DesktopDialogs(QWidget* mainWindow, Program& program) : QObject(mainWindow) {
  setObjectName(QStringLiteral("DesktopDialogs"));
  // The popup is a window of its own beside the main window; the dialogs are modal to it.
  popup = new MessagePopup(mainWindow);
  notifier = new DesktopNotifier(QDBusConnection::sessionBus(), this);
  namePrompt = new EventNamePrompt(mainWindow);
  eventManager = new EventEditorDialog(program.eventList, *namePrompt, mainWindow);
  editor = new MonitorEditorDialog(
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
  // "Show" on a notification: the main window up, the monitor selected.
  dialogs.notifier->onShow = [window = QPointer<QWidget>(mainWindow)](uint64_t monitor) {
    if (auto* form = qobject_cast<MainWindow*>(window.data())) form->ShowMonitor(monitor);
  };
  // Through Current(): a message that comes while the window is being taken down finds
  // no popup and is dropped, never a destroyed one.
  frontend.popupMessage = [](const QString& message) {
    if (DesktopDialogs* d = Current()) d->popup->AddMessage(message);
  };
  // "server monitor DOWN": what and how it is, at a glance in the notification centre.
  frontend.eventPopup = [&program](const QString& line, const DesktopNotice& notice) {
    DesktopDialogs* d = Current();
    if (!d) return;
    QString summary = ToQ(notice.server);
    if (const Monitor* m = notice.monitor ? program.MonitorByRunId(notice.monitor) : nullptr)
      summary += QLatin1Char(' ') + ToQ(m->name);
    if (notice.Down())
      summary += QStringLiteral(" DOWN");
    else if (notice.monitor)
      summary += QStringLiteral(" UP");
    else
      summary += QLatin1Char(' ') + ToQ(notice.status);
    // Whoever prefers the desktop's notifications turns our window off; a popup that no
    // notification service takes still comes to it.
    std::function<void()> undelivered;
    if (program.PopupWindow())
      d->popup->AddMessage(line);
    else
      undelivered = [line] {
        if (DesktopDialogs* current = Current()) current->popup->AddMessage(line);
      };
    d->notifier->Notify(summary, ToQ(notice.message), notice.Down(), notice.monitor,
                        std::move(undelivered));
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
