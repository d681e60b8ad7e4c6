#include "app/program.h"

#include <unistd.h>

#include "app/command_line.h"
#include "app/errors_log.h"
#include "model/last_activity.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "platform/paths.h"
#include "support/scan_fixture.h"

namespace sentrel::test {
namespace {

class ProgramTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetNow(EncodeDate(2026, 12, 6) + EncodeTime(9, 30, 0));
    settings_ = SettingsStore(dir_->File("Hallvik/Corvane.ini"));
  }
  RecordingFrontend frontend_;
  SettingsStore settings_;
};

TEST_F(ProgramTest, FirstStartUsesTheDefaults) {
  Program program(frontend_, settings_);
  program.Create(StartOptions{});
  EXPECT_EQ(program.configFile, "");
  EXPECT_FALSE(program.autoStart);
  EXPECT_FALSE(program.autoStartWeb);
  EXPECT_TRUE(program.showLogs);
  EXPECT_TRUE(program.toolbar);
  EXPECT_TRUE(program.statusbar);
  EXPECT_FALSE(program.alwaysOnTop);
  EXPECT_EQ(program.StatusPanel(1), "Sentrel-Webserver disabled");
  ASSERT_EQ(program.serverList.Count(), 1);
  EXPECT_EQ(program.serverList.Items(0)->name, "localhost");
  ASSERT_EQ(program.eventList.Count(), 1);
  EXPECT_EQ(program.eventList.Items(0)->name, "Default");
  ASSERT_EQ(program.messagePane.Count(), 1u);
  EXPECT_EQ(program.messagePane.Lines()[0], "2026-12-06 09:30:00 Sentrel 2.2 started");
  EXPECT_FALSE(program.ScanningActive());

  // Closing with no server file saves nothing but writes the settings.
  program.Close();
  EXPECT_EQ(ReadFile(dir_->File("Hallvik/Corvane.ini")),
            "[Options]\r\nconfig=\r\nAutoStart=0\r\nAutoStartWeb=0\r\nShow logs=1\r\ntoolbar=1\r\n"
            "Statusbar=1\r\nAlwaysontop=0\r\nWintop=0\r\nWinleft=0\r\nWinheight=0\r\nWinwidth=0\r\n");
}

TEST_F(ProgramTest, SettingsAreReadWithTheirDefaultsAndTheServerFileLoaded) {
  std::string cfg = dir_->File("mine.mcf");
  WriteFile(cfg, "[db1]\r\n[db1:port]\r\nTyp=port\r\nPort=5432\r\n");
  MakeDirectories(dir_->File("Hallvik"));
  WriteFile(dir_->File("Hallvik/Corvane.ini"),
            "[corvane]\r\nCONFIG=" + cfg + "\r\nshow logs=0\r\nStatusbar=yes\r\nAutoStart=0x1\r\n");
  settings_.Load();
  Program program(frontend_, settings_);
  program.Create(StartOptions{});
  EXPECT_FALSE(program.showLogs);
  EXPECT_TRUE(program.statusbar);  // "yes" is not of number type: the default
  EXPECT_TRUE(program.autoStart);
  EXPECT_TRUE(program.ScanningActive());
  ASSERT_EQ(program.serverList.Count(), 1);
  EXPECT_EQ(program.serverList.Items(0)->name, "db1");
  program.StopScan();

  // A server file named in the settings that is gone gives an empty configuration.
  unlink(cfg.c_str());
  Program again(frontend_, settings_);
  again.Create(StartOptions{});
  EXPECT_EQ(again.serverList.Count(), 0);
  again.StopScan();
}

