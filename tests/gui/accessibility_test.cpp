// What a screen reader finds in the windows, read through Qt's accessibility interfaces
// of the real widgets: names, the status words of the tree, the status panels, the log
// pane's text and the chart's title, footer and series.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "gui/chart_window.h"
#include "gui/desktop_dialogs.h"
#include "gui/event_editor_dialog.h"
#include "gui/log_window.h"
#include "gui/message_popup.h"
#include "gui/monitor_editor_dialog.h"
#include "gui/status_lights.h"
#include "gui/widgets/announcer.h"
#include "gui/widgets/log_text_view.h"
#include "gui/widgets/zoom_pan_plot.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "qt_printers.h"
#include "scan/scanner.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

QAccessibleInterface* Access(QObject* o) {
  return QAccessible::queryAccessibleInterface(o);
}

// The controls under a window that a screen reader reaches (focusable ones, and buttons,
// fields and menu entries) and that have no name; each as "role object-name".
QStringList Unnamed(QWidget* window) {
  static const QList<QAccessible::Role> controls{
      QAccessible::PushButton, QAccessible::CheckBox,     QAccessible::RadioButton,
      QAccessible::ComboBox,   QAccessible::EditableText, QAccessible::SpinBox,
      QAccessible::MenuItem,   QAccessible::ButtonMenu,   QAccessible::PageTab,
      QAccessible::Graphic,    QAccessible::Chart,        QAccessible::List,
      QAccessible::Tree,       QAccessible::StatusBar,    QAccessible::ToolBar};
  QStringList unnamed;
  std::function<void(QAccessibleInterface*, int)> walk = [&](QAccessibleInterface* i, int depth) {
    if (!i || depth > 40) return;
    const QAccessible::State state = i->state();
    if (state.invisible || i->role() == QAccessible::Separator) return;
    const bool control = state.focusable || controls.contains(i->role());
    if (control && i->text(QAccessible::Name).trimmed().isEmpty()) {
      QObject* o = i->object();
      unnamed << QString::number(i->role(), 16) + QLatin1Char(' ') +
                     (o ? o->objectName() + QLatin1Char(' ') + o->metaObject()->className()
                        : QStringLiteral("(part)"));
    }
    for (int c = 0; c < i->childCount(); ++c) walk(i->child(c), depth + 1);
  };
  walk(Access(window), 0);
  return unnamed;
}

// The tree row (a cell of the tree's accessible table) whose name is the text.
QAccessibleInterface* Row(QTreeView* tree, const QString& text) {
  QAccessibleInterface* t = Access(tree);
  for (int c = 0; c < t->childCount(); ++c) {
    QAccessibleInterface* cell = t->child(c);
    if (cell && cell->text(QAccessible::Name) == text) return cell;
  }
  return nullptr;
}

const char* const kServers =
    "[www]\r\nIP=127.0.0.1\r\nLogfile=www.log\r\nGroup=web\r\n"
    "[www:http]\r\nTyp=http\r\nPort=80\r\nData=url=http://127.0.0.1:9/\r\nintervall=3600\r\n"
    "[www:ssh]\r\nTyp=port\r\nPort=22\r\nintervall=3600\r\n"
    "[www:smtp]\r\nTyp=port\r\nPort=25\r\nintervall=3600\r\n"
    "[db]\r\nIP=127.0.0.1\r\nLogfile=db.log\r\nGroup=web\r\n"
    "[db:pg]\r\nTyp=port\r\nPort=5432\r\nintervall=3600\r\n"
    "[bare]\r\nIP=127.0.0.1\r\nLogfile=bare.log\r\nGroup=web\r\n";

class Accessibility : public WindowFixture {};

