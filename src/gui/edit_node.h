#pragma once

#include <QString>
#include <vector>

#include "gui/monitor_editor_dialog.h"  // EditMode

class QWidget;

namespace sentrel {
class Program;
class Server;
class Monitor;
}  // namespace sentrel

namespace sentrel::gui {

struct EditResult {
  bool accepted = false;      // closed with OK
  bool groupChanged = false;  // a server's group text changed: the tree must be rebuilt
};

// Opens the editor dialog for one node of the tree, modally, and applies its values to
// the objects when it is confirmed. Group mode gets the group's text (empty for "Add
// Group...", which has no subject) and no objects; server mode the server; monitor mode
// the monitor and its server. The caller refreshes the tree afterwards.
//
// The objects may be deleted while the dialog is open (the loop keeps running), so the
// dialog must look at their tokens before it touches them again.
// groupServers: in group mode, the servers under the group node (a rename touches only
// those whose group text is still the node's).
EditResult EditNode(QWidget* parent, Program& program, EditMode mode, Server* server,
                    Monitor* monitor, const QString& groupText,
                    const std::vector<Server*>& groupServers = {});

}  // namespace sentrel::gui
