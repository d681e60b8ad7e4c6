#include "gui/widgets/log_text_accessible.h"

#include <QAccessibleWidget>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <climits>

#include "gui/widgets/log_text_view.h"

namespace sentrel::gui {

namespace {

int ToInt(qint64 v) {
  return static_cast<int>(std::clamp<qint64>(v, 0, INT_MAX));
}

// The pane as a text object. Lines, sentences and paragraphs are the log's lines (with
// their "\n", as Qt's own text objects count them); words and characters are found
// inside the one line they fall in. So every question reads one or two lines of the log,
// however long it is.
class LogTextAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit LogTextAccessible(LogTextView* view)
      : QAccessibleWidget(view, QAccessible::EditableText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    s.focusable = true;
    return s;
  }

  QString text(QAccessible::Text t) const override {
    QString v = QAccessibleWidget::text(t);
    if (t == QAccessible::Name && v.isEmpty()) v = QStringLiteral("Log");
    return v;
  }

  // Selection and caret.
  void selection(int index, int* start, int* end) const override {
    qint64 from = 0, to = 0;
    if (index == 0 && View()->SelectionOffsets(&from, &to)) {
      *start = ToInt(from);
      *end = ToInt(to);
    } else {
      *start = *end = 0;
    }
  }
  int selectionCount() const override {
    qint64 from = 0, to = 0;
    return View()->SelectionOffsets(&from, &to) ? 1 : 0;
  }
  void addSelection(int start, int end) override { View()->SelectOffsets(start, end); }
  void removeSelection(int index) override {
    if (index == 0) View()->SetCaretOffset(View()->CaretOffset());
  }
  void setSelection(int index, int start, int end) override {
    if (index == 0) View()->SelectOffsets(start, end);
  }
  int cursorPosition() const override { return ToInt(View()->CaretOffset()); }
  void setCursorPosition(int position) override { View()->SetCaretOffset(position); }

  // Text.
  QString text(int start, int end) const override { return View()->TextRange(start, end); }
  int characterCount() const override { return ToInt(View()->TextLength()); }

  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                           int* end) const override {
    return Around(offset, type, -1, start, end);
  }
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                          int* end) const override {
    return Around(offset, type, 1, start, end);
  }
  QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                       int* end) const override {
    return Around(offset, type, 0, start, end);
  }

  // Geometry.
  QRect characterRect(int offset) const override {
    const QRect r = View()->CharacterRect(offset);
    if (r.isEmpty()) return QRect();
    return QRect(View()->viewport()->mapToGlobal(r.topLeft()), r.size());
  }
  int offsetAtPoint(const QPoint& point) const override {
    const QPoint local = View()->viewport()->mapFromGlobal(point);
    if (!View()->viewport()->rect().contains(local)) return -1;
    return ToInt(View()->OffsetAt(local));
  }
  void scrollToSubstring(int start, int) override { View()->ShowOffset(start); }
  QString attributes(int, int* start, int* end) const override {
    // One plain run: the pane shows every line in the same font and colour.
    *start = 0;
    *end = characterCount();
    return QString();
  }

 private:
  LogTextView* View() const { return static_cast<LogTextView*>(widget()); }

  // The unit of the given kind at the offset (direction 0), the one before it (-1) or
  // after it (1). Start and end stay -1 when there is none.
  QString Around(int offset, QAccessible::TextBoundaryType type, int direction, int* start,
                 int* end) const {
    *start = *end = -1;
    LogTextView* view = View();
    const qint64 length = view->TextLength();
    if (offset == -1) offset = ToInt(length);  // -1 is the end of the text
    if (length == 0 || offset < 0 || offset > length) return QString();
    if (type == QAccessible::NoBoundary) {
      if (direction != 0) return QString();
      *start = 0;
      *end = ToInt(length);
      return view->TextRange(0, length);
    }
    const size_t lines = view->LineCount();
    size_t line = view->LineAtOffset(offset);
    if (type == QAccessible::LineBoundary || type == QAccessible::ParagraphBoundary ||
        type == QAccessible::SentenceBoundary) {
      if (direction < 0) {
        if (line == 0) return QString();
        --line;
      } else if (direction > 0) {
        if (line + 1 >= lines) return QString();
        ++line;
      }
      const qint64 from = view->LineStartOffset(line);
      const qint64 to = line + 1 < lines ? view->LineStartOffset(line + 1) : length;
      *start = ToInt(from);
      *end = ToInt(to);
      return view->TextRange(from, to);
    }
    // Characters and words: inside the line (its "\n" counts as the line's last
    // character), stepping to the next or previous line at its ends.
    return InLine(offset, type, direction, start, end);
  }

  QString InLine(int offset, QAccessible::TextBoundaryType type, int direction, int* start,
                 int* end) const {
    LogTextView* view = View();
    const qint64 length = view->TextLength();
    if (type == QAccessible::CharBoundary) {
      qint64 at = offset + direction;
      if (direction == 0 && offset == length) return QString();
      if (at < 0 || at >= length) return QString();
      *start = ToInt(at);
      *end = ToInt(at + 1);
      return view->TextRange(at, at + 1);
    }
    // Words, by the platform's word rules, within the line.
    const size_t lines = view->LineCount();
    size_t line = view->LineAtOffset(offset);
    qint64 lineStart = view->LineStartOffset(line);
    QString text = view->LineText(line);
    int pos = static_cast<int>(std::clamp<qint64>(offset - lineStart, 0, text.size()));
    auto wordAround = [&](int p, int* s, int* e) {
      QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
      finder.setPosition(p);
      const int ws = finder.isAtBoundary() ? p : finder.toPreviousBoundary();
      finder.setPosition(p);
      int we = finder.toNextBoundary();
      *s = std::max(0, ws);
      *e = we < 0 ? static_cast<int>(text.size()) : we;
    };
    int s = 0, e = 0;
    wordAround(pos, &s, &e);
    if (direction > 0) {
      if (e >= text.size()) {
        if (line + 1 >= lines) return QString();
        ++line;
        lineStart = view->LineStartOffset(line);
        text = view->LineText(line);
        wordAround(0, &s, &e);
      } else {
        wordAround(e, &s, &e);
      }
    } else if (direction < 0) {
      if (s <= 0) {
        if (line == 0) return QString();
        --line;
        lineStart = view->LineStartOffset(line);
        text = view->LineText(line);
        wordAround(std::max(0, static_cast<int>(text.size()) - 1), &s, &e);
      } else {
        wordAround(s - 1, &s, &e);
      }
    }
    if (e <= s) return QString();
    *start = ToInt(lineStart + s);
    *end = ToInt(lineStart + e);
    return text.mid(s, e - s);
  }
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
  if (className == QLatin1String("sentrel::gui::LogTextView") && object && object->isWidgetType())
    return new LogTextAccessible(static_cast<LogTextView*>(object));
  return nullptr;
}

}  // namespace

void InstallLogTextAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(&Factory);
    return true;
  }();
  (void)installed;
}

}  // namespace sentrel::gui
