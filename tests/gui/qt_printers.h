#pragma once

// Helpers of the window tests: readable failure messages for Qt's text types, and what
// keyboard and screen-reader users meet in a dialog.
#include <QAccessible>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <ostream>
#include <string>

inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* os) {
  *os << '{';
  for (qsizetype i = 0; i < list.size(); ++i) {
    if (i) *os << ", ";
    PrintTo(list[i], os);
  }
  *os << '}';
}

namespace sentrel::test {

// What a screen reader announces for the control.
inline QString AccessibleName(QWidget* w) {
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
  return a ? a->text(QAccessible::Name) : QString();
}

// The object names of the controls Tab reaches from `first` on, in order, once round;
// each must carry an accessible name (the ones without are listed in `unnamed`).
inline std::string TabChain(QWidget* first, QStringList* unnamed) {
  QStringList names;
  first->setFocus();
  QWidget* w = first;
  do {
    names << w->objectName();
    if (AccessibleName(w).isEmpty()) *unnamed << w->objectName();
    w = w->nextInFocusChain();
    // A spin box's own line edit is part of the spin box.
    while (!(w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)) ||
           w->objectName().startsWith(QLatin1String("qt_")))
      w = w->nextInFocusChain();
  } while (w != first && names.size() < 60);
  return names.join(QLatin1Char(',')).toStdString();
}

}  // namespace sentrel::test
