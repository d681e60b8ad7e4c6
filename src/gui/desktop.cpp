#include "gui/desktop.h"

#include <QApplication>
#include <QLabel>

#include "app/command_line.h"

namespace sentrel {

int RunDesktop(const CommandLine& /*commandLine*/) {
  // The main window is being built; this entry only proves the front end links and runs.
  int argc = 1;
  char name[] = "sentrel";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QLabel label("Sentrel");
  label.show();
  return app.exec();
}

}  // namespace sentrel
