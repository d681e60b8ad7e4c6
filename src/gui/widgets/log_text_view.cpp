#include "gui/widgets/log_text_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextOption>
#include <algorithm>
#include <climits>

namespace sentrel::gui {

namespace {

constexpr int kMargin = 3;
// Laid-out pieces kept; a screen needs a few dozen, the rest spares a jump back.
constexpr size_t kMaxCachedLayouts = 2048;

// Where a piece of a long line may end: not inside a UTF-8 sequence.
size_t PieceEnd(std::string_view line, size_t begin) {
  size_t end = std::min(line.size(), begin + LogTextView::kMaxPieceBytes);
  if (end == line.size()) return end;
  size_t cut = end;
  for (int i = 0; i < 3 && cut > begin + 1; ++i) {
    if ((static_cast<unsigned char>(line[cut]) & 0xC0) != 0x80) break;
    --cut;
  }
  return (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80 ? end : cut;
}

}  // namespace

LogTextView::LogTextView(QWidget* parent) : QAbstractScrollArea(parent) {
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setCursor(Qt::IBeamCursor);
  // Records are columns of stamps, names and numbers: they read best in a fixed font.
  setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  rowHeight_ = std::max(1, fontMetrics().lineSpacing());
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &LogTextView::OnScrollBar);
}

LogTextView::~LogTextView() = default;

void LogTextView::SetLines(LogText lines) {
  lines_ = std::move(lines);
  pieces_.clear();
  bool anyLong = false;
  for (size_t i = 0; i < lines_.Count() && !anyLong; ++i)
    anyLong = lines_[i].size() > kMaxPieceBytes;
  if (anyLong) {
    for (size_t i = 0; i < lines_.Count(); ++i) {
      std::string_view line = lines_[i];
      size_t begin = 0;
      do {
        size_t end = PieceEnd(line, begin);
        pieces_.push_back({i, begin, end - begin});
        begin = end;
      } while (begin < line.size());
    }
  }
  anchor_ = cursor_ = TextPos{};
  top_ = ScrollPos{};
  Relayout();
}

LogTextView::Piece LogTextView::PieceAt(size_t i) const {
  if (pieces_.empty()) return {i, 0, lines_[i].size()};
  return pieces_[i];
}

size_t LogTextView::FirstPieceOfLine(size_t line) const {
  if (pieces_.empty()) return line;
  auto it = std::lower_bound(pieces_.begin(), pieces_.end(), line,
                             [](const Piece& p, size_t l) { return p.line < l; });
  return static_cast<size_t>(it - pieces_.begin());
}

QString LogTextView::PieceText(size_t i) const {
  Piece p = PieceAt(i);
  std::string_view bytes = lines_[p.line].substr(p.begin, p.length);
  return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

bool LogTextView::ContinuesLine(size_t i) const {
  return !pieces_.empty() && i > 0 && pieces_[i].line == pieces_[i - 1].line;
}

int LogTextView::TextWidth() const {
  return std::max(1, viewport()->width() - 2 * kMargin);
}

int LogTextView::VisibleRows() const {
  return std::max(1, viewport()->height() / rowHeight_);
}

LogTextView::Layout& LogTextView::LayoutOf(size_t piece) {
  auto it = layouts_.find(piece);
  if (it != layouts_.end()) return *it->second;
  if (layouts_.size() >= kMaxCachedLayouts) layouts_.clear();
  auto made = std::make_unique<Layout>();
  made->text = PieceText(piece);
  made->layout.setText(made->text);
  made->layout.setFont(font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  made->layout.setTextOption(option);
  made->layout.setCacheEnabled(true);
  made->layout.beginLayout();
  int rows = 0;
  for (QTextLine line = made->layout.createLine(); line.isValid();
       line = made->layout.createLine()) {
    line.setLineWidth(TextWidth());
    line.setPosition(QPointF(0, rows * rowHeight_));
    ++rows;
  }
  made->layout.endLayout();
  made->rows = std::max(1, rows);
  return *layouts_.emplace(piece, std::move(made)).first->second;
}

void LogTextView::Relayout() {
  layouts_.clear();
  rowHeight_ = std::max(1, fontMetrics().lineSpacing());
  // The last position at which the pane is still full: count the rows of one screen back
  // from the end.
  maxTop_ = ScrollPos{};
  size_t n = PieceCount();
  int need = VisibleRows();
  for (size_t piece = n; piece-- > 0;) {
    int rows = RowsOf(piece);
    if (rows >= need) {
      maxTop_ = ScrollPos{piece, rows - need};
      break;
    }
    need -= rows;
  }
  if (top_.piece >= n) top_ = ScrollPos{};
  top_.row = std::min(top_.row, n > 0 ? RowsOf(top_.piece) - 1 : 0);
  top_ = std::min(top_, maxTop_);
  UpdateScrollBar();
  viewport()->update();
}

void LogTextView::UpdateScrollBar() {
  syncingScrollBar_ = true;
  QScrollBar* bar = verticalScrollBar();
  bar->setRange(0, static_cast<int>(std::min<size_t>(maxTop_.piece, INT_MAX)));
  bar->setPageStep(VisibleRows());
  bar->setSingleStep(1);
  bar->setValue(static_cast<int>(std::min<size_t>(top_.piece, INT_MAX)));
  syncingScrollBar_ = false;
}

void LogTextView::SetTop(ScrollPos top) {
  top = std::min(top, maxTop_);
  if (top == top_) return;
  top_ = top;
  UpdateScrollBar();
  viewport()->update();
}

void LogTextView::OnScrollBar(int value) {
  if (syncingScrollBar_) return;
  SetTop(ScrollPos{static_cast<size_t>(value), 0});
}

size_t LogTextView::TopLine() const {
  return PieceCount() == 0 ? 0 : PieceAt(top_.piece).line;
}

size_t LogTextView::BottomLine() {
  size_t n = PieceCount();
  if (n == 0) return 0;
  long long rowsLeft = (viewport()->height() + rowHeight_ - 1) / rowHeight_ + top_.row;
  size_t piece = top_.piece;
  while (piece + 1 < n && (rowsLeft -= RowsOf(piece)) > 0) ++piece;
  return PieceAt(piece).line;
}

int LogTextView::RowsOfLine(size_t line) {
  if (line >= lines_.Count()) return 0;
  int rows = 0;
  for (size_t p = FirstPieceOfLine(line); p < PieceCount() && PieceAt(p).line == line; ++p)
    rows += RowsOf(p);
  return rows;
}

void LogTextView::ScrollToTop() {
  SetTop(ScrollPos{});
}

void LogTextView::ScrollToBottom() {
  SetTop(maxTop_);
}

void LogTextView::ScrollToLine(size_t line) {
  if (line < lines_.Count()) SetTop(ScrollPos{FirstPieceOfLine(line), 0});
}

void LogTextView::ScrollRows(long long rows) {
  if (PieceCount() == 0) return;
  ScrollPos top = top_;
  if (rows > 0) {
    while (rows > 0 && top < maxTop_) {
      int left = RowsOf(top.piece) - top.row;
      if (rows < left) {
        top.row += static_cast<int>(rows);
        break;
      }
      rows -= left;
      ++top.piece;
      top.row = 0;
    }
  } else {
    long long need = -rows;
    while (need > 0) {
      if (top.row >= need) {
        top.row -= static_cast<int>(need);
        break;
      }
      need -= top.row;
      top.row = 0;
      if (top.piece == 0) break;
      --top.piece;
      top.row = RowsOf(top.piece);
    }
  }
  SetTop(top);
}

QString LogTextView::SelectedText() const {
  TextPos from = std::min(anchor_, cursor_), to = std::max(anchor_, cursor_);
  if (from == to) return QString();
  QString text;
  for (size_t p = from.piece; p <= to.piece; ++p) {
    QString piece = PieceText(p);
    int begin = p == from.piece ? std::min<int>(from.offset, piece.size()) : 0;
    int end = p == to.piece ? std::min<int>(to.offset, piece.size()) : piece.size();
    if (p > from.piece && !ContinuesLine(p)) text += QLatin1Char('\n');
    text += QStringView(piece).mid(begin, end - begin);
  }
  return text;
}

void LogTextView::SelectAll() {
  anchor_ = TextPos{};
  cursor_ = PieceCount() == 0 ? TextPos{} : TextPos{PieceCount() - 1, INT_MAX};
  viewport()->update();
}

void LogTextView::ClearSelection() {
  anchor_ = cursor_ = TextPos{};
  viewport()->update();
}

void LogTextView::Copy() {
  if (HasSelection()) QGuiApplication::clipboard()->setText(SelectedText());
}

void LogTextView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const size_t n = PieceCount();
  if (n == 0) return;
  TextPos from = std::min(anchor_, cursor_), to = std::max(anchor_, cursor_);
  QTextCharFormat selected;
  selected.setBackground(palette().brush(QPalette::Highlight));
  selected.setForeground(palette().brush(QPalette::HighlightedText));
  painter.setPen(palette().color(QPalette::Text));

  int y = -top_.row * rowHeight_;
  for (size_t piece = top_.piece; piece < n && y < viewport()->height(); ++piece) {
    Layout& l = LayoutOf(piece);
    QList<QTextLayout::FormatRange> selections;
    if (from != to && piece >= from.piece && piece <= to.piece) {
      int begin = piece == from.piece ? std::min<int>(from.offset, l.text.size()) : 0;
      int end = piece == to.piece ? std::min<int>(to.offset, l.text.size()) : l.text.size();
      if (end > begin) selections.append({begin, end - begin, selected});
    }
    l.layout.draw(&painter, QPointF(kMargin, y), selections);
    y += l.rows * rowHeight_;
  }
}

void LogTextView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  Relayout();
}

void LogTextView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) Relayout();
}