TEST_F(ProgramTest, TheCommandLineFileWinsWhenItExistsAndIsSavedWithABackup) {
  std::string cfg = dir_->File("arg.mcf");
  WriteFile(cfg, "[web1]\r\nGroup=Web\r\n");
  WriteFile(dir_->File(kEventsFileName), "[Page]\r\nUsePopup=1\r\n");
  Program program(frontend_, settings_);
  StartOptions options;
  options.commandLineFile = cfg;
  program.Create(options);
  EXPECT_EQ(program.configFile, cfg);
  ASSERT_EQ(program.eventList.Count(), 1);
  EXPECT_EQ(program.eventList.Items(0)->name, "Page");
  program.Close();
  EXPECT_EQ(ReadFile(dir_->File("arg.bak")), "[web1]\r\nGroup=Web\r\n");
  EXPECT_NE(ReadFile(cfg).find("Group=Web\r\nGroupExpand=1\r\nPortExpand=1\r\n"), std::string::npos);
  settings_.Load();
  EXPECT_EQ(settings_.ReadText(kSettingsSection, "config", ""), cfg);

  Program other(frontend_, settings_);
  options.commandLineFile = dir_->File("does-not-exist.mcf");
  other.Create(options);
  EXPECT_EQ(other.configFile, cfg);  // a missing argument file is ignored

  // A name relative to the current directory is kept from the root, so a start from
  // elsewhere finds the same file.
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir_->Path().c_str()), 0);
  Program relative(frontend_, settings_);
  options.commandLineFile = "./arg.mcf";
  relative.Create(options);
  EXPECT_EQ(chdir(old), 0);
  EXPECT_EQ(relative.configFile, cfg);
}

TEST_F(ProgramTest, AFailedSaveAtCloseKeepsTheFileAndSkipsTheSettings) {
  std::string cfg = dir_->File("keep.mcf");
  WriteFile(cfg, "[web1]\r\n");
  Program program(frontend_, settings_);
  StartOptions options;
  options.commandLineFile = cfg;
  program.Create(options);
  struct Full : FileWriter {
    void WriteAll(int, const char*, size_t) override {
      throw SystemError("write: No space left on device", "write", 28);
    }
  } full;
  SetCurrentFileWriter(&full);
  EXPECT_THROW(program.Close(), SentrelError);
  SetCurrentFileWriter(nullptr);
  EXPECT_EQ(ReadFile(cfg), "[web1]\r\n");
  EXPECT_FALSE(FileExists(dir_->File("Hallvik/Corvane.ini")));
}

// A file that is no server file (JSON here) loads as an empty configuration; it must
// never be replaced by that emptiness, neither at a window's close nor headless.
TEST_F(ProgramTest, AFileThatHoldsNoServerIsNeverWrittenOver) {
  const std::string cfg = dir_->File("servers.json");
  const std::string json = "{\n  \"servers\": [ {\"name\": \"web1\", \"ip\": \"127.0.0.1\"} ]\n}\n";
  WriteFile(cfg, json);
  StartOptions options;
  options.commandLineFile = cfg;
  for (bool headless : {false, true}) {
    Program program(frontend_, settings_);
    options.headless = headless;
    if (headless) testing::internal::CaptureStderr();
    program.Create(options);
    const std::string err = headless ? testing::internal::GetCapturedStderr() : "";
    EXPECT_EQ(program.serverList.Count(), 0);
    ASSERT_EQ(program.messagePane.Count(), 2u);
    const std::string said = "Server file " + cfg +
                             " holds no server: it is not INI text with [server] sections. "
                             "Sentrel will not write over it";
    EXPECT_EQ(program.messagePane.Lines()[1], "2026-12-06 09:30:00 " + said);
    EXPECT_EQ(err, headless ? "sentrel: " + said + "\n" : "");
    EXPECT_FALSE(program.ServerFileWritable());
    // The window's close: Save declines, so the window asks for a name instead.
    EXPECT_FALSE(program.Save());
    program.serverList.Add("added");
    program.Close();
    EXPECT_EQ(ReadFile(cfg), json);
    EXPECT_FALSE(FileExists(dir_->File("servers.bak")));
    settings_.Load();
    EXPECT_EQ(settings_.ReadText(kSettingsSection, "config", ""), cfg);
  }

  // "Save as" onto another name writes there; the JSON file stays as it is.
  Program program(frontend_, settings_);
  options.headless = false;
  program.Create(options);
  program.serverList.Add("web1");
  program.SaveAs(dir_->File("servers.mcf"));
  EXPECT_TRUE(program.ServerFileWritable());
  EXPECT_EQ(ReadFile(cfg), json);
  EXPECT_EQ(ReadFile(dir_->File("servers.mcf")).substr(0, 8), "[web1]\r\n");
  settings_.Load();
  EXPECT_EQ(settings_.ReadText(kSettingsSection, "config", ""), dir_->File("servers.mcf"));
  // "Open" of the JSON file again: said in the pane, and protected again.
  EXPECT_FALSE(program.OpenServerFile(cfg));
  EXPECT_NE(program.messagePane.Lines().back().find("holds no server"), std::string::npos);
  EXPECT_FALSE(program.Save());
  // The operator confirmed Save as onto the JSON file itself: that is a wish to replace it.
  program.serverList.Add("web2");
  program.SaveAs(cfg);
  EXPECT_EQ(ReadFile(cfg).substr(0, 8), "[web2]\r\n");
  EXPECT_EQ(ReadFile(dir_->File("servers.bak")), json);
}

