// The report windows as the operator meets them: the log window over a prepared log, the
// request-time chart with its series, axes, footer and mouse handling, and log dumping
// with its prompt and panel texts.
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPrinter>
#include <QPrinterInfo>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <cmath>
#include <functional>

#include "app/errors_log.h"
#include "gui/chart_window.h"
#include "gui/log_window.h"
#include "gui/modal_answers.h"
#include "gui/read_progress.h"
#include "gui/report_commands.h"
#include "gui/widgets/log_text_view.h"
#include "gui/widgets/zoom_pan_plot.h"
#include "modal_windows.h"
#include "model/last_activity.h"
#include "model/server_list.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "support/test_env.h"

namespace sentrel::gui {
namespace {

using sentrel::test::ReadFile;
using sentrel::test::WriteFile;
using test::RunWithModal;

std::vector<std::string> PaneLines(const LogTextView& pane) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < pane.LineCount(); ++i) lines.emplace_back(pane.Lines()[i]);
  return lines;
}

void SendMouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
  QMouseEvent event(type, QPointF(at), w->mapToGlobal(QPointF(at)), button, buttons,
                    Qt::NoModifier);
  QApplication::sendEvent(w, &event);
}

void Drag(QWidget* w, Qt::MouseButton button, QPoint from, QPoint to) {
  SendMouse(w, QEvent::MouseButtonPress, from, button, button);
  SendMouse(w, QEvent::MouseMove, (from + to) / 2, Qt::NoButton, button);
  SendMouse(w, QEvent::MouseMove, to, Qt::NoButton, button);
  SendMouse(w, QEvent::MouseButtonRelease, to, button, Qt::NoButton);
}

class ReportWindowsTest : public sentrel::test::CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetNow(EncodeDate(2026, 12, 7) + EncodeTime(14, 0, 0));
    server_ = servers_.Items(servers_.Add("web1"));
    server_->logfile = "web1.log";
    monitor_ = server_->ports.Items(server_->ports.Add("http"));
    monitor_->typ = "http";
    monitor_->port = 80;
    panel_.text = [this] { return panelText_; };
    panel_.show = [this](const std::string& t) {
      panelText_ = t;
      shown_.push_back(t);
    };
    ModalAnswers::ClearAsked();
  }

  std::string Stamp(double daysAgo) const { return FormatDateTime(clock_.Now() - daysAgo); }
  std::string Record(double daysAgo, const std::string& kindPort, const std::string& word,
                     int ms) const {
    return Stamp(daysAgo) + " web1 " + kindPort + " " + word + " " + std::to_string(ms) +
           "ms 512Bytes E0 200 OK\r\n";
  }
  void Log(const std::string& content) { WriteFile(dir_->File("web1.log"), content); }

  // The chart as the command opens it for the answer given.
  template <typename F>
  int Chart(const QString& days, F&& inspect) {
    ModalAnswers::QueueText(days);
    return RunWithModal<ChartWindow>([&] { ShowRequestTimes(nullptr, *monitor_, panel_); },
                                     inspect);
  }

  ServerList servers_;
  Server* server_ = nullptr;
  Monitor* monitor_ = nullptr;
  ActivityPanel panel_;
  std::string panelText_ = "web1 ping";
  std::vector<std::string> shown_;
};

// --- Log window ---------------------------------------------------------------------

