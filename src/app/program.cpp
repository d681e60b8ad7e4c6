#include "app/program.h"

#include <unistd.h>

#include <cstdio>

#include "app/alertmanager.h"
#include "app/config_check.h"
#include "events/real_event_actions.h"
#include "model/dependencies.h"
#include "model/last_activity.h"
#include "model/tree_order.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "scan/http_post.h"
#include "scan/network_checks.h"

namespace sentrel {

Program::Program(Frontend& frontend, SettingsStore& settings)
    : frontend_(frontend), settings_(settings), networkChecks_(MakeNetworkChecks(scanner)) {
  scanner.SetChecks(networkChecks_.get());
  poster_ = std::make_unique<ClientHttpPoster>();
  AlertmanagerNotifier::Host host;
  host.held = [this](const Monitor& m) {
    return m.alertRun.held || HoldOf(serverList, *m.server, Now()).Any();
  };
  host.statusPageUrl = [this] {
    if (!webServer.Listening()) return std::string();
    std::string address = webServer.BindAddress();
    if (address.empty() || address == "0.0.0.0" || address == "::") {
      char name[256] = {};
      address = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
    } else if (address.find(':') != std::string::npos) {
      address = "[" + address + "]";
    }
    return "http://" + address + ":" + std::to_string(webServer.Port()) + "/";
  };
  alertmanager_ = std::make_unique<AlertmanagerNotifier>(*poster_, std::move(host));
  webServer.SetCountersSource([this] {
    ProgramCounters c;
    c.checksDone = scanner.checksDone;
    c.recordsWritten = scanner.recordsWritten;
    if (const Checks* checks = scanner.GetChecks()) c.httpChecksQueued = checks->Waiting();
    c.startTime = startTime_;
    return c;
  });
  webServer.SetAvailabilitySource(&availability);
}

Program::~Program() {
  SetScanTimer(false);
  CancelWork();
}

void Program::CancelWork() {
  scanner.CancelAll();
  eventList.CancelRuns();
  if (eventActions_) eventActions_->CancelDeliveries();
  if (alertmanager_) alertmanager_->CancelPosts();
}

void Program::EndWork() {
  CancelWork();
  availability.SaveSummaries();
}

void Program::ScreenUpdate() {
  frontend_.ScreenUpdate();
  alertmanager_->Sweep();
}

void Program::RunEvent(const std::string& name, const std::string& message,
                       const std::string& server, const std::string& status, int32_t n,
                       uint64_t monitor) {
  eventList.RunEvent(name, message, server, status, n, monitor);
  if (n == 99999999 || !alertmanager_->Enabled()) return;
  const int32_t after = eventList.AlertAfter(name);
  if (after < 0 || n <= after) return;
  // The actions may have deleted the monitor meanwhile.
  if (Monitor* m = MonitorByRunId(monitor); m && m->Colour() == StatusColour::Red)
    alertmanager_->Fire(*m, message);
}

Monitor* Program::MonitorByRunId(uint64_t runId) {
  for (int i = 0; i < serverList.Count(); ++i) {
    Server* server = serverList.Items(i);
    for (int j = 0; j < server->ports.Count(); ++j)
      if (server->ports.Items(j)->runId == runId) return server->ports.Items(j);
  }
  return nullptr;
}

bool Program::PopupWindow() const {
  return settings_.ReadNumber(kSentrelSection, kPopupWindowKey, 1) != 0;
}

void Program::SetPopupWindow(bool on) {
  settings_.WriteText(kSentrelSection, kPopupWindowKey, on ? "1" : "0");
}

std::string Program::AlertmanagerUrls() const {
  return settings_.ReadText(kSentrelSection, kAlertmanagerUrlsKey, "");
}

void Program::SetAlertmanagerUrls(const std::string& urls) {
  settings_.WriteText(kSentrelSection, kAlertmanagerUrlsKey, urls);
  ApplyAlertmanagerUrls(urls);
}

void Program::ApplyAlertmanagerUrls(const std::string& urls) {
  for (const std::string& problem : alertmanager_->SetUrls(urls))
    ReportProblem("AlertmanagerURLs: " + problem + ": no alerts go there");
}

void Program::SetScanTimer(bool enabled) {
  EventLoop& loop = CurrentLoop();
  if (scanTimerId_) {
    loop.CancelTimer(scanTimerId_);
    scanTimerId_ = 0;
  }
  scanTimerEnabled_ = enabled;
  if (enabled) {
    scanTimerId_ = loop.AddTimer(1000, [this] {
      scanTimerId_ = 0;
      ScanTimerTick();
    });
  }
}

void Program::ScanTimerTick() {
  SetScanTimer(false);
  // A closing program starts no further pass.
  if (quitRequested_) return;
  if (scanner.PassRunning()) {
    // "Scan Now" during a pass: the next one follows as soon as this one ends.
    passAgain_ = true;
    return;
  }
  passAgain_ = false;
  scanner.Execute([this] {
    if (quitRequested_) return;
    if (passAgain_ && scanActive_)
      ScanTimerTick();
    else
      SetScanTimer(true);
  });
}

void Program::RequestQuit() {
  quitRequested_ = true;
  SetScanTimer(false);
  // Checks are cheap to do again: the pass and every check under way end now, where
  // they wait, so nothing holds the close.
  scanner.CancelAll();
  CurrentLoop().Quit();
}

void Program::CancelQuit() {
  if (!quitRequested_) return;
  quitRequested_ = false;
  // Scanning that was on goes on with the next tick.
  if (scanActive_ && !scanTimerEnabled_ && !scanner.PassRunning()) SetScanTimer(true);
}

void Program::SetParallelChecks(bool on) {
  settings_.WriteText(kSentrelSection, kParallelChecksKey, on ? "1" : "0");
  ApplyParallelSetting();
}

void Program::ApplyParallelSetting() {
  // Checks run side by side unless the settings say 0: a silent host then delays
  // nothing but its own check.
  const bool on = settings_.ReadNumber(kSentrelSection, kParallelChecksKey, 1) != 0;
  // Without a limit of its own, the descriptor budget sets how many run at once.
  int limit = 0;
  const std::string text = settings_.ReadText(kSentrelSection, kParallelLimitKey, "");
  if (!text.empty()) {
    try {
      limit = std::stoi(text);
    } catch (const std::exception&) {
      limit = 0;
    }
  }
  scanner.SetParallel(on, limit);
}

void Program::ToggleScan() {
  scanActive_ = !scanActive_;
  SetScanTimer(scanActive_);
  if (scanActive_) {
    ScanTimerTick();
    return;
  }
  // Stop means stop: the pass and every check under way end where they wait, as when
  // the program closes, so no verdict, record or event comes after the lights went grey.
  scanner.CancelAll();
  ForEachMonitor([](Monitor& m) {
    m.status = "?";
    m.ResetLastCheck();
  });
  // Every run of failures is over: nothing held back is raised later.
  scanner.Alerts().Reset();
  ScreenUpdate();
}

void Program::ForEachMonitor(const std::function<void(Monitor&)>& f) {
  for (int i = 0; i < serverList.Count(); ++i) {
    Server* server = serverList.Items(i);
    for (int j = 0; j < server->ports.Count(); ++j) f(*server->ports.Items(j));
  }
}

void Program::StartScan() {
  if (!scanActive_) ToggleScan();
}

void Program::StopScan() {
  if (scanActive_) ToggleScan();
}

void Program::ScanNow() {
  ForEachMonitor([](Monitor& m) { m.ResetLastCheck(); });
  if (scanTimerEnabled_ || (scanActive_ && scanner.PassRunning())) ScanTimerTick();
}

void Program::SetStatusPanel(int panel, const std::string& text) {
  statusPanels_[static_cast<size_t>(panel)] = text;
  frontend_.StatusPanelChanged(panel, text);
}

void Program::ReadSettings() {
  const std::string s = kSettingsSection;
  configFile = settings_.ReadText(s, "config", "");
  autoStart = settings_.ReadNumber(s, "AutoStart", 0) != 0;
  autoStartWeb = settings_.ReadNumber(s, "AutoStartWeb", 0) != 0;
  showLogs = settings_.ReadNumber(s, "show logs", 1) != 0;
  toolbar = settings_.ReadNumber(s, "toolbar", 1) != 0;
  statusbar = settings_.ReadNumber(s, "statusbar", 1) != 0;
  alwaysOnTop = settings_.ReadNumber(s, "Alwaysontop", 0) != 0;
}

void Program::WriteSettings() {
  const std::string s = kSettingsSection;
  settings_.WriteText(s, "config", configFile);
  settings_.WriteNumber(s, "AutoStart", autoStart ? 1 : 0);
  settings_.WriteNumber(s, "AutoStartWeb", autoStartWeb ? 1 : 0);
  settings_.WriteNumber(s, "Show logs", showLogs ? 1 : 0);
  settings_.WriteNumber(s, "toolbar", toolbar ? 1 : 0);
  settings_.WriteNumber(s, "Statusbar", statusbar ? 1 : 0);
  settings_.WriteNumber(s, "Alwaysontop", alwaysOnTop ? 1 : 0);
  settings_.WriteNumber(s, "Wintop", winTop);
  settings_.WriteNumber(s, "Winleft", winLeft);
  settings_.WriteNumber(s, "Winheight", winHeight);
  settings_.WriteNumber(s, "Winwidth", winWidth);
  settings_.Save();
}

void Program::Create(const StartOptions& options) {
  serverList.activityPane = &activityPane;
  serverList.messagePane = &messagePane;
  eventActions_ = std::make_unique<RealEventActions>(frontend_, &messagePane, poster_.get());
  eventList.context.actions = eventActions_.get();
  eventList.context.history = &messagePane;
  eventList.context.reminderState = [this](uint64_t runId) {
    ReminderState state;
    for (int i = 0; i < serverList.Count(); ++i) {
      Server* server = serverList.Items(i);
      for (int j = 0; j < server->ports.Count(); ++j) {
        const Monitor& m = *server->ports.Items(j);
        if (m.runId != runId) continue;
        state.red = m.Colour() == StatusColour::Red;
        state.held = m.alertRun.held || HoldOf(serverList, *server, Now()).Any();
        state.downSince = m.lastUp;
        state.lostCount = m.lostCount;
        return state;
      }
    }
    return state;
  };
  headless_ = options.headless;
  serverList.shard = options.shard;
  ReadSettings();
  ApplyParallelSetting();
  // Kept from the root, so the next start from another directory finds the same file.
  if (!options.commandLineFile.empty() && FileExists(options.commandLineFile))
    configFile = AbsolutePath(options.commandLineFile);
  ServerFileContent content = ServerFileContent::Servers;
  if (!configFile.empty())
    content = LoadConfig(configFile);
  else
    serverList.CreateDefault();

  std::string eventsPath = DataPath(kEventsFileName);
  const bool eventsFile = FileExists(eventsPath);
  EventsFileContent events = EventsFileContent::Missing;
  if (eventsFile)
    events = eventList.LoadFromFile(eventsPath);
  else
    eventList.AddDefault();
  eventsFileRead_ = events == EventsFileContent::Events;

  // The figures of every log from its day summary, before the tree first shows them;
  // what no summary covers is read in the background.
  serverList.logObserver = &availability;
  availability.Follow(serverList);

  // Placing the servers in the tree names empty groups "Main"; without a window the
  // program still does it, so both front ends save the same file.
  TreeOrder(serverList);
  NoteSaved();
  frontend_.BuildTree();
  messagePane.Clear();
  startTime_ = Now();
  messagePane.AddLine(FormatDateTime(startTime_) + " Sentrel " + kProductVersion + " started");
  // After the start line, which clears the pane: the operator must see these.
  if (!options.settingsNote.empty()) ReportProblem(options.settingsNote);
  ReportServerFile(content);
  // An events file without a single event (empty, binary, or other text) leaves every
  // monitor without an alert, "Default" included; that must not go unnoticed.
  if (events == EventsFileContent::NotIniText || events == EventsFileContent::Unreadable) {
    std::string reason = "it cannot be read";
    if (events == EventsFileContent::NotIniText)
      if (auto text = ReadWholeFile(eventsPath)) reason = IniFile::Parse(*text).NotIniReason();
    ReportProblem("Events file " + eventsPath + " is not an events file (" + reason +
                  "): no alert will be raised until it is replaced");
  } else if (eventsFile && eventList.Count() == 0) {
    ReportProblem("Events file " + eventsPath +
                  " holds no event: no alert will be raised until events are added");
  }
  ReportFindings(content, true);
  ReportShard();
  ApplyAlertmanagerUrls(AlertmanagerUrls());

  webServer.SetPorts(options.webPorts);
  webServer.SetBindAddress(options.webBind);
  // The window follows "Start Webserver on Startup"; without a window the server runs
  // unless the command line says otherwise.
  const bool startWeb = options.headless ? options.startWeb : autoStartWeb;
  if (startWeb)
    StartWebserver();
  else
    SetStatusPanel(1, "Sentrel-Webserver disabled");
  SetWebServerWanted(webServer.Listening());
  if (options.headless ? options.startScan : autoStart) {
    if (options.frontEndStartsScan)
      scanOnStartup_ = true;
    else
      StartScan();
  }
}

void Program::StartScanOnStartup() {
  if (!scanOnStartup_) return;
  scanOnStartup_ = false;
  if (!quitRequested_) StartScan();
}

void Program::StartWebserver() {
  // Read when the server starts, so the settings file names these addresses only for
  // an operator who uses the server.
  webServer.SetAddresses(StatusPageAddresses::ForSite(settings_.Sentrel("StatusPageSite", ""),
                                                      settings_.Sentrel("Homepage", "")));
  webServer.StartWebserver();
  // The panel keeps its short text; the reason, in the system's words, goes here.
  if (!webServer.Listening())
    ReportProblem("Sentrel-Webserver cannot listen: " + webServer.StartFailure());
}

void Program::SetWebServerWanted(bool down) {
  webServerWanted = down;
  webServerToggleText = down ? "Stop Webserver" : "Start Webserver";
}

void Program::ToggleWebServer() {
  const bool down = !webServerWanted;
  if (webServer.Listening() || !down) {
    if (!down) webServer.StopWebserver();
  } else {
    StartWebserver();
  }
  if (!webServer.Listening()) SetStatusPanel(1, "Sentrel-Webserver is offline");
  // A failed start leaves the button down: the next click releases it.
  SetWebServerWanted(down);
}

bool Program::Save() {
  if (configFile.empty() || !ServerFileWritable()) return false;
  const bool lossy = !lossyFile_.empty() && configFile == lossyFile_;
  serverList.SaveToFile(configFile,
                        lossy ? ServerList::Backup::KeepOriginal : ServerList::Backup::Replace);
  NoteSaved();
  lossyFile_.clear();
  missingFile_.clear();
  return true;
}

void Program::SaveOrRecover() {
  std::string failure;
  try {
    if (SaveOnClose()) return;
  } catch (const std::exception& e) {
    failure = e.what();
    CurrentLoop().ReportError(failure);
  }
  if (serverList.Count() == 0) return;
  if (configFile.empty() && failure.empty()) {
    ServerList fresh;
    fresh.CreateDefault();
    TreeOrder(fresh);
    if (fresh.Content() == serverList.Content()) return;
  }
  const double now = Now();
  int y = 0, mo = 0, d = 0;
  DecodeDate(now, y, mo, d);
  const int ms = TimeOfDayMs(now);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", y, mo, d, ms / 3600000,
                ms / 60000 % 60, ms / 1000 % 60);
  const std::string path = DataPath(std::string("recovered-") + stamp + ".mcf");
  std::string text;
  try {
    WriteFileAtomic(path, serverList.Content());
    text = "The server file " + (configFile.empty() ? std::string("(none yet)") : configFile) +
           " could not be saved at the end: the configuration is in " + path;
  } catch (const std::exception& e) {
    text = "The server file " + configFile + " could not be saved, and neither could " + path +
           ": " + e.what();
  }
  CurrentLoop().ReportError(text);
  std::fprintf(stderr, "sentrel: %s\n", text.c_str());
  std::fflush(stderr);
}