// An events file with no event leaves the list empty (no "Default" either), and says so.
TEST_F(ProgramTest, AnEventsFileWithoutEventsIsReported) {
  WriteFile(DataPath("events.ini"), "{ \"events\": [] }\n");
  Program program(frontend_, settings_);
  program.Create(StartOptions{});
  EXPECT_EQ(program.eventList.Count(), 0);
  ASSERT_EQ(program.messagePane.Count(), 2u);
  EXPECT_EQ(program.messagePane.Lines()[1],
            "2026-12-06 09:30:00 Events file " + DataPath("events.ini") +
                " holds no event: no alert will be raised until events are added");
}

// What a check finds in the files at start-up is shown in the pane (and headless on
// standard error): errors first, at most 20 lines, then where to see the rest.
TEST_F(ProgramTest, StartUpShowsTwentyFindingsAndPointsToTheCheckForTheRest) {
  const std::string cfg = dir_->File("thirty.mcf");
  // Ten monitors with two errors and one warning each.
  std::string text = "[web1]\r\nIP=127.0.0.1\r\n";
  for (int i = 1; i <= 10; ++i)
    text += "[web1:p" + std::to_string(i) + "]\r\nTyp=port\r\nPort=7000" + std::to_string(i) +
            "\r\nintervall=0\r\nAlarm=a\r\nAlarm=b\r\n";
  WriteFile(cfg, text);
  StartOptions options;
  options.commandLineFile = cfg;
  for (bool headless : {false, true}) {
    Program program(frontend_, settings_);
    options.headless = headless;
    testing::internal::CaptureStderr();
    program.Create(options);
    const std::string err = testing::internal::GetCapturedStderr();
    const auto& lines = program.messagePane.Lines();
    ASSERT_EQ(lines.size(), 22u);
    const std::string stamp = "2026-12-06 09:30:00 ";
    EXPECT_EQ(lines[1],
              stamp + cfg + ":5: error: Port=70001 is out of range: ports are 0 to 65535");
    EXPECT_EQ(lines[2], stamp + cfg + ":6: error: intervall=0 is out of range: 1 to 86400 seconds");
    for (size_t i = 1; i <= 20; ++i)
      EXPECT_NE(lines[i].find(": error: "), std::string::npos) << lines[i];
    EXPECT_EQ(lines[21], stamp + "... and 10 more: run sentrel --check " + cfg);
    std::string said;
    for (size_t i = 1; i < lines.size(); ++i)
      said += "sentrel: " + lines[i].substr(stamp.size()) + "\n";
    EXPECT_EQ(err, headless ? said : "");
    // The monitors load as they always did.
    EXPECT_EQ(program.serverList.Items(0)->ports.Count(), 10);
  }
}

// A load that drops sections says so, and the first save after it keeps the file as it
// was (NAME.orig.bak) without touching the ".bak" of the save before.
TEST_F(ProgramTest, AFileWhoseSectionsWereDroppedIsKeptWholeAtItsFirstSave) {
  const std::string cfg = dir_->File("hand.mcf");
  const std::string hand =
      "[web1]\r\nIP=127.0.0.1\r\n[web1:ping]\r\nTyp=ping\r\n[WEB1]\r\nIP=127.0.0.2\r\n"
      "[web2\r\nIP=127.0.0.3\r\n";
  WriteFile(cfg, hand);
  WriteFile(dir_->File("hand.bak"), "the save before\r\n");
  StartOptions options;
  options.commandLineFile = cfg;
  Program program(frontend_, settings_);
  program.Create(options);
  const auto& lines = program.messagePane.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[1].find(cfg + ":5: error: [WEB1] repeats the server section [web1] of line 1"),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find(cfg + ":7: error: header without its closing ']': [web2 is no section"),
            std::string::npos)
      << lines[2];
  EXPECT_EQ(lines[3], "2026-12-06 09:30:00 Server file " + cfg +
                          ": 2 sections were not loaded; the first save keeps the file as it is "
                          "now in " +
                          dir_->File("hand.orig.bak"));
  ASSERT_TRUE(program.Save());
  EXPECT_EQ(ReadFile(dir_->File("hand.orig.bak")), hand);
  EXPECT_EQ(ReadFile(dir_->File("hand.bak")), "the save before\r\n");
  // From then on saves go on as always: the file before becomes the ".bak".
  const std::string first = ReadFile(cfg);
  program.serverList.Add("web3");
  ASSERT_TRUE(program.Save());
  EXPECT_EQ(ReadFile(dir_->File("hand.bak")), first);
  EXPECT_EQ(ReadFile(dir_->File("hand.orig.bak")), hand);
}

