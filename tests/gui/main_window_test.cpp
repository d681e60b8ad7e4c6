// The main window driven through its real widgets: tree, menus, commands, closing.
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>

#include "gui/modal_answers.h"
#include "gui/splash_window.h"
#include "gui/status_lights.h"
#include "gui/tray_light.h"
#include "gui/window_placement.h"
#include "model/server_list.h"
#include "model/text_pane.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "platform/settings_store.h"
#include "scan/scanner.h"
#include "support/loopback_server.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

// Two groups; "web" has a server with two monitors and one without; "db" is named by an
// empty group text and so becomes "Main".
const char* const kServers =
    "[www]\r\nIP=127.0.0.1\r\nLogfile=www.log\r\nGroup=web\r\n"
    "[www:http]\r\nTyp=http\r\nPort=80\r\nData=url=http://127.0.0.1:9/\r\nintervall=3600\r\n"
    "[www:ssh]\r\nTyp=port\r\nPort=22\r\nintervall=3600\r\n"
    "[bare]\r\nIP=127.0.0.1\r\nLogfile=bare.log\r\nGroup=web\r\nPortExpand=0\r\n"
    "[db]\r\nIP=127.0.0.1\r\nLogfile=db.log\r\nGroupExpand=0\r\n"
    "[db:pg]\r\nTyp=port\r\nPort=5432\r\nintervall=3600\r\n";

class MainWindowTest : public WindowFixture {};

TEST_F(MainWindowTest, TreeShowsLevelsTextsAndTheHighestLight) {
  Start(kServers);
  EXPECT_EQ(form_->windowTitle(), "Sentrel");
  EXPECT_EQ(Snapshot(*form_), (std::vector<std::string>{
                                  "0|web|1|+|not checked",
                                  "  1|www|1|+|not checked",
                                  "    2|http (http:80, 3600s)|1|-|not checked",
                                  "    2|ssh (port:22, 3600s)|1|-|not checked",
                                  "  1|bare|1|-|no monitors",
                                  "0|Main|1|-|not checked",
                                  "  1|db|1|+|not checked",
                                  "    2|pg (port:5432, 3600s)|1|-|not checked",
                              }));
  EXPECT_EQ(ServerAt(2)->group, "Main");

  // Status changes go through the scan engine's steps, which refresh the window.
  Scanner& scan = program_->scanner;
  scan.PortVerdict(*MonitorAt(0, 1), true, 3);
  EXPECT_EQ(Node("web/www/ssh")->image(), kImageGreen);
  EXPECT_EQ(Node("web/www")->image(), kImageGreen);
  EXPECT_EQ(Node("web")->image(), kImageGreen);
  scan.HttpVerdict(*MonitorAt(0, 0), true, 12000, 10, 0, 200, "OK");  // slow: yellow
  EXPECT_EQ(Node("web/www/http")->image(), kImageYellow);
  EXPECT_EQ(Node("web")->image(), kImageYellow);
  scan.PortVerdict(*MonitorAt(0, 1), false, 10000);  // green turns yellow
  scan.PortVerdict(*MonitorAt(0, 1), false, 10000);  // and red
  EXPECT_EQ(Node("web/www/ssh")->image(), kImageRed);
  EXPECT_EQ(Node("web/www")->image(), kImageRed);
  EXPECT_EQ(Node("web")->image(), kImageRed);
  EXPECT_EQ(Node("web/bare")->image(), kImageNotChecked);  // no monitors
  EXPECT_EQ(Node("Main")->image(), kImageNotChecked);
  EXPECT_EQ(Node("web")->data(0, Qt::AccessibleDescriptionRole).toString(),
            "down: 1 of 2 monitors");

  // A long name widens the column, so the tree scrolls sideways instead of cutting it.
  // The text column alone (the others hidden) fills the tree.
  auto* tree = form_->findChild<QTreeView*>(QStringLiteral("TreeView1"));
  for (int c = 1; c < kColumnCount; ++c) tree->header()->setSectionHidden(c, true);
  program_->ScreenUpdate();
  EXPECT_GE(tree->header()->sectionSize(0), tree->viewport()->width());
  ServerAt(1)->name = std::string(80, 'n');
  program_->ScreenUpdate();
  EXPECT_GT(tree->header()->sectionSize(0),
            tree->fontMetrics().horizontalAdvance(QString(80, QLatin1Char('n'))));

  // Each light is a distinct 16 x 16 picture.
  for (int a = 1; a <= 4; ++a) {
    EXPECT_EQ(StatusLightPixmap(a).size(), QSize(16, 16));
    for (int b = a + 1; b <= 4; ++b)
      EXPECT_NE(StatusLightPixmap(a).toImage(), StatusLightPixmap(b).toImage());
  }
}

TEST_F(MainWindowTest, ARefreshThatSkipsWhatIsUnchangedShowsWhatAFullRefreshShows) {
  Start(kServers);
  Scanner& scan = program_->scanner;
  // A run of status changes, a hand-collapsed group, a collapsed server, and changes to
  // names and intervals made behind the tree's back.
  scan.PortVerdict(*MonitorAt(0, 1), true, 3);
  scan.PortVerdict(*MonitorAt(2, 0), false, 10000);
  Tree()->setExpanded(form_->ViewIndex(Node("web")), false);
  Tree()->setExpanded(form_->ViewIndex(Node("web/www")), false);
  MonitorAt(0, 0)->interval = 30;
  MonitorAt(0, 0)->name = "site";
  ServerAt(1)->name = "naked";
  ServerAt(2)->group = "databases";
  scan.HttpVerdict(*MonitorAt(0, 0), false, 10, 0, 10061, 404, "Connection refused");
  const std::vector<std::string> shown = Snapshot(*form_);
  // The two monitors turned red in the refreshes of this test, so at one time or another.
  const std::string down = "down since " + FormatTime(Now()).substr(0, 5);

  // The same tree with every text, image and expand state written again.
  form_->ForgetShownState();
  form_->RefreshTree();
  EXPECT_EQ(Snapshot(*form_), shown);
  // And a tree built afresh from the model.
  form_->BuildTree();
  form_->RefreshTree();
  EXPECT_EQ(Snapshot(*form_), shown);
  // Times of day as hh:mm, so a second that ticks over during the test does no harm.
  std::vector<std::string> minutes = shown;
  for (std::string& line : minutes) {
    const size_t at = line.find("down since ");
    if (at != std::string::npos) line.erase(at + 16, 3);
  }
  EXPECT_EQ(minutes, (std::vector<std::string>{
                         "0|web|4|+|down: 1 of 2 monitors",
                         "  1|www|4|+|down: 1 of 2 monitors",
                         "    2|site (http:80, 30s)|4|-|" + down + ", 2 lost",
                         "    2|ssh (port:22, 3600s)|2|-|OK",
                         "  1|naked|1|-|no monitors",
                         "0|databases|4|-|down: 1 of 1 monitor",
                         "  1|db|4|+|down: 1 of 1 monitor",
                         "    2|pg (port:5432, 3600s)|4|-|" + down + ", 2 lost",
                     }));
}