TEST_F(ReportWindowsTest, LogWindowShowsWholeLogAndErrorsOnlyWithTheirCaptions) {
  const std::string longDetail(400, 'x');
  Log("2026-12-06 14:00:00 web1 HTTP 80 OK 12ms 100Bytes E0 200 OK\r\n"
      "2026-12-06 14:01:00 web1 HTTP 80 LOST 0ms 0Bytes 404 Not Found (1 lost)\r\n"
      "2026-12-06 14:02:00 web1 HTTP 80 DOWN 0ms 0Bytes 404 Not Found (2 lost)\r\n"
      "2026-12-06 14:03:00 Ping:Unable to resolve no such host\r\n"
      "2026-12-06 14:04:00 Ping:Invalid host address\r\n"
      "2026-12-06 14:06:00 web1 HTTP 80 UP 9ms 100Bytes E0 200 OK Downtime=5 min " +
      longDetail + "\r\n");

  int opened = RunWithModal<LogWindow>(
      [&] { ShowServerLog(nullptr, *server_, false, panel_); },
      [&](LogWindow& w) {
        EXPECT_EQ(w.windowTitle(), "Sentrel Logfile: web1");
        EXPECT_EQ(w.size(), QSize(578, 365));
        EXPECT_TRUE(w.isModal());
        LogTextView* pane = w.Memo1();
        EXPECT_EQ(pane->LineCount(), 6u);
        EXPECT_EQ(PaneLines(*pane).front(),
                  "2026-12-06 14:00:00 web1 HTTP 80 OK 12ms 100Bytes E0 200 OK");
        EXPECT_EQ(pane->TopLine(), 0u);
        // The long line wraps inside the window; there is no horizontal scroll bar.
        EXPECT_EQ(pane->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        EXPECT_GT(pane->RowsOfLine(5), 2);
        EXPECT_EQ(pane->RowsOfLine(0), 1);
      });
  EXPECT_EQ(opened, 1);

  opened = RunWithModal<LogWindow>(
      [&] { ShowServerLog(nullptr, *server_, true, panel_); },
      [&](LogWindow& w) {
        EXPECT_EQ(w.windowTitle(), "Sentrel Logfile: web1 (errors only)");
        std::vector<std::string> lines = PaneLines(*w.Memo1());
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0],
                  "2026-12-06 14:02:00 web1 HTTP 80 DOWN 0ms 0Bytes 404 Not Found (2 lost)");
        EXPECT_EQ(lines[1], "2026-12-06 14:03:00 Ping:Unable to resolve no such host");
        EXPECT_EQ(lines[2].substr(0, 40), "2026-12-06 14:06:00 web1 HTTP 80 UP 9ms ");
      });
  EXPECT_EQ(opened, 1);
  // A small log is read at once: the panel never showed a reading text.
  EXPECT_TRUE(shown_.empty());
}

TEST_F(ReportWindowsTest, MissingLogWritesTheErrorsLogAndOpensNothing) {
  // The loop's handler gets what the command throws, as the main window's dispatch does.
  for (bool errorsOnly : {false, true}) {
    int opened = RunWithModal<LogWindow>(
        [&] {
          try {
            ShowServerLog(nullptr, *server_, errorsOnly, panel_);
          } catch (const SentrelError& e) {
            HandleRunTimeError(e.what());
          }
        },
        [](LogWindow&) {});
    EXPECT_EQ(opened, 0);
  }
  std::string errors = ReadFile(dir_->File(kErrorsLogName));
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2);
  EXPECT_NE(
      errors.find(" RunTimeError open " + dir_->File("web1.log") + ": No such file or directory"),
      std::string::npos)
      << errors;
  EXPECT_EQ(panelText_, "web1 ping");
}

TEST_F(ReportWindowsTest, LongReadShowsProgressAndGivesThePanelBack) {
  std::string content;
  while (content.size() < (3u << 20)) content += Record(1, "HTTP 80", "OK", 12);
  Log(content);
  {
    // Without the half-second grace every block read is reported.
    ReadProgressDisplay progress(panel_, "web1.log", std::chrono::milliseconds(0));
    sentrel::ViewServerLog(*server_, false, progress.Callback());
    EXPECT_TRUE(progress.Shown());
  }
  ASSERT_GE(shown_.size(), 4u);
  EXPECT_EQ(shown_.front().substr(0, 18), "Reading web1.log: ");
  EXPECT_EQ(shown_[shown_.size() - 2], "Reading web1.log: 100%");
  EXPECT_EQ(shown_.back(), "web1 ping");

  // A failed read gives the panel back too.
  shown_.clear();
  server_->logfile = "missing.log";
  {
    ReadProgressDisplay progress(panel_, "missing.log", std::chrono::milliseconds(0));
    EXPECT_THROW(sentrel::ViewServerLog(*server_, false, progress.Callback()), SentrelError);
  }
  EXPECT_TRUE(shown_.empty());
}