TEST_F(Accessibility, EveryControlOfEveryWindowHasAName) {
  Start(kServers);
  auto* tree = form_->findChild<QTreeView*>(QStringLiteral("TreeView1"));
  tree->expandAll();
  EXPECT_EQ(Unnamed(form_.get()), QStringList{});

  DesktopDialogs& dialogs = DesktopDialogs::Get(form_.get(), *program_);
  MonitorEditorDialog& editor = *dialogs.editor;
  editor.SetGroup(QStringLiteral("web"), {ServerAt(0), ServerAt(1)});
  editor.show();
  EXPECT_EQ(Unnamed(&editor), QStringList{}) << "group";
  editor.SetServer(ServerAt(0));
  EXPECT_EQ(Unnamed(&editor), QStringList{}) << "server";
  editor.SetMonitor(MonitorAt(0, 0));
  EXPECT_EQ(Unnamed(&editor), QStringList{}) << "monitor";
  editor.hide();

  EventEditorDialog& events = *dialogs.eventManager;
  events.show();
  for (int action = 0; action < kActionCount; ++action) {
    events.SelectAction(action);
    EXPECT_EQ(Unnamed(&events), QStringList{}) << "event page " << action;
  }
  events.hide();

  LogWindow log;
  LogView view;
  view.caption = "Sentrel Logfile: www";
  view.lines.Append("2024-05-02 17:10:02 www HTTP 80 DOWN 0ms 0Bytes 404 Not Found (2 lost)");
  log.ShowView(std::move(view));
  log.show();
  EXPECT_EQ(Unnamed(&log), QStringList{});

  ChartWindow chart;
  RequestTimes times;
  times.title = "Sentrel Request Times: www (http 80, last 4 days)";
  chart.Load(times, Now());
  chart.show();
  EXPECT_EQ(Unnamed(&chart), QStringList{});
}

// A list box is read by the label it belongs to (on Linux its own name is the value it
// shows, so a list without a label reads as "Default combo box"): every list shown in
// the dialogs has a label, and the label says what the list is for.
TEST_F(Accessibility, EveryListInTheDialogsIsLabelledByWhatItIsFor) {
  Start(kServers);
  DesktopDialogs& dialogs = DesktopDialogs::Get(form_.get(), *program_);
  auto check = [](QWidget* dialog, const std::string& what) {
    int lists = 0;
    for (QComboBox* list : dialog->findChildren<QComboBox*>()) {
      if (!list->isVisible()) continue;
      ++lists;
      QString label;
      for (const auto& [other, relation] : Access(list)->relations(QAccessible::Label))
        if (other) label = other->text(QAccessible::Name);
      EXPECT_FALSE(label.isEmpty()) << what << ": " << list->objectName().toStdString();
      EXPECT_NE(label, list->currentText()) << what << ": " << list->objectName().toStdString();
    }
    EXPECT_GT(lists, 0) << what;
  };
  MonitorEditorDialog& editor = *dialogs.editor;
  editor.SetMonitor(MonitorAt(0, 0));
  editor.show();
  check(&editor, "monitor");
  editor.hide();
  EventEditorDialog& events = *dialogs.eventManager;
  events.show();
  events.SelectAction(7);  // the serial page's lists
  check(&events, "event manager");
  events.hide();
}

TEST_F(Accessibility, StatusPanelsReadAsTheirTextsAndSayWhatTheyAre) {
  Start(kServers);
  auto* activity = form_->findChild<QLabel*>(QStringLiteral("StatusPanel0"));
  auto* web = form_->findChild<QLabel*>(QStringLiteral("StatusPanel1"));
  // A screen reader's status-bar command reads the names: they are the texts shown.
  form_->PaintStatusPanels();
  EXPECT_EQ(Access(web)->text(QAccessible::Name), "Sentrel-Webserver disabled");
  EXPECT_EQ(Access(web)->text(QAccessible::Description), "Web server");
  EXPECT_EQ(Access(activity)->text(QAccessible::Description), "Activity");

  // The texts follow the program: the scan's activity, the web server.
  form_->SetStatusPanel(0, QStringLiteral("www http"));
  form_->PaintStatusPanels();
  EXPECT_EQ(Access(activity)->text(QAccessible::Name), "www http");
  form_->findChild<QAction*>(QStringLiteral("ToolButton7"))->trigger();
  ASSERT_TRUE(ServeUntil(
      [&] { return Access(web)->text(QAccessible::Name).contains(QString::number(webPort_)); },
      2000))
      << Access(web)->text(QAccessible::Name).toStdString();
  form_->findChild<QAction*>(QStringLiteral("ToolButton7"))->trigger();
  EXPECT_TRUE(ServeUntil(
      [&] { return Access(web)->text(QAccessible::Name) == "Sentrel-Webserver is offline"; },
      2000));
}