bool Program::SaveOnClose() {
  // Nothing was added to the empty configuration of a file that is gone: closing must
  // not put an empty file in its place as if it were the operator's.
  if (!configFile.empty() && configFile == missingFile_ && serverList.Count() == 0) return true;
  return Save();
}

void Program::SaveAs(const std::string& path) {
  configFile = path;
  unreadFile_.clear();
  lossyFile_.clear();
  missingFile_.clear();
  Save();
  WriteSettings();
}

ServerFileContent Program::LoadConfig(const std::string& path) {
  configFile = path;
  droppedSections_ = 0;
  ServerFileContent content = serverList.LoadFromFile(path, &droppedSections_);
  // The configuration is empty now; saving it would replace whatever the file holds.
  const bool notServerFile =
      content == ServerFileContent::NoServer || content == ServerFileContent::Unreadable;
  unreadFile_ = notServerFile ? path : std::string();
  lossyFile_ = droppedSections_ > 0 && !notServerFile ? path : std::string();
  missingFile_ = content == ServerFileContent::Missing ? path : std::string();
  return content;
}

void Program::ReportServerFile(ServerFileContent content) {
  if (content == ServerFileContent::NoServer)
    ReportProblem("Server file " + configFile +
                  " holds no server: it is not INI text with [server] sections. Sentrel "
                  "will not write over it");
  else if (content == ServerFileContent::Unreadable)
    ReportProblem("Server file " + configFile + " cannot be read. Sentrel will not write over it");
  else if (content == ServerFileContent::Missing)
    ReportProblem(
        "Server file " + configFile + " is gone (deleted or moved): the configuration is empty" +
        (headless_ ? std::string() : "; the file is written again only when a server is added"));
}