TEST_F(MainWindowTest, MenusFollowTheTreeLevel) {
  Start(kServers);
  auto* bar = form_->findChild<QMenuBar*>(QStringLiteral("MainMenu1"));
  auto menuShown = [&](const char* name) {
    return form_->findChild<QMenu*>(QString::fromLatin1(name))->menuAction()->isVisible();
  };
  const char* const entries[] = {"GroupEdit1",         "GroupDelete1",     "ServerAdd1",
                                 "ServerEdit1",        "ServerDelete1",    "ViewLogfile1",
                                 "ViewLogfileErrors1", "MonitorAdd1",      "MonitorEdit1",
                                 "MonitorDelete1",     "ViewRequestTimes1"};
  auto enabled = [&] {
    std::string s;
    for (const char* e : entries) s += Action(e)->isEnabled() ? '1' : '0';
    return s;
  };
  ASSERT_NE(bar, nullptr);
  // The first row is selected from the start: its commands work at once.
  EXPECT_EQ(form_->SelectedNode(), Node("web"));
  EXPECT_TRUE(menuShown("Group1") && menuShown("Server1") && menuShown("Monitor1"));
  EXPECT_EQ(enabled(), "11100000000");
  Select("web/www");
  EXPECT_EQ(enabled(), "00011111000");
  Select("web/www/ssh");
  EXPECT_EQ(enabled(), "00000000111");
  EXPECT_TRUE(menuShown("Group1") && menuShown("Server1") && menuShown("Monitor1"));
  form_->findChild<QTreeView*>(QStringLiteral("TreeView1"))->clearSelection();
  EXPECT_FALSE(menuShown("Group1") || menuShown("Server1") || menuShown("Monitor1"));

  // The menus' mnemonics, and the hidden entries.
  QStringList titles;
  for (QAction* a : bar->actions()) titles << a->text();
  EXPECT_EQ(titles, (QStringList{"&File", "&Group", "&Server", "&Monitor", "&Options", "&Help"}));
  EXPECT_FALSE(Action("Scan1")->isVisible());
  EXPECT_FALSE(Action("Toolbar1")->isVisible());
  EXPECT_FALSE(
      form_->findChild<QMenu*>(QStringLiteral("ScreenLoglevel1"))->menuAction()->isVisible());
  QStringList file;
  for (QAction* a : form_->findChild<QMenu*>(QStringLiteral("File1"))->actions())
    file << (a->isSeparator() ? QStringLiteral("-") : a->text());
  EXPECT_EQ(file, (QStringList{"&New", "-", "&Open...", "&Save", "Save &as...", "-", "&Dump logs",
                               "-", "E&xit"}));
}

TEST_F(MainWindowTest, PopupEntriesFollowTheLevelAndARightPressSelectsFirst) {
  Start(kServers);
  QMenu* popup = form_->PopupMenu();
  auto visible = [&] {
    std::string s;
    for (QAction* a : popup->actions()) s += a->isVisible() ? '1' : '0';
    return s;
  };
  // Order: Add/Edit/Delete Group, Add/Edit/Delete Server, Add/Edit/Delete Monitor, the
  // separator, Toolwindow, View Logfile..., View Logfile (errors only)..., View Request
  // Times..., a separator, Maintenance..., End maintenance (on groups and servers).
  QStringList texts;
  for (QAction* a : popup->actions()) texts << a->text();
  EXPECT_EQ(texts,
            (QStringList{"Add &Group...", "&Edit Group...", "&Delete Group", "&Add Server...",
                         "Edit &Server...", "Delete Se&rver", "Add &Monitor...", "Edit M&onitor...",
                         "Delete Moni&tor", "", "Tool&window", "&View Logfile...",
                         "View &Logfile (errors only)...", "View Request T&imes...", "",
                         "Maintenan&ce...", "E&nd maintenance"}));
  auto* tree = form_->findChild<QTreeView*>(QStringLiteral("TreeView1"));
  tree->clearSelection();
  form_->PreparePopup();  // first opening, nothing selected
  EXPECT_EQ(visible(), "11111111100111111");
  Select("web");
  form_->PreparePopup();
  EXPECT_EQ(visible(), "01110000000000111");
  Select("web/www");
  form_->PreparePopup();
  EXPECT_EQ(visible(), "00001110000110111");
  tree->clearSelection();
  form_->PreparePopup();  // nothing selected: as the last opening
  EXPECT_EQ(visible(), "00001110000110111");

  // A right press on a monitor selects it, and the menu opens for a monitor.
  TreeNode* ssh = Node("web/www/ssh");
  const QPoint at = tree->visualRect(form_->ViewIndex(ssh)).center();
  QContextMenuEvent press(QContextMenuEvent::Mouse, at, tree->viewport()->mapToGlobal(at));
  QCoreApplication::sendEvent(tree->viewport(), &press);
  EXPECT_EQ(form_->SelectedNode(), ssh);
  EXPECT_TRUE(popup->isVisible());
  EXPECT_EQ(visible(), "00000001100001000");
  popup->close();
  // The keyboard: Shift+F10 opens it at the selected node.
  tree->setFocus();
  QTest::keyClick(tree, Qt::Key_F10, Qt::ShiftModifier);
  EXPECT_TRUE(popup->isVisible());
  popup->close();
  // And the Menu key.
  QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(0, 0),
                            tree->mapToGlobal(QPoint(0, 0)));
  QCoreApplication::sendEvent(tree, &menuKey);
  EXPECT_TRUE(popup->isVisible());
  EXPECT_EQ(form_->SelectedNode(), ssh);
  popup->close();
  QTest::keyClick(tree, Qt::Key_Up);
  EXPECT_EQ(form_->SelectedNode(), Node("web/www/http"));
}

