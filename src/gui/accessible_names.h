#pragma once

#include <QString>

class QWidget;

namespace sentrel::gui {

// Gives every control that a label stands for (its buddy) the label's text as its
// accessible name, without the "&" of the shortcut and a closing ":" or "...". Controls
// that already carry a name keep it.
void NameControlsFromLabels(QWidget* root);
// A label's text as a name: "&Servername:" gives "Servername".
QString NameFromLabelText(const QString& text);

}  // namespace sentrel::gui
