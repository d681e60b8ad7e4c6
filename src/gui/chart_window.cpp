#include "gui/chart_window.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPrinter>
#include <QPrinterInfo>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "gui/log_window.h"
#include "gui/widgets/zoom_pan_plot.h"
#include "platform/date_time.h"

namespace sentrel::gui {

namespace {

// 1970-01-01 as a date-time value.
constexpr double kUnixEpochDays = 25569.0;

// Request times are whole milliseconds: the value axis never labels fractions of one.
// A step the ticker finds readable but fractional (2.5) becomes the next step of 1, 2 or
// 5 times a power of ten, so every tick is a whole number.
class WholeNumberTicker : public QCPAxisTicker {
 protected:
  double getTickStep(const QCPRange& range) override {
    const double step = QCPAxisTicker::getTickStep(range);
    if (step == std::floor(step) && step >= 1) return step;
    for (double power = 1;; power *= 10)
      for (double mantissa : {1.0, 2.0, 5.0})
        if (mantissa * power >= step) return mantissa * power;
  }
};

bool SortedByKey(const QVector<QCPGraphData>& data) {
  return std::is_sorted(data.begin(), data.end(),
                        [](const QCPGraphData& a, const QCPGraphData& b) { return a.key < b.key; });
}

}  // namespace

double ChartKeyOf(double dateTime) {
  return (dateTime - kUnixEpochDays) * kSecondsPerDay;
}

double DateTimeOfChartKey(double key) {
  return key / kSecondsPerDay + kUnixEpochDays;
}

ChartWindow::ChartWindow(QWidget* parent) : QDialog(parent) {
  setObjectName("Tshowgraphwin");
  setModal(true);
  resize(552, 375);
  setSizeGripEnabled(true);

  toolBar_ = new QToolBar(this);
  toolBar_->setObjectName("ToolBar1");
  toolBar_->setAccessibleName("Toolbar");
  toolBar_->setToolButtonStyle(Qt::ToolButtonTextOnly);
  print_ = toolBar_->addAction("Print", this, &ChartWindow::PrintClick);
  copy_ = toolBar_->addAction("Copy", this, &ChartWindow::CopyClick);
  close_ = toolBar_->addAction("Close", this, &QDialog::reject);
  print_->setShortcut(QKeySequence::Print);
  copy_->setShortcut(QKeySequence::Copy);
  print_->setToolTip("Print (Ctrl+P)");
  copy_->setToolTip("Copy (Ctrl+C)");
  close_->setToolTip("Close (Esc)");
  // The buttons take the focus by Tab, as the chart does after them.
  for (QAction* a : {print_, copy_, close_}) {
    QWidget* button = toolBar_->widgetForAction(a);
    button->setFocusPolicy(Qt::TabFocus);
    button->setAccessibleName(a->text());
  }

  chart_ = new ZoomPanPlot(this);
  chart_->setObjectName("Chart1");
  // Tab reaches the chart, so a screen reader reads its title, footer and series, and the
  // keys zoom and pan it.
  chart_->setFocusPolicy(Qt::StrongFocus);
  chart_->setBackground(Qt::white);
  chart_->legend->setVisible(false);

  // Title on top, in bold.
  chart_->plotLayout()->insertRow(0);
  QFont titleFont = font();
  titleFont.setBold(true);
  title_ = new QCPTextElement(chart_, QString(), titleFont);
  chart_->plotLayout()->addElement(0, 0, title_);

  // Time axis: date and time written upwards, no grid lines.
  auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
  ticker->setDateTimeFormat("dd.MM.yy HH:mm:ss");
  ticker->setDateTimeSpec(Qt::UTC);
  chart_->xAxis->setTicker(ticker);
  chart_->xAxis->setTickLabelRotation(-90);
  chart_->xAxis->grid()->setVisible(false);
  // Value axis: milliseconds from 0.
  chart_->yAxis->setLabel("ms");
  chart_->yAxis->setTicker(QSharedPointer<WholeNumberTicker>::create());

  series1_ = chart_->addGraph();
  series1_->setName("Request time");
  // Every point of the line is green (the darker green of the classic 16 colours), and a
  // line is drawn in the colour of its points; red is the series' own colour, which only
  // a legend would show.
  series1_->setPen(QPen(QColor(0, 128, 0), 1));
  series1_->setLineStyle(QCPGraph::lsLine);
  series1_->setScatterStyle(QCPScatterStyle::ssNone);

  // Lost records: small red rectangles, 3 pixels wide and 7 high, without outline.
  series2_ = chart_->addGraph();
  series2_->setLineStyle(QCPGraph::lsNone);
  // A mark without a pen of its own takes the series' pen for its outline.
  series2_->setPen(Qt::NoPen);
  // The marks stand on the zero line: centred on it, the axis would cut off their lower
  // half whenever the view starts at 0, which it does until the operator pans.
  series2_->setAntialiasedScatters(false);
  QPainterPath mark;
  mark.addRect(-1, -7, 3, 7);
  series2_->setScatterStyle(QCPScatterStyle(mark, Qt::NoPen, QBrush(Qt::red)));

  connect(chart_, &ZoomPanPlot::Zoomed, this, &ChartWindow::Chart1Zoom);
  connect(chart_, &ZoomPanPlot::CursorMoved, this, &ChartWindow::Chart1MouseMove);

  panel2_ = new QLabel(kPanelHint, this);
  panel2_->setObjectName("Panel2");
  panel2_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel2_->setTextInteractionFlags(Qt::NoTextInteraction);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(toolBar_);
  layout->addWidget(chart_, 1);
  layout->addWidget(panel2_);

  QWidget::setTabOrder(toolBar_->widgetForAction(print_), toolBar_->widgetForAction(copy_));
  QWidget::setTabOrder(toolBar_->widgetForAction(copy_), toolBar_->widgetForAction(close_));
  QWidget::setTabOrder(toolBar_->widgetForAction(close_), chart_);
  chart_->setFocus();

  CentreOnScreen(this, parent);
}

ChartWindow::~ChartWindow() = default;

void ChartWindow::Load(const RequestTimes& times, double now) {
  const QString title = QString::fromStdString(times.title);
  setWindowTitle(title);
  title_->setText(title);

  QVector<QCPGraphData> good, bad;
  good.reserve(static_cast<qsizetype>(times.goodCount));
  bad.reserve(static_cast<qsizetype>(times.badCount));
  double first = 0, last = 0;
  for (const RequestTimePoint& p : times.points) {
    double key = ChartKeyOf(p.time);
    if (good.isEmpty() && bad.isEmpty()) first = last = key;
    first = std::min(first, key);
    last = std::max(last, key);
    if (p.good)
      good.append(QCPGraphData(key, static_cast<double>(p.ms)));
    else
      bad.append(QCPGraphData(key, 0));
  }
  // The points go in as the file has them; a log is nearly always in time order, and only
  // one that is not pays for sorting.
  series1_->data()->set(good, SortedByKey(good));
  series2_->data()->set(bad, SortedByKey(bad));

  QCPRange keys(first, last);
  if (times.points.empty())
    keys = QCPRange(ChartKeyOf(now - 1), ChartKeyOf(now));
  else if (first == last)
    keys = QCPRange(first - 60, last + 60);
  // The value axis ends at the longest request time drawn, capped at 20000 ms; an axis
  // from 0 to 0 cannot be drawn, so a chart without request times shows 0 to 1.
  QCPRange values(0, times.valueAxisMax > 0 ? static_cast<double>(times.valueAxisMax) : 1.0);
  chart_->SetHomeRanges(keys, values);

  if (!times.footer.empty()) {
    if (!footer_) {
      footer_ = new QCPTextElement(chart_, QString(), font());
      chart_->plotLayout()->addElement(chart_->plotLayout()->rowCount(), 0, footer_);
    }
    footer_->setText(QString::fromStdString(times.footer));
  } else if (footer_) {
    chart_->plotLayout()->remove(footer_);
    footer_ = nullptr;
    chart_->plotLayout()->simplify();
  }
  chart_->replot();

  // The plot paints its title and footer; a screen reader gets them, and the series in
  // words, from the chart's name and description.
  summary_ = RequestTimesSummary(times);
  chart_->setAccessibleName(title);
  chart_->setAccessibleDescription(
      times.footer.empty() ? summary_ : QString::fromStdString(times.footer) + ". " + summary_);
}

QString RequestTimesSummary(const RequestTimes& times) {
  int64_t good = 0, sum = 0, least = 0, most = 0;
  double first = 0, last = 0;
  for (const RequestTimePoint& p : times.points) {
    if (!p.good) continue;
    if (good == 0) {
      first = last = p.time;
      least = most = p.ms;
    }
    ++good;
    sum += p.ms;
    first = std::min(first, p.time);
    last = std::max(last, p.time);
    least = std::min(least, p.ms);
    most = std::max(most, p.ms);
  }
  const int64_t lost = static_cast<int64_t>(times.points.size()) - good;
  QString text = QStringLiteral("Request time: ");
  if (good == 0) {
    text += QStringLiteral("no points.");
  } else {
    text +=
        QString::number(good) + (good == 1 ? QStringLiteral(" point") : QStringLiteral(" points"));
    text += QStringLiteral(" from ") + QString::fromStdString(FormatDateTime(first)) +
            QStringLiteral(" to ") + QString::fromStdString(FormatDateTime(last));
    // Rounded as the footer rounds its average: halves to the even number.
    const double average = std::nearbyint(static_cast<double>(sum) / static_cast<double>(good));
    text += QStringLiteral(", minimum %1 ms, average %2 ms, maximum %3 ms.")
                .arg(least)
                .arg(static_cast<int64_t>(average))
                .arg(most);
  }
  text += QStringLiteral(" Lost: ") + QString::number(lost) +
          (lost == 1 ? QStringLiteral(" record.") : QStringLiteral(" records."));
  return text;
}

QString ChartWindow::TitleText() const {
  return title_->text();
}

QString ChartWindow::FooterText() const {
  return footer_ ? footer_->text() : QString();
}

void ChartWindow::Chart1Zoom() {
  QCPRange range = chart_->yAxis->range();
  if (range.lower >= 0) return;
  // A rectangle drawn wholly below the zero line keeps its height above it.
  double size = range.size();
  range.lower = 0;
  if (range.upper <= 0) range.upper = size;
  chart_->yAxis->setRange(range);
}

void ChartWindow::Chart1MouseMove(double key) {
  panel2_->setText(
      "Cursor position: " + QString::fromStdString(FormatDateTime(DateTimeOfChartKey(key))) +
      " - Click left to zoom, click right to pan");
}

void ChartWindow::PrintClick() {
  QPrinterInfo info = QPrinterInfo::defaultPrinter();
  if (info.isNull()) {
    panel2_->setText(" No printer is installed: the chart was not printed");
    return;
  }
  QPrinter printer(info, QPrinter::HighResolution);
  printer.setPageOrientation(QPageLayout::Landscape);
  printer.setDocName(windowTitle());
  if (PrintTo(printer))
    panel2_->setText(" Printed on " + info.printerName());
  else
    panel2_->setText(" Printing on " + info.printerName() + " failed");
}

bool ChartWindow::PrintTo(QPrinter& printer) {
  QCPPainter painter;
  if (!painter.begin(&printer)) return false;
  painter.setMode(QCPPainter::pmVectorized);
  painter.setMode(QCPPainter::pmNoCaching);
  // The chart as it is on screen, scaled to fill the page's width or height.
  const QRectF page = printer.pageLayout().paintRectPixels(printer.resolution());
  const int w = chart_->width(), h = chart_->height();
  const double scale = std::min(page.width() / w, page.height() / h);
  painter.scale(scale, scale);
  chart_->toPainter(&painter, w, h);
  painter.end();
  return printer.printerState() != QPrinter::Error;
}

QImage ChartWindow::ChartImage() const {
  QImage image(chart_->size(), QImage::Format_RGB32);
  image.fill(Qt::white);
  QCPPainter painter(&image);
  chart_->toPainter(&painter, image.width(), image.height());
  painter.end();
  return image;
}

void ChartWindow::CopyClick() {
  QGuiApplication::clipboard()->setImage(ChartImage());
}

}  // namespace sentrel::gui