TEST_F(MainWindowTest, DeletingAsksFirstAndTheNextSaveHasNoTraceOfIt) {
  Start(kServers);
  Select("web/www/ssh");
  ModalAnswers::QueueButton(QMessageBox::No);
  Trigger("MonitorDelete1");
  EXPECT_EQ(ServerAt(0)->ports.Count(), 2);
  ModalAnswers::QueueButton(QMessageBox::Yes);
  Trigger("MonitorDelete1");
  EXPECT_EQ(ServerAt(0)->ports.Count(), 1);
  EXPECT_EQ(Node("web/www/ssh"), nullptr);

  Select("web/bare");
  ModalAnswers::QueueButton(QMessageBox::Yes);
  Trigger("ServerDelete1");
  Select("Main");
  ModalAnswers::QueueButton(QMessageBox::No);
  Trigger("GroupDelete1");
  EXPECT_EQ(program_->serverList.Count(), 2);
  ModalAnswers::QueueButton(QMessageBox::Yes);
  Trigger("GroupDelete1");
  EXPECT_EQ(program_->serverList.Count(), 1);
  EXPECT_EQ(form_->GroupCount(), 1);
  EXPECT_EQ(
      ModalAnswers::Asked(),
      (QStringList{"Are you sure to delete Monitor \"ssh (port:22, 3600s)\" of server \"www\" ?",
                   "Are you sure to delete Monitor \"ssh (port:22, 3600s)\" of server \"www\" ?",
                   "Are you sure to delete server \"bare\" ?",
                   "Are you sure to delete group \"Main\" ?",
                   "Are you sure to delete group \"Main\" ?"}));

  Trigger("Save1");
  const std::string saved = ReadFile(serverFile_);
  EXPECT_NE(saved.find("[www]"), std::string::npos);
  EXPECT_NE(saved.find("[www:http]"), std::string::npos);
  for (const char* gone : {"[www:ssh]", "[bare]", "[db]", "[db:pg]"})
    EXPECT_EQ(saved.find(gone), std::string::npos) << gone;
  EXPECT_TRUE(errors_.empty());
}

// The editor dialog opens modally on the new item; it is cancelled as soon as it is up.
void CancelTheEditor() {
  QTimer::singleShot(0, [] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
  });
}

// The editor dialog confirmed as soon as it is up.
void ConfirmTheEditor(const std::function<void()>& whileOpen = {}) {
  QTimer::singleShot(0, [whileOpen] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    if (whileOpen) whileOpen();
    dialog->accept();
  });
}

TEST_F(MainWindowTest, AddingPutsANewServerOrMonitorUnderTheSelectionAndSelectsIt) {
  Start(kServers);
  Select("Main");
  ConfirmTheEditor();
  Trigger("ServerAdd1");
  ASSERT_EQ(program_->serverList.Count(), 4);
  EXPECT_EQ(ServerAt(3)->name, "new");
  EXPECT_EQ(ServerAt(3)->group, "Main");
  EXPECT_EQ(form_->SelectedNode(), Node("Main/new"));
  ConfirmTheEditor();
  Trigger("MonitorAdd1");
  ASSERT_EQ(ServerAt(3)->ports.Count(), 1);
  EXPECT_EQ(MonitorAt(3, 0)->name, "port");
  EXPECT_EQ(form_->SelectedNode(), Node("Main/new/port"));
  EXPECT_EQ(Node("Main/new/port")->Text(), "port (port:80, 60s)");
  // Another "new" server would be merged with the first in the file: it is "new_2".
  Select("web");
  ConfirmTheEditor();
  Trigger("ServerAdd1");
  EXPECT_EQ(ServerAt(4)->name, "new_2");
  EXPECT_EQ(ServerAt(4)->group, "web");
}