TEST(LogTextViewTest, ScrollsSelectsAndCopiesLinesOfAnyLength) {
  LogText text;
  for (int i = 0; i < 5000; ++i) text.Append("line " + std::to_string(i));
  // A line of several display pieces, with a two-byte character across a piece border.
  std::string huge(LogTextView::kMaxPieceBytes - 1, 'a');
  huge += "\xc3\xa9";
  huge += std::string(LogTextView::kMaxPieceBytes * 2, 'b');
  text.Append(huge);
  text.Append("last");

  LogTextView pane;
  pane.resize(578, 365);
  pane.show();
  pane.SetLines(std::move(text));
  EXPECT_EQ(pane.LineCount(), 5002u);
  EXPECT_EQ(pane.TopLine(), 0u);

  pane.ScrollRows(10);
  EXPECT_EQ(pane.TopLine(), 10u);
  pane.ScrollRows(-3);
  EXPECT_EQ(pane.TopLine(), 7u);
  pane.verticalScrollBar()->setValue(100);
  EXPECT_EQ(pane.TopLine(), 100u);

  // Ctrl+End shows the last line at the bottom; the huge line wraps into many rows.
  QKeyEvent end(QEvent::KeyPress, Qt::Key_End, Qt::ControlModifier);
  QApplication::sendEvent(&pane, &end);
  EXPECT_EQ(pane.BottomLine(), 5001u);
  EXPECT_GT(pane.RowsOfLine(5000), 100);
  pane.ScrollRows(1);
  EXPECT_EQ(pane.BottomLine(), 5001u);
  QKeyEvent home(QEvent::KeyPress, Qt::Key_Home, Qt::ControlModifier);
  QApplication::sendEvent(&pane, &home);
  EXPECT_EQ(pane.TopLine(), 0u);
  QKeyEvent pageDown(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
  QApplication::sendEvent(&pane, &pageDown);
  EXPECT_GT(pane.TopLine(), 5u);
  QApplication::sendEvent(&pane, &home);

  // Select all and copy: every line back, the pieces of the huge one joined again.
  QKeyEvent selectAll(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier);
  QApplication::sendEvent(&pane, &selectAll);
  QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
  QApplication::sendEvent(&pane, &copy);
  QStringList copied = QApplication::clipboard()->text().split('\n');
  ASSERT_EQ(copied.size(), 5002);
  EXPECT_EQ(copied[0], "line 0");
  EXPECT_EQ(copied[5000], QString::fromStdString(huge));
  EXPECT_EQ(copied[5001], "last");

  // A drag from the start of the first line into the third selects across lines.
  pane.ClearSelection();
  QWidget* viewport = pane.viewport();
  int row = pane.fontMetrics().lineSpacing();
  Drag(viewport, Qt::LeftButton, QPoint(1, row / 2),
       QPoint(pane.fontMetrics().horizontalAdvance("lin") + 3, row * 2 + row / 2));
  EXPECT_EQ(pane.SelectedText(), "line 0\nline 1\nlin");

  // Narrower, the text wraps more; the top line stays.
  pane.ScrollRows(40);
  size_t top = pane.TopLine();
  pane.resize(200, 365);
  EXPECT_EQ(pane.TopLine(), top);
}

// The arrow keys take the reading caret row by row, with the pane following: from the
// end upwards and back down, through the first and the last screen alike.
TEST(LogTextViewTest, TheArrowKeysReachEveryLineOneByOne) {
  LogText text;
  for (int i = 0; i < 500; ++i) text.Append("line " + std::to_string(i));
  LogTextView pane;
  pane.resize(578, 365);
  pane.show();
  pane.SetLines(std::move(text));
  auto key = [&](Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, k, m);
    QApplication::sendEvent(&pane, &press);
    return pane.LineAtOffset(pane.CaretOffset());
  };
  EXPECT_EQ(key(Qt::Key_End, Qt::ControlModifier), 499u);
  for (size_t line = 498; line >= 440; --line) ASSERT_EQ(key(Qt::Key_Up), line);
  for (size_t line = 441; line <= 499; ++line) ASSERT_EQ(key(Qt::Key_Down), line);
  EXPECT_EQ(key(Qt::Key_Down), 499u);
  EXPECT_EQ(pane.BottomLine(), 499u);
  EXPECT_EQ(key(Qt::Key_Home, Qt::ControlModifier), 0u);
  for (size_t line = 1; line <= 40; ++line) ASSERT_EQ(key(Qt::Key_Down), line);
  EXPECT_GE(pane.TopLine(), 1u) << "the pane followed the caret";
  EXPECT_LE(pane.TopLine(), 40u);
  const size_t page = key(Qt::Key_PageDown);
  EXPECT_GT(page, 50u);
  EXPECT_EQ(key(Qt::Key_PageUp), 40u);
}

