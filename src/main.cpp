// The program entry: the command line and the headless program from the core, the window
// from the desktop front end when this build has one.
#include "app/entry.h"

#ifdef SENTREL_HAVE_GUI
#include "gui/desktop.h"
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
#ifdef SENTREL_HAVE_GUI
  return sentrel::RunSentrel(args, &sentrel::RunDesktop);
#else
  return sentrel::RunSentrel(args);
#endif
}