// Cancel in the editor of a node that Add just made takes the node away again, and a new
// monitor is not checked while its editor is still open.
TEST_F(MainWindowTest, ACancelledAddLeavesNothingAndANewMonitorWaitsForItsOK) {
  Start("[a]\r\nIP=127.0.0.1\r\nLogfile=a.log\r\nGroup=g\r\n");
  const std::vector<std::string> before = Snapshot(*form_);
  // Nothing selected: the new server goes to a group "Main" that the Add makes too.
  CancelTheEditor();
  Trigger("ServerAdd1");
  EXPECT_EQ(program_->serverList.Count(), 1);
  EXPECT_EQ(Snapshot(*form_), before);
  Select("g");
  CancelTheEditor();
  Trigger("ServerAdd1");
  EXPECT_EQ(program_->serverList.Count(), 1);
  EXPECT_EQ(Snapshot(*form_), before);
  Select("g/a");
  CancelTheEditor();
  Trigger("MonitorAdd1");
  EXPECT_EQ(ServerAt(0)->ports.Count(), 0);
  EXPECT_EQ(Snapshot(*form_), before);
  EXPECT_EQ(form_->SelectedNode(), Node("g/a"));

  // Scanning runs; a pass while the new monitor's editor is open leaves it alone, and the
  // first pass after its OK checks it.
  Trigger("ToolButton2");
  ASSERT_TRUE(program_->ScanningActive());
  Scanner& scan = program_->scanner;
  ConfirmTheEditor([&] {
    ASSERT_EQ(ServerAt(0)->ports.Count(), 1);
    ASSERT_TRUE(ServeUntil([&] { return !scan.PassRunning(); }));
    scan.Execute();
    ASSERT_TRUE(ServeUntil([&] { return !scan.PassRunning(); }));
    EXPECT_EQ(MonitorAt(0, 0)->lastCheck, 0) << "checked before the editor's OK";
  });
  Trigger("MonitorAdd1");
  ASSERT_EQ(ServerAt(0)->ports.Count(), 1);
  ASSERT_TRUE(ServeUntil([&] { return !scan.PassRunning(); }));
  scan.Execute();
  EXPECT_TRUE(ServeUntil([&] { return MonitorAt(0, 0)->lastCheck != 0; }));
  Trigger("ToolButton3");

  // The file holds the confirmed monitor and nothing of the cancelled adds.
  Trigger("Save1");
  const std::string saved = ReadFile(serverFile_);
  EXPECT_NE(saved.find("[a:port]"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("[new"), std::string::npos) << saved;
}

TEST_F(MainWindowTest, ScanButtonsAndStopScanTurnEveryLightGrey) {
  sentrel::test::LoopbackServer peer(
      [](const std::string&) { return sentrel::test::LoopbackServer::Reply::Bytes(""); });
  const std::string port = std::to_string(peer.Port());
  Start("[a]\r\nIP=127.0.0.1\r\nLogfile=a.log\r\n[a:p]\r\nTyp=port\r\nPort=" + port +
        "\r\nintervall=3600\r\n[b]\r\nIP=127.0.0.1\r\nLogfile=b.log\r\nGroup=g\r\n[b:p]\r\nTyp="
        "port\r\nPort=" +
        port + "\r\nintervall=3600\r\n");
  EXPECT_TRUE(Action("ToolButton2")->isEnabled());
  EXPECT_FALSE(Action("ToolButton3")->isEnabled());
  // Start Scan starts a pass at once: both monitors are due (the file was just loaded, and
  // Scan Now makes every monitor due).
  Trigger("ToolButton5");  // Scan Now with scanning off only resets the times
  EXPECT_EQ(MonitorAt(0, 0)->status, "");
  Trigger("ToolButton2");
  ASSERT_TRUE(ServeUntil(
      [&] { return !program_->scanner.PassRunning() && program_->scanner.ChecksRunning() == 0; }));
  EXPECT_EQ(MonitorAt(0, 0)->status, "green");
  EXPECT_EQ(MonitorAt(1, 0)->status, "green");
  EXPECT_EQ(Node("Main")->image(), kImageGreen);
  EXPECT_FALSE(Action("ToolButton2")->isEnabled());
  EXPECT_TRUE(Action("ToolButton3")->isEnabled());
  EXPECT_TRUE(Action("Scan1")->isChecked());
  Trigger("ToolButton3");
  EXPECT_EQ(MonitorAt(0, 0)->status, "?");
  for (const std::string& line : Snapshot(*form_))
    EXPECT_NE(line.find("|1|"), std::string::npos) << line;
  EXPECT_TRUE(Action("ToolButton2")->isEnabled());
  EXPECT_FALSE(Action("Scan1")->isChecked());
  EXPECT_EQ(form_->StatusPanelText(0), "All Servers done, idle");
  // The label takes the last text when the loop runs, or at once when asked to paint.
  auto* label = form_->findChild<QLabel*>(QStringLiteral("StatusPanel0"));
  EXPECT_TRUE(ServeUntil([&] { return label->text() == "All Servers done, idle"; }, 1000));
  form_->SetStatusPanel(0, QStringLiteral("Reading www.log"));
  EXPECT_NE(label->text(), "Reading www.log");
  form_->PaintStatusPanels();
  EXPECT_EQ(label->text(), "Reading www.log");
}

TEST_F(MainWindowTest, TheWebServerButtonFollowsTheServer) {
  Start();
  EXPECT_EQ(form_->StatusPanelText(1), "Sentrel-Webserver disabled");
  EXPECT_EQ(Action("ToolButton7")->text(), "Start Webserver");
  Trigger("ToolButton7");
  EXPECT_TRUE(program_->webServer.Listening());
  EXPECT_TRUE(Action("ToolButton7")->isChecked());
  EXPECT_EQ(Action("ToolButton7")->text(), "Stop Webserver");
  EXPECT_NE(form_->StatusPanelText(1).indexOf(QString::number(webPort_)), -1);
  Trigger("ToolButton7");
  EXPECT_FALSE(program_->webServer.Listening());
  EXPECT_EQ(Action("ToolButton7")->text(), "Start Webserver");
  EXPECT_EQ(form_->StatusPanelText(1), "Sentrel-Webserver is offline");
}

TEST_F(MainWindowTest, ViewCommandsShowAndHideTheirParts) {
  Start();
  auto* panel = form_->findChild<QWidget*>(QStringLiteral("Panel2"));
  auto* tree = form_->findChild<QTreeView*>(QStringLiteral("TreeView1"));
  auto* splitter = form_->findChild<QSplitter*>(QStringLiteral("Splitter1"));
  // At least 193 pixels for the text, and room for the columns beside it, up to three
  // fifths of the window.
  EXPECT_GT(tree->width(), 193);
  EXPECT_LE(tree->width(), form_->width() * 3 / 5);
  // A tree made wider by hand, so the window without the logs is wider than its least.
  splitter->setSizes({400, form_->width() - 400 - splitter->handleWidth()});
  const int width = form_->width();
  const int panelWidth = panel->width();
  Trigger("Showlogs1");
  EXPECT_TRUE(panel->isHidden());
  EXPECT_FALSE(Action("Showlogs1")->isChecked());
  EXPECT_EQ(form_->width(), width - panelWidth - splitter->handleWidth());
  EXPECT_TRUE(ServeUntil([&] { return tree->width() == form_->width(); }, 1000));
  Trigger("Showlogs1");
  EXPECT_FALSE(panel->isHidden());
  EXPECT_TRUE(Action("Showlogs1")->isChecked());
  EXPECT_EQ(form_->width(), width);
  EXPECT_TRUE(
      ServeUntil([&] { return tree->width() == 400 && panel->width() == panelWidth; }, 1000));

  Trigger("Statusbar1");
  EXPECT_TRUE(form_->findChild<QStatusBar*>(QStringLiteral("StatusBar1"))->isHidden());
  EXPECT_FALSE(Action("Statusbar1")->isChecked());
  form_->Toolbar1Click();  // a hidden entry: only a stored setting reaches it
  EXPECT_TRUE(form_->findChild<QToolBar*>(QStringLiteral("ToolBar1"))->isHidden());
  Trigger("Alwaysontop1");
  EXPECT_TRUE(form_->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(form_->isVisible());
  Trigger("StartScanonStartup1");
  Trigger("StartWebserveronStartup1");

  // The marks are what the next start finds.
  ModalAnswers::QueueFile(QString());
  form_->close();
  ASSERT_TRUE(form_->IsClosed());
  SettingsStore written(settingsPath_);
  written.Load();
  EXPECT_EQ(written.ReadNumber("Options", "Show logs", -1), 1);
  EXPECT_EQ(written.ReadNumber("Options", "Statusbar", -1), 0);
  EXPECT_EQ(written.ReadNumber("Options", "toolbar", -1), 0);
  EXPECT_EQ(written.ReadNumber("Options", "Alwaysontop", -1), 1);
  EXPECT_EQ(written.ReadNumber("Options", "AutoStart", -1), 1);
  EXPECT_EQ(written.ReadNumber("Options", "AutoStartWeb", -1), 1);
}

TEST_F(MainWindowTest, StoredViewSettingsTakeEffectAtStart) {
  Settings("[Corvane]\r\nShow logs=0\r\ntoolbar=0\r\nStatusbar=0\r\n");
  Start();
  auto* tree = form_->findChild<QTreeView*>(QStringLiteral("TreeView1"));
  EXPECT_TRUE(form_->findChild<QWidget*>(QStringLiteral("Panel2"))->isHidden());
  EXPECT_FALSE(Action("Showlogs1")->isChecked());
  EXPECT_FALSE(Action("Toolbar1")->isChecked());
  EXPECT_FALSE(Action("Statusbar1")->isChecked());
  EXPECT_TRUE(ServeUntil([&] { return tree->width() == form_->centralWidget()->width(); }, 1000));
}

TEST_F(MainWindowTest, FirstStartThenCloseAsksWhereToSave) {
  Start();
  EXPECT_EQ(form_->StatusPanelText(1), "Sentrel-Webserver disabled");
  EXPECT_EQ(Snapshot(*form_),
            (std::vector<std::string>{"0|Main|1|+|not checked", "  1|localhost|1|+|not checked",
                                      "    2|ping (ping:80, 60s)|1|-|not checked"}));
  EXPECT_FALSE(form_->findChild<QWidget*>(QStringLiteral("Panel2"))->isHidden());
  auto* messages = form_->findChild<QPlainTextEdit*>(QStringLiteral("Memo2"));
  EXPECT_TRUE(messages->toPlainText().endsWith(" Sentrel 2.2 started"));

  // No server file yet: closing asks for one; Cancel leaves the configuration unsaved
  // and the window still closes, with the settings written.
  ModalAnswers::QueueFile(QString());
  form_->close();
  EXPECT_TRUE(form_->IsClosed());
  EXPECT_EQ(ModalAnswers::Asked(), QStringList{"Save as"});
  EXPECT_EQ(ReadFile(settingsPath_).find("config=\r\n") != std::string::npos, true);
  Stop();

  // Again, this time with a name: it is saved, and the next start loads it.
  Start();
  const std::string path = dir_->File("mine.mcf");
  ModalAnswers::QueueFile(QString::fromStdString(path));
  form_->close();
  EXPECT_TRUE(form_->IsClosed());
  EXPECT_NE(ReadFile(path).find("[localhost]"), std::string::npos);
  Stop();
  Start();
  EXPECT_EQ(program_->configFile, path);
}

// A server file that is no INI text (JSON here) is said in the pane, and the close asks
// for a name instead of writing the empty configuration over it.
TEST_F(MainWindowTest, AFileThatHoldsNoServerIsLeftByteForByteAtClose) {
  const std::string json = "{\n  \"servers\": [ {\"name\": \"web1\"} ]\n}\n";
  Start(json);
  auto* messages = form_->findChild<QPlainTextEdit*>(QStringLiteral("Memo2"));
  EXPECT_TRUE(messages->toPlainText().contains("holds no server"));
  ModalAnswers::QueueFile(QString());
  form_->close();
  EXPECT_TRUE(form_->IsClosed());
  EXPECT_EQ(ModalAnswers::Asked(), QStringList{"Save as"});
  EXPECT_EQ(ReadFile(serverFile_), json);
  EXPECT_FALSE(FileExists(dir_->File("servers.bak")));
}

// The last server file used was deleted: the pane says that it is gone, and the close
// does not write an empty file under its name.
TEST_F(MainWindowTest, AServerFileThatIsGoneIsSaidAndNotMadeAgainAtClose) {
  const std::string gone = dir_->File("gone.mcf");
  Settings("[Corvane]\r\nconfig=" + gone + "\r\n");
  Start();
  auto* messages = form_->findChild<QPlainTextEdit*>(QStringLiteral("Memo2"));
  EXPECT_TRUE(messages->toPlainText().contains(
      QString::fromStdString("Server file " + gone + " is gone (deleted or moved)")))
      << messages->toPlainText().toStdString();
  form_->close();
  EXPECT_TRUE(form_->IsClosed());
  EXPECT_TRUE(ModalAnswers::Asked().isEmpty());
  EXPECT_FALSE(FileExists(gone));
  EXPECT_NE(ReadFile(settingsPath_).find("config=" + gone), std::string::npos);
}

// The tray light shows the tree's highest light and counts, and its menu acts on the
// window as the tool bar and the close box do.
TEST_F(MainWindowTest, TheTrayLightFollowsTheTreeAndItsMenuDrivesTheWindow) {
  Start(kServers);
  TrayLight* tray = form_->Tray();
  ASSERT_NE(tray, nullptr);
  EXPECT_EQ(tray->CurrentLight(), Light::Grey);
  EXPECT_EQ(tray->CurrentToolTip(), TrayToolTip({.grey = 3}));
  program_->scanner.PortVerdict(*MonitorAt(0, 1), true, 3);
  EXPECT_EQ(tray->CurrentLight(), Light::Green);
  program_->scanner.PortVerdict(*MonitorAt(2, 0), false, 10000);
  program_->scanner.PortVerdict(*MonitorAt(2, 0), false, 10000);
  EXPECT_EQ(tray->CurrentLight(), Light::Red);
  EXPECT_EQ(tray->CurrentToolTip(), TrayToolTip({.grey = 1, .green = 1, .red = 1}));

  EXPECT_TRUE(tray->StartScanAction()->isEnabled());
  EXPECT_FALSE(tray->StopScanAction()->isEnabled());
  // Scanning starts from the tray as from the tool bar (nothing is due yet, so the pass
  // checks nothing); a stop makes every light grey.
  tray->StartScanAction()->trigger();
  EXPECT_TRUE(program_->ScanningActive());
  EXPECT_FALSE(tray->StartScanAction()->isEnabled());
  EXPECT_FALSE(Action("ToolButton2")->isEnabled());
  tray->StopScanAction()->trigger();
  EXPECT_FALSE(program_->ScanningActive());
  EXPECT_EQ(tray->CurrentLight(), Light::Grey);
  EXPECT_TRUE(tray->StartScanAction()->isEnabled());

  form_->hide();
  tray->ShowAction()->trigger();
  EXPECT_TRUE(form_->isVisible());
  // Exit closes as the window's close does: the server file is saved.
  tray->ExitAction()->trigger();
  EXPECT_TRUE(ServeUntil([&] { return form_->IsClosed(); }));
  EXPECT_NE(ReadFile(serverFile_).find("[www]"), std::string::npos);
}

TEST_F(MainWindowTest, AFailedSaveIsShownAndKeepsTheWindowOpen) {
  Start(kServers);
  // The server file's folder turns into a plain file: nothing can be written there.
  const std::string blocker = dir_->File("blocked");
  WriteFile(blocker, "");
  program_->configFile = blocker + "/servers.mcf";
  ModalAnswers::ClearAsked();
  Trigger("Save1");
  const QString expected =
      QStringLiteral("Unable to write to ") + QString::fromStdString(program_->configFile);
  ASSERT_EQ(ModalAnswers::Asked().size(), 1);
  EXPECT_TRUE(ModalAnswers::Asked().first().startsWith(expected))
      << ModalAnswers::Asked().first().toStdString();
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(QString::fromStdString(errors_[0]), ModalAnswers::Asked().first());

  // Closing: the same message with the question what to do; Cancel keeps the window, and
  // the settings are not written.
  const std::string settingsBefore = ReadFile(settingsPath_);
  ModalAnswers::QueueButton(QMessageBox::Cancel);
  form_->close();
  EXPECT_FALSE(form_->IsClosed());
  EXPECT_TRUE(form_->isVisible());
  EXPECT_EQ(ModalAnswers::Asked().size(), 2);
  EXPECT_EQ(ReadFile(settingsPath_).find("[Options]"), std::string::npos);
  (void)settingsBefore;
  // Once the file can be written again, the window closes.
  program_->configFile = serverFile_;
  form_->close();
  EXPECT_TRUE(form_->IsClosed());
}

TEST_F(MainWindowTest, FileCommandsNewOpenAndSaveAs) {
  Start(kServers);
  const std::string other = dir_->File("other.mcf");
  WriteFile(other, "[x]\r\nGroup=g\r\n[x:m]\r\nTyp=ping\r\n");
  ModalAnswers::QueueFile(QString::fromStdString(other));
  Trigger("Open1");
  EXPECT_EQ(program_->configFile, other);
  EXPECT_EQ(Snapshot(*form_),
            (std::vector<std::string>{"0|g|1|+|not checked", "  1|x|1|+|not checked",
                                      "    2|m (ping:0, 10s)|1|-|not checked"}));
  EXPECT_NE(ReadFile(settingsPath_).find("config=" + other), std::string::npos);

  const std::string copy = dir_->File("copy.mcf");
  ModalAnswers::QueueFile(QString::fromStdString(copy));
  Trigger("Saveas1");
  EXPECT_EQ(program_->configFile, copy);
  EXPECT_NE(ReadFile(copy).find("[x:m]"), std::string::npos);
  EXPECT_NE(ReadFile(settingsPath_).find("config=" + copy), std::string::npos);

  // Before start-up is done, Save as does nothing.
  form_->startupDone = false;
  Trigger("Saveas1");
  EXPECT_EQ(ModalAnswers::Asked(), (QStringList{"Open", "Save as"}));
  EXPECT_EQ(ModalAnswers::FileFilters(),
            (QStringList{"Sentrel configuration (*.mcf)", "Sentrel configuration (*.mcf)"}));
  form_->startupDone = true;

  // New: an empty configuration without a file. Changes not saved are asked about first:
  // Cancel keeps everything, Save writes them, Don't save drops them.
  ServerAt(0)->location = "moved";
  ModalAnswers::ClearAsked();
  ModalAnswers::QueueButton(QMessageBox::Cancel);
  Trigger("New1");
  EXPECT_EQ(program_->configFile, copy);
  ModalAnswers::QueueButton(QMessageBox::Save);
  Trigger("New1");
  EXPECT_NE(ReadFile(copy).find("Location=moved"), std::string::npos);
  EXPECT_EQ(program_->serverList.Count(), 0);
  EXPECT_TRUE(program_->configFile.empty());
  EXPECT_TRUE(Snapshot(*form_).empty());
  ASSERT_EQ(ModalAnswers::Asked().size(), 2);
  EXPECT_TRUE(ModalAnswers::Asked()[0].startsWith("The configuration copy.mcf has changes"));
  // The first Save of the new configuration asks for a name.
  const std::string fresh = dir_->File("fresh.mcf");
  program_->serverList.Add("db");
  ModalAnswers::QueueFile(QString::fromStdString(fresh));
  Trigger("Save1");
  EXPECT_EQ(program_->configFile, fresh);
  EXPECT_NE(ReadFile(fresh).find("[db]"), std::string::npos);
  // Open over changes not saved asks too; Don't save drops them.
  program_->serverList.Add("scratch");
  ModalAnswers::QueueButton(QMessageBox::Discard);
  ModalAnswers::QueueFile(QString::fromStdString(other));
  Trigger("Open1");
  EXPECT_EQ(program_->configFile, other);
  EXPECT_EQ(ReadFile(fresh).find("[scratch]"), std::string::npos);
}

TEST_F(MainWindowTest, PanesMirrorTheCorePanes) {
  Start();
  auto* activity = form_->findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
  for (int i = 0; i < 1005; ++i) program_->activityPane.AddLine("line " + std::to_string(i));
  EXPECT_EQ(activity->blockCount(), 1001);
  EXPECT_EQ(activity->document()->firstBlock().text(), "line 4");
  EXPECT_EQ(activity->document()->lastBlock().text(), "line 1004");
  // A line wider than the pane leaves the start of the lines (their times) in view.
  program_->activityPane.AddLine(std::string(400, 'w'));
  QTest::qWait(50);
  EXPECT_GT(activity->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(activity->horizontalScrollBar()->value(), 0);
  program_->activityPane.Clear();
  EXPECT_EQ(activity->toPlainText(), "");
  // Dark red messages.
  auto* messages = form_->findChild<QPlainTextEdit*>(QStringLiteral("Memo2"));
  EXPECT_EQ(messages->palette().color(QPalette::Text), QColor(128, 0, 0));
  EXPECT_EQ(messages->height(), 145);
}

TEST_F(MainWindowTest, LinesFromBeforeTheWindowIsShownLeaveTheirTimesInView) {
  // The first pass runs before the window appears; its long lines must not leave the
  // pane scrolled to their ends.
  settings_->Load();
  frontend_ = std::make_unique<QtFrontend>();
  program_ = std::make_unique<Program>(*frontend_, *settings_);
  form_ = std::make_unique<MainWindow>(*program_, *frontend_, *loop_);
  StartOptions options;
  options.webPorts = {webPort_};
  form_->Create(options);
  for (int i = 0; i < 30; ++i)
    program_->activityPane.AddLine(std::to_string(i) + std::string(300, 'w'));
  form_->show();
  auto* activity = form_->findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
  QTest::qWait(50);
  EXPECT_GT(activity->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(activity->horizontalScrollBar()->value(), 0);
  EXPECT_EQ(activity->verticalScrollBar()->value(), activity->verticalScrollBar()->maximum());
}

TEST_F(MainWindowTest, PlacementIsKeptAndRestoredUnderItsRules) {
  Start(kServers);
  form_->setGeometry(100, 120, 640, 400);
  ASSERT_TRUE(ServeUntil([&] { return form_->geometry() == QRect(100, 120, 640, 400); }, 1000));
  form_->close();
  ASSERT_TRUE(form_->IsClosed());
  Stop();
  SettingsStore written(settingsPath_);
  written.Load();
  const QSize screen = QGuiApplication::primaryScreen()->size();
  const std::string suffix =
      "(" + std::to_string(screen.width()) + "x" + std::to_string(screen.height()) + ")";
  EXPECT_EQ(written.ReadText("Window", "NormPos", ""), "100,120,740,520");
  EXPECT_EQ(written.ReadText("Window", "NormPos" + suffix, ""), "100,120,740,520");
  EXPECT_EQ(written.ReadText("Window", "ShowCmd", ""), "1");
  EXPECT_EQ(written.ReadText("Window", "FormVersion", ""), "2");
  EXPECT_EQ(written.ReadText("Window", "Visible", ""), "1");
  const std::string ppi = written.ReadText("Window", "PixelsPerInch", "");
  EXPECT_EQ(ppi,
            std::to_string(std::lround(QGuiApplication::primaryScreen()->logicalDotsPerInchY())));
  EXPECT_EQ(written.ReadNumber("Options", "Winleft", 0), 100);
  EXPECT_EQ(written.ReadNumber("Options", "Winwidth", 0), 640);

  // The next start puts the window back.
  Start(kServers);
  EXPECT_EQ(form_->geometry(), QRect(100, 120, 640, 400));
  Stop();

  // Another resolution: the size is not taken over, the state is.
  for (const std::string& s : {std::string(), suffix}) {
    written.WriteText("Window", "PixelsPerInch" + s, "1");
    written.WriteText("Window", "ShowCmd" + s, "3");
  }
  written.Save();
  Start(kServers);
  EXPECT_NE(form_->geometry(), QRect(100, 120, 640, 400));
  EXPECT_TRUE(form_->isMaximized());
  Stop();

  // A placement older than form version 2 is not used at all.
  WriteFile(settingsPath_, "[Window]\r\nFormVersion=1\r\nNormPos=100,120,740,520\r\nShowCmd=3\r\n");
  Start(kServers);
  EXPECT_NE(form_->geometry(), QRect(100, 120, 640, 400));
  EXPECT_FALSE(form_->isMaximized());
}

// A placement stored at a larger scale (or on a larger screen) comes back inside the
// screen's free area, status bar and all.
TEST_F(MainWindowTest, APlacementLargerThanTheScreenIsFittedToIt) {
  QScreen* screen = QGuiApplication::primaryScreen();
  const QRect area = screen->availableGeometry();
  const std::string ppi = std::to_string(std::lround(screen->logicalDotsPerInchY()));
  Settings("[Window]\r\nFormVersion=2\r\nPixelsPerInch=" + ppi +
           "\r\nShowCmd=1\r\nNormPos=" + std::to_string(area.width() / 2) + ",40," +
           std::to_string(area.width() * 2) + "," + std::to_string(area.height() * 2) + "\r\n");
  Start(kServers);
  const QRect frame = form_->frameGeometry();
  EXPECT_TRUE(area.contains(frame))
      << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height();
  // As large as the screen allows, less the window's frame.
  EXPECT_GE(form_->width(), area.width() - 20);
  EXPECT_GE(form_->height(), area.height() - 40);
  Stop();

  // One that fits is left as it was.
  Settings("[Window]\r\nFormVersion=2\r\nPixelsPerInch=" + ppi +
           "\r\nShowCmd=1\r\nNormPos=10,20,510,420\r\n");
  Start(kServers);
  EXPECT_EQ(form_->geometry(), QRect(10, 20, 500, 400));
  EXPECT_FALSE(KeepFrameOnScreen(*form_));

  // Once shown, a window the window system framed beyond the screen's top left is brought
  // back whole, its title bar first (the window manager check shows it with a real frame).
  form_->setGeometry(QRect(area.left() - 50, area.top() - 30, area.width() + 100, 300));
  EXPECT_TRUE(KeepFrameOnScreen(*form_));
  EXPECT_TRUE(area.contains(form_->frameGeometry()));
  EXPECT_EQ(form_->frameGeometry().topLeft(), area.topLeft());
}

TEST_F(MainWindowTest, TheSplashClosesItselfOrOnAClick) {
  SplashWindow splash;
  splash.SetVersion(QStringLiteral("Version 2.2"));
  splash.MakeSplash(150);
  EXPECT_FALSE(splash.findChild<QPushButton*>(QStringLiteral("OKButton"))->isVisibleTo(&splash));
  EXPECT_FALSE(
      splash.findChild<QPushButton*>(QStringLiteral("HomepageButton"))->isVisibleTo(&splash));
  QElapsedTimer t;
  t.start();
  splash.exec();
  EXPECT_GE(t.elapsed(), 140);
  EXPECT_LT(t.elapsed(), 2000);

  SplashWindow clicked;
  clicked.MakeSplash(60000);
  QTimer::singleShot(50, [&] { QTest::mouseClick(&clicked, Qt::LeftButton, {}, QPoint(5, 5)); });
  t.restart();
  clicked.exec();
  EXPECT_LT(t.elapsed(), 2000);
}

TEST_F(MainWindowTest, EveryControlHasANameForAScreenReader) {
  Start(kServers);
  for (QWidget* w : form_->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(form_.get()) || w->focusPolicy() == Qt::NoFocus) continue;
    const QString kind = QString::fromLatin1(w->metaObject()->className());
    if (qobject_cast<QScrollBar*>(w) || w->objectName() == "qt_scrollarea_viewport" ||
        kind == "QToolBarSeparator")
      continue;
    EXPECT_FALSE(w->accessibleName().isEmpty())
        << w->metaObject()->className() << " " << w->objectName().toStdString();
  }
  for (QAction* a : form_->findChildren<QAction*>())
    if (!a->isSeparator() && a->isVisible() && !a->objectName().isEmpty()) {
      EXPECT_FALSE(a->text().isEmpty()) << a->objectName().toStdString();
    }
  // The tool bar's buttons are reached with Tab.
  auto* bar = form_->findChild<QToolBar*>(QStringLiteral("ToolBar1"));
  EXPECT_EQ(bar->widgetForAction(Action("ToolButton5"))->focusPolicy(), Qt::TabFocus);
}

TEST_F(MainWindowTest, HelpAndAboutOpenTheManualAndTheSplashBox) {
  Start();
  Trigger("Content1");
  ASSERT_EQ(opened_.size(), 1);
  EXPECT_TRUE(opened_[0].isLocalFile());
  EXPECT_TRUE(QFileInfo::exists(opened_[0].toLocalFile()));

  bool checked = false;
  QTimer::singleShot(0, [&] {
    auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(about, nullptr);
    auto* version = about->findChild<QLabel*>(QStringLiteral("Version"));
    EXPECT_EQ(version->text(), "Version 2.2");
    auto* ok = about->findChild<QPushButton*>(QStringLiteral("OKButton"));
    auto* home = about->findChild<QPushButton*>(QStringLiteral("HomepageButton"));
    EXPECT_TRUE(ok->isVisible());
    EXPECT_TRUE(home->isVisible());
    home->click();
    QTest::mouseClick(about, Qt::LeftButton);  // a click anywhere closes it
    checked = true;
  });
  Trigger("About1");
  EXPECT_TRUE(checked);
  EXPECT_EQ(opened_.size(), 2);

  // No program could show the manual: a message says so, with the manual's path.
  openerWorks_ = false;
  ModalAnswers::ClearAsked();
  Trigger("Content1");
  ASSERT_EQ(ModalAnswers::Asked().size(), 1);
  EXPECT_TRUE(ModalAnswers::Asked()[0].startsWith("The user manual could not be opened"));
  EXPECT_TRUE(ModalAnswers::Asked()[0].contains(opened_.last().toLocalFile()))
      << ModalAnswers::Asked()[0].toStdString();
}
}  // namespace
}  // namespace sentrel::gui::test