// --- Chart window -------------------------------------------------------------------

TEST_F(ReportWindowsTest, ChartShowsTheMonitorsRecordsWithCappedAxisAndFooter) {
  Log(Record(1, "HTTP 80", "OK", 120) +      // good
      Record(0.9, "HTTP 80", "LOST", 0) +    // bad: on the zero line
      Record(0.8, "HTTP 80", "DOWN", 0) +    // bad
      Record(0.7, "HTTP 80", "UP", 30000) +  // good, above the axis cap
      Record(0.6, "HTTP 8080", "OK", 5) +    // another port
      Record(0.5, "PORT 80", "OK", 6) +      // another kind
      Record(5, "HTTP 80", "OK", 7) +        // too old
      Stamp(0.4) + " Ping:Unable to resolve no such host\r\n");

  int opened = Chart("4", [&](ChartWindow& w) {
    const QString title = "Sentrel Request Times: web1 (http 80, last 4 days)";
    EXPECT_EQ(w.windowTitle(), title);
    EXPECT_EQ(w.TitleText(), title);
    EXPECT_EQ(w.size(), QSize(552, 375));
    EXPECT_TRUE(w.isModal());

    QCPGraph* s1 = w.Series1();
    EXPECT_EQ(s1->name(), "Request time");
    ASSERT_EQ(s1->dataCount(), 2);
    EXPECT_DOUBLE_EQ(s1->data()->at(0)->key, ChartKeyOf(clock_.Now() - 1));
    EXPECT_EQ(s1->data()->at(0)->value, 120);
    EXPECT_EQ(s1->data()->at(1)->value, 30000);
    EXPECT_EQ(s1->pen().color(), QColor(0, 128, 0));
    EXPECT_EQ(s1->scatterStyle().shape(), QCPScatterStyle::ssNone);

    QCPGraph* s2 = w.Series2();
    ASSERT_EQ(s2->dataCount(), 2);
    EXPECT_EQ(s2->data()->at(0)->value, 0);
    EXPECT_EQ(s2->data()->at(1)->value, 0);
    EXPECT_EQ(s2->lineStyle(), QCPGraph::lsNone);
    EXPECT_EQ(s2->scatterStyle().brush().color(), QColor(Qt::red));
    EXPECT_EQ(s2->scatterStyle().pen().style(), Qt::NoPen);

    QCustomPlot* chart = w.Chart1();
    EXPECT_EQ(chart->yAxis->range(), QCPRange(0, 20000));
    EXPECT_EQ(chart->yAxis->label(), "ms");
    EXPECT_FALSE(chart->xAxis->grid()->visible());
    EXPECT_EQ(std::abs(chart->xAxis->tickLabelRotation()), 90);
    auto ticker = chart->xAxis->ticker().dynamicCast<QCPAxisTickerDateTime>();
    ASSERT_TRUE(ticker);
    EXPECT_EQ(ticker->dateTimeFormat(), "dd.MM.yy HH:mm:ss");
    EXPECT_FALSE(chart->legend->visible());
    EXPECT_EQ(chart->toPixmap().toImage().pixelColor(1, 1), QColor(Qt::white));

    EXPECT_EQ(w.FooterText(), "Average: 15060 ms, Good: 50%, Lost: 50%");
    EXPECT_EQ(w.Panel2()->text(), " Click left to zoom, click right to pan");
    QList<QAction*> tools = w.ToolBar1()->actions();
    ASSERT_EQ(tools.size(), 3);
    EXPECT_EQ(tools[0]->text(), "Print");
    EXPECT_EQ(tools[1]->text(), "Copy");
    EXPECT_EQ(tools[2]->text(), "Close");
  });
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(ModalAnswers::Asked(), QStringList{"Show Request times for how many days?"});
}

