#pragma once

#include <QAbstractScrollArea>
#include <QString>
#include <QTextLayout>
#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

#include "reports/log_view.h"

namespace sentrel::gui {

// A read-only text pane for logs of millions of lines. It keeps the lines as the log
// reader hands them over (one buffer, UTF-8) and lays out only the lines on screen, so
// opening a big log costs the read and nothing per line. Long lines wrap at the pane's
// width; there is no horizontal scroll bar. The vertical scroll bar counts lines, the
// wheel and the arrow keys move by wrapped rows; the arrow keys take the reading caret
// along, row by row, also through the first and the last screen. Text can be selected with the mouse or
// Ctrl+A and copied with Ctrl+C or the context menu.
class LogTextView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  // A line longer than this is shown (and wrapped) in pieces of at most this many bytes,
  // so one enormous line never has to be laid out at once.
  static constexpr size_t kMaxPieceBytes = 16 * 1024;

  explicit LogTextView(QWidget* parent = nullptr);
  ~LogTextView() override;

  // Takes the lines to show; the pane scrolls to the top and loses its selection.
  void SetLines(LogText lines);
  const LogText& Lines() const { return lines_; }
  size_t LineCount() const { return lines_.Count(); }

  // The line at the top of the pane (0 when empty) and the line of the last row that is
  // at least partly visible.
  size_t TopLine() const;
  size_t BottomLine();
  // Rows of the current width the line takes.
  int RowsOfLine(size_t line);
  void ScrollToTop();
  void ScrollToBottom();
  // Puts the line at the top, or as near to it as the end of the text allows.
  void ScrollToLine(size_t line);
  // Moves by wrapped rows (negative: up), stopping at either end.
  void ScrollRows(long long rows);

  bool HasSelection() const { return anchor_ != cursor_; }
  // The selected text, lines joined by "\n".
  QString SelectedText() const;
  void SelectAll();
  void ClearSelection();
  // Puts the selection on the clipboard; nothing happens without one.
  void Copy();

  // What a screen reader reads (the accessible text interface): the lines joined by
  // "\n", addressed by UTF-16 offsets. Where each line starts is counted once, the first
  // time it is asked for; after that each question costs what its answer holds, never
  // a copy of the whole log.
  qint64 TextLength();
  qint64 LineStartOffset(size_t line);
  // The line an offset falls in (the last line for the end of the text).
  size_t LineAtOffset(qint64 offset);
  // One whole line as text, without its line end.
  QString LineText(size_t line) const;
  QString TextRange(qint64 from, qint64 to);
  // The caret: where a click or the keyboard left the reading position. Scrolling by
  // keyboard takes it to the start of the top row shown, so a screen reader reads the
  // line that came into view.
  qint64 CaretOffset();
  void SetCaretOffset(qint64 offset);
  // False without a selection.
  bool SelectionOffsets(qint64* from, qint64* to);
  void SelectOffsets(qint64 from, qint64 to);
  // The character's box in viewport coordinates; empty when it is not on screen.
  QRect CharacterRect(qint64 offset);
  qint64 OffsetAt(QPoint viewportPoint);
  // Scrolls the offset's line into view when it is not shown.
  void ShowOffset(qint64 offset);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // A piece is what gets laid out: a whole line, or a slice of a very long one.
  struct Piece {
    size_t line;
    size_t begin;
    size_t length;
  };
  // A place in the text: a piece and a position (UTF-16) inside its text.
  struct TextPos {
    size_t piece = 0;
    int offset = 0;
    friend bool operator==(const TextPos&, const TextPos&) = default;
    friend auto operator<=>(const TextPos&, const TextPos&) = default;
  };
  // A scroll position: the piece at the top and how many of its rows are above the pane.
  struct ScrollPos {
    size_t piece = 0;
    int row = 0;
    friend auto operator<=>(const ScrollPos&, const ScrollPos&) = default;
  };
  struct Layout {
    QString text;
    QTextLayout layout;
    int rows = 1;
  };

  size_t PieceCount() const { return pieces_.empty() ? lines_.Count() : pieces_.size(); }
  Piece PieceAt(size_t i) const;
  size_t FirstPieceOfLine(size_t line) const;
  QString PieceText(size_t i) const;
  // Whether piece i goes on with the line of the piece before it.
  bool ContinuesLine(size_t i) const;
  Layout& LayoutOf(size_t piece);
  int RowsOf(size_t piece) { return LayoutOf(piece).rows; }
  int TextWidth() const;
  int VisibleRows() const;

  TextPos PosOfOffset(qint64 offset);
  qint64 OffsetOfPos(TextPos pos);
  // The UTF-16 length of a piece, and the offset within its line at which it starts.
  int PieceLength(size_t piece) const;
  qint64 PieceStartInLine(size_t piece) const;
  void BuildLineOffsets();
  // After the caret or the selection moved: tells a screen reader.
  void CaretMoved();
  // Keyboard scrolling: the caret to the start of the top row (no selection is touched).
  void CaretToTop();
  // Up, Down, Page Up and Page Down: the caret moves by wrapped rows and the pane follows.
  void MoveByRows(long long rows);
  // The row of the piece that holds the position, and the start of a row.
  int RowOf(TextPos pos);
  TextPos RowStart(size_t piece, int row);
  // Rows from the top of the pane down to the position's row; -1 above the pane.
  long long RowsFromTop(TextPos pos);

  void Relayout();
  void UpdateScrollBar();
  void SetTop(ScrollPos top);
  void OnScrollBar(int value);
  TextPos HitTest(QPoint point);

  LogText lines_;
  // Empty while no line is longer than kMaxPieceBytes: every line is then one piece.
  std::vector<Piece> pieces_;
  std::unordered_map<size_t, std::unique_ptr<Layout>> layouts_;
  int rowHeight_ = 1;
  ScrollPos top_;
  ScrollPos maxTop_;
  bool syncingScrollBar_ = false;
  TextPos anchor_;
  TextPos cursor_;
  bool selecting_ = false;
  double wheelRows_ = 0;
  // Where each line starts as a UTF-16 offset, one more entry for the end; empty until a
  // screen reader asks.
  std::vector<qint64> lineOffsets_;
};

}  // namespace sentrel::gui
