// The main window by keyboard: mnemonics in every menu, the usual shortcuts, Enter and
// F2 to edit, Delete to delete, and a menu bar that stays whole however narrow the window.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QTimer>
#include <QMenuBar>
#include <QSplitter>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <map>

#include "gui/desktop_dialogs.h"
#include "gui/event_editor_dialog.h"
#include "gui/modal_answers.h"
#include "gui/monitor_editor_dialog.h"
#include "modal_windows.h"
#include "platform/file_util.h"
#include "qt_printers.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

const char* const kServers =
    "[www]\r\nIP=127.0.0.1\r\nLogfile=www.log\r\nGroup=web\r\n"
    "[www:ssh]\r\nTyp=port\r\nPort=22\r\nintervall=3600\r\n";

class Keyboard : public WindowFixture {
 protected:
  void StartActive() {
    Start(kServers);
    QApplication::setActiveWindow(form_.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
  }
  void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : form_.get();
    QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
  }
};

// The menus' entries in order, "-" for a separator.
QList<QAction*> Entries(QWidget* menu) {
  QList<QAction*> entries;
  for (QAction* a : menu->actions())
    if (!a->isSeparator()) entries << a;
  return entries;
}

TEST_F(Keyboard, EveryMenuEntryHasAMnemonicOfItsOwn) {
  Start(kServers);
  QList<QWidget*> menus{form_->findChild<QMenuBar*>(QStringLiteral("MainMenu1")),
                        form_->PopupMenu()};
  for (QMenu* m : form_->findChildren<QMenu*>())
    if (m != form_->PopupMenu() && !m->objectName().isEmpty()) menus << m;
  EXPECT_EQ(menus.size(), 9);  // the bar, the popup, six menus and the log level submenu
  for (QWidget* menu : menus) {
    std::map<QString, QString> taken;
    for (QAction* a : Entries(menu)) {
      const QKeySequence mnemonic = QKeySequence::mnemonic(a->text());
      EXPECT_FALSE(mnemonic.isEmpty())
          << menu->objectName().toStdString() << ": " << a->text().toStdString();
      if (mnemonic.isEmpty()) continue;
      const QString key = mnemonic.toString();
      EXPECT_EQ(taken.count(key), 0u)
          << menu->objectName().toStdString() << ": " << a->text().toStdString() << " and "
          << taken[key].toStdString() << " share " << key.toStdString();
      taken[key] = a->text();
    }
  }
}