TEST_F(ReportWindowsTest, ChartFooterCases) {
  auto footer = [&](const std::string& log, const QString& days = "4") {
    Log(log);
    QString text = "unopened";
    Chart(days, [&](ChartWindow& w) { text = w.FooterText(); });
    return text;
  };
  EXPECT_EQ(footer(Record(1, "HTTP 80", "OK", 120) + Record(1, "HTTP 80", "UP", 80)),
            "Average: 100 ms, Good: 100%, Lost: 0%");
  std::string oneOfEight = Record(1, "HTTP 80", "OK", 40);
  for (int i = 0; i < 7; ++i) oneOfEight += Record(1, "HTTP 80", i % 2 ? "LOST" : "DOWN", 0);
  EXPECT_EQ(footer(oneOfEight), "Average: 40 ms, Good: 12%, Lost: 88%");

  // Every record bad: the marks, no footer, and a value axis that can still be drawn.
  Log(Record(1, "HTTP 80", "LOST", 0) + Record(1, "HTTP 80", "DOWN", 0));
  Chart("4", [&](ChartWindow& w) {
    EXPECT_EQ(w.FooterText(), "");
    EXPECT_EQ(w.Series2()->dataCount(), 2);
    EXPECT_EQ(w.Chart1()->yAxis->range().lower, 0);
    EXPECT_GT(w.Chart1()->yAxis->range().upper, 0);
  });
  // The answer 0 counts nothing: an empty chart without footer, its time axis on the last day.
  Log(Record(1, "HTTP 80", "OK", 120));
  Chart("0", [&](ChartWindow& w) {
    EXPECT_EQ(w.TitleText(), "Sentrel Request Times: web1 (http 80, last 0 days)");
    EXPECT_EQ(w.Series1()->dataCount() + w.Series2()->dataCount(), 0);
    EXPECT_EQ(w.FooterText(), "");
    EXPECT_DOUBLE_EQ(w.Chart1()->xAxis->range().upper, ChartKeyOf(clock_.Now()));
  });
}

TEST_F(ReportWindowsTest, ZoomPanAndCursorText) {
  std::string log;
  for (int i = 0; i < 48; ++i)
    log += Record(2 - i / 24.0, "HTTP 80", i % 7 ? "OK" : "LOST", 100 + i);
  Log(log);
  RequestTimes times = ComputeRequestTimes(*monitor_, "4");
  ChartWindow w;
  w.Load(times, clock_.Now());
  w.show();
  ZoomPanPlot* chart = w.Chart1();
  chart->replot();
  const QCPRange homeKeys = chart->xAxis->range();
  const QRect plot = chart->axisRect()->rect();

  // The status line follows the mouse with the time under it.
  QPoint middle = plot.center();
  SendMouse(chart, QEvent::MouseMove, middle, Qt::NoButton, Qt::NoButton);
  double key = chart->xAxis->pixelToCoord(middle.x());
  EXPECT_EQ(w.Panel2()->text(),
            QString::fromStdString("Cursor position: " + FormatDateTime(DateTimeOfChartKey(key)) +
                                   " - Click left to zoom, click right to pan"));

  // Pan with the right button: the zero line moves up, values below 0 come into view.
  Drag(chart, Qt::RightButton, middle, middle - QPoint(0, plot.height() / 2));
  EXPECT_LT(chart->yAxis->range().lower, -1);
  // A rectangle drawn wholly below the zero line: the value axis starts at 0 again.
  QPoint zeroLine(0, static_cast<int>(chart->yAxis->coordToPixel(0)));
  Drag(chart, Qt::LeftButton, QPoint(plot.left() + 20, zeroLine.y() + 10),
       QPoint(plot.left() + 120, plot.bottom() - 5));
  EXPECT_EQ(chart->yAxis->range().lower, 0);
  EXPECT_GT(chart->yAxis->range().upper, 0);
  EXPECT_LT(chart->xAxis->range().size(), homeKeys.size());

  // A zoom that reaches below 0 starts at 0; one above it keeps its bottom.
  chart->UndoZoom();
  chart->yAxis->setRange(-50, 150);
  chart->replot();
  Drag(chart, Qt::LeftButton, plot.topLeft() + QPoint(10, 10), plot.bottomRight() - QPoint(10, 10));
  EXPECT_EQ(chart->yAxis->range().lower, 0);
  chart->UndoZoom();
  Drag(chart, Qt::LeftButton, plot.topLeft() + QPoint(10, 10), plot.center());
  EXPECT_GT(chart->yAxis->range().lower, 0);

  // Dragged backwards the rectangle undoes the zoom; a click changes nothing.
  Drag(chart, Qt::LeftButton, plot.center(), plot.topLeft() + QPoint(10, 10));
  EXPECT_EQ(chart->xAxis->range(), homeKeys);
  EXPECT_EQ(chart->yAxis->range(), QCPRange(0, 147));
  Drag(chart, Qt::LeftButton, plot.center(), plot.center() + QPoint(1, 1));
  EXPECT_EQ(chart->xAxis->range(), homeKeys);
}