// The last server file used was deleted: the pane says so, and closing does not put an
// empty file in its place unless a server was added.
TEST_F(ProgramTest, AServerFileThatIsGoneIsSaidAndNotMadeEmptyAtClose) {
  const std::string cfg = dir_->File("gone.mcf");
  MakeDirectories(dir_->File("Hallvik"));
  WriteFile(dir_->File("Hallvik/Corvane.ini"), "[Corvane]\r\nconfig=" + cfg + "\r\n");
  for (bool add : {false, true}) {
    settings_.Load();
    Program program(frontend_, settings_);
    program.Create(StartOptions{});
    ASSERT_EQ(program.messagePane.Count(), 2u);
    EXPECT_EQ(program.messagePane.Lines()[1],
              "2026-12-06 09:30:00 Server file " + cfg +
                  " is gone (deleted or moved): the configuration is empty; the file is "
                  "written again only when a server is added");
    if (add) program.serverList.Add("web1");
    program.Close();
    EXPECT_EQ(FileExists(cfg), add);
    settings_.Load();
    EXPECT_EQ(settings_.ReadText(kSettingsSection, "config", ""), cfg);
  }
  EXPECT_EQ(ReadFile(cfg).substr(0, 8), "[web1]\r\n");
}

// An events file that is no text (random bytes) loads no event, and start-up says that no
// alert will be raised; a header without "]" is no event.
TEST_F(ProgramTest, AnEventsFileThatIsNoTextIsSaidToRaiseNoAlert) {
  std::string noise = "[Default]\r\nUsePopup=1\r\n";
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 7919) % 256);
  WriteFile(DataPath("events.ini"), noise);
  for (bool headless : {false, true}) {
    Program program(frontend_, settings_);
    StartOptions options;
    options.headless = headless;
    testing::internal::CaptureStderr();
    program.Create(options);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(program.eventList.Count(), 0);
    ASSERT_EQ(program.messagePane.Count(), 2u);
    const std::string said = "Events file " + DataPath("events.ini") +
                             " is not an events file (binary data (a byte that no text holds, "
                             "on line 3)): no alert will be raised until it is replaced";
    EXPECT_EQ(program.messagePane.Lines()[1], "2026-12-06 09:30:00 " + said);
    EXPECT_EQ(err, headless ? "sentrel: " + said + "\n" : "");
  }
}

TEST_F(ProgramTest, TheErrorsLogLine) {
  LastActivity = "DoAPort web1";
  HandleRunTimeError("SetAddr: Cannot convert host address 'no such host'");
  EXPECT_EQ(ReadFile(dir_->File(kErrorsLogName)),
            "2026-12-06 09:30:00 RunTimeError SetAddr: Cannot convert host address 'no such host'"
            " (Cause might be \"DoAPort web1\")\r\n");
  // An errors log that cannot be written: the line goes to standard error instead.
  SetDataDir(dir_->File("Hallvik/Corvane.ini.missing/x"));
  testing::internal::CaptureStderr();
  HandleRunTimeError("second");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("RunTimeError second (Cause might be \"DoAPort web1\")"), std::string::npos);

  // A monster of a server name reaches a line at most 4 KB long, marked where it was cut.
  SetDataDir(dir_->Path());
  const std::string huge(5'000'000, 'x');
  LastActivity = "DoAPort " + huge;
  HandleRunTimeError("SetAddr: Cannot convert host address '" + huge + "'");
  const std::string log = ReadFile(dir_->File(kErrorsLogName));
  const std::string last = log.substr(log.rfind("\r\n", log.size() - 3) + 2);
  EXPECT_LE(last.size(), 4096u);
  EXPECT_NE(last.find("xxx... [cut] (Cause might be \"DoAPort xxx"), std::string::npos);
  EXPECT_EQ(last.substr(last.size() - 13), "... [cut]\")\r\n");
}

