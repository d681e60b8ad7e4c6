// The main window's tree: the view over the tree's model, its selection, expanding and
// text column, and the commands and menus that follow the selected node's level.
#include <QAction>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTreeView>
#include <algorithm>
#include <array>

#include "app/program.h"
#include "gui/edit_node.h"
#include "gui/main_window.h"
#include "gui/qt_event_loop.h"
#include "gui/text.h"
#include "gui/tray_light.h"
#include "gui/widgets/announcer.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "ui_main_window.h"

namespace sentrel::gui {

void MainWindow::ConnectTree() {
  QTreeView* tree = ui_->TreeView1;
  connect(tree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &MainWindow::TreeView1Change);
  // The nodes follow the view's expanding, so a refresh asks the view only for changes.
  connect(tree, &QTreeView::expanded, this, [this](const QModelIndex& index) {
    if (TreeNode* node = columns_->NodeAt(index)) node->expanded = true;
  });
  connect(tree, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
    if (TreeNode* node = columns_->NodeAt(index)) node->expanded = false;
  });
  connect(model_, &ServerTreeModel::TextShown, this, &MainWindow::FitColumn);
  connect(model_, &ServerTreeModel::StatusNews, this,
          [this](const QString& words) { Announce(this, words); });
}

TreeNode* MainWindow::SelectedNode() const {
  const QModelIndexList selected = ui_->TreeView1->selectionModel()->selectedRows();
  return selected.isEmpty() ? nullptr : columns_->NodeAt(selected.first());
}

void MainWindow::SelectNode(TreeNode* node) {
  QTreeView* tree = ui_->TreeView1;
  if (!node) {
    tree->selectionModel()->clear();
    return;
  }
  tree->setCurrentIndex(columns_->ViewIndex(node));
}

bool MainWindow::IsExpanded(const TreeNode* node) const {
  return ui_->TreeView1->isExpanded(columns_->ViewIndex(node));
}

void MainWindow::SetExpanded(TreeNode* node, bool expanded) {
  if (node->expanded == expanded) return;
  ui_->TreeView1->setExpanded(columns_->ViewIndex(node), expanded);
  node->expanded = expanded;
}

void MainWindow::BuildTree() {
  QTreeView* tree = ui_->TreeView1;
  tree->setUpdatesEnabled(false);
  // The selection goes with the nodes, and the menus hear of it.
  tree->selectionModel()->clear();
  textWidth_ = 0;
  model_->Rebuild();
  columns_->Resort();
  // A row with the focus frame is a selected row: Enter, F2 and the commands of its level
  // work from the start, without a click first.
  if (GroupCount() > 0) tree->setCurrentIndex(tree->model()->index(0, 0));
  tree->setUpdatesEnabled(true);
  treeBuilt_ = true;
}

void MainWindow::FitColumn(const TreeNode* node) {
  // The node's right edge: one indentation per level (the top level has its branch mark
  // too), the light, the gaps around it, and the text.
  QTreeView* tree = ui_->TreeView1;
  const int extent = tree->indentation() * (node->level() + 1) + tree->iconSize().width() + 12 +
                     textMetrics_.horizontalAdvance(node->Text());
  if (extent <= textWidth_) return;
  textWidth_ = extent;
  ApplyColumnWidth();
}

void MainWindow::ApplyColumnWidth() {
  QTreeView* tree = ui_->TreeView1;
  // The text column alone fills the tree; beside other columns it is as wide as its
  // longest text, or as the operator made it.
  if (columns_->OnlyTextColumn()) {
    const int width = std::max(textWidth_, tree->viewport()->width());
    if (tree->header()->sectionSize(0) != width) tree->header()->resizeSection(0, width);
  } else if (tree->header()->sectionSize(0) < textWidth_) {
    tree->header()->resizeSection(0, textWidth_);
  }
}

void MainWindow::RefreshTree() {
  model_->Refresh();
  // Each server's flags say whether it and its group are open; for a group the last of
  // its servers decides.
  for (int g = 0; g < GroupCount(); ++g) {
    TreeNode* gn = GroupNode(g);
    const Server* last = nullptr;
    for (int s = 0; s < gn->childCount(); ++s) {
      TreeNode* sn = gn->ChildNode(s);
      if (!sn->Alive()) continue;
      last = sn->server();
      SetExpanded(sn, last->portExpand);
    }
    if (last) SetExpanded(gn, last->groupExpand);
  }
  columns_->Resort();
  ui_->TreeView1->viewport()->update();
  if (tray_) tray_->Refresh();
}

void MainWindow::ForgetShownState() {
  model_->ForgetShownState();
  // The view's expanding is read back as well.
  for (int g = 0; g < GroupCount(); ++g) {
    TreeNode* gn = GroupNode(g);
    gn->expanded = IsExpanded(gn);
    for (int s = 0; s < gn->childCount(); ++s) {
      TreeNode* sn = gn->ChildNode(s);
      sn->expanded = IsExpanded(sn);
      for (int m = 0; m < sn->childCount(); ++m)
        sn->ChildNode(m)->expanded = IsExpanded(sn->ChildNode(m));
    }
  }
}

void MainWindow::StoreExpandState() {
  for (int g = 0; g < GroupCount(); ++g) {
    TreeNode* gn = GroupNode(g);
    for (int s = 0; s < gn->childCount(); ++s) {
      TreeNode* sn = gn->ChildNode(s);
      if (!sn->Alive()) continue;
      sn->server()->groupExpand = IsExpanded(gn);
      sn->server()->portExpand = IsExpanded(sn);
    }
  }
}

