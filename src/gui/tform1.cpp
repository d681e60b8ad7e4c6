// The main window: construction, the monitor tree, the view settings, placement and
// closing. The commands are in tform1_slots.cpp.
#include "gui/tform1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QWindow>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <array>

#include "app/program.h"
#include "gui/modal_answers.h"
#include "gui/qt_event_loop.h"
#include "gui/qt_frontend.h"
#include "gui/status_lights.h"
#include "gui/text.h"
#include "gui/tray_light.h"
#include "gui/widgets/announcer.h"
#include "gui/window_placement.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "ui_tform1.h"

namespace sentrel::gui {

// ---------------------------------------------------------------------------------------
// Tree nodes

TreeNode::TreeNode(Level level, TServer* server, TPort* monitor, TreeContext* context)
    : level_(level), server_(server), monitor_(monitor), context_(context) {
  if (context) sequence_ = context->nextSequence++;
  if (monitor)
    alive_ = monitor->Watch();
  else if (server)
    alive_ = server->Watch();
}

bool TreeNode::Alive() const {
  return level_ == kGroup || !alive_.expired();
}

QVariant TreeNode::data(int column, int role) const {
  if (column == 0 && (role == Qt::AccessibleDescriptionRole || role == Qt::ToolTipRole))
    return StatusWords(Status(), Now());
  if (column > 0) return TreeCellData(*this, column, role);
  return QTreeWidgetItem::data(column, role);
}

bool TreeNode::operator<(const QTreeWidgetItem& other) const {
  if (!context_) return QTreeWidgetItem::operator<(other);
  return TreeNodeLess(*this, static_cast<const TreeNode&>(other), *context_);
}

RowStatus TreeNode::Status() const {
  RowStatus s;
  s.image = std::max(image_, 1);
  if (level_ != kGroup && Alive() && !server_->owner->Watches(*server_)) {
    const Shard& shard = server_->owner->shard;
    s.elsewhere = QStringLiteral("not watched here: shard %1/%2 watches it, this is shard %3")
                      .arg(ShardHash(server_->name) % static_cast<uint64_t>(shard.n) + 1)
                      .arg(shard.n)
                      .arg(ToQ(shard.Text()));
    return s;
  }
  if (level_ == kMonitor) {
    if (!Alive()) return s;
    s.colourImage = s.image;
    if (s.image == kImageUnreachable || s.image == kImageMaintenance) {
      const double now = Now();
      const ServerHold hold = HoldOf(*server_->owner, *server_, now);
      s.colourImage = StatusImage(monitor_->status);
      if (hold.maintenance)
        s.holdWords = MaintenanceWords(hold.maintenanceUntil, now);
      else
        s.holdWords = ToQ(UnreachableWords(hold.through));
    }
    if (s.colourImage == kImageYellow)
      s.lostOnce = history_.yellowFromLoss && monitor_->lastUp == history_.lossLastUp;
    if (s.colourImage == kImageRed) {
      s.lost = monitor_->lostCount;
      s.downSince = history_.downSince;
    }
    return s;
  }
  // A server or a group: its monitors counted by their lights.
  s.summary = true;
  auto count = [&s](const TreeNode* server) {
    for (int m = 0; m < server->childCount(); ++m) {
      const TreeNode* mn = server->ChildNode(m);
      if (!mn->Alive()) continue;
      ++s.monitors;
      if (std::max(mn->image_, 1) == s.image) ++s.showing;
    }
  };
  if (level_ == kServer) {
    if (Alive()) count(this);
  } else {
    for (int i = 0; i < childCount(); ++i)
      if (ChildNode(i)->Alive()) count(ChildNode(i));
  }
  return s;
}

namespace {

QString MonitorCreationText(const TPort& m) {
  return ToQ(m.name) + QStringLiteral(" (") + QString::number(m.port) + QLatin1Char(')');
}

QString MonitorRefreshText(const TPort& m) {
  return ToQ(m.name) + QStringLiteral(" (") + ToQ(m.typ) + QLatin1Char(':') +
         QString::number(m.port) + QStringLiteral(", ") + QString::number(m.interval) +
         QStringLiteral("s)");
}

}  // namespace

// A status-bar panel. Its width is a wish (400 pixels for the activity), not a floor, so
// the window can still be made narrower. A pass sets the activity text once per monitor:
// the label takes the last text when the loop next runs, so a pass in which nothing is
// due and whose last text is the one already shown paints nothing (under X11 every
// paint wakes the program twice more).
//
// A screen reader's status-bar command reads the panels' names: each panel's name is the
// text it shows, and its description says what the panel is ("Activity", "Web server").
// Every change of the text is a change of the name, which Qt announces.
class StatusPanel final : public QLabel {
 public:
  StatusPanel(int width, const QString& what, const QString& text, QWidget* parent)
      : QLabel(text, parent), width_(width), latest_(text) {
    setAccessibleDescription(what);
    Name();
  }
  QSize sizeHint() const override {
    return width_ > 0 ? QSize(width_, QLabel::sizeHint().height()) : QLabel::sizeHint();
  }
  QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

