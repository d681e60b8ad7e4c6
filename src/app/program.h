#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "events/event_list.h"
#include "model/frontend.h"
#include "model/server_list.h"
#include "model/text_pane.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "reports/availability_tracker.h"
#include "reports/status_web_server.h"
#include "scan/scanner.h"

namespace sentrel {

class AlertmanagerNotifier;
class HttpPoster;
class RealEventActions;

// What start-up needs to know from the command line.
struct StartOptions {
  std::string commandLineFile;  // the optional SERVERFILE argument
  std::vector<int> webPorts{80, 8080, 8081};
  std::string webBind;  // the web server's address; empty: all interfaces
  Shard shard;          // the servers this Sentrel watches
  bool headless = false;
  bool startWeb = false;   // headless: start the web server unless --no-web
  bool startScan = false;  // headless always scans
  // The window starts scanning itself once it is on screen (StartScanOnStartup), so the
  // first pass never runs before the operator sees the program.
  bool frontEndStartsScan = false;
  // A line for "Messages/Errors" after the start line (the settings moved to a new place).
  std::string settingsNote;
};

// The program without its windows: it owns the configuration, the scan engine, the
// events and the two panes, runs start-up and closing, and carries out the operator's
// commands. A window (or the headless front end) attaches through the Frontend.
class Program : public ScanHost {
 public:
  Program(Frontend& frontend, SettingsStore& settings);
  ~Program() override;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Main-window creation without the windows: panes, settings, server file, events,
  // the start line, and (as configured) the web server and scanning.
  void Create(const StartOptions& options);
  void ReadSettings();
  void WriteSettings();
  // Closing: save the server file when there is one and it may be written, then write
  // the settings. Headless the server file is never written: nothing can change the
  // configuration there, and an administrator's file keeps its comments and order. A
  // failed save throws (the settings are then not written) and leaves the file intact.
  void Close();
  // "&Save": SaveToFile on configFile. False, with nothing written, when there is no
  // current file or when it is a file that did not read as a server file: the window
  // then asks for a name with "Save as".
  bool Save();
  // The close that cannot ask the operator (SIGTERM, SIGINT): saves the server file when
  // it may be written; otherwise, or when that fails, writes the configuration to a
  // recovery file in the data directory and says where in the errors log and on standard
  // error. Nothing is written for a configuration with nothing to lose (empty, or the
  // untouched default of a first start). Never throws.
  void SaveOrRecover();
  // "Save as" confirmed: the chosen path becomes the current server file (the dialog
  // has asked before overwriting, so even a file that held no server may be replaced),
  // it is saved, and the settings are written.
  void SaveAs(const std::string& path);
  // "&Open": replaces the configuration by the file at path, which becomes the current
  // server file. A file that holds no server, or cannot be read, loads as an empty
  // configuration that is never saved over it; that is said in the "Messages/Errors"
  // pane (and on standard error headless), and the result is false.
  bool OpenServerFile(const std::string& path);
  // SIGHUP: reads the server file and the events file again and takes them over while
  // everything runs. Unchanged monitors keep their colour, counts and latency marks;
  // new ones are checked within seconds; removed ones stop. Files with errors are not
  // taken: their findings go to Messages/Errors and the errors log, and the running
  // configuration stays. Returns whether the files were taken.
  bool Reload();
  // "&New": an empty configuration without a file, whose first Save asks for a name.
  // Checks under way of the servers that go end with them.
  void NewConfiguration();
  // Whether the configuration differs from what was last read or written (the window's
  // edits): a reload would lose them.
  bool HasUnsavedChanges() const;
  // Whether Save may write the current server file.
  bool ServerFileWritable() const { return configFile.empty() || configFile != unreadFile_; }
  // The window's close: "&Save", except that a server file that was gone at start-up is
  // not made anew for a configuration that is still empty. Returns what Save returns.
  bool SaveOnClose();
  // A line in the "Messages/Errors" pane about something the operator must know;
  // headless also on standard error, where a service's journal shows it.
  void ReportProblem(const std::string& text) override;

  // The web server's toolbar button (a toggle button) was clicked: the operator's on/off
  // switch of the status web server. The click itself flips the button.
  void ToggleWebServer();
  // Opens the web server on the first free port of its list; the panel tells the outcome.
  void StartWebserver();

  // Scan control, as the toolbar and menu commands do it.
  // "Scan Process Active": flips scanning; on: the timer runs and a pass starts at once;
  // off: every monitor shows "?" and is due again.
  void ToggleScan();
  void StartScan();
  void StopScan();
  // Whether start-up asked for scanning that the front end is to start (see StartOptions).
  bool ScanOnStartupPending() const { return scanOnStartup_; }
  // Starts that scanning now, once.
  void StartScanOnStartup();
  // Every monitor due at once; a pass now when the timer is on.
  void ScanNow();
  // The scan timer's tick: timer off, one pass, timer on again when the pass has ended
  // (also after an error), so the next pass starts 1000 ms after this one ended.
  void ScanTimerTick();
  // "Check monitors in parallel": the [Sentrel] setting ParallelChecks, applied at once.
  void SetParallelChecks(bool on);
  bool ParallelChecks() const { return scanner.Parallel(); }
  // Ends the scan pass, every check and every event action where they wait, and keeps
  // the availability summaries.
  void EndWork();
  bool ScanTimerEnabled() const { return scanTimerEnabled_; }

  // Closing the window, Exit, SIGTERM and SIGINT: the pass in progress and every check
  // under way end where they wait, no further pass starts, and the loop is asked to
  // return so the program closes as usual. Event actions go on until Close.
  void RequestQuit();
  bool QuitRequested() const override { return quitRequested_; }
  // The close that asked for the quit did not happen (the save failed and the window
  // stays open): scanning goes on as before.
  void CancelQuit();