TEST_F(ReportWindowsTest, PrintCopyAndClose) {
  Log(Record(1, "HTTP 80", "OK", 120) + Record(0.5, "HTTP 80", "LOST", 0) +
      Record(0.4, "HTTP 80", "OK", 60) + Record(0.3, "HTTP 80", "OK", 90));
  ChartWindow w;
  w.Load(ComputeRequestTimes(*monitor_, "4"), clock_.Now());
  w.show();

  // "Copy": the chart on white on the clipboard.
  w.CopyAction()->trigger();
  QImage copied = QApplication::clipboard()->image();
  ASSERT_FALSE(copied.isNull());
  EXPECT_EQ(copied.size(), w.Chart1()->size());
  EXPECT_EQ(copied.pixelColor(0, 0), QColor(Qt::white));
  // The lost record is a red mark on the zero line, drawn without any other colour.
  auto count = [&copied](QColor colour) {
    int n = 0;
    for (int y = 0; y < copied.height(); ++y)
      for (int x = 0; x < copied.width(); ++x) n += copied.pixelColor(x, y) == colour;
    return n;
  };
  EXPECT_GE(count(QColor(255, 0, 0)), 3 * 6);
  EXPECT_EQ(count(QColor(0, 0, 255)), 0);
  EXPECT_GT(count(QColor(0, 128, 0)), 0);

  // "Print" without a printer says so; on a printer the chart fills a page.
  if (QPrinterInfo::defaultPrinter().isNull()) {
    w.PrintAction()->trigger();
    EXPECT_EQ(w.Panel2()->text(), " No printer is installed: the chart was not printed");
  }
  QPrinter pdf(QPrinter::HighResolution);
  pdf.setOutputFormat(QPrinter::PdfFormat);
  pdf.setOutputFileName(QString::fromStdString(dir_->File("chart.pdf")));
  EXPECT_TRUE(w.PrintTo(pdf));
  EXPECT_GT(ReadFile(dir_->File("chart.pdf")).size(), 1000u);
  // A printer that cannot start reports failure instead of printing nothing quietly.
  QPrinter nowhere(QPrinter::HighResolution);
  nowhere.setOutputFormat(QPrinter::PdfFormat);
  nowhere.setOutputFileName(QString::fromStdString(dir_->File("chart.pdf/x.pdf")));
  EXPECT_FALSE(w.PrintTo(nowhere));

  w.CloseAction()->trigger();
  EXPECT_FALSE(w.isVisible());
}