void Program::ReportFindings(ServerFileContent content, bool withEvents) {
  const bool serversRead = !configFile.empty() && content == ServerFileContent::Servers;
  std::vector<std::string> names;
  if (eventsFileRead_) eventList.GetNames(names);
  Findings findings;
  if (serversRead) CheckServerFile(configFile, eventsFileRead_ ? &names : nullptr, findings);
  if (withEvents && eventsFileRead_ && eventList.Count() > 0) {
    Findings events;
    CheckEventsFile(DataPath(kEventsFileName), events);
    findings.Append(events);
  }
  const std::string command =
      "sentrel --check" + (configFile.empty() ? std::string() : " " + configFile);
  for (const std::string& line : StartupFindingLines(findings, command)) ReportProblem(line);
  // A save writes what was loaded, so what was dropped would be gone with the ".bak"
  // of the save after it; the first save keeps the file as it is under its own name.
  if (serversRead && droppedSections_ > 0 && !headless_)
    ReportProblem("Server file " + configFile + ": " + std::to_string(droppedSections_) +
                  (droppedSections_ == 1 ? " section was" : " sections were") +
                  " not loaded; the first save keeps the file as it is now in " +
                  OriginalBackupPath(configFile));
}

bool Program::OpenServerFile(const std::string& path) {
  ServerFileContent content = LoadConfig(path);
  TreeOrder(serverList);
  NoteSaved();
  availability.Follow(serverList);
  ReportServerFile(content);
  ReportFindings(content, false);
  return ServerFileWritable();
}

