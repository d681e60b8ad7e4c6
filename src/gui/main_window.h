#pragma once

#include <QFontMetrics>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QStringList>
#include <array>
#include <climits>
#include <functional>
#include <memory>
#include <string>

#include "gui/edit_node.h"
#include "gui/server_tree_model.h"
#include "gui/tree_columns.h"

namespace Ui {
class MainWindow;
}

namespace sentrel {
class Program;
class Server;
class Monitor;
struct StartOptions;
}  // namespace sentrel

namespace sentrel::gui {

class QtEventLoop;
class QtFrontend;
class StatusPanel;
class TrayLight;
class TreeNode;

// The main window: the monitor tree, the two log panes, the menus, the tool bar and the
// status bar, around the program object that holds the configuration and does the work.
//
// Object names of the commands (QActions), for the windows that hook into them:
//  File1: New1, Open1, Save1, Saveas1, Dumplogs1, Exit1
//  Group1: GroupEdit1, GroupDelete1
//  Server1: ServerAdd1, ServerEdit1, ServerDelete1, ViewLogfile1, ViewLogfileErrors1
//  Monitor1: MonitorAdd1, MonitorEdit1, MonitorDelete1, ViewRequestTimes1
//  Options1: Events1, Scan1 (hidden), StartScanonStartup1, StartWebserveronStartup1,
//            ScreenLoglevel1 (hidden: DetailEverything1, ErrorsOnly1), Showlogs1,
//            Toolbar1 (hidden), Statusbar1, Alwaysontop1
//  Help1: Content1, Index1, About1
//  PopupMenu1: AddGroup1, EditGroup1, DeleteGroup1, AddServer1, EditServer1,
//            DeleteServer1, AddMonitor1, EditMonitor1, DeleteMonitor1, PopupSeparator1
//            (hidden), Toolwindow1 (hidden), ViewLogfile2, ViewLogfileErrors2,
//            ViewRequestTimes2, MaintenanceSeparator1, Maintenance1, EndMaintenance1
//  ToolBar1: ToolButton2 "Start Scan", ToolButton3 "Stop Scan", ToolButton5 "Scan Now",
//            ToolButton7 (the web server toggle)
class MainWindow final : public QMainWindow {
  Q_OBJECT