TEST_F(Accessibility, TreeRowsSayTheirStatusInWords) {
  Start(kServers);
  auto* tree = form_->findChild<QTreeView*>(QStringLiteral("TreeView1"));
  tree->expandAll();
  auto words = [&](const QString& row) {
    QAccessibleInterface* cell = Row(tree, row);
    EXPECT_NE(cell, nullptr) << row.toStdString();
    if (!cell) return std::string();
    // The tooltip says the same to the sighted operator who points at the row.
    QString tip;
    for (QModelIndex i = tree->model()->index(0, 0); i.isValid(); i = tree->indexBelow(i))
      if (i.data().toString() == row) tip = i.data(Qt::ToolTipRole).toString();
    EXPECT_EQ(tip, cell->text(QAccessible::Description)) << row.toStdString();
    return cell->text(QAccessible::Description).toStdString();
  };
  const QString http = "http (http:80, 3600s)", ssh = "ssh (port:22, 3600s)",
                smtp = "smtp (port:25, 3600s)", pg = "pg (port:5432, 3600s)";
  EXPECT_EQ(words(http), "not checked");
  EXPECT_EQ(words("www"), "not checked");
  EXPECT_EQ(words("bare"), "no monitors");

  Scanner& scan = program_->scanner;
  scan.PortVerdict(*MonitorAt(0, 1), true, 3);
  EXPECT_EQ(words(ssh), "OK");
  EXPECT_EQ(words("www"), "OK: 1 of 3 monitors");
  // A slow answer of a monitor that was not green yet: yellow for slowness.
  scan.HttpVerdict(*MonitorAt(0, 0), true, 12000, 10, 0, 200, "OK");
  EXPECT_EQ(words(http), "slow");
  EXPECT_EQ(words("www"), "warning: 1 of 3 monitors");
  // A green monitor that loses one check is yellow too, and says so.
  scan.PortVerdict(*MonitorAt(0, 1), false, 10000);
  EXPECT_EQ(words(ssh), "1 lost");
  EXPECT_EQ(words("www"), "warning: 2 of 3 monitors");
  // The next loss turns it red: down since that moment, with the count of lost checks.
  const double turnedRed = Now();
  scan.PortVerdict(*MonitorAt(0, 1), false, 10000);
  const std::string down = words(ssh);
  EXPECT_TRUE(down == "down since " + FormatTime(turnedRed) + ", 2 lost" ||
              down == "down since " + FormatTime(Now()) + ", 2 lost")
      << down;
  scan.PortVerdict(*MonitorAt(0, 1), false, 10000);
  EXPECT_EQ(words(ssh), down.substr(0, down.size() - 6) + "3 lost");
  EXPECT_EQ(words("www"), "down: 1 of 3 monitors");
  scan.PortVerdict(*MonitorAt(1, 0), false, 10000);
  EXPECT_EQ(words("web"), "down: 2 of 4 monitors");
  // The "1 lost" lasts until the monitor's next check: a slow success makes it "slow".
  scan.PortVerdict(*MonitorAt(0, 2), true, 3);
  MonitorAt(0, 2)->lastUp -= 1.0 / 24;  // that success was an hour ago
  scan.PortVerdict(*MonitorAt(0, 2), false, 10000);
  EXPECT_EQ(words(smtp), "1 lost");
  form_->BuildTree();  // a rebuilt tree remembers it
  form_->RefreshTree();
  tree->expandAll();
  EXPECT_EQ(words(smtp), "1 lost");
  scan.PortVerdict(*MonitorAt(0, 2), true, 6000);
  EXPECT_EQ(words(smtp), "slow");
}