TEST_F(Keyboard, TheUsualShortcutsDoTheirCommandsAndShowInTheMenus) {
  StartActive();
  const std::map<std::string, QKeySequence> shown{
      {"Open1", QKeySequence("Ctrl+O")},         {"Save1", QKeySequence("Ctrl+S")},
      {"Saveas1", QKeySequence("Ctrl+Shift+S")}, {"Exit1", QKeySequence("Ctrl+Q")},
      {"ToolButton5", QKeySequence("F5")},       {"Content1", QKeySequence("F1")}};
  for (const auto& [name, keys] : shown) EXPECT_EQ(Action(name.c_str())->shortcut(), keys) << name;

  // Ctrl+S writes the file, Ctrl+Shift+S asks where to, Ctrl+O what to open.
  std::remove(serverFile_.c_str());
  Key(Qt::Key_S, Qt::ControlModifier);
  EXPECT_TRUE(FileExists(serverFile_));
  const std::string copy = dir_->File("copy.mcf");
  ModalAnswers::QueueFile(QString::fromStdString(copy));
  Key(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(FileExists(copy));
  ModalAnswers::QueueFile(QString());
  Key(Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(ModalAnswers::Asked(), (QStringList{"Save as", "Open"}));

  // F5 scans now, also with the tool bar hidden; F1 opens the manual.
  form_->Toolbar1Click();
  MonitorAt(0, 0)->MarkChecked(1, 1);
  Key(Qt::Key_F5);
  EXPECT_EQ(MonitorAt(0, 0)->lastCheckMono, Monitor::kLongAgo);
  Key(Qt::Key_F1);
  EXPECT_EQ(opened_.size(), 1);

  // Delete asks to delete the selected node; F2 and Enter edit it.
  auto treeFocus = [&] {
    // Back from a dialog: the window and its tree have the focus again.
    QApplication::setActiveWindow(form_.get());
    Tree()->setFocus();
  };
  for (const char* path : {"web", "web/www", "web/www/ssh"}) {
    Select(QString::fromLatin1(path));
    treeFocus();
    ModalAnswers::ClearAsked();
    ModalAnswers::QueueButton(QMessageBox::No);
    Key(Qt::Key_Delete);
    ASSERT_EQ(ModalAnswers::Asked().size(), 1) << path;
    EXPECT_TRUE(ModalAnswers::Asked()[0].startsWith("Are you sure to delete")) << path;
    for (int key : {int(Qt::Key_F2), int(Qt::Key_Return)}) {
      treeFocus();
      const int opened =
          RunWithModal<MonitorEditorDialog>([&] { Key(key); }, [](MonitorEditorDialog&) {});
      EXPECT_EQ(opened, 1) << path << " key " << key;
    }
  }
  EXPECT_EQ(program_->serverList.Count(), 1);
  EXPECT_EQ(ServerAt(0)->ports.Count(), 1);
  // The selected level's Delete and Edit show their keys, in both menus.
  EXPECT_EQ(Action("MonitorDelete1")->shortcut(), QKeySequence(Qt::Key_Delete));
  EXPECT_EQ(Action("DeleteMonitor1")->shortcut(), QKeySequence(Qt::Key_Delete));
  EXPECT_EQ(Action("MonitorEdit1")->shortcut(), QKeySequence(Qt::Key_F2));
  EXPECT_EQ(Action("EditMonitor1")->shortcut(), QKeySequence(Qt::Key_F2));
  EXPECT_TRUE(Action("ServerDelete1")->shortcut().isEmpty());

  // Ctrl+Q ends the program as Exit does.
  treeFocus();
  Key(Qt::Key_Q, Qt::ControlModifier);
  EXPECT_TRUE(ServeUntil([&] { return form_->IsClosed(); }));
}

TEST_F(Keyboard, TheFirstRowIsSelectedAtStartSoEnterAndF2Edit) {
  StartActive();
  EXPECT_EQ(form_->SelectedNode(), Node("web"));
  for (int key : {int(Qt::Key_Return), int(Qt::Key_F2)}) {
    QApplication::setActiveWindow(form_.get());
    Tree()->setFocus();
    EXPECT_EQ(RunWithModal<MonitorEditorDialog>([&] { Key(key); }, [](MonitorEditorDialog&) {}), 1)
        << key;
  }
}

// Every label that stands for a field in the dialogs has a mnemonic, none taken twice
// among the controls shown with it, and Alt with its letter takes the focus to the field.
TEST_F(Keyboard, EveryLabelInTheDialogsHasAMnemonicThatReachesItsField) {
  Start(kServers);
  DesktopDialogs& dialogs = DesktopDialogs::Get(form_.get(), *program_);
  auto check = [&](QWidget* dialog, const std::string& what) {
    QApplication::setActiveWindow(dialog);
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog)) << what;
    std::map<int, QString> taken;
    auto take = [&](const QString& text) {
      const QKeySequence mnemonic = QKeySequence::mnemonic(text);
      if (mnemonic.isEmpty()) return -1;
      const int key = mnemonic[0].key();
      EXPECT_EQ(taken.count(key), 0u)
          << what << ": " << text.toStdString() << " and " << taken[key].toStdString();
      taken[key] = text;
      return key;
    };
    for (QAbstractButton* b : dialog->findChildren<QAbstractButton*>())
      if (b->isVisible()) take(b->text());
    int labels = 0;
    for (QLabel* label : dialog->findChildren<QLabel*>()) {
      QWidget* field = label->buddy();
      if (!label->isVisible() || label->text().isEmpty() || !field || !field->isVisible()) continue;
      ++labels;
      const int key = take(label->text());
      EXPECT_NE(key, -1) << what << ": " << label->text().toStdString() << " has no mnemonic";
      if (key == -1) continue;
      QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : dialog,
                      static_cast<Qt::Key>(key), Qt::AltModifier);
      EXPECT_EQ(QApplication::focusWidget(), field) << what << ": " << label->text().toStdString();
    }
    EXPECT_GT(labels, 0) << what;
    // OK and Cancel sit in a button box below every other control, in the desktop's order.
    auto* box = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttons"));
    ASSERT_TRUE(box && box->button(QDialogButtonBox::Ok) && box->button(QDialogButtonBox::Cancel))
        << what;
    const int top = box->mapTo(dialog, QPoint(0, 0)).y();
    for (QWidget* w : dialog->findChildren<QWidget*>()) {
      if (!w->isVisible() || w == box || box->isAncestorOf(w) || w->isAncestorOf(box)) continue;
      EXPECT_LE(w->mapTo(dialog, QPoint(0, w->height())).y(), top)
          << what << ": " << w->objectName().toStdString() << " below the buttons";
    }
  };
  MonitorEditorDialog& editor = *dialogs.editor;
  editor.SetGroup(QStringLiteral("web"), {ServerAt(0)});
  editor.show();
  check(&editor, "group");
  editor.SetServer(ServerAt(0));
  check(&editor, "server");
  Monitor* http = ServerAt(0)->ports.Items(ServerAt(0)->ports.Add("http"));
  editor.SetMonitor(http);
  check(&editor, "monitor");
  editor.hide();

  EventEditorDialog& events = *dialogs.eventManager;
  QTimer::singleShot(0, &events, [&] {
    for (int action = 0; action < kActionCount; ++action) {
      events.SelectAction(action);
      check(&events, "event page " + std::to_string(action));
    }
    events.reject();
  });
  events.EditEvents(0, dir_->File("events.ini"));
}

