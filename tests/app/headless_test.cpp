// The program binary run the way an operator or a service runs it.
#include <signal.h>

#include "platform/file_util.h"
#include "support/process.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

class HeadlessTest : public ::testing::Test {
 protected:
  std::vector<std::string> Args(std::vector<std::string> extra) {
    std::vector<std::string> args{SENTREL_BINARY, "--data-dir", dir_.File("data"), "--settings",
                                  dir_.File("settings.ini"), "--no-web"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  TempDir dir_;
};

TEST_F(HeadlessTest, VersionHelpAndBadCommandLines) {
  std::string out, err;
  EXPECT_EQ(RunProcess({SENTREL_BINARY, "--version"}, dir_.Path(), &out), 0);
  EXPECT_EQ(out, "Sentrel 2.2\n");
  EXPECT_EQ(RunProcess({SENTREL_BINARY, "--help"}, dir_.Path(), &out), 0);
  EXPECT_NE(out.find("--data-dir DIR"), std::string::npos);
  EXPECT_EQ(RunProcess({SENTREL_BINARY, "--frobnicate"}, dir_.Path(), &out, &err), 2);
  EXPECT_NE(err.find("unknown option --frobnicate"), std::string::npos);
  EXPECT_EQ(RunProcess({SENTREL_BINARY, "--settings"}, dir_.Path(), &out, &err), 2);
  // A missing value never takes the next option: this is no "server file not found".
  EXPECT_EQ(RunProcess({SENTREL_BINARY, "--log", "--settings", "FILE"}, dir_.Path(), &out, &err), 2);
  EXPECT_EQ(err, "sentrel: option --log needs a value\nTry 'sentrel --help'.\n");
  // Headless, a server file that does not exist must not quietly become another one.
  EXPECT_EQ(RunProcess(Args({"--headless", dir_.File("nope.mcf")}), dir_.Path(), &out, &err), 2);
  EXPECT_NE(err.find("server file not found"), std::string::npos);
}

// Headless, nothing can change the configuration: an administrator's file, comments and
// unknown keys included, is left byte for byte; the settings are written.
TEST_F(HeadlessTest, RunsUntilSigtermAndLeavesItsServerFileAsWritten) {
  std::string cfg = dir_.File("servers.mcf");
  std::string original =
      "; managed by hand\n\n[loop]\nIP = 127.0.0.1\nLogfile=loop.log\nOwner=ops\n"
      "[loop:x]\nTyp=none\n";
  WriteFile(cfg, original);
  ChildProcess sentrel(Args({"--headless", cfg}), dir_.Path());
  ASSERT_TRUE(sentrel.WaitForOutput("Sentrel 2.2 started", 10000)) << sentrel.Stderr();

  // A second program on the same data directory refuses to start.
  std::string out, err;
  EXPECT_EQ(RunProcess(Args({"--headless", cfg}), dir_.Path(), &out, &err), 1);
  EXPECT_NE(err.find("already running"), std::string::npos) << err;

  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10000), 0) << sentrel.Stderr();
  EXPECT_EQ(ReadFile(cfg), original);
  EXPECT_FALSE(FileExists(dir_.File("servers.bak")));
  EXPECT_NE(ReadFile(dir_.File("settings.ini")).find("config=" + cfg + "\r\n"), std::string::npos);
}

// Settings an earlier version kept in ~/.config/Hallvik/Corvane.ini move to
// ~/.config/sentrel/sentrel.ini: read once from the old place, which is said, and kept in
// the new one from then on. Their section [Corvane] is read as before and written as
// [Options]; the old file is left alone.
TEST_F(HeadlessTest, SettingsOfAnEarlierVersionMoveToTheirNewPlaceOnce) {
  const std::string cfg = dir_.File("servers.mcf");
  WriteFile(cfg, "[loop]\r\nIP=127.0.0.1\r\nLogfile=loop.log\r\n[loop:x]\r\nTyp=none\r\n");
  const std::string home = dir_.File("config");
  const std::string old = home + "/Hallvik/Corvane.ini";
  const std::string fresh = home + "/sentrel/sentrel.ini";
  const std::string oldText = "[Corvane]\r\nconfig=" + cfg + "\r\n[Sentrel]\r\nHomepage=x\r\n";
  MakeDirectories(home + "/Hallvik");
  WriteFile(old, oldText);
  auto run = [&] {
    ChildProcess sentrel({SENTREL_BINARY, "--data-dir", dir_.File("data"), "--no-web", "--headless"},
                         dir_.Path(), {"XDG_CONFIG_HOME=" + home});
    EXPECT_TRUE(sentrel.WaitForOutput("Sentrel 2.2 started", 10000)) << sentrel.Stderr();
    sentrel.Signal(SIGTERM);
    EXPECT_EQ(sentrel.Wait(10000), 0) << sentrel.Stderr();
    return sentrel.Stderr() + sentrel.Stdout();
  };
  const std::string first = run();
  EXPECT_NE(first.find("Settings read from " + old +
                       ", where earlier versions kept them; they are kept in " + fresh +
                       " from now on"),
            std::string::npos)
      << first;
  const std::string written = ReadFile(fresh);
  EXPECT_EQ(written.find("[Options]\r\nconfig=" + cfg + "\r\n"), 0u) << written;
  EXPECT_EQ(written.find("[Corvane]"), std::string::npos);
  EXPECT_NE(written.find("Homepage=x\r\n"), std::string::npos);
  EXPECT_EQ(ReadFile(old), oldText);
  const std::string second = run();
  EXPECT_EQ(second.find("Settings read from"), std::string::npos) << second;
}