void LogTextView::wheelEvent(QWheelEvent* event) {
  // Fine-grained wheels send fractions of a notch; they add up to whole rows.
  wheelRows_ -= event->angleDelta().y() / 120.0 * QApplication::wheelScrollLines();
  long long rows = static_cast<long long>(wheelRows_);
  wheelRows_ -= static_cast<double>(rows);
  if (rows != 0) ScrollRows(rows);
  event->accept();
}

void LogTextView::keyPressEvent(QKeyEvent* event) {
  if (event == QKeySequence::Copy) {
    Copy();
  } else if (event == QKeySequence::SelectAll) {
    SelectAll();
  } else if (event == QKeySequence::MoveToStartOfDocument || event->key() == Qt::Key_Home) {
    ScrollToTop();
  } else if (event == QKeySequence::MoveToEndOfDocument || event->key() == Qt::Key_End) {
    ScrollToBottom();
  } else if (event->key() == Qt::Key_Up) {
    ScrollRows(-1);
  } else if (event->key() == Qt::Key_Down) {
    ScrollRows(1);
  } else if (event->key() == Qt::Key_PageUp) {
    ScrollRows(-std::max(1, VisibleRows() - 1));
  } else if (event->key() == Qt::Key_PageDown) {
    ScrollRows(std::max(1, VisibleRows() - 1));
  } else {
    // Escape and Return belong to the window.
    QAbstractScrollArea::keyPressEvent(event);
  }
}