void Program::NewConfiguration() {
  serverList.Clear();
  configFile.clear();
  unreadFile_.clear();
  lossyFile_.clear();
  missingFile_.clear();
  droppedSections_ = 0;
  NoteSaved();
}

bool Program::HasUnsavedChanges() const {
  return serverList.Content(false) != savedContent_;
}

bool Program::Reload() {
  LastActivity = "Reload";
  const std::string eventsPath = DataPath(kEventsFileName);
  Findings findings = CheckConfiguration(configFile, eventsPath);
  if (!configFile.empty() && !FileExists(configFile))
    findings.Error(configFile, 0, "no such file");
  const std::string files = configFile.empty() ? eventsPath : configFile + " and " + eventsPath;
  if (findings.ErrorCount() > 0) {
    const std::string refusal =
        "Reload refused: " + CountText(findings.ErrorCount(), findings.WarningCount()) + " (" +
        files + "); the running configuration stays as it was";
    ReportProblem(refusal);
    CurrentLoop().ReportError(refusal);
    const std::string command =
        "sentrel --check" + (configFile.empty() ? std::string() : " " + configFile);
    for (const std::string& line : StartupFindingLines(findings, command)) {
      ReportProblem(line);
      CurrentLoop().ReportError(line);
    }
    return false;
  }

  ReloadCounts counts;
  if (!configFile.empty()) {
    ServerList fresh;
    size_t dropped = 0;
    const ServerFileContent content = fresh.LoadFromFile(configFile, &dropped);
    if (content != ServerFileContent::Servers) {
      // The check has read the same file; it can only have changed since.
      ReportProblem("Reload refused: " + configFile + " did not read as a server file");
      return false;
    }
    TreeOrder(fresh);
    counts = serverList.Adopt(fresh);
    unreadFile_.clear();
    missingFile_.clear();
    droppedSections_ = dropped;
    lossyFile_ = dropped > 0 ? configFile : std::string();
  }
  const EventsFileContent events = eventList.ReloadFromFile(eventsPath);
  eventsFileRead_ = events == EventsFileContent::Events;
  TreeOrder(serverList);
  NoteSaved();
  frontend_.BuildTree();
  ReportProblem("Reloaded " + files + ": " + std::to_string(counts.kept) +
                (counts.kept == 1 ? " monitor" : " monitors") + " unchanged, " +
                std::to_string(counts.added) + " new, " + std::to_string(counts.removed) +
                " removed");
  ReportShard();
  // Warnings are shown as at start-up; they never stop a reload.
  const std::string command =
      "sentrel --check" + (configFile.empty() ? std::string() : " " + configFile);
  for (const std::string& line : StartupFindingLines(findings, command)) ReportProblem(line);
  // The next pass checks the new monitors (due two seconds after loading).
  return true;
}

void Program::ReportShard() {
  if (!serverList.shard.Sharded()) return;
  int watched = 0;
  for (int i = 0; i < serverList.Count(); ++i) watched += serverList.Watches(*serverList.Items(i));
  ReportProblem("Shard " + serverList.shard.Text() + ": this Sentrel watches " +
                std::to_string(watched) + " of " + std::to_string(serverList.Count()) +
                (serverList.Count() == 1 ? " server" : " servers") +
                "; the others are left to the other shards");
}

void Program::ReportProblem(const std::string& text) {
  messagePane.AddLine(FormatDateTime(Now()) + " " + text);
  if (headless_) {
    std::fprintf(stderr, "sentrel: %s\n", text.c_str());
    std::fflush(stderr);
  }
}

void Program::Close() {
  // Without a window nothing can change the configuration: the file stays as written.
  if (!headless_) SaveOnClose();
  WriteSettings();
  // The program ends now: every check and event action still waiting ends where it
  // waits (a mail in the middle of its dialogue says so in the errors log).
  EndWork();
}

}  // namespace sentrel
