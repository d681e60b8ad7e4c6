#include "gui/widgets/log_text_view.h"

#include <QAccessible>
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

#include "gui/widgets/log_text_accessible.h"

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
  InstallLogTextAccessibility();
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
  lineOffsets_.clear();
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
  CaretMoved();
}

void LogTextView::ClearSelection() {
  anchor_ = cursor_ = TextPos{};
  viewport()->update();
  CaretMoved();
}

void LogTextView::Copy() {
  if (HasSelection()) QGuiApplication::clipboard()->setText(SelectedText());
}

// ---------------------------------------------------------------------------------------
// The text as a screen reader addresses it

namespace {

bool IsAscii(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

int ClampToInt(qint64 v) {
  return static_cast<int>(std::clamp<qint64>(v, 0, INT_MAX));
}

}  // namespace

int LogTextView::PieceLength(size_t piece) const {
  Piece p = PieceAt(piece);
  std::string_view bytes = lines_[p.line].substr(p.begin, p.length);
  // Nearly every record is plain ASCII: its length in UTF-16 is its length in bytes.
  return IsAscii(bytes) ? static_cast<int>(bytes.size())
                        : static_cast<int>(PieceText(piece).size());
}

qint64 LogTextView::PieceStartInLine(size_t piece) const {
  qint64 start = 0;
  for (size_t p = piece; ContinuesLine(p); --p) start += PieceLength(p - 1);
  return start;
}

void LogTextView::BuildLineOffsets() {
  if (!lineOffsets_.empty()) return;
  const size_t n = lines_.Count();
  lineOffsets_.resize(n + 1);
  qint64 at = 0;
  for (size_t line = 0; line < n; ++line) {
    lineOffsets_[line] = at;
    if (pieces_.empty()) {
      at += PieceLength(line);
    } else {
      for (size_t p = FirstPieceOfLine(line); p < pieces_.size() && pieces_[p].line == line; ++p)
        at += PieceLength(p);
    }
    if (line + 1 < n) ++at;  // the "\n" between two lines
  }
  lineOffsets_[n] = at;
}

qint64 LogTextView::TextLength() {
  BuildLineOffsets();
  return lineOffsets_.back();
}

qint64 LogTextView::LineStartOffset(size_t line) {
  BuildLineOffsets();
  return lineOffsets_[std::min(line, lines_.Count())];
}

size_t LogTextView::LineAtOffset(qint64 offset) {
  BuildLineOffsets();
  const size_t n = lines_.Count();
  if (n == 0) return 0;
  auto it =
      std::upper_bound(lineOffsets_.begin(), lineOffsets_.begin() + static_cast<long>(n), offset);
  return it == lineOffsets_.begin() ? 0 : static_cast<size_t>(it - lineOffsets_.begin()) - 1;
}

QString LogTextView::LineText(size_t line) const {
  if (line >= lines_.Count()) return QString();
  if (pieces_.empty()) return PieceText(line);
  QString text;
  for (size_t p = FirstPieceOfLine(line); p < pieces_.size() && pieces_[p].line == line; ++p)
    text += PieceText(p);
  return text;
}

QString LogTextView::TextRange(qint64 from, qint64 to) {
  const qint64 length = TextLength();
  from = std::clamp<qint64>(from, 0, length);
  to = std::clamp<qint64>(to, from, length);
  QString out;
  const size_t n = lines_.Count();
  for (size_t line = LineAtOffset(from); line < n && from < to; ++line) {
    const qint64 start = lineOffsets_[line];
    if (start >= to) break;
    QString text = LineText(line);
    if (line + 1 < n) text += QLatin1Char('\n');
    const qint64 a = std::max(from, start) - start;
    const qint64 b = std::min<qint64>(to - start, text.size());
    if (b > a) out += QStringView(text).mid(a, b - a);
  }
  return out;
}

LogTextView::TextPos LogTextView::PosOfOffset(qint64 offset) {
  if (PieceCount() == 0) return TextPos{};
  const size_t line = LineAtOffset(offset);
  qint64 inLine = std::max<qint64>(0, offset - LineStartOffset(line));
  size_t piece = FirstPieceOfLine(line);
  // An offset on the border of two pieces of a long line belongs to the later one.
  while (piece + 1 < PieceCount() && ContinuesLine(piece + 1) && inLine >= PieceLength(piece)) {
    inLine -= PieceLength(piece);
    ++piece;
  }
  return TextPos{piece, static_cast<int>(std::min<qint64>(inLine, PieceLength(piece)))};
}

qint64 LogTextView::OffsetOfPos(TextPos pos) {
  if (PieceCount() == 0) return 0;
  const size_t piece = std::min(pos.piece, PieceCount() - 1);
  const qint64 inPiece = std::clamp<qint64>(pos.offset, 0, PieceLength(piece));
  return LineStartOffset(PieceAt(piece).line) + PieceStartInLine(piece) + inPiece;
}

qint64 LogTextView::CaretOffset() {
  return OffsetOfPos(cursor_);
}

void LogTextView::SetCaretOffset(qint64 offset) {
  anchor_ = cursor_ = PosOfOffset(offset);
  ShowOffset(offset);
  viewport()->update();
  CaretMoved();
}

bool LogTextView::SelectionOffsets(qint64* from, qint64* to) {
  if (!HasSelection()) return false;
  *from = OffsetOfPos(std::min(anchor_, cursor_));
  *to = OffsetOfPos(std::max(anchor_, cursor_));
  return *from != *to;
}

void LogTextView::SelectOffsets(qint64 from, qint64 to) {
  anchor_ = PosOfOffset(from);
  cursor_ = PosOfOffset(to);
  ShowOffset(to);
  viewport()->update();
  CaretMoved();
}

QRect LogTextView::CharacterRect(qint64 offset) {
  if (PieceCount() == 0) return QRect();
  const TextPos pos = PosOfOffset(offset);
  if (pos.piece < top_.piece) return QRect();
  int y = -top_.row * rowHeight_;
  for (size_t piece = top_.piece; piece < pos.piece; ++piece) {
    y += RowsOf(piece) * rowHeight_;
    if (y >= viewport()->height()) return QRect();
  }
  Layout& l = LayoutOf(pos.piece);
  QTextLine row = l.layout.lineForTextPosition(pos.offset);
  if (!row.isValid()) return QRect();
  const int top = y + row.lineNumber() * rowHeight_;
  if (top + rowHeight_ <= 0 || top >= viewport()->height()) return QRect();
  const qreal x = row.cursorToX(pos.offset);
  const qreal next = pos.offset < l.text.size() ? row.cursorToX(pos.offset + 1) : x + 1;
  return QRect(kMargin + static_cast<int>(x), top, std::max(1, static_cast<int>(next - x)),
               rowHeight_);
}

qint64 LogTextView::OffsetAt(QPoint viewportPoint) {
  return OffsetOfPos(HitTest(viewportPoint));
}

void LogTextView::ShowOffset(qint64 offset) {
  if (PieceCount() == 0) return;
  const size_t line = LineAtOffset(offset);
  if (line < TopLine() || line > BottomLine()) ScrollToLine(line);
}

void LogTextView::CaretMoved() {
  // Counting the offsets costs a pass over the log: only for a screen reader that listens.
  if (!QAccessible::isActive()) return;
  qint64 from = 0, to = 0;
  if (SelectionOffsets(&from, &to)) {
    QAccessibleTextSelectionEvent selection(this, ClampToInt(from), ClampToInt(to));
    QAccessible::updateAccessibility(&selection);
  }
  QAccessibleTextCursorEvent caret(this, ClampToInt(CaretOffset()));
  QAccessible::updateAccessibility(&caret);
}

void LogTextView::CaretToTop() {
  if (HasSelection() || PieceCount() == 0) return;
  QTextLine row = LayoutOf(top_.piece).layout.lineAt(top_.row);
  anchor_ = cursor_ = TextPos{top_.piece, row.isValid() ? row.textStart() : 0};
  CaretMoved();
}

int LogTextView::RowOf(TextPos pos) {
  QTextLine row = LayoutOf(pos.piece).layout.lineForTextPosition(pos.offset);
  return row.isValid() ? row.lineNumber() : 0;
}

LogTextView::TextPos LogTextView::RowStart(size_t piece, int row) {
  QTextLine line = LayoutOf(piece).layout.lineAt(row);
  return TextPos{piece, line.isValid() ? line.textStart() : 0};
}

long long LogTextView::RowsFromTop(TextPos pos) {
  const int row = RowOf(pos);
  if (ScrollPos{pos.piece, row} < top_) return -1;
  long long rows = 0;
  for (size_t piece = top_.piece; piece < pos.piece; ++piece) {
    rows += RowsOf(piece);
    // Far below the pane: the count goes no further than it has to.
    if (rows > VisibleRows() + 1) return rows;
  }
  return rows - top_.row + row;
}

void LogTextView::MoveByRows(long long rows) {
  const size_t n = PieceCount();
  if (n == 0) return;
  // With a selection the keys only scroll, and the selection stays.
  if (HasSelection()) {
    ScrollRows(rows);
    return;
  }
  // A caret the wheel or the scroll bar left off the pane starts from the top row shown.
  const long long shown = RowsFromTop(cursor_);
  if (shown < 0 || shown >= VisibleRows()) CaretToTop();
  // The pane moves as far as it can, and the caret the whole way: at either end of the
  // text it walks on through the rows shown, so every row can be reached one by one.
  ScrollRows(rows);
  size_t piece = cursor_.piece;
  int row = RowOf(cursor_);
  for (; rows > 0; --rows) {
    if (row + 1 < RowsOf(piece)) {
      ++row;
    } else if (piece + 1 < n) {
      ++piece;
      row = 0;
    } else {
      break;
    }
  }
  for (; rows < 0; ++rows) {
    if (row > 0) {
      --row;
    } else if (piece > 0) {
      --piece;
      row = RowsOf(piece) - 1;
    } else {
      break;
    }
  }
  anchor_ = cursor_ = RowStart(piece, row);
  // Keep the caret's row on the pane.
  const long long at = RowsFromTop(cursor_);
  if (at < 0)
    SetTop(ScrollPos{piece, row});
  else if (at >= VisibleRows())
    ScrollRows(at - VisibleRows() + 1);
  viewport()->update();
  CaretMoved();
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
    CaretToTop();
  } else if (event == QKeySequence::MoveToEndOfDocument || event->key() == Qt::Key_End) {
    ScrollToBottom();
    if (!HasSelection() && PieceCount() > 0) {
      // The last line is the one to read at the end, not the top one of the last screen.
      anchor_ = cursor_ = TextPos{FirstPieceOfLine(lines_.Count() - 1), 0};
      CaretMoved();
    }
  } else if (event->key() == Qt::Key_Up) {
    MoveByRows(-1);
  } else if (event->key() == Qt::Key_Down) {
    MoveByRows(1);
  } else if (event->key() == Qt::Key_PageUp) {
    MoveByRows(-std::max(1, VisibleRows() - 1));
  } else if (event->key() == Qt::Key_PageDown) {
    MoveByRows(std::max(1, VisibleRows() - 1));
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
  CaretMoved();
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
  CaretMoved();
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
