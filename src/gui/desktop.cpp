#include "gui/desktop.h"

#include <QApplication>
#include <QTimer>
#include <clocale>

#include "app/command_line.h"
#include "app/errors_log.h"
#include "app/program.h"
#include "app/run_setup.h"
#include "gui/desktop_dialogs.h"
#include "gui/main_window.h"
#include "gui/qt_event_loop.h"
#include "gui/qt_frontend.h"
#include "gui/splash_window.h"
#include "gui/status_lights.h"

namespace sentrel {

int RunDesktop(const CommandLine& commandLine) {
  int argc = 1;
  char name[] = "sentrel";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  // Qt takes the locale from the environment; numbers in files stay in the C form.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("Sentrel2"));
  // Ties the windows to sentrel.desktop, so the desktop shows the program's own icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("sentrel"));
  QApplication::setWindowIcon(QIcon(gui::SentrelPicture(64)));
  // The program ends when the main window has closed (saved and settings written), not
  // when the last window goes away: the splash window is the first to do that.
  app.setQuitOnLastWindowClosed(false);

  gui::QtEventLoop loop;
  RunSetup setup;
  if (int code = setup.Prepare(commandLine, loop)) return code;

  gui::QtFrontend frontend;
  Program program(frontend, setup.Settings());
  gui::MainWindow form(program, frontend, loop);
  // The popup, the editors and the event manager, made once and reused. They come before
  // the main window's start, not after the splash: the first scan pass runs during that
  // start, and a popup of it must already find its window.
  gui::DesktopDialogs::Attach(&form, program, frontend);
  QObject::connect(&form, &gui::MainWindow::Closed, &app, [&loop, &app] {
    loop.Detach();
    app.quit();
  });
  // SIGTERM and SIGINT close the window without asking anything: a logout or a
  // shutdown never waits for an operator who is not there.
  InstallStopSignals(
      loop,
      [&form] {
        QMetaObject::invokeMethod(
            &form, [&form] { form.CloseForSignal(); }, Qt::QueuedConnection);
      },
      [&form] {
        QMetaObject::invokeMethod(
            &form, [&form] { form.ReloadForSignal(); }, Qt::QueuedConnection);
      });

  StartOptions options = StartOptionsFor(commandLine, false);
  options.frontEndStartsScan = true;
  options.settingsNote = setup.SettingsMovedNote();
  try {
    form.Create(options);
  } catch (const std::exception& e) {
    HandleRunTimeError(e.what());
    return FailWith(e.what(), 1);
  }

  // The splash is a window like any other, not a dialog loop: the program's loop runs
  // while it is up. When it goes (after its time, or on a click) the main window shows,
  // and only then does scanning on start-up begin, so the first pass never keeps the
  // window from appearing.
  auto* splash = new gui::SplashWindow;
  splash->setAttribute(Qt::WA_DeleteOnClose);
  splash->SetVersion(QStringLiteral("Version 2.2"));
  splash->MakeSplash(1500);
  QObject::connect(splash, &QDialog::finished, &form, [&form, &app] {
    form.SetStartupDone();
    if (form.IsClosed()) {
      app.quit();
      return;
    }
    form.show();
    QTimer::singleShot(0, &form, [&form] { form.StartScanOnStartup(); });
  });
  splash->show();
  app.exec();
  return 0;
}

}  // namespace sentrel