  void SetLatest(const QString& latest) {
    latest_ = latest;
    if (queued_) return;
    queued_ = true;
    QMetaObject::invokeMethod(
        this, [this] { Show(); }, Qt::QueuedConnection);
  }
  void Show() {
    queued_ = false;
    if (text() == latest_) return;
    setText(latest_);
    Name();
  }
  const QString& Latest() const { return latest_; }

 private:
  // An empty panel is named by what it is, so the reader never meets a nameless one.
  void Name() { setAccessibleName(text().isEmpty() ? accessibleDescription() : text()); }

  int width_;
  QString latest_;
  bool queued_ = false;
};

namespace {

void SetExpandedCached(TreeNode* node, bool expanded, bool& cache) {
  if (cache == expanded) return;
  node->setExpanded(expanded);
  cache = expanded;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Construction

TForm1::TForm1(Program& program, QtFrontend& frontend, QtEventLoop& loop, QWidget* parent)
    : QMainWindow(parent),
      program_(program),
      frontend_(frontend),
      loop_(loop),
      ui_(new Ui::TForm1) {
  ui_->setupUi(this);
  treeContext_.figures = &program_.availability;
  columns_ = new TreeColumns(ui_->TreeView1, treeContext_);
  // Hiding or showing a column decides whether the text column fills the tree.
  connect(ui_->TreeView1->header(), &QHeaderView::sectionResized, this,
          [this](int logical, int oldSize, int newSize) {
            if (logical != kColumnText && (oldSize == 0 || newSize == 0)) ApplyColumnWidth();
          });
  setWindowIcon(QIcon(SentrelPicture(64)));
  // The tool bar is switched by the Options menu alone, not by a menu of the dock area.
  setContextMenuPolicy(Qt::NoContextMenu);

  panel0_ = new StatusPanel(400, QStringLiteral("Activity"), QString(), this);
  panel0_->setObjectName(QStringLiteral("StatusPanel0"));
  panel1_ = new StatusPanel(0, QStringLiteral("Web server"),
                            QStringLiteral("Sentrel-Webserver: idle"), this);
  panel1_->setObjectName(QStringLiteral("StatusPanel1"));
  ui_->StatusBar1->addWidget(panel0_);
  ui_->StatusBar1->addWidget(panel1_, 1);

  QTreeWidget* tree = ui_->TreeView1;
  // Long node texts widen the column and bring a horizontal scroll bar instead of being
  // cut short. The width follows the texts as they are set (FitColumn): letting the
  // header measure its contents would measure a thousand rows for every changed light.
  tree->header()->setStretchLastSection(false);
  tree->setTextElideMode(Qt::ElideNone);
  ui_->Splitter1->setStretchFactor(0, 0);
  ui_->Splitter1->setStretchFactor(1, 1);
  panel2Width_ = std::max(100, width() - 193 - ui_->Splitter1->handleWidth());
  ui_->Splitter1->setSizes({193, panel2Width_});
  // The selection stays visible when the tree loses the focus.
  QPalette treePalette = tree->palette();
  for (auto role : {QPalette::Highlight, QPalette::HighlightedText})
    treePalette.setBrush(QPalette::Inactive, role, treePalette.brush(QPalette::Active, role));
  tree->setPalette(treePalette);
  // "Messages/Errors" in dark red.
  QPalette memoPalette = ui_->Memo2->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    memoPalette.setColor(group, QPalette::Text, QColor(128, 0, 0));
  ui_->Memo2->setPalette(memoPalette);

  // The tool bar's buttons take the focus by Tab, so they are reachable without a mouse.
  for (QAction* a : ui_->ToolBar1->actions()) {
    if (a->isSeparator()) continue;
    if (QWidget* w = ui_->ToolBar1->widgetForAction(a)) {
      w->setFocusPolicy(Qt::TabFocus);
      w->setAccessibleName(a->text());
    }
  }
  ui_->ToolButton3->setEnabled(false);
  // F5 scans also while the tool bar is hidden: the window itself carries the command.
  addAction(ui_->ToolButton5);
  ui_->ToolButton5->setToolTip(QStringLiteral("Scan Now (F5)"));

  ui_->ScreenLoglevel1->menuAction()->setVisible(false);
  BuildPopupMenu();
  ConnectCommands();

  connect(tree, &QTreeWidget::itemSelectionChanged, this, &TForm1::TreeView1Change);
  connect(tree, &QTreeWidget::itemExpanded, this,
          [](QTreeWidgetItem* item) { static_cast<TreeNode*>(item)->expanded_ = true; });
  connect(tree, &QTreeWidget::itemCollapsed, this,
          [](QTreeWidgetItem* item) { static_cast<TreeNode*>(item)->expanded_ = false; });
  tree->setContextMenuPolicy(Qt::DefaultContextMenu);
  tree->installEventFilter(this);
  tree->viewport()->installEventFilter(this);
  // The Menu key arrives as a context-menu event; Shift+F10 is the other key for it.
  auto* shiftF10 = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), tree);
  shiftF10->setContext(Qt::WidgetShortcut);
  connect(shiftF10, &QShortcut::activated, this, [this] { OpenPopupAt(QPoint(), false); });