 public:
  MainWindow(Program& program, QtFrontend& frontend, QtEventLoop& loop, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Main-window creation: mirrors the panes, runs the program's start-up (settings,
  // server file, events, tree, start line, web server and scanning as configured),
  // applies the view settings, then expands every node and refreshes the tree.
  void Create(const StartOptions& options);
  // All windows exist: "Save as..." works from now on.
  void SetStartupDone() { startupDone = true; }
  // Scanning on start-up, once the window is on screen.
  void StartScanOnStartup();
  // The system-tray light (made at start; it shows nothing where the desktop has no tray).
  TrayLight* Tray() const { return tray_.get(); }
  bool startupDone = false;

  // Tree operations. The nodes live in the tree's model; the window adds the view's
  // part: the selection, expanding, and the width of the text column.
  void BuildTree();
  TreeNode* AddServerNode(Server* server) { return model_->AddServerNode(server); }
  TreeNode* AddMonitorNode(TreeNode* serverNode, Monitor* monitor) {
    return model_->AddMonitorNode(serverNode, monitor);
  }
  void RefreshTree();
  // A desktop notification's "Show": the window up and in front, the monitor with this
  // run id selected and in view (when it is still there).
  void ShowMonitor(uint64_t runId);
  void StoreExpandState();
  // True when the editor was confirmed.
  bool EditTreeNode(TreeNode* node);
  // The node selected in the tree, or none.
  TreeNode* SelectedNode() const;
  // Selects the node (none: nothing selected) and makes it the current row.
  void SelectNode(TreeNode* node);
  TreeNode* GroupNode(int index) const { return model_->GroupNode(index); }
  // The node of this server or monitor, or none.
  TreeNode* FindNode(const Server* server, const Monitor* monitor = nullptr) const {
    return model_->FindNode(server, monitor);
  }
  int GroupCount() const { return model_->GroupCount(); }
  // Whether the view shows the node's children.
  bool IsExpanded(const TreeNode* node) const;
  // The view's row of a node (the view may be sorted), and the node of a view's row.
  QModelIndex ViewIndex(const TreeNode* node) const { return columns_->ViewIndex(node); }
  TreeNode* NodeAt(const QModelIndex& viewIndex) const { return columns_->NodeAt(viewIndex); }
  // Forgets what every node shows, so the next refresh rewrites all of it.
  void ForgetShownState();
  ServerTreeModel& TreeModel() const { return *model_; }

  void SetStatusPanel(int panel, const QString& text);
  QString StatusPanelText(int panel) const;
  // The panels take their latest texts when the loop next runs; this shows them and
  // paints the status bar now, for work that does not serve the loop meanwhile.
  void PaintStatusPanels();
  // The popup window's stand-in until the event windows take over.
  void ShowPopupStandIn(const QString& message);

  // Commands. Each runs inside the loop's work marker and the error boundary.
  void New1Click();
  void Open1Click();
  void Save1Click();
  void Saveas1Click();
  void Exit1Click();
  void Dumplogs1Click();
  void ViewLogfile1Click();
  void ViewLogfileErrors1Click();
  void ViewRequestTimes2Click();  // also the main menu's "View Request Times..."
  void Events1Click();            // waits for the event editor
  void GroupEditClick();
  void GroupDeleteClick();
  void ServerAddClick();
  void ServerEditClick();
  void ServerDeleteClick();
  void MonitorAddClick();
  void MonitorEditClick();
  void MonitorDeleteClick();
  void AddGroup1Click();
  // "Maintenance..." and "End maintenance" on a group or a server: a window is added to
  // each server of the group, or the windows that hold now end.
  void Maintenance1Click();
  void EndMaintenance1Click();
  void Scan1Click();
  void ToolButton2Click();  // Start Scan
  void ToolButton3Click();  // Stop Scan
  void ToolButton5Click();  // Scan Now
  void ToolButton7Click();  // web server on/off
  void StartScanonStartup1Click();
  void ParallelChecks1Click();
  // Asks for the Alertmanagers' URLs (the setting AlertmanagerURLs).
  void Alertmanager1Click();
  // The popup window beside the desktop's notifications (the setting PopupWindow).
  void PopupWindow1Click();
  void StartWebserveronStartup1Click();
  void Showlogs1Click();
  void Toolbar1Click();
  void Statusbar1Click();
  void Alwaysontop1Click();
  void Content1Click();
  void Index1Click();
  void About1Click();

  // Runs a command the way a menu does: inside the loop's work marker, errors to the
  // errors log. Other windows use it for their own commands.
  void RunCommand(const std::function<void()>& command);

  // What the view shows of the settings, into the program's check marks.
  void CollectViewSettings();

 signals:
  // The window closed for good: saved (or the save was declined), settings written.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 public:
  // Tests and the other windows reach the popup menu's preparation and the closing state.
  void PreparePopup();
  QMenu* PopupMenu() const { return popupMenu_; }
  bool IsClosed() const { return closed_; }
  bool ClosePending() const { return closePending_; }
  // SIGTERM and SIGINT: the close that never waits for the operator. Every dialog that
  // asks something goes away unanswered; the file is saved, or the configuration written
  // to a recovery file when it cannot be; the settings are written; the window closes.
  void CloseForSignal();
  // SIGHUP: the server file and the events file are read again, unless the window holds
  // changes that are not saved or a dialog is open; then Messages/Errors says why not.
  void ReloadForSignal();

 private:
  void ConnectCommands();
  void BuildPopupMenu();
  void ConnectTree();
  void TreeView1Change();
  // Puts Delete and F2 on the commands of this tree level (-1: on none).
  void ShowLevelShortcuts(int level);
  void KeepMenuBarWhole();
  void PopupMenu1Popup(const QPoint& globalPos);
  void RemoveNode(TreeNode* node) { model_->RemoveNode(node); }
  void SetExpanded(TreeNode* node, bool expanded);
  void OpenPopupAt(const QPoint& viewportPos, bool fromMouse);
  void ApplyViewSettings();
  void UpdateScanButtons(bool active);
  void UpdateWebButton();
  void MirrorPanes();
  void SetShowLogs(bool show);
  enum class SaveOutcome { Saved, NotSaved, Failed };
  // "&Save": the current file, or "Save as..." when there is none. A failed write is
  // reported (errors log and a message box) and gives Failed.
  // Closing the window, a file that was gone at start-up is not made anew for an empty
  // configuration.
  SaveOutcome SaveFile(bool closing = false);
  // "Save as...": nothing before start-up is done; NotSaved when the dialog is cancelled.
  SaveOutcome SaveAsFile();
  // Before the configuration is replaced: with changes that are not saved, asks whether to
  // save them first. False when the operator cancels (or the save did not happen).
  bool ChangesSavedOrDropped();
  void ReportSaveFailure(const std::string& message);
  // The save of a close the operator asked for. When the file cannot be written the
  // operator chooses: Save as, Close without saving, or Cancel (false: the window stays).
  bool SaveForClose();
  // The steps every close ends with: view settings, settings file, the end of all work.
  void FinishClose();
  void FinishCloseForSignal(int attempt);
  void SaveWindowPlacement();
  QString GroupTextFor(TreeNode* node) const;
  // The servers a group or server node stands for (a group's: those still in it).
  std::vector<Server*> NodeServers(TreeNode* node) const { return model_->NodeServers(node); }
  // Widens the tree's column when the node's text reaches beyond it.
  void FitColumn(const TreeNode* node);
  void ApplyColumnWidth();
  void OpenManual(bool index);
  void CreateTrayLight();

  Program& program_;
  QtFrontend& frontend_;
  QtEventLoop& loop_;
  const std::unique_ptr<Ui::MainWindow> ui_;
  std::unique_ptr<TrayLight> tray_;
  QMenu* popupMenu_ = nullptr;
  QAction* popupSeparator_ = nullptr;
  QAction* maintenanceSeparator_ = nullptr;
  StatusPanel* panel0_ = nullptr;
  StatusPanel* panel1_ = nullptr;
  QString popupLog_;
  bool selectionChanged_ = false;
  bool closePending_ = false;
  bool closed_ = false;
  bool closingForSignal_ = false;
  bool placementRestored_ = false;
  // When, after the first show, the window manager's framing is looked at; done once the
  // frame is known.
  static constexpr std::array<int, 4> kFramingChecksMs{50, 200, 500, 1000};
  bool framingDone_ = false;
  bool placementSaved_ = false;
  bool treeBuilt_ = false;
  int panel2Width_ = 0;
  // How much less than the logs' width hiding them took off the window, stopped by its
  // least width; showing them again gives back only what was taken.
  int logsShortfall_ = 0;
  int textWidth_ = 0;
  QFontMetrics textMetrics_{QFont()};
  // The tree: its nodes, the columns beside the text, and what the nodes need for them.
  TreeContext treeContext_;
  ServerTreeModel* model_ = nullptr;
  TreeColumns* columns_ = nullptr;
};

}  // namespace sentrel::gui
