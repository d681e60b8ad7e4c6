// The main window's report commands: the log windows, the request-time chart and log
// dumping.
#include <QStatusBar>

#include "app/program.h"
#include "gui/main_window.h"
#include "gui/report_commands.h"
#include "ui_main_window.h"

namespace sentrel::gui {

namespace {

// Status panel 0 for the report commands. Nothing serves the loop while they read or
// dump, so each text is painted at once.
ActivityPanel Panel0(Program& program, MainWindow* form) {
  return {[&program] { return program.StatusPanel(0); },
          [&program, form](const std::string& text) {
            program.SetStatusPanel(0, text);
            form->PaintStatusPanels();
          }};
}

}  // namespace

void MainWindow::Dumplogs1Click() {
  // The logs that were cut are read again for the availability figures, also when the
  // dump ended early with an error.
  try {
    DumpLogsCommand(this, program_.serverList, Panel0(program_, this));
  } catch (...) {
    program_.availability.Recheck();
    throw;
  }
  program_.availability.Recheck();
}

void MainWindow::ViewLogfile1Click() {
  TreeNode* node = SelectedNode();
  if (!node || node->level() != TreeNode::kServer || !node->Alive()) return;
  ShowServerLog(this, *node->server(), false, Panel0(program_, this));
}

void MainWindow::ViewLogfileErrors1Click() {
  TreeNode* node = SelectedNode();
  if (!node || node->level() != TreeNode::kServer || !node->Alive()) return;
  ShowServerLog(this, *node->server(), true, Panel0(program_, this));
}

void MainWindow::ViewRequestTimes2Click() {
  TreeNode* node = SelectedNode();
  if (!node || node->level() != TreeNode::kMonitor || !node->Alive()) return;
  ShowRequestTimes(this, *node->monitor(), Panel0(program_, this));
}

}  // namespace sentrel::gui