// What the program tells a screen reader on its own account, as it hands it to Qt.
class Heard {
 public:
  Heard() {
    SetAccessibleEventListener([this](QAccessibleEvent& e) {
      QAccessibleInterface* i = e.accessibleInterface();
      QAccessible::State changed;
      if (e.type() == QAccessible::StateChanged)
        changed = static_cast<QAccessibleStateChangeEvent&>(e).changedStates();
      events.push_back({e.type(), i ? i->role() : QAccessible::NoRole,
                        i ? i->text(QAccessible::Name) : QString(), changed.checked != 0,
                        i && i->state().checked});
    });
  }
  ~Heard() { SetAccessibleEventListener(nullptr); }
  struct Event {
    QAccessible::Event type;
    QAccessible::Role role;
    QString name;
    bool checkedChanged;
    bool checked;
  };
  std::vector<Event> events;
};

TEST_F(Accessibility, AChangeOfColourAndAPopupAreAnnouncedAndThePopupIsAnAlert) {
  Start(kServers);
  DesktopDialogs& dialogs = DesktopDialogs::Attach(form_.get(), *program_, *frontend_);
  Heard heard;
  Scanner& scan = program_->scanner;
  auto said = [&] {
    QTest::qWait(1);  // the changes of a moment are said together, from the loop
    auto* announcer = form_->findChild<Announcer*>();
    return announcer ? announcer->Last() : QString();
  };
  // A first green is no news, nor are the grey lights of a stop; a loss is, and red is.
  scan.PortVerdict(*MonitorAt(0, 1), true, 3);
  EXPECT_EQ(said(), "");
  scan.PortVerdict(*MonitorAt(0, 1), false, 10000);
  EXPECT_EQ(said(), "www ssh: 1 lost");
  scan.PortVerdict(*MonitorAt(0, 1), false, 10000);
  EXPECT_TRUE(said().startsWith("www ssh: down since ")) << said().toStdString();
  // Two monitors found down at their first check: said at once, in the tree's order.
  scan.PortVerdict(*MonitorAt(0, 2), false, 10000);
  scan.PortVerdict(*MonitorAt(1, 0), false, 10000);
  const QStringList both = said().split(QStringLiteral("; "));
  ASSERT_EQ(both.size(), 2) << said().toStdString();
  EXPECT_TRUE(both[0].startsWith("www smtp: down since ") &&
              both[1].startsWith("db pg: down since "))
      << said().toStdString();
  // The announcement is a notification whose name is its words, and it came up for them.
  auto* announcer = form_->findChild<Announcer*>();
  ASSERT_NE(announcer, nullptr);
  EXPECT_EQ(Access(announcer)->role(), QAccessible::Notification);
  EXPECT_EQ(Access(announcer)->text(QAccessible::Name), said());
  EXPECT_FALSE(Access(announcer)->state().invisible);
  const auto alerts = std::count_if(heard.events.begin(), heard.events.end(), [](const auto& e) {
    return e.type == QAccessible::Alert && e.role == QAccessible::Notification;
  });
  EXPECT_EQ(alerts, 3);
  const QString before = said();
  Trigger("ToolButton2");
  Trigger("ToolButton3");
  EXPECT_EQ(said(), before);

  // The popup is an alert that reads its lines, and its message is said as it comes.
  frontend_->ShowPopupMessage("www PORT 22 DOWN");
  QAccessibleInterface* popup = Access(dialogs.popup);
  EXPECT_EQ(popup->role(), QAccessible::AlertMessage);
  EXPECT_EQ(popup->text(QAccessible::Name), "Sentrel Message(s)");
  EXPECT_EQ(popup->text(QAccessible::Description), "www PORT 22 DOWN");
  EXPECT_EQ(said(), "Sentrel Message(s): www PORT 22 DOWN");

  // A line that comes into the pane the operator reads is said; into another, it is not.
  auto* messages = form_->findChild<QPlainTextEdit*>(QStringLiteral("Memo2"));
  QApplication::setActiveWindow(form_.get());
  messages->setFocus();
  program_->messagePane.AddLine("2026-12-08 10:00:00 www PORT 22 UP 3ms 0Bytes ");
  EXPECT_EQ(said(), "2026-12-08 10:00:00 www PORT 22 UP 3ms 0Bytes ");
  program_->activityPane.AddLine("2026-12-08 10:00:01 www PORT 25 OK 3ms 0Bytes ");
  EXPECT_EQ(said(), "2026-12-08 10:00:00 www PORT 22 UP 3ms 0Bytes ");
}

