#pragma once

#include <QDialog>
#include <QString>

#include "reports/request_times.h"

class QAction;
class QCPGraph;
class QCPTextElement;
class QLabel;
class QPrinter;
class QToolBar;

namespace sentrel::gui {

class ZoomPanPlot;

// The request-time chart of one monitor: the good records as a line of request times,
// the lost ones as red marks on the zero line, the average and the shares in the footer.
// It opens centred on the screen at 552 x 375 with the tool bar "Print", "Copy", "Close"
// on top and the status line `Panel2` below the chart. The window holds copies of what it
// shows and nothing of the model.
class ChartWindow : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kPanelHint = " Click left to zoom, click right to pan";

  explicit ChartWindow(QWidget* parent = nullptr);
  ~ChartWindow() override;

  // Fills the chart. now places the time axis of a chart without any record: the day up
  // to now.
  void Load(const RequestTimes& times, double now);

  ZoomPanPlot* Chart1() const { return chart_; }
  QCPGraph* Series1() const { return series1_; }
  QCPGraph* Series2() const { return series2_; }
  QLabel* Panel2() const { return panel2_; }
  QToolBar* ToolBar1() const { return toolBar_; }
  QAction* PrintAction() const { return print_; }
  QAction* CopyAction() const { return copy_; }
  QAction* CloseAction() const { return close_; }
  QString TitleText() const;
  // Empty when there is no footer line.
  QString FooterText() const;
  // What a screen reader hears of the series (RequestTimesSummary).
  QString SummaryText() const { return summary_; }

  // After every zoom: a value axis that starts below 0 starts at 0 again.
  void Chart1Zoom();
  // The status line for the mouse at this time axis coordinate.
  void Chart1MouseMove(double key);
  // "Print": the chart on the default printer, without a dialog. Without a printer the
  // status line says so.
  void PrintClick();
  // Draws the chart on a page of the printer; false when the printer could not start.
  bool PrintTo(QPrinter& printer);
  // "Copy": the chart as a picture on white on the clipboard.
  void CopyClick();
  // The picture that "Copy" puts on the clipboard.
  QImage ChartImage() const;

 private:
  ZoomPanPlot* chart_ = nullptr;
  QCPGraph* series1_ = nullptr;
  QCPGraph* series2_ = nullptr;
  QCPTextElement* title_ = nullptr;
  QCPTextElement* footer_ = nullptr;
  QLabel* panel2_ = nullptr;
  QToolBar* toolBar_ = nullptr;
  QAction* print_ = nullptr;
  QAction* copy_ = nullptr;
  QAction* close_ = nullptr;
  QString summary_;
};

// The series in words, for the chart's accessible description: "Request time: 12 points
// from <first> to <last>, minimum 80 ms, average 100 ms, maximum 120 ms. Lost: 3
// records." (times in the program's date-time format).
QString RequestTimesSummary(const RequestTimes& times);

// Time axis coordinates are seconds since 1970 read as UTC, so the labels show the
// record's own wall-clock time whatever the time zone and its daylight-saving changes.
double ChartKeyOf(double dateTime);
double DateTimeOfChartKey(double key);

}  // namespace sentrel::gui