TEST(CommandLineTest, ParsesOptionsAndRejectsBadOnes) {
  std::string error;
  auto cl = ParseCommandLine({"--headless", "--data-dir", "/d", "--web-ports", "18080,18081", "f.mcf"}, error);
  ASSERT_TRUE(cl);
  EXPECT_EQ(cl->mode, CommandLine::Mode::Headless);
  EXPECT_EQ(cl->dataDir, "/d");
  EXPECT_EQ(cl->webPorts, (std::vector<int>{18080, 18081}));
  EXPECT_EQ(cl->serverFile, "f.mcf");
  EXPECT_FALSE(ParseCommandLine({"--bogus"}, error));
  EXPECT_EQ(error, "unknown option --bogus");
  EXPECT_FALSE(ParseCommandLine({"--data-dir"}, error));
  EXPECT_EQ(error, "option --data-dir needs a value");
  EXPECT_FALSE(ParseCommandLine({"--web-ports", "80,abc"}, error));
  EXPECT_FALSE(ParseCommandLine({"--web-ports", "0"}, error));
  EXPECT_FALSE(ParseCommandLine({"a", "b"}, error));
  auto rt = ParseCommandLine({"--request-times", "web1", "http", "7"}, error);
  ASSERT_TRUE(rt);
  EXPECT_EQ(rt->mode, CommandLine::Mode::RequestTimes);
  EXPECT_EQ(rt->days, "7");
  EXPECT_EQ(ParseCommandLine({"--version"}, error)->mode, CommandLine::Mode::Version);
}

TEST(CommandLineTest, ValuesJoinedOrFollowingAndMissingOnes) {
  std::string error;
  auto cl = ParseCommandLine({"--data-dir=/d", "--settings=/s=1.ini", "--web-bind=127.0.0.1",
                              "--log=web1", "--errors-only"},
                             error);
  ASSERT_TRUE(cl) << error;
  EXPECT_EQ(cl->dataDir, "/d");
  EXPECT_EQ(cl->settingsPath, "/s=1.ini");
  EXPECT_EQ(cl->webBind, "127.0.0.1");
  EXPECT_EQ(cl->server, "web1");
  auto rt = ParseCommandLine({"--request-times=web1", "http", "7", "--web-bind", "::1"}, error);
  ASSERT_TRUE(rt) << error;
  EXPECT_EQ(rt->monitor, "http");
  EXPECT_EQ(rt->days, "7");
  EXPECT_EQ(rt->webBind, "::1");
  // A following "--option" is the next option, never the value.
  EXPECT_FALSE(ParseCommandLine({"--log", "--settings", "FILE"}, error));
  EXPECT_EQ(error, "option --log needs a value");
  EXPECT_FALSE(ParseCommandLine({"--request-times", "web1", "--data-dir", "/d"}, error));
  EXPECT_EQ(error, "option --request-times needs a value");
  // A value that starts with one dash is a value: the dump refuses it later, clearly.
  auto dump = ParseCommandLine({"--dump-logs", "-3", "--yes"}, error);
  ASSERT_TRUE(dump) << error;
  EXPECT_EQ(dump->days, "-3");
  EXPECT_TRUE(dump->yes);
  EXPECT_FALSE(ParseCommandLine({"--headless=1"}, error));
  EXPECT_EQ(error, "option --headless takes no value");
  EXPECT_FALSE(ParseCommandLine({"--yes"}, error));
  EXPECT_EQ(error, "--yes needs --dump-logs");
  EXPECT_FALSE(ParseCommandLine({"--web-bind", "localhost"}, error));
  EXPECT_NE(error.find("--web-bind needs an IP address"), std::string::npos);
  EXPECT_FALSE(ParseCommandLine({"--frob=1"}, error));
  EXPECT_EQ(error, "unknown option --frob");
}

}  // namespace
}  // namespace sentrel::test