TEST_F(Accessibility, TickingAnActionInTheEventManagerIsSaidOnItsRow) {
  Start(kServers);
  EventEditorDialog& events = *DesktopDialogs::Get(form_.get(), *program_).eventManager;
  Heard heard;
  QTimer::singleShot(0, &events, [&] {
    QApplication::setActiveWindow(&events);
    auto* list = events.findChild<QListWidget*>(QStringLiteral("eventchecklist"));
    list->setFocus();
    list->setCurrentRow(3);  // Mail
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_TRUE(program_->eventList.Items(0)->UseMail);
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_FALSE(program_->eventList.Items(0)->UseMail);
    events.reject();
  });
  events.EditEvents(0, dir_->File("events.ini"));
  ASSERT_EQ(heard.events.size(), 2u);
  for (const Heard::Event& e : heard.events) {
    EXPECT_EQ(e.type, QAccessible::StateChanged);
    EXPECT_EQ(e.name, "Mail");
    EXPECT_TRUE(e.checkedChanged);
  }
  EXPECT_TRUE(heard.events[0].checked);
  EXPECT_FALSE(heard.events[1].checked);
}

TEST_F(Accessibility, TheLightsDifferByTheirMarksAlsoInGreyScale) {
  // In grey scale each light is split at its own mean brightness; without marks inside,
  // the round lights of every colour would split alike.
  auto marks = [](int image) {
    QImage grey = StatusLightPixmap(image).toImage().convertToFormat(QImage::Format_Grayscale8);
    QImage alpha = StatusLightPixmap(image).toImage().convertToFormat(QImage::Format_ARGB32);
    long sum = 0, n = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x)
        if (qAlpha(alpha.pixel(x, y)) == 255) sum += qGray(grey.pixel(x, y)), ++n;
    std::vector<bool> bright;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x)
        bright.push_back(qAlpha(alpha.pixel(x, y)) == 255 && qGray(grey.pixel(x, y)) * n > sum);
    return bright;
  };
  auto differ = [](const std::vector<bool>& a, const std::vector<bool>& b) {
    int d = 0;
    for (size_t i = 0; i < a.size(); ++i) d += a[i] != b[i];
    return d;
  };
  const auto green = marks(kImageGreen), yellow = marks(kImageYellow), red = marks(kImageRed);
  EXPECT_GE(differ(green, red), 12);
  EXPECT_GE(differ(green, yellow), 12);
  EXPECT_GE(differ(yellow, red), 12);
}