  // ScanHost.
  bool ScanningActive() const override { return scanActive_; }
  void SetActivityPanel(const std::string& text) override { SetStatusPanel(0, text); }
  // A change of colour may end an alert sent to Alertmanager.
  void ScreenUpdate() override;
  // The event's actions, then Alertmanager: a failure that passes the event's latency
  // count makes its monitor's alert fire.
  void RunEvent(const std::string& name, const std::string& message, const std::string& server,
                const std::string& status, int32_t n, uint64_t monitor) override;

  // The [Sentrel] setting AlertmanagerURLs (blanks or commas between URLs): written, and
  // taken at once. Items that are no URL are said in "Messages/Errors" and left out.
  void SetAlertmanagerUrls(const std::string& urls);
  std::string AlertmanagerUrls() const;
  AlertmanagerNotifier& Alertmanager() { return *alertmanager_; }
  // The [Sentrel] setting PopupWindow: whether the events' popups show in the program's
  // own popup window also where the desktop's notifications show them (default 1).
  bool PopupWindow() const;
  void SetPopupWindow(bool on);
  // The monitor with this run id, or nullptr.
  Monitor* MonitorByRunId(uint64_t runId);

  void SetStatusPanel(int panel, const std::string& text);
  const std::string& StatusPanel(int panel) const { return statusPanels_[static_cast<size_t>(panel)]; }

  Frontend& frontend() { return frontend_; }
  SettingsStore& settings() { return settings_; }

  ServerList serverList;
  Scanner scanner{serverList, *this};
  EventList eventList;
  std::string configFile;
  TextPane activityPane{"Activity log"};
  TextPane messagePane{"Messages/Errors"};
  // The monitors' availability, kept up to date as records are written.
  AvailabilityTracker availability;
  // After the list: it answers from the list and must go first.
  StatusWebServer webServer{serverList,
                            [this](const std::string& text) { SetStatusPanel(1, text); }};
  // The web server button: down means the operator wants the server on.
  bool webServerWanted = false;
  std::string webServerToggleText = "Start Webserver";

  // Check marks of the settings.
  bool autoStart = false;
  bool autoStartWeb = false;
  bool showLogs = true;
  bool toolbar = true;
  bool statusbar = true;
  bool alwaysOnTop = false;
  int32_t winTop = 0, winLeft = 0, winHeight = 0, winWidth = 0;

 private:
  void SetWebServerWanted(bool down);
  // Loads the file as the current server file; remembers a file that must not be
  // written over. Reports nothing.
  ServerFileContent LoadConfig(const std::string& path);
  void ReportServerFile(ServerFileContent content);
  // What a check of the loaded files found, at most 20 lines in the "Messages/Errors"
  // pane (and on standard error headless). Files that did not load are left out: their
  // own line has said so.
  void ReportFindings(ServerFileContent content, bool withEvents);
  // Sharded: how many of the servers this Sentrel watches.
  void ReportShard();

  Frontend& frontend_;
  SettingsStore& settings_;
  void SetScanTimer(bool enabled);
  void CancelWork();
  void ApplyParallelSetting();
  void ForEachMonitor(const std::function<void(Monitor&)>& f);

  // What posts webhooks and alerts; before the actions and the notifier that use it.
  std::unique_ptr<HttpPoster> poster_;
  std::unique_ptr<AlertmanagerNotifier> alertmanager_;
  void ApplyAlertmanagerUrls(const std::string& urls);
  // The actions the events carry out (popup and notice through the front end).
  std::unique_ptr<RealEventActions> eventActions_;
  std::array<std::string, 2> statusPanels_{"", "Sentrel-Webserver: idle"};
  // The current server file when it did not read as a server file; Save leaves it alone.
  std::string unreadFile_;
  // The current server file when its load dropped sections: its first save keeps it as
  // it was (OriginalBackupPath), so the ".bak" before it stays too.
  std::string lossyFile_;
  size_t droppedSections_ = 0;
  // The current server file when it was not there at start-up.
  std::string missingFile_;
  // The configuration as last read or written, to tell unsaved changes.
  std::string savedContent_;
  void NoteSaved() { savedContent_ = serverList.Content(false); }
  // Whether the events file was there and read as INI text; its names are then checked.
  bool eventsFileRead_ = false;
  bool headless_ = false;
  double startTime_ = 0;
  bool scanActive_ = false;
  bool quitRequested_ = false;
  bool scanTimerEnabled_ = false;
  bool passAgain_ = false;
  bool scanOnStartup_ = false;
  EventLoop::TimerId scanTimerId_ = 0;
  // The real ping, HTTP and port checks the scanner runs. Declared last, so it goes
  // first: requests still in flight let go of the monitors before those are destroyed.
  std::unique_ptr<Checks> networkChecks_;
};

// The product's name and version as the program prints them.
constexpr const char* kProductVersion = "2.2";
constexpr const char* kEventsFileName = "events.ini";
// [Sentrel] settings of the parallel checks: on or off, and how many at once.
constexpr const char* kParallelChecksKey = "ParallelChecks";
constexpr const char* kParallelLimitKey = "ParallelCheckLimit";
// [Sentrel] setting: the Alertmanagers that get the alerts.
constexpr const char* kAlertmanagerUrlsKey = "AlertmanagerURLs";
// [Sentrel] setting: the popup window beside the desktop's notifications.
constexpr const char* kPopupWindowKey = "PopupWindow";

}  // namespace sentrel