bool MainWindow::EditTreeNode(TreeNode* node) {
  if (!node || !node->Alive()) return false;
  EditMode mode = EditMode::Group;
  Server* server = nullptr;
  Monitor* monitor = nullptr;
  QString groupText;
  std::vector<Server*> groupServers;
  switch (node->level()) {
    case TreeNode::kGroup:
      groupText = node->Text();
      for (int i = 0; i < node->childCount(); ++i)
        if (node->ChildNode(i)->Alive()) groupServers.push_back(node->ChildNode(i)->server());
      break;
    case TreeNode::kServer:
      mode = EditMode::Server;
      server = node->server();
      break;
    case TreeNode::kMonitor:
      mode = EditMode::Monitor;
      server = node->server();
      monitor = node->monitor();
      break;
  }
  const EditResult result =
      EditNode(this, program_, mode, server, monitor, groupText, groupServers);
  if (!result.accepted) return false;
  StoreExpandState();
  if (result.groupChanged) BuildTree();
  RefreshTree();
  return true;
}

QString MainWindow::GroupTextFor(TreeNode* node) const {
  while (node && node->level() != TreeNode::kGroup) node = node->ParentNode();
  return node ? node->Text() : QStringLiteral("Main");
}

// ---------------------------------------------------------------------------------------
// Menus by tree level

void MainWindow::ShowLevelShortcuts(int level) {
  // Delete and F2 belong to the commands of the selected node's level alone: the same key
  // on two enabled commands would be ambiguous and do nothing.
  const std::array<std::array<QAction*, 4>, 3> commands{{
      {ui_->GroupDelete1, ui_->DeleteGroup1, ui_->GroupEdit1, ui_->EditGroup1},
      {ui_->ServerDelete1, ui_->DeleteServer1, ui_->ServerEdit1, ui_->EditServer1},
      {ui_->MonitorDelete1, ui_->DeleteMonitor1, ui_->MonitorEdit1, ui_->EditMonitor1},
  }};
  for (int l = 0; l < 3; ++l) {
    const auto& c = commands[static_cast<size_t>(l)];
    const bool on = l == level;
    for (QAction* a : {c[0], c[1]})
      a->setShortcut(on ? QKeySequence(Qt::Key_Delete) : QKeySequence());
    for (QAction* a : {c[2], c[3]}) a->setShortcut(on ? QKeySequence(Qt::Key_F2) : QKeySequence());
  }
}

void MainWindow::TreeView1Change() {
  selectionChanged_ = true;
  TreeNode* node = SelectedNode();
  for (QMenu* m : {ui_->Group1, ui_->Server1, ui_->Monitor1}) m->menuAction()->setVisible(node);
  ShowLevelShortcuts(node ? node->level() : -1);
  if (!node) return;
  const int level = node->level();
  ui_->GroupEdit1->setEnabled(level == 0);
  ui_->GroupDelete1->setEnabled(level == 0);
  ui_->ServerAdd1->setEnabled(level == 0);
  for (QAction* a : {ui_->ServerEdit1, ui_->ServerDelete1, ui_->ViewLogfile1,
                     ui_->ViewLogfileErrors1, ui_->MonitorAdd1})
    a->setEnabled(level == 1);
  for (QAction* a : {ui_->MonitorEdit1, ui_->MonitorDelete1, ui_->ViewRequestTimes1})
    a->setEnabled(level == 2);
}

void MainWindow::PopupMenu1Popup(const QPoint& globalPos) {
  PreparePopup();
  popupMenu_->popup(globalPos);
}

void MainWindow::PreparePopup() {
  // With nothing selected the entries keep what the last opening showed.
  if (TreeNode* node = SelectedNode()) {
    const int level = node->level();
    ui_->AddGroup1->setVisible(false);
    for (QAction* a : {ui_->EditGroup1, ui_->DeleteGroup1, ui_->AddServer1})
      a->setVisible(level == 0);
    for (QAction* a : {ui_->EditServer1, ui_->DeleteServer1, ui_->AddMonitor1, ui_->ViewLogfile2,
                       ui_->ViewLogfileErrors2})
      a->setVisible(level == 1);
    for (QAction* a : {ui_->EditMonitor1, ui_->DeleteMonitor1, ui_->ViewRequestTimes2})
      a->setVisible(level == 2);
    for (QAction* a : {maintenanceSeparator_, ui_->Maintenance1, ui_->EndMaintenance1})
      a->setVisible(level < 2);
    bool inMaintenance = false;
    const double now = Now();
    for (const Server* server : NodeServers(node)) inMaintenance |= server->InMaintenance(now);
    ui_->EndMaintenance1->setEnabled(inMaintenance);
  }
}

void MainWindow::OpenPopupAt(const QPoint& viewportPos, bool fromMouse) {
  QTreeView* tree = ui_->TreeView1;
  QPoint pos = viewportPos;
  if (fromMouse) {
    // The node under a right press is selected before the menu opens.
    const QModelIndex row = tree->indexAt(pos);
    if (row.isValid()) tree->setCurrentIndex(row.siblingAtColumn(0));
  } else if (const QModelIndex current = tree->currentIndex(); current.isValid()) {
    pos = tree->visualRect(current.siblingAtColumn(0)).bottomLeft() + QPoint(16, 0);
  }
  PopupMenu1Popup(tree->viewport()->mapToGlobal(pos));
}
}  // namespace sentrel::gui
