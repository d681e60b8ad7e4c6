#include "gui/accessible_names.h"

#include <QLabel>
#include <QWidget>

namespace sentrel::gui {

QString NameFromLabelText(const QString& text) {
  QString name = text;
  name.remove(QLatin1Char('&'));
  name = name.trimmed();
  while (name.endsWith(QLatin1Char(':')) || name.endsWith(QLatin1Char('.'))) name.chop(1);
  return name.trimmed();
}

void NameControlsFromLabels(QWidget* root) {
  for (QLabel* label : root->findChildren<QLabel*>()) {
    QWidget* buddy = label->buddy();
    if (buddy && buddy->accessibleName().isEmpty())
      buddy->setAccessibleName(NameFromLabelText(label->text()));
  }
}

}  // namespace sentrel::gui