TEST_F(Keyboard, TheMenuBarStaysWholeHoweverNarrowTheWindow) {
  Start(kServers);
  auto* bar = form_->findChild<QMenuBar*>(QStringLiteral("MainMenu1"));
  auto* splitter = form_->findChild<QSplitter*>(QStringLiteral("Splitter1"));
  Select("web/www");  // all six menus shown
  // A narrow tree, then the logs hidden: the window narrows only to its least width.
  splitter->setSizes({60, form_->width() - 60 - splitter->handleWidth()});
  const int width = form_->width();
  Trigger("Showlogs1");
  form_->resize(50, form_->height());
  ASSERT_TRUE(ServeUntil([&] { return bar->width() == form_->width(); }, 1000));
  auto* more = bar->findChild<QToolButton*>(QStringLiteral("qt_menubar_ext_button"));
  EXPECT_TRUE(!more || !more->isVisible()) << "a menu folded behind the overflow button";
  // Nor does a tool bar button, whichever caption the web server's button has.
  auto* tools = form_->findChild<QToolBar*>(QStringLiteral("ToolBar1"));
  for (int i = 0; i < 2; ++i) {
    Trigger("ToolButton7");
    form_->resize(50, form_->height());
    QTest::qWait(20);
    auto* folded = tools->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button"));
    EXPECT_TRUE(!folded || !folded->isVisible()) << "a button folded behind the overflow button";
    for (QAction* a : tools->actions()) {
      if (a->isSeparator()) continue;
      EXPECT_TRUE(tools->widgetForAction(a)->isVisible()) << a->text().toStdString();
    }
  }
  for (QAction* a : bar->actions()) {
    const QRect r = bar->actionGeometry(a);
    EXPECT_TRUE(!r.isEmpty() && bar->rect().contains(r)) << a->text().toStdString();
  }
  // Showing the logs again gives the window back its width.
  Trigger("Showlogs1");
  form_->resize(width, form_->height());
  Trigger("Showlogs1");
  Trigger("Showlogs1");
  EXPECT_EQ(form_->width(), width);
}

}  // namespace
}  // namespace sentrel::gui::test
