#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QList>
#include <QTreeView>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "app/program.h"
#include "gui/main_window.h"
#include "gui/qt_event_loop.h"
#include "gui/qt_frontend.h"
#include "platform/settings_store.h"
#include "support/test_env.h"

namespace sentrel::gui::test {

using sentrel::test::ReadFile;
using sentrel::test::TempDir;
using sentrel::test::WriteFile;

// The main window as the program starts it, on the real clock and the Qt loop adapter,
// with its own data directory and settings file; errors go to a list, and the Help and
// Homepage addresses to another instead of a browser.
class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the settings file ("[Corvane]..." text) before Start.
  void Settings(const std::string& iniText);
  // Creates the window: settings, the server file (when given, as the command line
  // would), events, tree; then start-up is done and the window is shown.
  void Start(const std::string& serverFileText = "");
  // Closes and destroys the window and the program, as the program's end does.
  void Stop();

  QAction* Action(const char* name) const;
  // Triggers an action that must exist and be enabled.
  void Trigger(const char* name);
  Server* ServerAt(int i) const { return program_->serverList.Items(i); }
  Monitor* MonitorAt(int server, int monitor) const {
    return ServerAt(server)->ports.Items(monitor);
  }
  // Selects a node by the path of its texts ("group", "group/server", ...).
  TreeNode* Select(const QString& path);
  TreeNode* Node(const QString& path) const;
  QTreeView* Tree() const;
  // Serves the loop for realMs or until done() holds.
  bool ServeUntil(const std::function<bool()>& done, int realMs = 5000);

  std::unique_ptr<TempDir> dir_;
  std::string settingsPath_;
  std::string serverFile_;
  std::unique_ptr<QtEventLoop> loop_;
  std::unique_ptr<SettingsStore> settings_;
  std::unique_ptr<QtFrontend> frontend_;
  std::unique_ptr<Program> program_;
  std::unique_ptr<MainWindow> form_;
  std::vector<std::string> errors_;
  QList<QUrl> opened_;
  // What the stand-in for the desktop's opener answers.
  bool openerWorks_ = true;
  int webPort_ = 0;
  // The command line's --shard.
  Shard shard_;
};

// One node as the tree shows it: "level|text|image|expanded", children indented.
std::vector<std::string> Snapshot(const MainWindow& form);

}  // namespace sentrel::gui::test