TEST_F(HeadlessTest, AJsonServerFileIsNamedOnStandardErrorAndLeftAlone) {
  std::string cfg = dir_.File("servers.json");
  std::string json = "{\"servers\": [{\"name\": \"web1\", \"ip\": \"127.0.0.1\"}]}\n";
  WriteFile(cfg, json);
  ChildProcess sentrel(Args({"--headless", cfg}), dir_.Path());
  ASSERT_TRUE(sentrel.WaitForOutput("holds no server", 10000)) << sentrel.Stderr();
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10000), 0);
  EXPECT_NE(sentrel.Stderr().find("sentrel: Server file " + cfg + " holds no server"),
            std::string::npos)
      << sentrel.Stderr();
  EXPECT_EQ(ReadFile(cfg), json);
  EXPECT_FALSE(FileExists(dir_.File("servers.bak")));
}

// What is wrong in the files goes to standard error at start, where a service's journal
// shows it: the server file's findings, and an events file of random bytes that leaves
// every monitor without an alert.
TEST_F(HeadlessTest, TheFilesFindingsAndAnUnusableEventsFileAreSaidOnStandardError) {
  const std::string cfg = dir_.File("servers.mcf");
  WriteFile(cfg, "[loop]\nIP=127.0.0.1\n[loop:ping]\nTyp=ping\ninterval=5\n");
  MakeDirectories(dir_.File("data"));
  std::string noise;
  for (int i = 0; i < 100 * 1024; ++i) noise += static_cast<char>((i * 131 + 7) % 256);
  WriteFile(dir_.File("data/events.ini"), noise);
  ChildProcess sentrel(Args({"--headless", cfg}), dir_.Path());
  ASSERT_TRUE(sentrel.WaitForOutput("interval", 10000)) << sentrel.Stderr();
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10000), 0);
  const std::string err = sentrel.Stderr();
  EXPECT_NE(err.find("sentrel: Events file " + dir_.File("data/events.ini") +
                     " is not an events file (binary data"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("): no alert will be raised until it is replaced\n"), std::string::npos);
  EXPECT_NE(err.find("sentrel: " + cfg +
                     ":5: error: unknown key interval in [loop:ping]: it is ignored (did you "
                     "mean intervall?)\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(ReadFile(dir_.File("data/events.ini")), noise);
}

// Without a display, "sentrel" is the headless program with all its rules, and says so.
TEST_F(HeadlessTest, NoDisplayRunsHeadlessWithItsRules) {
  ChildProcess sentrel(Args({dir_.File("nope.mcf")}), dir_.Path(),
                       {"DISPLAY=", "WAYLAND_DISPLAY="});
  EXPECT_EQ(sentrel.Wait(10000), 2);
  EXPECT_NE(sentrel.Stderr().find("running headless"), std::string::npos) << sentrel.Stderr();
  EXPECT_NE(sentrel.Stderr().find("server file not found: " + dir_.File("nope.mcf")),
            std::string::npos)
      << sentrel.Stderr();
}

// A display that is named but not there (a stale DISPLAY) also runs headless instead of
// ending inside the toolkit.
TEST_F(HeadlessTest, ADisplayThatDoesNotAnswerRunsHeadless) {
  ChildProcess sentrel(Args({dir_.File("nope.mcf")}), dir_.Path(),
                       {"DISPLAY=:" + std::to_string(4000 + getpid() % 1000), "WAYLAND_DISPLAY=",
                        "QT_QPA_PLATFORM="});
  EXPECT_EQ(sentrel.Wait(10000), 2);
  // A build without the window never tries the display.
  if (sentrel.Stderr().find("this build has no window") != std::string::npos)
    GTEST_SKIP() << "built without the window";
  EXPECT_NE(sentrel.Stderr().find("cannot be reached"), std::string::npos) << sentrel.Stderr();
  EXPECT_NE(sentrel.Stderr().find("running headless"), std::string::npos) << sentrel.Stderr();
}

// The end of a headless run can still fail: the settings cannot be written (their path
// runs under a regular file). That is an error (exit 1) on standard error and in the
// errors log; the server file is untouched.
TEST_F(HeadlessTest, SettingsThatCannotBeWrittenAtTheEndExitOne) {
  std::string cfg = dir_.File("servers.mcf");
  WriteFile(cfg, "[loop]\r\nIP=127.0.0.1\r\n");
  WriteFile(dir_.File("plain"), "a regular file\n");
  std::string settings = dir_.File("plain/settings.ini");
  ChildProcess sentrel({SENTREL_BINARY, "--headless", "--no-web", "--data-dir=" + dir_.File("data"),
                        "--settings=" + settings, cfg},
                       dir_.Path());
  ASSERT_TRUE(sentrel.WaitForOutput("started", 10000)) << sentrel.Stderr();
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10000), 1);
  EXPECT_NE(sentrel.Stderr().find("plain"), std::string::npos) << sentrel.Stderr();
  EXPECT_EQ(ReadFile(cfg), "[loop]\r\nIP=127.0.0.1\r\n");
  EXPECT_NE(ReadFile(dir_.File("data/Sentrel errors.log")).find("RunTimeError"), std::string::npos);
}

}  // namespace
}  // namespace sentrel::test