// The log pane as a screen reader reads it: lines (with their "\n"), words, characters,
// the selection and the caret, over lines of any length and any script.
TEST(LogPaneAccessibility, ReadsLinesWordsSelectionAndCaret) {
  LogTextView view;
  view.resize(900, 160);  // the first line on one row
  view.show();
  const QString first = "2024-05-01 10:00:00 www HTTP 80 OK 12ms 512Bytes E0 200 OK";
  const QString second = QString::fromUtf8("Grüße – ünïcödé ✓ line");
  const std::string longLine(40000, 'x');  // laid out in pieces
  LogText lines;
  lines.Append(first.toStdString());
  lines.Append(second.toStdString());
  lines.Append(longLine);
  lines.Append("last");
  view.SetLines(std::move(lines));

  QAccessibleInterface* a = Access(&view);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->role(), QAccessible::EditableText);
  EXPECT_TRUE(a->state().readOnly && a->state().multiLine);
  EXPECT_FALSE(a->text(QAccessible::Name).isEmpty());
  QAccessibleTextInterface* t = a->textInterface();
  ASSERT_NE(t, nullptr);
  const QString all = first + "\n" + second + "\n" + QString::fromStdString(longLine) + "\nlast";
  const int secondAt = static_cast<int>(first.size()) + 1;
  const int longAt = secondAt + static_cast<int>(second.size()) + 1;
  const int lastAt = longAt + static_cast<int>(longLine.size()) + 1;
  ASSERT_EQ(t->characterCount(), all.size());
  EXPECT_EQ(t->text(0, t->characterCount()), all);
  EXPECT_EQ(t->text(secondAt, secondAt + 5), QString::fromUtf8("Grüße"));
  EXPECT_EQ(t->text(longAt + 16380, longAt + 16390), QString(10, 'x'));

  int s = 0, e = 0;
  EXPECT_EQ(t->textAtOffset(5, QAccessible::LineBoundary, &s, &e), first + "\n");
  EXPECT_EQ(std::make_pair(s, e), std::make_pair(0, secondAt));
  EXPECT_EQ(t->textAfterOffset(5, QAccessible::LineBoundary, &s, &e), second + "\n");
  EXPECT_EQ(t->textBeforeOffset(secondAt + 3, QAccessible::LineBoundary, &s, &e), first + "\n");
  EXPECT_EQ(t->textAtOffset(-1, QAccessible::LineBoundary, &s, &e), "last");
  EXPECT_EQ(std::make_pair(s, e), std::make_pair(lastAt, lastAt + 4));
  EXPECT_EQ(t->textAfterOffset(lastAt, QAccessible::LineBoundary, &s, &e), "");
  EXPECT_EQ(s, -1);
  EXPECT_EQ(t->textAtOffset(static_cast<int>(first.indexOf("HTTP")) + 2, QAccessible::WordBoundary,
                            &s, &e),
            "HTTP");
  EXPECT_EQ(t->textAtOffset(secondAt + 2, QAccessible::CharBoundary, &s, &e),
            QString::fromUtf8("ü"));

  // Selection and caret, as the pane itself shows them.
  t->setSelection(0, secondAt, secondAt + 5);
  ASSERT_EQ(t->selectionCount(), 1);
  t->selection(0, &s, &e);
  EXPECT_EQ(std::make_pair(s, e), std::make_pair(secondAt, secondAt + 5));
  EXPECT_EQ(view.SelectedText(), QString::fromUtf8("Grüße"));
  t->removeSelection(0);
  EXPECT_EQ(t->selectionCount(), 0);
  view.SelectAll();
  t->selection(0, &s, &e);
  EXPECT_EQ(std::make_pair(s, e), std::make_pair(0, static_cast<int>(all.size())));
  t->setCursorPosition(lastAt + 2);
  EXPECT_EQ(t->cursorPosition(), lastAt + 2);
  EXPECT_GE(view.BottomLine(), 3u) << "the caret's line is scrolled into view";

  // What is on screen: the offset under a point and the box of a character.
  view.ScrollToTop();
  const QPoint topLeft = view.viewport()->mapToGlobal(QPoint(8, 4));
  const int under = t->offsetAtPoint(topLeft);
  EXPECT_EQ(t->textAtOffset(under, QAccessible::LineBoundary, &s, &e), first + "\n");
  EXPECT_TRUE(t->characterRect(under).contains(topLeft) ||
              t->characterRect(under).adjusted(-2, -2, 2, 2).contains(topLeft));
  // Down scrolls a row and takes the caret to the line that came up.
  view.setFocus();
  QTest::keyClick(&view, Qt::Key_Down);
  ASSERT_EQ(view.RowsOfLine(0), 1);
  EXPECT_EQ(view.TopLine(), 1u);
  EXPECT_EQ(t->cursorPosition(), secondAt);

  // Other lines in the pane: the reader gets the new ones.
  LogText other;
  other.Append("2024-05-02 17:10:02 db PORT 5432 DOWN 0ms 0Bytes Error=10061 (2 lost)");
  view.SetLines(std::move(other));
  EXPECT_EQ(t->textAtOffset(t->offsetAtPoint(topLeft), QAccessible::LineBoundary, &s, &e),
            "2024-05-02 17:10:02 db PORT 5432 DOWN 0ms 0Bytes Error=10061 (2 lost)");
}

