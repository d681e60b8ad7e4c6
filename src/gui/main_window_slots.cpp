// The main window's commands: file, tree editing, scanning, view and help.
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <utility>

#include "app/program.h"
#include "gui/desktop_dialogs.h"
#include "gui/help_manual.h"
#include "gui/main_window.h"
#include "gui/maintenance_dialog.h"
#include "gui/modal_answers.h"
#include "gui/qt_event_loop.h"
#include "gui/splash_window.h"
#include "gui/text.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "ui_main_window.h"

namespace sentrel::gui {

namespace {
const QString kFileFilter = QStringLiteral("Sentrel configuration (*.mcf)");
const QString kFileSuffix = QStringLiteral("mcf");
}  // namespace

void MainWindow::RunCommand(const std::function<void()>& command) {
  QtEventLoop::Work work(loop_);
  try {
    command();
  } catch (const std::exception& e) {
    loop_.ReportError(e.what());
  } catch (...) {
    loop_.ReportError("Unknown error");
  }
}

void MainWindow::ConnectCommands() {
  auto on = [this](QAction* action, void (MainWindow::*handler)()) {
    connect(action, &QAction::triggered, this,
            [this, handler] { RunCommand([&] { (this->*handler)(); }); });
  };
  on(ui_->New1, &MainWindow::New1Click);
  on(ui_->Open1, &MainWindow::Open1Click);
  on(ui_->Save1, &MainWindow::Save1Click);
  on(ui_->Saveas1, &MainWindow::Saveas1Click);
  on(ui_->Dumplogs1, &MainWindow::Dumplogs1Click);
  on(ui_->Exit1, &MainWindow::Exit1Click);
  on(ui_->GroupEdit1, &MainWindow::GroupEditClick);
  on(ui_->GroupDelete1, &MainWindow::GroupDeleteClick);
  on(ui_->ServerAdd1, &MainWindow::ServerAddClick);
  on(ui_->ServerEdit1, &MainWindow::ServerEditClick);
  on(ui_->ServerDelete1, &MainWindow::ServerDeleteClick);
  on(ui_->ViewLogfile1, &MainWindow::ViewLogfile1Click);
  on(ui_->ViewLogfileErrors1, &MainWindow::ViewLogfileErrors1Click);
  on(ui_->MonitorAdd1, &MainWindow::MonitorAddClick);
  on(ui_->MonitorEdit1, &MainWindow::MonitorEditClick);
  on(ui_->MonitorDelete1, &MainWindow::MonitorDeleteClick);
  // "View Request Times..." of the main menu does what the popup's does: it is enabled
  // exactly when a monitor is selected.
  on(ui_->ViewRequestTimes1, &MainWindow::ViewRequestTimes2Click);
  on(ui_->Events1, &MainWindow::Events1Click);
  on(ui_->Scan1, &MainWindow::Scan1Click);
  on(ui_->StartScanonStartup1, &MainWindow::StartScanonStartup1Click);
  on(ui_->ParallelChecks1, &MainWindow::ParallelChecks1Click);
  on(ui_->Alertmanager1, &MainWindow::Alertmanager1Click);
  on(ui_->PopupWindow1, &MainWindow::PopupWindow1Click);
  on(ui_->StartWebserveronStartup1, &MainWindow::StartWebserveronStartup1Click);
  on(ui_->Showlogs1, &MainWindow::Showlogs1Click);
  on(ui_->Toolbar1, &MainWindow::Toolbar1Click);
  on(ui_->Statusbar1, &MainWindow::Statusbar1Click);
  on(ui_->Alwaysontop1, &MainWindow::Alwaysontop1Click);
  on(ui_->Content1, &MainWindow::Content1Click);
  on(ui_->Index1, &MainWindow::Index1Click);
  on(ui_->About1, &MainWindow::About1Click);

  on(ui_->AddGroup1, &MainWindow::AddGroup1Click);
  on(ui_->EditGroup1, &MainWindow::GroupEditClick);
  on(ui_->DeleteGroup1, &MainWindow::GroupDeleteClick);
  on(ui_->AddServer1, &MainWindow::ServerAddClick);
  on(ui_->EditServer1, &MainWindow::ServerEditClick);
  on(ui_->DeleteServer1, &MainWindow::ServerDeleteClick);
  on(ui_->AddMonitor1, &MainWindow::MonitorAddClick);
  on(ui_->EditMonitor1, &MainWindow::MonitorEditClick);
  on(ui_->DeleteMonitor1, &MainWindow::MonitorDeleteClick);
  on(ui_->ViewLogfile2, &MainWindow::ViewLogfile1Click);
  on(ui_->ViewLogfileErrors2, &MainWindow::ViewLogfileErrors1Click);
  on(ui_->ViewRequestTimes2, &MainWindow::ViewRequestTimes2Click);
  on(ui_->Maintenance1, &MainWindow::Maintenance1Click);
  on(ui_->EndMaintenance1, &MainWindow::EndMaintenance1Click);

  on(ui_->ToolButton2, &MainWindow::ToolButton2Click);
  on(ui_->ToolButton3, &MainWindow::ToolButton3Click);
  on(ui_->ToolButton5, &MainWindow::ToolButton5Click);
  on(ui_->ToolButton7, &MainWindow::ToolButton7Click);
}

// ---------------------------------------------------------------------------------------
// File

bool MainWindow::ChangesSavedOrDropped() {
  if (!program_.HasUnsavedChanges()) return true;
  const QString file =
      program_.configFile.empty()
          ? QStringLiteral("The configuration")
          : QStringLiteral("The configuration ") + QFileInfo(ToQ(program_.configFile)).fileName();
  switch (AskSaveChanges(
      this, QStringLiteral("Sentrel"),
      file + QStringLiteral(" has changes that are not saved.\n\nSave them first?"))) {
    case SaveChanges::Save:
      return SaveFile() == SaveOutcome::Saved;
    case SaveChanges::Discard:
      return true;
    case SaveChanges::Cancel:
      return false;
  }
  return false;
}

void MainWindow::New1Click() {
  if (!ChangesSavedOrDropped()) return;
  // Scanning goes on: a pass waiting in the loop sees the new configuration and ends.
  program_.NewConfiguration();
  BuildTree();
  RefreshTree();
}

void MainWindow::Open1Click() {
  // Unsaved edits are not dropped without a word.
  if (!ChangesSavedOrDropped()) return;
  FileDialogOptions o;
  o.caption = QStringLiteral("Open");
  o.filter = kFileFilter;
  o.defaultSuffix = kFileSuffix;
  o.path =
      program_.configFile.empty() ? QString() : QFileInfo(ToQ(program_.configFile)).absolutePath();
  const QString path = AskFileName(this, o);
  if (path.isEmpty()) return;
  // Scanning goes on: a pass waiting in the loop sees the new configuration and ends.
  program_.OpenServerFile(ToStd(path));
  CollectViewSettings();
  program_.WriteSettings();
  BuildTree();
  RefreshTree();
}

void MainWindow::Save1Click() {
  SaveFile();
}

void MainWindow::Saveas1Click() {
  SaveAsFile();
}

MainWindow::SaveOutcome MainWindow::SaveFile(bool closing) {
  try {
    if (closing ? program_.SaveOnClose() : program_.Save()) return SaveOutcome::Saved;
  } catch (const std::exception& e) {
    ReportSaveFailure(e.what());
    return SaveOutcome::Failed;
  }
  return SaveAsFile();
}

MainWindow::SaveOutcome MainWindow::SaveAsFile() {
  if (!startupDone) return SaveOutcome::NotSaved;
  FileDialogOptions o;
  o.caption = QStringLiteral("Save as");
  o.filter = kFileFilter;
  o.defaultSuffix = kFileSuffix;
  o.path = ToQ(program_.configFile);
  o.save = true;
  const QString path = AskFileName(this, o);
  if (path.isEmpty()) return SaveOutcome::NotSaved;
  CollectViewSettings();
  try {
    program_.SaveAs(ToStd(path));
  } catch (const std::exception& e) {
    ReportSaveFailure(e.what());
    return SaveOutcome::Failed;
  }
  return SaveOutcome::Saved;
}

void MainWindow::ReportSaveFailure(const std::string& message) {
  // The errors log keeps the line as always; the operator who asked for the save (or
  // closed the window) is told as well, instead of believing the file is written.
  loop_.ReportError(message);
  ShowMessage(this, QStringLiteral("Sentrel"), ToQ(message), QMessageBox::Critical);
}

void MainWindow::Exit1Click() {
  // Posted, so the close starts from the loop and not from inside this command.
  QTimer::singleShot(0, this, &QWidget::close);
}

// The report commands (log windows, request times, dumping) are in main_window_reports.cpp.
void MainWindow::Events1Click() {
  DesktopDialogs::Get(this, program_).EditEvents(0);
}

// ---------------------------------------------------------------------------------------
// Tree editing

void MainWindow::GroupEditClick() {
  EditTreeNode(SelectedNode());
}
void MainWindow::ServerEditClick() {
  EditTreeNode(SelectedNode());
}
void MainWindow::MonitorEditClick() {
  EditTreeNode(SelectedNode());
}

void MainWindow::AddGroup1Click() {
  // A group exists only through its servers' group text: the dialog creates nothing.
  EditNode(this, program_, EditMode::Group, nullptr, nullptr, QString());
}

void MainWindow::Maintenance1Click() {
  TreeNode* node = SelectedNode();
  if (!node || node->level() == TreeNode::kMonitor) return;
  std::vector<Server*> servers = NodeServers(node);
  if (servers.empty()) return;
  // What the servers hold now; a group's servers usually hold the same.
  QStringList current;
  for (const Server* server : servers) {
    const QString windows = ToQ(FormatMaintenance(server->maintenance, Now()));
    const QString line = servers.size() == 1 ? windows : ToQ(server->name) + ": " + windows;
    if (!windows.isEmpty() && !current.contains(line)) current << line;
  }
  const QString subject =
      node->level() == TreeNode::kGroup
          ? QStringLiteral("Group: %1 (%2 servers)").arg(node->Text()).arg(servers.size())
          : QStringLiteral("Server: ") + node->Text();
  MaintenanceDialog dialog(subject,
                           current.isEmpty() ? QStringLiteral("No maintenance planned.")
                                             : QStringLiteral("Planned: ") + current.join("; "),
                           Now(), this);
  std::vector<std::weak_ptr<const char>> alive;
  for (const Server* server : servers) alive.push_back(server->Watch());
  // The loop runs while the dialog is open: servers may be deleted meanwhile.
  if (dialog.exec() != QDialog::Accepted) return;
  const double now = Now();
  const MaintenanceWindow window = dialog.Window(now);
  for (size_t i = 0; i < servers.size(); ++i) {
    if (alive[i].expired()) continue;
    servers[i]->maintenance.push_back(window);
    // An ended weekly window does not hold a new one back.
    servers[i]->maintenanceEndedUntil = 0;
  }
  RefreshTree();
}

void MainWindow::EndMaintenance1Click() {
  TreeNode* node = SelectedNode();
  if (!node || node->level() == TreeNode::kMonitor) return;
  const double now = Now();
  for (Server* server : NodeServers(node)) {
    if (!server->InMaintenance(now)) continue;
    // A one-off window that holds now is over; a weekly one is skipped until its end this
    // time and keeps its schedule.
    auto& windows = server->maintenance;
    for (const MaintenanceWindow& w : windows)
      if (w.weekly && w.ActiveAt(now))
        server->maintenanceEndedUntil = std::max(server->maintenanceEndedUntil, w.EndAfter(now));
    windows.erase(
        std::remove_if(windows.begin(), windows.end(),
                       [now](const MaintenanceWindow& w) { return !w.weekly && w.ActiveAt(now); }),
        windows.end());
  }
  // What was held back and is still failing is raised now.
  program_.scanner.Alerts().Sweep();
  RefreshTree();
}

void MainWindow::ServerAddClick() {
  TreeNode* selected = SelectedNode();
  const QString group = selected ? GroupTextFor(selected) : QStringLiteral("Main");
  ServerList& list = program_.serverList;
  // "new", or "new_2" and on when a server of that name exists: the file tells servers
  // apart by name, and two of one name would be merged into one when saved.
  Server* server = list.Items(list.Add(list.UniqueServerName("new")));
  server->group = ToStd(group);
  auto alive = server->Watch();
  bool groupExisted = false;
  for (int g = 0; g < GroupCount() && !groupExisted; ++g)
    groupExisted = GroupNode(g)->Text() == group;
  const bool accepted = EditTreeNode(AddServerNode(server));
  if (alive.expired()) return;
  if (!accepted) {
    // Cancel takes back what the Add made: the server, its node, and a group node that
    // came only with it.
    TreeNode* node = FindNode(server);
    TreeNode* groupNode = node ? node->ParentNode() : nullptr;
    const int index = list.IndexOf(server);
    if (index >= 0) list.Delete(index);
    if (node) RemoveNode(node);
    if (groupNode && !groupExisted && groupNode->childCount() == 0) RemoveNode(groupNode);
    RefreshTree();
    return;
  }
  server->groupExpand = true;
  RefreshTree();
  if (TreeNode* node = FindNode(server)) SelectNode(node);
}

void MainWindow::MonitorAddClick() {
  TreeNode* selected = SelectedNode();
  if (!selected || selected->level() != TreeNode::kServer || !selected->Alive()) return;
  Server* server = selected->server();
  Monitor* monitor = server->ports.Items(server->ports.Add("port"));
  // Not checked before its editor's OK: the check would run on the defaults (port 80)
  // while the operator is still typing the real values.
  monitor->beingAdded = true;
  auto serverAlive = server->Watch();
  auto alive = monitor->Watch();
  const bool accepted = EditTreeNode(AddMonitorNode(selected, monitor));
  if (serverAlive.expired() || alive.expired()) {
    if (!serverAlive.expired()) RefreshTree();
    return;
  }
  monitor->beingAdded = false;
  if (!accepted) {
    // Cancel takes the new monitor away again.
    TreeNode* node = FindNode(server, monitor);
    const int index = server->ports.IndexOf(monitor);
    if (index >= 0) server->ports.Delete(index);
    if (node) RemoveNode(node);
    RefreshTree();
    return;
  }
  server->portExpand = true;
  RefreshTree();
  if (TreeNode* node = FindNode(server, monitor)) SelectNode(node);
}

void MainWindow::ServerDeleteClick() {
  TreeNode* node = SelectedNode();
  if (!node || node->level() != TreeNode::kServer) return;
  const uint64_t generation = model_->Generation();
  if (!AskYesNo(this, QStringLiteral("Confirm"),
                QStringLiteral("Are you sure to delete server \"") + node->Text() +
                    QStringLiteral("\" ?")))
    return;
  // The loop ran while the question was open; the node may be gone by now.
  if (generation != model_->Generation()) return;
  if (node->Alive()) {
    const int index = program_.serverList.IndexOf(node->server());
    if (index >= 0) program_.serverList.Delete(index);
  }
  RemoveNode(node);
}

void MainWindow::GroupDeleteClick() {
  TreeNode* node = SelectedNode();
  if (!node || node->level() != TreeNode::kGroup) return;
  const uint64_t generation = model_->Generation();
  const QString text = node->Text();
  if (!AskYesNo(this, QStringLiteral("Confirm"),
                QStringLiteral("Are you sure to delete group \"") + text + QStringLiteral("\" ?")))
    return;
  if (generation != model_->Generation()) return;
  const std::string group = ToStd(text);
  ServerList& list = program_.serverList;
  for (int s = 0; s < node->childCount(); ++s) {
    TreeNode* sn = node->ChildNode(s);
    if (!sn->Alive() || sn->server()->group != group) continue;
    const int index = list.IndexOf(sn->server());
    if (index >= 0) list.Delete(index);
  }
  RemoveNode(node);
}

void MainWindow::MonitorDeleteClick() {
  TreeNode* node = SelectedNode();
  if (!node || node->level() != TreeNode::kMonitor) return;
  const uint64_t generation = model_->Generation();
  if (!AskYesNo(this, QStringLiteral("Confirm"),
                QStringLiteral("Are you sure to delete Monitor \"") + node->Text() +
                    QStringLiteral("\" of server \"") + node->ParentNode()->Text() +
                    QStringLiteral("\" ?")))
    return;
  if (generation != model_->Generation()) return;
  if (node->Alive()) {
    MonitorList& ports = node->server()->ports;
    const int index = ports.IndexOf(node->monitor());
    if (index >= 0) ports.Delete(index);
  }
  RemoveNode(node);
}

// ---------------------------------------------------------------------------------------
// Scanning and the web server

void MainWindow::Scan1Click() {
  // The buttons change before the first pass runs, so they are right while it runs.
  UpdateScanButtons(!program_.ScanningActive());
  program_.ToggleScan();
  UpdateScanButtons(program_.ScanningActive());
}

void MainWindow::StartScanOnStartup() {
  program_.StartScanOnStartup();
  UpdateScanButtons(program_.ScanningActive());
}

void MainWindow::ToolButton2Click() {
  if (!program_.ScanningActive()) Scan1Click();
  UpdateScanButtons(program_.ScanningActive());
}

void MainWindow::ToolButton3Click() {
  if (program_.ScanningActive()) Scan1Click();
  UpdateScanButtons(program_.ScanningActive());
}

void MainWindow::ToolButton5Click() {
  program_.ScanNow();
}

void MainWindow::ToolButton7Click() {
  program_.ToggleWebServer();
  UpdateWebButton();
}

// ---------------------------------------------------------------------------------------
// View

void MainWindow::StartScanonStartup1Click() {
  program_.autoStart = ui_->StartScanonStartup1->isChecked();
}

void MainWindow::ParallelChecks1Click() {
  program_.SetParallelChecks(ui_->ParallelChecks1->isChecked());
}

void MainWindow::Alertmanager1Click() {
  const auto urls = PromptText(
      this, QStringLiteral("Alertmanager"),
      QStringLiteral("Alertmanager URLs, separated by blanks (such as http://alertmanager:9093). "
                     "Every monitor that is down is sent to each of them; empty sends none."),
      QString::fromStdString(program_.AlertmanagerUrls()));
  if (!urls) return;
  program_.SetAlertmanagerUrls(urls->trimmed().toStdString());
}

void MainWindow::PopupWindow1Click() {
  program_.SetPopupWindow(ui_->PopupWindow1->isChecked());
}

void MainWindow::StartWebserveronStartup1Click() {
  program_.autoStartWeb = ui_->StartWebserveronStartup1->isChecked();
}

void MainWindow::Showlogs1Click() {
  QWidget* panel = ui_->Panel2;
  const int handle = ui_->Splitter1->handleWidth();
  if (!panel->isHidden()) {
    panel2Width_ = panel->width();
    const int treeWidth = ui_->TreeView1->width();
    const int wanted = width() - panel2Width_ - handle;
    // The narrowing stops at the window's least width, which keeps the menu bar whole.
    const int narrowed = std::max(wanted, minimumWidth());
    logsShortfall_ = narrowed - wanted;
    panel->hide();
    resize(narrowed, height());
    ui_->Splitter1->setSizes({treeWidth, 0});
  } else {
    const int treeWidth = ui_->TreeView1->width() > 0 ? ui_->TreeView1->width() : 193;
    const int keep = std::min(treeWidth, width());
    resize(width() + panel2Width_ + handle - std::exchange(logsShortfall_, 0), height());
    panel->show();
    ui_->Splitter1->setSizes({keep, panel2Width_});
  }
  ui_->Showlogs1->setChecked(!panel->isHidden());
}

void MainWindow::Toolbar1Click() {
  ui_->ToolBar1->setVisible(ui_->ToolBar1->isHidden());
  ui_->Toolbar1->setChecked(!ui_->ToolBar1->isHidden());
}

void MainWindow::Statusbar1Click() {
  ui_->StatusBar1->setVisible(ui_->StatusBar1->isHidden());
  ui_->Statusbar1->setChecked(!ui_->StatusBar1->isHidden());
}

void MainWindow::Alwaysontop1Click() {
  const bool on = ui_->Alwaysontop1->isChecked();
  const bool shown = isVisible();
  // Changing the flags hides a window; it is shown again at once.
  setWindowFlag(Qt::WindowStaysOnTopHint, on);
  if (shown) show();
}

// ---------------------------------------------------------------------------------------
// Help

void MainWindow::OpenManual(bool index) {
  const QString path = FindManual();
  if (path.isEmpty()) {
    ShowMessage(this, QStringLiteral("Sentrel"),
                QStringLiteral("The user manual is not installed; it belongs at ") +
                    InstalledManualPath() + QLatin1Char('.'),
                QMessageBox::Warning);
    return;
  }
  QUrl url = QUrl::fromLocalFile(path);
  // The manual's index is its table of contents at the top; the plain text has none.
  if (index && path.endsWith(QStringLiteral(".html"))) url.setFragment(QStringLiteral("index"));
  // The opener may report back long after this command: the window may be closing then.
  QPointer<MainWindow> window(this);
  OpenExternal(url, [window, path](const QString& why) {
    if (!window) return;
    ShowMessage(window, QStringLiteral("Sentrel"),
                QStringLiteral("The user manual could not be opened (") + why +
                    QStringLiteral(").\nIt is the file ") + path +
                    QStringLiteral(", which any browser or text viewer shows."),
                QMessageBox::Warning);
  });
}

void MainWindow::Content1Click() {
  OpenManual(false);
}
void MainWindow::Index1Click() {
  OpenManual(true);
}

void MainWindow::About1Click() {
  QString homepage = ToQ(program_.settings().Sentrel("Homepage", ""));
  if (homepage.isEmpty()) {
    const QString manual = FindManual();
    if (!manual.isEmpty()) homepage = QUrl::fromLocalFile(manual).toString();
  }
  SplashWindow about(this);
  about.setObjectName(QStringLiteral("AboutBox"));
  about.SetVersion(QStringLiteral("Version 2.2"));
  about.MakeAbout(homepage);
  about.exec();
}

}  // namespace sentrel::gui