// The chart without a mouse: its buttons in the tab order, their keys, and keys that
// zoom, pan and go home; the value axis counts whole milliseconds at any height.
TEST_F(ReportWindowsTest, TheChartByKeyboardAndItsWholeNumberAxis) {
  std::string log;
  for (int i = 0; i < 24; ++i) log += Record(1 - i / 24.0, "HTTP 80", "OK", 3 + i % 5);
  Log(log);
  ChartWindow w;
  w.Load(ComputeRequestTimes(*monitor_, "4"), clock_.Now());
  w.show();
  QApplication::setActiveWindow(&w);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  ZoomPanPlot* chart = w.Chart1();
  EXPECT_TRUE(chart->hasFocus());
  QWidget* print = w.ToolBar1()->widgetForAction(w.PrintAction());
  EXPECT_EQ(print->nextInFocusChain(), w.ToolBar1()->widgetForAction(w.CopyAction()));
  EXPECT_EQ(w.ToolBar1()->widgetForAction(w.CloseAction())->nextInFocusChain(), chart);
  for (QAction* a : {w.PrintAction(), w.CopyAction(), w.CloseAction()})
    EXPECT_TRUE(w.ToolBar1()->widgetForAction(a)->focusPolicy() & Qt::TabFocus);

  chart->replot();
  const QCPRange keys = chart->xAxis->range(), values = chart->yAxis->range();
  auto press = [&](Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QTest::keyClick(chart, k, m);
  };
  press(Qt::Key_Plus);
  EXPECT_NEAR(chart->xAxis->range().size(), keys.size() * 0.8, 1e-6);
  EXPECT_NEAR(chart->xAxis->range().center(), keys.center(), 1e-3);
  press(Qt::Key_Minus);
  EXPECT_NEAR(chart->xAxis->range().size(), keys.size(), 1e-6);
  press(Qt::Key_Right);
  EXPECT_NEAR(chart->xAxis->range().lower, keys.lower + keys.size() / 10, 1e-3);
  press(Qt::Key_Up);
  EXPECT_NEAR(chart->yAxis->range().lower, values.size() / 10, 1e-9);
  press(Qt::Key_Down);
  press(Qt::Key_Down);  // never below the zero line
  EXPECT_EQ(chart->yAxis->range().lower, 0);
  press(Qt::Key_Home);
  EXPECT_EQ(chart->xAxis->range(), keys);
  EXPECT_EQ(chart->yAxis->range(), values);

  QApplication::clipboard()->clear();
  press(Qt::Key_C, Qt::ControlModifier);
  EXPECT_FALSE(QApplication::clipboard()->image().isNull());
  if (QPrinterInfo::defaultPrinter().isNull()) {
    press(Qt::Key_P, Qt::ControlModifier);
    EXPECT_EQ(w.Panel2()->text(), " No printer is installed: the chart was not printed");
  }

  // Whatever the longest request, the ticks are whole milliseconds.
  for (int64_t top : {1, 3, 7, 12, 15, 25, 45, 99, 730, 20000}) {
    RequestTimes times;
    times.title = "t";
    times.points.push_back({clock_.Now() - 0.5, top, true});
    times.goodCount = 1;
    times.valueAxisMax = top;
    w.Load(times, clock_.Now());
    chart->replot();
    const QVector<double> ticks = chart->yAxis->tickVector();
    ASSERT_FALSE(ticks.isEmpty()) << top;
    for (double t : ticks) EXPECT_EQ(t, std::floor(t)) << "axis up to " << top;
  }
}

TEST_F(ReportWindowsTest, RequestTimesPromptCancelBadAnswerAndMissingLog) {
  Log(Record(1, "HTTP 80", "OK", 120));
  // Cancel: nothing read, nothing opened.
  ModalAnswers::QueueText(std::nullopt);
  int opened = RunWithModal<ChartWindow>([&] { ShowRequestTimes(nullptr, *monitor_, panel_); },
                                         [](ChartWindow&) {});
  EXPECT_EQ(opened, 0);

  // An answer that is no whole number, a log that is not there: errors, no window.
  auto failing = [&](const QString& days) {
    ModalAnswers::QueueText(days);
    std::string message;
    int n = RunWithModal<ChartWindow>(
        [&] {
          try {
            ShowRequestTimes(nullptr, *monitor_, panel_);
          } catch (const SentrelError& e) {
            message = e.what();
          }
        },
        [](ChartWindow&) {});
    EXPECT_EQ(n, 0);
    return message;
  };
  EXPECT_EQ(failing("four"), "'four' is not a valid integer value");
  // A counted line with an unreadable stamp names itself as the cause.
  Log("2026-13-40 10:00:00 web1 HTTP 80 OK 12ms 512Bytes E0 200 OK\r\n");
  EXPECT_EQ(failing("4"), "'2026-13-40 10:00:00' is not a valid date and time");
  EXPECT_EQ(LastActivity, "Read 2026-13-40 10:00:00 web1 HTTP 80 OK 12ms 512Bytes E0 200 OK");
  server_->logfile = "gone.log";
  EXPECT_NE(failing("4").find("gone.log"), std::string::npos);

  // The prompt is wide enough for its whole title beside a title bar's buttons.
  auto prompt = MakeTextPrompt(nullptr, "Sentrel Show Request Times:",
                               "Show Request times for how many days?", "4");
  prompt->show();
  const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
  EXPECT_GE(prompt->width(),
            title.horizontalAdvance("Sentrel Show Request Times:") + kTitleBarButtons);
  EXPECT_EQ(prompt->textValue(), "4");
}

