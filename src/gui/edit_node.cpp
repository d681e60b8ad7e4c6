#include "gui/edit_node.h"

#include "app/program.h"
#include "gui/desktop_dialogs.h"
#include "gui/monitor_editor_dialog.h"

namespace sentrel::gui {

EditResult EditNode(QWidget* parent, Program& program, EditMode mode, Server* server,
                    Monitor* monitor, const QString& groupText,
                    const std::vector<Server*>& groupServers) {
  MonitorEditorDialog& form = *DesktopDialogs::Get(parent, program).editor;
  switch (mode) {
    case EditMode::Group:
      form.SetGroup(groupText, groupServers);
      break;
    case EditMode::Server:
      if (!server) return {};
      form.SetServer(server);
      break;
    case EditMode::Monitor:
      if (!monitor) return {};
      form.SetMonitor(monitor);
      break;
  }
  if (form.exec() != QDialog::Accepted) return {};
  return {true, form.Apply()};
}

}  // namespace sentrel::gui