LogTextView::TextPos LogTextView::HitTest(QPoint point) {
  const size_t n = PieceCount();
  if (n == 0) return TextPos{};
  long long row = top_.row + (point.y() >= 0 ? point.y() / rowHeight_ : -1);
  size_t piece = top_.piece;
  // Above the pane: the rows before the top piece.
  while (row < 0 && piece > 0) {
    --piece;
    row += RowsOf(piece);
  }
  if (row < 0) return TextPos{0, 0};
  while (row >= RowsOf(piece)) {
    if (piece + 1 >= n) return TextPos{piece, static_cast<int>(LayoutOf(piece).text.size())};
    row -= RowsOf(piece);
    ++piece;
  }
  QTextLine line = LayoutOf(piece).layout.lineAt(static_cast<int>(row));
  int offset = line.isValid() ? line.xToCursor(point.x() - kMargin) : 0;
  return TextPos{piece, offset};
}

void LogTextView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  TextPos at = HitTest(event->position().toPoint());
  if (!(event->modifiers() & Qt::ShiftModifier)) anchor_ = at;
  cursor_ = at;
  selecting_ = true;
  viewport()->update();
}

void LogTextView::mouseMoveEvent(QMouseEvent* event) {
  if (!selecting_) return QAbstractScrollArea::mouseMoveEvent(event);
  QPoint point = event->position().toPoint();
  // Dragging past the edge scrolls, a row per move.
  if (point.y() < 0) ScrollRows(-1);
  if (point.y() >= viewport()->height()) ScrollRows(1);
  cursor_ = HitTest(point);
  viewport()->update();
}

void LogTextView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !selecting_)
    return QAbstractScrollArea::mouseReleaseEvent(event);
  selecting_ = false;
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (HasSelection() && clipboard->supportsSelection())
    clipboard->setText(SelectedText(), QClipboard::Selection);
}

void LogTextView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* copy = menu.addAction(tr("&Copy"), this, &LogTextView::Copy);
  copy->setEnabled(HasSelection());
  copy->setShortcut(QKeySequence::Copy);
  QAction* all = menu.addAction(tr("Select All"), this, &LogTextView::SelectAll);
  all->setShortcut(QKeySequence::SelectAll);
  menu.exec(event->globalPos());
}

}  // namespace sentrel::gui