// --- Log dumping ---------------------------------------------------------------------

TEST_F(ReportWindowsTest, DumpPromptCancelDoesNothingAndAnAnswerShortensEveryLog) {
  Server* second = servers_.Items(servers_.Add("web2"));
  second->logfile = "web2.log";
  const std::string web1 = Record(9, "HTTP 80", "OK", 1) + Record(1, "HTTP 80", "OK", 2);
  const std::string web2 = Record(8, "PORT 25", "OK", 3) + Record(0, "PORT 25", "OK", 4);
  Log(web1);
  WriteFile(dir_->File("web2.log"), web2);

  ModalAnswers::QueueText(std::nullopt);
  DumpLogsCommand(nullptr, servers_, panel_);
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), web1);
  EXPECT_EQ(ReadFile(dir_->File("web2.log")), web2);
  EXPECT_TRUE(shown_.empty());

  ModalAnswers::QueueText("7");
  DumpLogsCommand(nullptr, servers_, panel_);
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), Record(1, "HTTP 80", "OK", 2));
  EXPECT_EQ(ReadFile(dir_->File("web2.log")), Record(0, "PORT 25", "OK", 4));
  EXPECT_EQ(shown_,
            (std::vector<std::string>{"Dumping Logile web1.log", "Dumping Logile web2.log"}));
  EXPECT_EQ(panelText_, "Dumping Logile web2.log");
  EXPECT_EQ(ModalAnswers::Asked(), (QStringList{"Dump Logfile Entries Older Than [days] ?",
                                                "Dump Logfile Entries Older Than [days] ?"}));

  // An answer that is no number, or a negative one, is refused with a message and touches
  // nothing; 0 empties every log only after a Yes.
  shown_.clear();
  ModalAnswers::ClearAsked();
  for (const char* refused : {"a week", "-1"}) {
    ModalAnswers::QueueText(QString::fromLatin1(refused));
    EXPECT_NO_THROW(DumpLogsCommand(nullptr, servers_, panel_));
  }
  ModalAnswers::QueueText("0");
  ModalAnswers::QueueButton(QMessageBox::No);
  DumpLogsCommand(nullptr, servers_, panel_);
  EXPECT_TRUE(shown_.empty());
  EXPECT_EQ(ReadFile(dir_->File("web2.log")), Record(0, "PORT 25", "OK", 4));
  EXPECT_EQ(ModalAnswers::Asked(),
            (QStringList{"Dump Logfile Entries Older Than [days] ?",
                         "\"a week\" is not a whole number of days; no log was changed.",
                         "Dump Logfile Entries Older Than [days] ?",
                         "Dump logs needs a number of days of 0 or more, not -1; no log was "
                         "changed.",
                         "Dump Logfile Entries Older Than [days] ?", "Empty every log file?"}));
  ModalAnswers::QueueText("0");
  ModalAnswers::QueueButton(QMessageBox::Yes);
  DumpLogsCommand(nullptr, servers_, panel_);
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), "");
  EXPECT_EQ(ReadFile(dir_->File("web2.log")), "");
}

}  // namespace
}  // namespace sentrel::gui