  connect(&loop_, &QtEventLoop::Settled, this, [this] {
    if (!closePending_ || closed_) return;
    closePending_ = false;
    // Posted: the close runs from the outermost loop, after the work that held it.
    QTimer::singleShot(0, this, &QWidget::close);
  });
  frontend_.SetWindow(this);
}

TForm1::~TForm1() {
  frontend_.SetWindow(nullptr);
  program_.activityPane.SetListener({});
  program_.messagePane.SetListener({});
  if (placementRestored_ && !placementSaved_) {
    SaveWindowPlacement();
  }
}

void TForm1::BuildPopupMenu() {
  popupMenu_ = new QMenu(this);
  popupMenu_->setObjectName(QStringLiteral("PopupMenu1"));
  popupMenu_->setAccessibleName(QStringLiteral("Tree commands"));
  for (QAction* a :
       {ui_->AddGroup1, ui_->EditGroup1, ui_->DeleteGroup1, ui_->AddServer1, ui_->EditServer1,
        ui_->DeleteServer1, ui_->AddMonitor1, ui_->EditMonitor1, ui_->DeleteMonitor1})
    popupMenu_->addAction(a);
  popupSeparator_ = popupMenu_->addSeparator();
  popupSeparator_->setObjectName(QStringLiteral("PopupSeparator1"));
  popupSeparator_->setVisible(false);
  for (QAction* a :
       {ui_->Toolwindow1, ui_->ViewLogfile2, ui_->ViewLogfileErrors2, ui_->ViewRequestTimes2})
    popupMenu_->addAction(a);
  maintenanceSeparator_ = popupMenu_->addSeparator();
  maintenanceSeparator_->setObjectName(QStringLiteral("MaintenanceSeparator1"));
  popupMenu_->addAction(ui_->Maintenance1);
  popupMenu_->addAction(ui_->EndMaintenance1);
}

void TForm1::MirrorPanes() {
  auto mirror = [](TextPane& pane, QPlainTextEdit* memo) {
    memo->clear();
    for (const std::string& line : pane.Lines()) memo->appendPlainText(ToQ(line));
    TextPane::Listener l;
    l.added = [memo](const std::string& line) {
      // Appending scrolls to the end of the new line; the start of the lines (their
      // time stamps) stays in view unless the operator scrolled sideways.
      QScrollBar* sideways = memo->horizontalScrollBar();
      const bool atStart = sideways->value() == sideways->minimum();
      memo->appendPlainText(ToQ(line));
      if (atStart) sideways->setValue(sideways->minimum());
      // A screen reader does not speak lines that come into a pane the operator reads;
      // with the keyboard in it, each new line is said.
      if (memo->hasFocus()) Announce(memo, ToQ(line));
    };
    l.firstRemoved = [memo] {
      QTextCursor c(memo->document()->firstBlock());
      c.select(QTextCursor::BlockUnderCursor);
      c.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
      c.removeSelectedText();
    };
    l.cleared = [memo] { memo->clear(); };
    pane.SetListener(std::move(l));
  };
  mirror(program_.activityPane, ui_->Memo1);
  mirror(program_.messagePane, ui_->Memo2);
  // Lines that arrive before the window is shown carry the pane's text cursor to the end
  // of the last line, and the pane scrolls there when it is first shown; the filter puts
  // the view back to the start of the lines.
  ui_->Memo1->installEventFilter(this);
  ui_->Memo2->installEventFilter(this);
}

void TForm1::Create(const StartOptions& options) {
  QtEventLoop::Work work(loop_);
  MirrorPanes();
  CreateTrayLight();
  program_.Create(options);
  ApplyViewSettings();
  // The columns as the operator left them.
  columns_->Restore(program_.settings());
  UpdateScanButtons(program_.ScanningActive());
  UpdateWebButton();
  // Every node expanded, then the refresh puts each back as its server's flags say.
  for (int g = 0; g < GroupCount(); ++g) {
    TreeNode* gn = GroupNode(g);
    SetExpandedCached(gn, true, gn->expanded_);
    for (int s = 0; s < gn->childCount(); ++s) {
      TreeNode* sn = gn->ChildNode(s);
      SetExpandedCached(sn, true, sn->expanded_);
    }
  }
  RefreshTree();
}

void TForm1::CreateTrayLight() {
  tray_ = std::make_unique<TrayLight>(program_.serverList);
  connect(tray_.get(), &TrayLight::ShowRequested, this, [this] {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
  });
  connect(tray_.get(), &TrayLight::StartScanRequested, this, [this] { ToolButton2Click(); });
  connect(tray_.get(), &TrayLight::StopScanRequested, this, [this] { ToolButton3Click(); });
  // Exit from the tray closes as the window's close box does: save, settings, placement.
  connect(tray_.get(), &TrayLight::ExitRequested, this, [this] { Exit1Click(); });
}

void TForm1::ShowMonitor(uint64_t runId) {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
  TPort* monitor = program_.MonitorByRunId(runId);
  if (!monitor) return;
  if (TreeNode* node = FindNode(monitor->server, monitor)) {
    ui_->TreeView1->setCurrentItem(node);
    ui_->TreeView1->scrollToItem(node);
    ui_->TreeView1->setFocus();
  }
}

void TForm1::ApplyViewSettings() {
  ui_->StartScanonStartup1->setChecked(program_.autoStart);
  ui_->PopupWindow1->setChecked(program_.PopupWindow());
  ui_->ParallelChecks1->setChecked(program_.ParallelChecks());
  ui_->StartWebserveronStartup1->setChecked(program_.autoStartWeb);
  // The window keeps the size the placement gives it; the tree takes the room.
  ui_->Panel2->setVisible(program_.showLogs);
  ui_->Showlogs1->setChecked(program_.showLogs);
  ui_->ToolBar1->setVisible(program_.toolbar);
  ui_->Toolbar1->setChecked(program_.toolbar);
  ui_->StatusBar1->setVisible(program_.statusbar);
  ui_->Statusbar1->setChecked(program_.statusbar);
  setWindowFlag(Qt::WindowStaysOnTopHint, program_.alwaysOnTop);
  ui_->Alwaysontop1->setChecked(program_.alwaysOnTop);
}

void TForm1::CollectViewSettings() {
  columns_->Save(program_.settings());
  program_.autoStart = ui_->StartScanonStartup1->isChecked();
  program_.autoStartWeb = ui_->StartWebserveronStartup1->isChecked();
  program_.showLogs = !ui_->Panel2->isHidden();
  program_.toolbar = !ui_->ToolBar1->isHidden();
  program_.statusbar = !ui_->StatusBar1->isHidden();
  program_.alwaysOnTop = ui_->Alwaysontop1->isChecked();
  const QRect g = geometry();
  program_.winTop = g.top();
  program_.winLeft = g.left();
  program_.winHeight = g.height();
  program_.winWidth = g.width();
}

void TForm1::UpdateScanButtons(bool active) {
  ui_->ToolButton2->setEnabled(!active);
  ui_->ToolButton3->setEnabled(active);
  ui_->Scan1->setChecked(active);
  if (tray_) tray_->SetScanning(active);
}

void TForm1::UpdateWebButton() {
  ui_->ToolButton7->setChecked(program_.webButtonDown);
  const QString caption = ToQ(program_.webButtonCaption);
  ui_->ToolButton7->setText(caption);
  if (QWidget* w = ui_->ToolBar1->widgetForAction(ui_->ToolButton7)) w->setAccessibleName(caption);
}

void TForm1::SetStatusPanel(int panel, const QString& text) {
  (panel == 0 ? panel0_ : panel1_)->SetLatest(text);
}

void TForm1::PaintStatusPanels() {
  panel0_->Show();
  panel1_->Show();
  ui_->StatusBar1->repaint();
}

QString TForm1::StatusPanelText(int panel) const {
  return (panel == 0 ? panel0_ : panel1_)->Latest();
}

void TForm1::ShowPopupStandIn(const QString& message) {
  popupLog_ += (popupLog_.isEmpty() ? QString() : QStringLiteral("\n")) + message;
  auto* box = findChild<QMessageBox*>(QStringLiteral("PopupStandIn"));
  if (!box) {
    box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Sentrel message"), QString(),
                          QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("PopupStandIn"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    connect(box, &QMessageBox::finished, this, [this] { popupLog_.clear(); });
  }
  box->setText(popupLog_);
  box->show();
  box->raise();
}

// ---------------------------------------------------------------------------------------
// The tree

int TForm1::GroupCount() const {
  return ui_->TreeView1->topLevelItemCount();
}

TreeNode* TForm1::GroupNode(int index) const {
  return static_cast<TreeNode*>(ui_->TreeView1->topLevelItem(index));
}

TreeNode* TForm1::SelectedNode() const {
  const QList<QTreeWidgetItem*> selected = ui_->TreeView1->selectedItems();
  return selected.isEmpty() ? nullptr : static_cast<TreeNode*>(selected.first());
}

void TForm1::BuildTree() {
  QTreeWidget* tree = ui_->TreeView1;
  tree->setUpdatesEnabled(false);
  ++treeGeneration_;
  // The tree's memory of each monitor's run goes on to the monitor's new node.
  QHash<const TPort*, TreeNode::History> histories;
  for (int g = 0; g < GroupCount(); ++g) {
    TreeNode* gn = GroupNode(g);
    for (int s = 0; s < gn->childCount(); ++s) {
      TreeNode* sn = gn->ChildNode(s);
      for (int m = 0; m < sn->childCount(); ++m) {
        TreeNode* mn = sn->ChildNode(m);
        if (mn->Alive() && !mn->history_.status.empty())
          histories.insert(mn->monitor(), mn->history_);
      }
    }
  }
  tree->clear();
  textWidth_ = 0;
  // The nodes are put together outside the view and handed to it in one piece: adding
  // tens of thousands one by one would lay the view out again for each of them.
  QList<QTreeWidgetItem*> groups;
  QHash<QString, TreeNode*> groupByText;
  TServerList& list = program_.serverList;
  for (int i = 0; i < list.Count(); ++i) {
    TServer* server = list.Items(i);
    if (server->group.empty()) server->group = "Main";
    TreeNode*& group = groupByText[ToQ(server->group)];
    if (!group) {
      group = NewGroupNode(server->group);
      groups << group;
    }
    TreeNode* sn = AddServerNodeTo(group, server);
    if (histories.isEmpty()) continue;
    for (int m = 0; m < sn->childCount(); ++m) {
      TreeNode* mn = sn->ChildNode(m);
      auto it = histories.constFind(mn->monitor());
      if (it != histories.constEnd()) mn->history_ = *it;
    }
  }
  tree->addTopLevelItems(groups);
  columns_->Resort();
  // A row with the focus frame is a selected row: Enter, F2 and the commands of its level
  // work from the start, without a click first.
  if (tree->topLevelItemCount() > 0) tree->setCurrentItem(tree->topLevelItem(0));
  tree->setUpdatesEnabled(true);
  treeBuilt_ = true;
}

TreeNode* TForm1::AddServerNode(TServer* server) {
  QTreeWidget* tree = ui_->TreeView1;
  if (server->group.empty()) server->group = "Main";
  TreeNode* group = nullptr;
  for (int g = GroupCount() - 1; g >= 0 && !group; --g)
    if (GroupNode(g)->text(0) == ToQ(server->group)) group = GroupNode(g);
  if (!group) {
    group = NewGroupNode(server->group);
    tree->addTopLevelItem(group);
  }
  return AddServerNodeTo(group, server);
}

TreeNode* TForm1::NewGroupNode(const std::string& name) {
  auto* group = new TreeNode(TreeNode::kGroup, nullptr, nullptr, &treeContext_);
  group->setText(0, ToQ(name));
  group->shownName_ = name;
  SetNodeImage(group, kImageNotChecked);
  FitColumn(group);
  return group;
}

TreeNode* TForm1::AddServerNodeTo(TreeNode* group, TServer* server) {
  auto* node = new TreeNode(TreeNode::kServer, server, nullptr, &treeContext_);
  node->setText(0, ToQ(server->name.empty() ? server->ip : server->name));
  node->shownName_ = server->name;
  SetNodeImage(node, kImageNotChecked);
  group->addChild(node);
  FitColumn(node);
  for (int j = 0; j < server->ports.Count(); ++j) AddMonitorNode(node, server->ports.Items(j));
  return node;
}

TreeNode* TForm1::AddMonitorNode(TreeNode* serverNode, TPort* monitor) {
  auto* node = new TreeNode(TreeNode::kMonitor, serverNode->server(), monitor, &treeContext_);
  node->setText(0, MonitorCreationText(*monitor));
  SetNodeImage(node, kImageNotChecked);
  serverNode->addChild(node);
  FitColumn(node);
  return node;
}

void TForm1::FitColumn(TreeNode* node) {
  // The node's right edge: one indentation per level (the top level has its branch mark
  // too), the light, the gaps around it, and the text.
  QTreeWidget* tree = ui_->TreeView1;
  const int extent = tree->indentation() * (node->level() + 1) + tree->iconSize().width() + 12 +
                     textMetrics_.horizontalAdvance(node->text(0));
  if (extent <= textWidth_) return;
  textWidth_ = extent;
  ApplyColumnWidth();
}

void TForm1::ApplyColumnWidth() {
  QTreeWidget* tree = ui_->TreeView1;
  // The text column alone fills the tree; beside other columns it is as wide as its
  // longest text, or as the operator made it.
  if (columns_->OnlyTextColumn()) {
    const int width = std::max(textWidth_, tree->viewport()->width());
    if (tree->header()->sectionSize(0) != width) tree->header()->resizeSection(0, width);
  } else if (tree->header()->sectionSize(0) < textWidth_) {
    tree->header()->resizeSection(0, textWidth_);
  }
}

void TForm1::SetNodeImage(TreeNode* node, int image) {
  if (node->image_ == image) return;
  node->image_ = image;
  node->setIcon(0, StatusLight(image));
}

namespace {

bool IsColour(const std::string& status) {
  return status == "green" || status == "yellow" || status == "red";
}

// Notes a monitor's change of colour in its node's history (see TreeNode::History).
// Returns whether a screen reader is to hear of it: a change from one colour to another,
// and a monitor found red at its first check. Lights going grey (scanning stopped) and
// the first green of every monitor after a start are not news.
bool NoteStatus(TreeNode::History& h, const TPort& p) {
  if (p.status == h.status) return false;
  const bool news = IsColour(p.status) && (IsColour(h.status) || p.status == "red");
  if (p.status == "yellow") {
    h.yellowFromLoss = h.status == "green";
    h.lossLastUp = p.lastUp;
  }
  if (p.status == "red") h.downSince = Now();
  h.status = p.status;
  return news;
}

}  // namespace

void TForm1::RefreshTree() {
  // Each node compares what it shows with its object and changes only what differs, so
  // a refresh after one change of colour costs a walk over the nodes and a repaint of
  // that one line; what is shown is the same as if every text and image were rewritten.
  const int groups = GroupCount();
  for (int g = 0; g < groups; ++g) {
    TreeNode* gn = GroupNode(g);
    int groupImage = kImageNotChecked;
    const int servers = gn->childCount();
    for (int s = 0; s < servers; ++s) {
      TreeNode* sn = gn->ChildNode(s);
      if (!sn->Alive()) continue;
      TServer* server = sn->server_;
      if (server->group != gn->shownName_) {
        gn->shownName_ = server->group;
        gn->setText(0, ToQ(server->group));
        FitColumn(gn);
      }
      if (!sn->textFromRefresh_ || server->name != sn->shownName_) {
        sn->shownName_ = server->name;
        sn->textFromRefresh_ = true;
        sn->setText(0, ToQ(server->name));
        FitColumn(sn);
      }
      // Another shard's server: greyed, its monitors too.
      const bool elsewhere = !program_.serverList.Watches(*server);
      auto grey = [this, elsewhere](TreeNode* node) {
        if (elsewhere == node->shownElsewhere_) return;
        node->shownElsewhere_ = elsewhere;
        node->setForeground(0, elsewhere ? ui_->TreeView1->palette().brush(QPalette::Disabled,
                                                                           QPalette::Text)
                                         : QBrush());
      };
      grey(sn);
      int serverImage = kImageNotChecked;
      const int monitors = sn->childCount();
      // Most servers have neither parents nor maintenance: nothing to work out for them.
      const ServerHold hold = server->parents.empty() && server->maintenance.empty()
                                  ? ServerHold{}
                                  : HoldOf(program_.serverList, *server, Now());
      for (int m = 0; m < monitors; ++m) {
        TreeNode* mn = sn->ChildNode(m);
        if (!mn->Alive()) continue;
        const TPort& p = *mn->monitor_;
        if (p.port != mn->shownPort_ || p.interval != mn->shownInterval_ ||
            p.name != mn->shownName_ || p.typ != mn->shownTyp_) {
          mn->shownPort_ = p.port;
          mn->shownInterval_ = p.interval;
          mn->shownName_ = p.name;
          mn->shownTyp_ = p.typ;
          mn->setText(0, MonitorRefreshText(p));
          FitColumn(mn);
        }
        grey(mn);
        const int image = MonitorImage(p.status, HoldOfMonitor(p, hold));
        SetNodeImage(mn, image);
        if (NoteStatus(mn->history_, p))
          Announce(this, ToQ(server->name) + QLatin1Char(' ') + ToQ(p.name) + QStringLiteral(": ") +
                             StatusWords(mn->Status(), Now()));
        serverImage = WorseImage(serverImage, image);
      }
      SetNodeImage(sn, serverImage);
      SetExpandedCached(gn, server->groupExpand, gn->expanded_);
      SetExpandedCached(sn, server->portExpand, sn->expanded_);
      groupImage = WorseImage(groupImage, serverImage);
    }
    SetNodeImage(gn, groupImage);
  }
  columns_->Resort();
  ui_->TreeView1->viewport()->update();
  if (tray_) tray_->Refresh();
}

void TForm1::ForgetShownState() {
  for (int g = 0; g < GroupCount(); ++g) {
    TreeNode* gn = GroupNode(g);
    gn->image_ = 0;
    gn->shownName_ = ToStd(gn->text(0));
    gn->expanded_ = gn->isExpanded();
    for (int s = 0; s < gn->childCount(); ++s) {
      TreeNode* sn = gn->ChildNode(s);
      sn->image_ = 0;
      sn->textFromRefresh_ = false;
      sn->expanded_ = sn->isExpanded();
      for (int m = 0; m < sn->childCount(); ++m) {
        TreeNode* mn = sn->ChildNode(m);
        mn->image_ = 0;
        mn->shownPort_ = INT_MIN;
        mn->expanded_ = mn->isExpanded();
      }
    }
  }
}

void TForm1::StoreExpandState() {
  for (int g = 0; g < GroupCount(); ++g) {
    TreeNode* gn = GroupNode(g);
    for (int s = 0; s < gn->childCount(); ++s) {
      TreeNode* sn = gn->ChildNode(s);
      if (!sn->Alive()) continue;
      sn->server_->groupExpand = gn->isExpanded();
      sn->server_->portExpand = sn->isExpanded();
    }
  }
}

bool TForm1::edittree(TreeNode* node) {
  if (!node || !node->Alive()) return false;
  EditMode mode = EditMode::Group;
  TServer* server = nullptr;
  TPort* monitor = nullptr;
  QString groupText;
  std::vector<TServer*> groupServers;
  switch (node->level()) {
    case TreeNode::kGroup:
      groupText = node->text(0);
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

TreeNode* TForm1::FindNode(const TServer* server, const TPort* monitor) const {
  for (int g = 0; g < GroupCount(); ++g) {
    TreeNode* gn = GroupNode(g);
    for (int s = 0; s < gn->childCount(); ++s) {
      TreeNode* sn = gn->ChildNode(s);
      if (sn->server() != server || !sn->Alive()) continue;
      if (!monitor) return sn;
      for (int m = 0; m < sn->childCount(); ++m)
        if (sn->ChildNode(m)->monitor() == monitor && sn->ChildNode(m)->Alive())
          return sn->ChildNode(m);
    }
  }
  return nullptr;
}

void TForm1::RemoveNode(TreeNode* node) {
  ++treeGeneration_;
  delete node;
}

QString TForm1::GroupTextFor(TreeNode* node) const {
  while (node && node->level() != TreeNode::kGroup) node = node->ParentNode();
  return node ? node->text(0) : QStringLiteral("Main");
}

// ---------------------------------------------------------------------------------------
// Menus by tree level

void TForm1::ShowLevelShortcuts(int level) {
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

void TForm1::TreeView1Change() {
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

void TForm1::PopupMenu1Popup(const QPoint& globalPos) {
  PreparePopup();
  popupMenu_->popup(globalPos);
}

void TForm1::PreparePopup() {
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
    for (const TServer* server : NodeServers(node)) inMaintenance |= server->InMaintenance(now);
    ui_->EndMaintenance1->setEnabled(inMaintenance);
  }
}

std::vector<TServer*> TForm1::NodeServers(TreeNode* node) const {
  std::vector<TServer*> servers;
  if (!node || !node->Alive()) return servers;
  if (node->level() == TreeNode::kServer) {
    servers.push_back(node->server());
  } else if (node->level() == TreeNode::kGroup) {
    const std::string group = ToStd(node->text(0));
    for (int i = 0; i < node->childCount(); ++i) {
      TreeNode* sn = node->ChildNode(i);
      if (sn->Alive() && sn->server()->group == group) servers.push_back(sn->server());
    }
  }
  return servers;
}

void TForm1::OpenPopupAt(const QPoint& viewportPos, bool fromMouse) {
  QTreeWidget* tree = ui_->TreeView1;
  QPoint pos = viewportPos;
  if (fromMouse) {
    // The node under a right press is selected before the menu opens.
    if (QTreeWidgetItem* item = tree->itemAt(pos)) tree->setCurrentItem(item);
  } else if (QTreeWidgetItem* current = tree->currentItem()) {
    pos = tree->visualItemRect(current).bottomLeft() + QPoint(16, 0);
  }
  PopupMenu1Popup(tree->viewport()->mapToGlobal(pos));
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  QTreeWidget* tree = ui_->TreeView1;
  if (event->type() == QEvent::Resize && watched == tree->viewport()) ApplyColumnWidth();
  if (event->type() == QEvent::Show && (watched == ui_->Memo1 || watched == ui_->Memo2)) {
    auto* memo = static_cast<QPlainTextEdit*>(watched);
    QTimer::singleShot(0, memo, [memo] {
      memo->horizontalScrollBar()->setValue(0);
      memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
    });
  }
  if (event->type() == QEvent::KeyPress && watched == tree) {
    // Enter edits the selected node, as its Edit command does.
    const int key = static_cast<QKeyEvent*>(event)->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && SelectedNode()) {
      RunCommand([this] { edittree(SelectedNode()); });
      return true;
    }
  }
  if (event->type() == QEvent::ContextMenu && (watched == tree || watched == tree->viewport())) {
    auto* e = static_cast<QContextMenuEvent*>(event);
    const bool mouse = e->reason() == QContextMenuEvent::Mouse;
    const QPoint pos = watched == tree ? tree->viewport()->mapFrom(tree, e->pos()) : e->pos();
    OpenPopupAt(pos, mouse);
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------
// Showing and closing

void TForm1::showEvent(QShowEvent* event) {
  if (!placementRestored_) {
    placementRestored_ = true;
    KeepMenuBarWhole();
    RestorePlacement(*this, program_.settings());
    // In the window of its restored size, the tree is wide enough for its columns (its
    // text column at least 193 pixels), up to three fifths of the window.
    QTreeWidget* tree = ui_->TreeView1;
    const int wanted =
        columns_->OnlyTextColumn()
            ? 193
            : std::max(193, tree->header()->sectionSize(kColumnText)) + columns_->ExtraWidth() +
                  2 * tree->frameWidth() + tree->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int treeWidth = std::min(wanted, width() * 3 / 5);
    ui_->Splitter1->setSizes(
        {treeWidth, std::max(100, width() - treeWidth - ui_->Splitter1->handleWidth())});
    // The window manager frames the window only once it is shown, and tells nothing when
    // it has: in the next moments the frame is looked at a few times and made to fit the
    // screen once it is known.
    for (int ms : kFramingChecksMs) {
      QTimer::singleShot(ms, this, [this] {
        if (framingDone_) return;
        const QWindow* handle = windowHandle();
        framingDone_ = KeepFrameOnScreen(*this) || (handle && !handle->frameMargins().isNull());
      });
    }
  }
  QMainWindow::showEvent(event);
}

void TForm1::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
    KeepMenuBarWhole();
}

void TForm1::KeepMenuBarWhole() {
  // The window is never narrower than its menu bar with every menu shown, so no menu
  // folds behind the bar's overflow button; the menus hidden while nothing is selected
  // count too, since selecting a node brings them back.
  QMenuBar* bar = ui_->MainMenu1;
  QList<QAction*> hidden;
  for (QAction* a : bar->actions()) {
    if (!a->isVisible()) {
      hidden << a;
      a->setVisible(true);
    }
  }
  int width = bar->sizeHint().width();
  for (QAction* a : hidden) a->setVisible(false);
  // Nor narrower than the tool bar with the longer caption of the web server's button,
  // so no button folds behind the tool bar's overflow button either (the logs hidden
  // leave the window narrow).
  QToolBar* tools = ui_->ToolBar1;
  QAction* web = ui_->ToolButton7;
  const QString caption = web->text();
  for (const QString& c : {QStringLiteral("Start Webserver"), QStringLiteral("Stop Webserver")}) {
    web->setText(c);
    width = std::max(width, tools->sizeHint().width());
  }
  web->setText(caption);
  setMinimumWidth(std::max(width, QMainWindow::minimumSizeHint().width()));
}

void TForm1::SaveWindowPlacement() {
  placementSaved_ = true;
  // A settings file that cannot be written is said in the errors log; the close goes on.
  try {
    SavePlacement(*this, program_.settings());
    program_.settings().Save();
  } catch (const std::exception& e) {
    loop_.ReportError(e.what());
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  // The signal's close goes its own way, from the loop.
  if (closingForSignal_) {
    event->ignore();
    return;
  }
  if (loop_.Busy()) {
    // A command is still on the stack (its dialog is open): pulling the window from
    // under it would pull its objects too. The close is done once it has returned.
    event->ignore();
    closePending_ = true;
    program_.RequestQuit();
    return;
  }
  QtEventLoop::Work work(loop_);
  SaveWindowPlacement();
  if (!SaveForClose()) {
    event->ignore();
    program_.CancelQuit();
    return;
  }
  FinishClose();
  event->accept();
}

bool TForm1::SaveForClose() {
  std::string failure;
  try {
    if (program_.SaveOnClose()) return true;
  } catch (const std::exception& e) {
    failure = e.what();
    loop_.ReportError(failure);
  }
  if (failure.empty()) {
    // No file that may be written (none yet, or one that holds no server): a name is
    // asked for; a cancelled dialog closes without saving, as it always has.
    const SaveOutcome outcome = SaveAsFile();
    if (outcome != SaveOutcome::Failed) return true;
    failure = "The server file could not be saved.";
  }
  for (;;) {
    switch (AskSaveChoice(this, QStringLiteral("Sentrel"),
                          ToQ(failure) + QStringLiteral("\n\nSave the configuration elsewhere?"))) {
      case SaveChoice::SaveAs: {
        const SaveOutcome outcome = SaveAsFile();
        if (outcome == SaveOutcome::Saved) return true;
        continue;  // cancelled or failed again: ask again
      }
      case SaveChoice::CloseWithoutSaving:
        return true;
      case SaveChoice::Cancel:
        return false;
    }
  }
}

void TForm1::FinishClose() {
  CollectViewSettings();
  try {
    program_.WriteSettings();
  } catch (const std::exception& e) {
    loop_.ReportError(e.what());
  }
  program_.EndWork();
  closed_ = true;
  emit Closed();
}

void TForm1::CloseForSignal() {
  if (closed_ || closingForSignal_) return;
  closingForSignal_ = true;
  program_.RequestQuit();
  FinishCloseForSignal(0);
}

void TForm1::ReloadForSignal() {
  if (closed_ || closingForSignal_ || program_.QuitRequested()) return;
  if (loop_.Busy()) {
    program_.ReportProblem(
        "SIGHUP: the files were not read again while a dialog is open; close it and send "
        "SIGHUP again");
    return;
  }
  if (program_.HasUnsavedChanges()) {
    program_.ReportProblem(
        "SIGHUP: the files were not read again, since the window holds changes that are not "
        "saved; save them (or open the file again) first");
    return;
  }
  RunCommand([this] { program_.Reload(); });
}

void TForm1::FinishCloseForSignal(int attempt) {
  // Nobody answers a question now: every dialog that waits for the operator goes, and
  // with it the command that opened it returns.
  for (int i = 0; i < 16; ++i) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) break;
    if (auto* dialog = qobject_cast<QDialog*>(modal))
      dialog->reject();
    else
      modal->close();
    if (QApplication::activeModalWidget() == modal) modal->hide();
  }
  // The end comes from the outermost loop, once those commands have returned; a stack
  // that will not unwind is left to the quit, after a second and a half at most.
  if (loop_.Busy() && attempt < 75) {
    QTimer::singleShot(20, this, [this, attempt] { FinishCloseForSignal(attempt + 1); });
    return;
  }
  QtEventLoop::Work work(loop_);
  SaveWindowPlacement();
  program_.SaveOrRecover();
  FinishClose();
  hide();
}

}  // namespace sentrel::gui
