#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QComboBox;

namespace Ui {
class MonitorEditorDialog;
}

namespace sentrel {
class EventList;
class Monitor;
class Server;
class ServerList;
}  // namespace sentrel

namespace sentrel::gui {

// What the editor edits: the numbers are the modes' old values (group -2, server -1,
// monitor 1); the panel shown for each is group 1, server 2, monitor 3.
enum class EditMode { Group = -2, Server = -1, Monitor = 1 };

// The editor dialog ("Configuration") for a group, a server or a monitor of the tree.
// It is made once and reused: SetSubject fills it, the caller shows it modally and, after
// OK, calls Apply. A monitor's type and its event choices take effect at once (Cancel
// keeps them); everything else waits for Apply.
//
// The dialog keeps no plain pointer across the modal wait: scanning and the web server
// run on while it is open, and whatever it edits may be deleted meanwhile; Apply then
// does nothing.
class MonitorEditorDialog : public QDialog {
  Q_OBJECT

 public:
  // editEvents opens the event editor with the event to show first and returns the
  // chosen event's index, or a negative number when none was chosen.
  MonitorEditorDialog(ServerList& servers, EventList& events, std::function<int(int)> editEvents,
                      QWidget* parent = nullptr);
  ~MonitorEditorDialog() override;

  // Group mode: the group node's text and the servers under it. Server mode: the server.
  // Monitor mode: the monitor (its server is its owner).
  void SetGroup(const QString& groupText, const std::vector<Server*>& serversUnderNode);
  void SetServer(Server* server);
  void SetMonitor(Monitor* monitor);

  EditMode Mode() const { return mode_; }
  // Writes the fields into the object after OK; true when a server's group changed (the
  // tree must then be rebuilt).
  bool Apply();

  // The server name rule: every blank, ",", "/", "*", ":" and "=" becomes "_", and so
  // does every character a section name of the server file cannot hold ("]" and control
  // characters).
  static QString CleanServerName(const QString& name);

  const Ui::MonitorEditorDialog& ui() const { return *ui_; }

  // OK: the server name is cleaned (also when Enter was pressed in the field, which
  // never leaves it) and refused when another server carries it in any case, or when
  // its log file name would be too long for the file system.
  void accept() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  struct Alive;

  void ShowPanel(EditMode mode);
  void CenterOnScreen();
  void FillEventLists();
  void SelectEventChoice(QComboBox* list, const char* key);
  void porttypChange();
  void ComboChange(QComboBox* list);
  void EditEventClick(QComboBox* list);
  void EditnameChange(const QString& text);
  void FillHttp();
  Monitor* EditedMonitor() const;
  Server* EditedServer() const;
  QComboBox* ListForKey(const char* key) const;

  const std::unique_ptr<Ui::MonitorEditorDialog> ui_;
  ServerList& servers_;
  EventList& events_;
  std::function<int(int)> editEvents_;

  EditMode mode_ = EditMode::Group;
  QString groupText_;
  std::unique_ptr<Alive> alive_;
  // Parent entries that name no server: kept as they are, since the list shows servers.
  std::vector<std::string> unknownParents_;
  // The maintenance windows as the field showed them when it was filled.
  QString shownMaintenance_;
  // The monitor's name and type when the dialog was filled: picking that type again
  // gives the name back.
  std::string shownName_;
  std::string shownTyp_;
  bool eventChoicesReady_ = true;
  // Set while SetMonitor fills the type list, which is not the operator picking a type.
  bool filling_ = false;
};

}  // namespace sentrel::gui
