// The main window: construction, the panes, the view settings, the status panels and
// showing. The tree is in main_window_tree.cpp, closing in main_window_close.cpp, the commands in
// main_window_slots.cpp.
#include "gui/main_window.h"

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
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QWindow>
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
#include "ui_main_window.h"

namespace sentrel::gui {

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

// ---------------------------------------------------------------------------------------
// Construction

MainWindow::MainWindow(Program& program, QtFrontend& frontend, QtEventLoop& loop, QWidget* parent)
    : QMainWindow(parent),
      program_(program),
      frontend_(frontend),
      loop_(loop),
      ui_(new Ui::MainWindow) {
  ui_->setupUi(this);
  treeContext_.figures = &program_.availability;
  model_ = new ServerTreeModel(program_.serverList, treeContext_, this);
  columns_ = new TreeColumns(ui_->TreeView1, *model_, treeContext_);
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

  QTreeView* tree = ui_->TreeView1;
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

  ConnectTree();
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

MainWindow::~MainWindow() {
  frontend_.SetWindow(nullptr);
  program_.activityPane.SetListener({});
  program_.messagePane.SetListener({});
  if (placementRestored_ && !placementSaved_) {
    SaveWindowPlacement();
  }
}

void MainWindow::BuildPopupMenu() {
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

void MainWindow::MirrorPanes() {
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

void MainWindow::Create(const StartOptions& options) {
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
    SetExpanded(gn, true);
    for (int s = 0; s < gn->childCount(); ++s) SetExpanded(gn->ChildNode(s), true);
  }
  RefreshTree();
}

void MainWindow::CreateTrayLight() {
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

void MainWindow::ShowMonitor(uint64_t runId) {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
  Monitor* monitor = program_.MonitorByRunId(runId);
  if (!monitor) return;
  if (TreeNode* node = FindNode(monitor->server, monitor)) {
    SelectNode(node);
    ui_->TreeView1->scrollTo(ViewIndex(node));
    ui_->TreeView1->setFocus();
  }
}

void MainWindow::ApplyViewSettings() {
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

void MainWindow::CollectViewSettings() {
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

void MainWindow::UpdateScanButtons(bool active) {
  ui_->ToolButton2->setEnabled(!active);
  ui_->ToolButton3->setEnabled(active);
  ui_->Scan1->setChecked(active);
  if (tray_) tray_->SetScanning(active);
}

void MainWindow::UpdateWebButton() {
  ui_->ToolButton7->setChecked(program_.webServerWanted);
  const QString caption = ToQ(program_.webServerToggleText);
  ui_->ToolButton7->setText(caption);
  if (QWidget* w = ui_->ToolBar1->widgetForAction(ui_->ToolButton7)) w->setAccessibleName(caption);
}

void MainWindow::SetStatusPanel(int panel, const QString& text) {
  (panel == 0 ? panel0_ : panel1_)->SetLatest(text);
}

void MainWindow::PaintStatusPanels() {
  panel0_->Show();
  panel1_->Show();
  ui_->StatusBar1->repaint();
}

QString MainWindow::StatusPanelText(int panel) const {
  return (panel == 0 ? panel0_ : panel1_)->Latest();
}

void MainWindow::ShowPopupStandIn(const QString& message) {
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

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  QTreeView* tree = ui_->TreeView1;
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
      RunCommand([this] { EditTreeNode(SelectedNode()); });
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
// Showing

void MainWindow::showEvent(QShowEvent* event) {
  if (!placementRestored_) {
    placementRestored_ = true;
    KeepMenuBarWhole();
    RestorePlacement(*this, program_.settings());
    // In the window of its restored size, the tree is wide enough for its columns (its
    // text column at least 193 pixels), up to three fifths of the window.
    QTreeView* tree = ui_->TreeView1;
    const int wanted = columns_->OnlyTextColumn()
                           ? 193
                           : std::max(193, tree->header()->sectionSize(kColumnText)) +
                                 columns_->ExtraWidth() + 2 * tree->frameWidth() +
                                 tree->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
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

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
    KeepMenuBarWhole();
}

void MainWindow::KeepMenuBarWhole() {
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

}  // namespace sentrel::gui
