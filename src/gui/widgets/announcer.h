#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>

class QAccessibleEvent;
class QLabel;

namespace sentrel::gui {

// What a screen reader says aloud without the focus moving: a monitor that changed its
// colour, a popup's message that came while the operator types elsewhere. Qt from 6.8 on
// carries it as an accessible announcement. Before that the window shows it in a
// notification of its own (a widget of a single pixel with the role of a notification
// and the words as its name and label), which screen readers speak as it becomes
// visible; it is hidden and shown again for every announcement.
//
// What is announced in one moment (a refresh that changed several lights, a popup and
// the change that raised it) is said at once, when the loop next runs: a screen reader
// asks for the words after the event, and would hear only the last of several.
class Announcer final : public QWidget {
  Q_OBJECT

 public:
  // At most this many announcements of one moment are said in full; the rest are counted.
  static constexpr qsizetype kSaidInFull = 5;

  explicit Announcer(QWidget* window);
  void Announce(const QString& text);
  // The words said last.
  const QString& Last() const { return last_; }

 private:
  void Say();

  QLabel* words_;
  QStringList pending_;
  QString last_;
};

// The announcer of the widget's window, made on first use; the text is said from there.
void Announce(QWidget* within, const QString& text);

// The accessibility events the program raises itself (announcements, a changed tick) go
// out through here. Qt hands them to a screen reader only while one listens; the tests
// listen here instead.
void SendAccessibleEvent(QAccessibleEvent& event);
void SetAccessibleEventListener(std::function<void(QAccessibleEvent&)> listener);

}  // namespace sentrel::gui
