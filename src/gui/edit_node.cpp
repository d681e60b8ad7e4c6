#include "gui/edit_node.h"

namespace sentrel::gui {

// The editor dialog is not here yet: until it is, editing shows nothing and changes
// nothing, so the commands around it behave as after a cancelled dialog.
EditResult EditNode(QWidget* /*parent*/, Program& /*program*/, EditMode /*mode*/,
                    TServer* /*server*/, TPort* /*monitor*/, const QString& /*groupText*/) {
  return {};
}

}  // namespace sentrel::gui