// A log of a million lines: each question is answered from the lines it is about.
TEST(LogPaneAccessibility, AMillionLinesAnswerLineByLine) {
  constexpr int kLines = 1'000'000;
  auto line = [](int i) {
    return "2024-05-01 10:00:00 server" + std::to_string(i) + " PORT 22 OK 1ms 0Bytes";
  };
  LogText lines;
  lines.Reserve(static_cast<size_t>(kLines) * 50, kLines);
  for (int i = 0; i < kLines; ++i) lines.Append(line(i));
  LogTextView view;
  view.resize(420, 160);
  view.SetLines(std::move(lines));
  QAccessibleTextInterface* t = Access(&view)->textInterface();
  QElapsedTimer timer;
  timer.start();
  const int length = t->characterCount();
  const qint64 indexMs = timer.restart();
  // Lines spread over the log, found by their offsets.
  int s = 0, e = 0;
  for (int k = 0; k < 1000; ++k) {
    const int i = static_cast<int>((static_cast<long long>(k) * 997'331) % kLines);
    const int at = static_cast<int>(view.LineStartOffset(static_cast<size_t>(i))) + 7;
    ASSERT_EQ(t->textAtOffset(at, QAccessible::LineBoundary, &s, &e).toStdString(),
              line(i) + (i + 1 < kLines ? "\n" : ""));
  }
  const qint64 queriesMs = timer.elapsed();
  EXPECT_GT(length, kLines * 50);
  // A copy of the whole log per question would take seconds for these thousand.
  EXPECT_LT(queriesMs, 2000);
  std::printf(
      "[ figures  ] offsets of %d lines counted in %lld ms; 1000 line questions in %lld ms\n",
      kLines, static_cast<long long>(indexMs), static_cast<long long>(queriesMs));
}

TEST(ChartAccessibility, TitleFooterAndSeriesAreReadable) {
  ChartWindow window;
  RequestTimes times;
  times.title = "Sentrel Request Times: www (http 80, last 4 days)";
  const double day = 45'413;  // 2024-05-01
  times.points = {{day + 0.25, 120, true}, {day + 0.5, 0, false}, {day + 0.75, 80, true}};
  times.goodCount = 2;
  times.badCount = 1;
  times.sumMs = 200;
  times.valueAxisMax = 120;
  times.footer = "Average: 100 ms, Good: 67%, Lost: 33%";
  window.Load(times, day + 1);
  QAccessibleInterface* chart = Access(window.Chart1());
  EXPECT_EQ(chart->role(), QAccessible::Chart);
  EXPECT_TRUE(chart->state().focusable);
  EXPECT_EQ(chart->text(QAccessible::Name), QString::fromStdString(times.title));
  EXPECT_EQ(chart->text(QAccessible::Description),
            "Average: 100 ms, Good: 67%, Lost: 33%. Request time: 2 points from " +
                QString::fromStdString(FormatDateTime(day + 0.25)) + " to " +
                QString::fromStdString(FormatDateTime(day + 0.75)) +
                ", minimum 80 ms, average 100 ms, maximum 120 ms. Lost: 1 record.");

  // A chart of nothing but losses has no footer; the summary says so.
  times.points = {{day + 0.5, 0, false}};
  times.footer.clear();
  window.Load(times, day + 1);
  EXPECT_EQ(chart->text(QAccessible::Description), "Request time: no points. Lost: 1 record.");
}

}  // namespace
}  // namespace sentrel::gui::test
