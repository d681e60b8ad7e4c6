// The window tests' main: a QApplication on the offscreen platform around GoogleTest,
// modal questions answered from the tests' queues (a question nobody answered fails), and
// a session bus of the tests' own, so that no test ever talks to the desktop's.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLocale>
#include <filesystem>
#include <string>

#include "gui/modal_answers.h"

namespace {

// dbus-daemon on a socket in a directory of its own, for as long as the tests run; it
// goes with this process even when the process dies.
class PrivateSessionBus {
 public:
  PrivateSessionBus() {
    char templ[] = "/tmp/sentrel-bus-XXXXXX";
    if (!mkdtemp(templ)) return;
    dir_ = templ;
    int ready[2];
    if (pipe(ready) != 0) return;
    const std::string address = "--address=unix:path=" + dir_ + "/bus";
    const std::string print = "--print-address=" + std::to_string(ready[1]);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      close(ready[0]);
      execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
             address.c_str(), print.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    std::string line;
    char c;
    while (pid_ > 0 && read(ready[0], &c, 1) == 1 && c != '\n') line += c;
    close(ready[0]);
    if (!line.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", line.c_str(), 1);
  }
  ~PrivateSessionBus() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Without dbus-daemon there is no bus at all, which the program takes as it must.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  PrivateSessionBus bus;
  QLocale::setDefault(QLocale::c());
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  sentrel::gui::ModalAnswers::Arm(
      [](const QString& question) { ADD_FAILURE() << "unanswered question: " << question.toStdString(); });
  return RUN_ALL_TESTS();
}
