#pragma once

#include "gui/read_progress.h"

class QWidget;

namespace sentrel {
class Monitor;
class Server;
class ServerList;
}  // namespace sentrel

namespace sentrel::gui {

// The main window's report commands. Each runs on the UI thread and returns when its
// window is closed; an error (a log that cannot be read, an answer that is no whole
// number, an unreadable record) ends it before any window opens and goes to the caller,
// whose handler writes it to the errors log.

// "View Logfile..." and "View Logfile (errors only)...": the server's log file in a modal
// log window. The file is read in one pass; a long read shows its progress in the panel.
void ShowServerLog(QWidget* parent, const Server& server, bool errorsOnly,
                   const ActivityPanel& panel);

// "View Request Times...": asks for the number of days ("4" proposed), reads the
// monitor's records of those days and shows them in a modal chart window. Nothing
// happens when the operator cancels, or when the monitor was deleted while the question
// was open.
void ShowRequestTimes(QWidget* parent, const Monitor& monitor, const ActivityPanel& panel);

// "&Dump logs": asks for a number of days and cuts the older lines out of every server's
// log, showing "Dumping Logile " and the server's log file in the panel; the panel keeps
// the last text. Nothing happens when the operator cancels.
void DumpLogsCommand(QWidget* parent, const ServerList& servers, const ActivityPanel& panel);

}  // namespace sentrel::gui
