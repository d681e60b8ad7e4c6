// The program binary run the way an operator or a service runs it.
#include <signal.h>

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
  // Headless, a server file that does not exist must not quietly become another one.
  EXPECT_EQ(RunProcess(Args({"--headless", dir_.File("nope.mcf")}), dir_.Path(), &out, &err), 2);
  EXPECT_NE(err.find("server file not found"), std::string::npos);
}

TEST_F(HeadlessTest, RunsUntilSigtermThenSavesItsServerFile) {
  std::string cfg = dir_.File("servers.mcf");
  std::string original = "[loop]\r\nIP=127.0.0.1\r\nLogfile=loop.log\r\n[loop:x]\r\nTyp=none\r\n";
  WriteFile(cfg, original);
  ChildProcess sentrel(Args({"--headless", cfg}), dir_.Path());
  ASSERT_TRUE(sentrel.WaitForOutput("Sentrel 2.2 started", 10000)) << sentrel.Stderr();

  // A second program on the same data directory refuses to start.
  std::string out, err;
  EXPECT_EQ(RunProcess(Args({"--headless", cfg}), dir_.Path(), &out, &err), 1);
  EXPECT_NE(err.find("already running"), std::string::npos) << err;

  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10000), 0) << sentrel.Stderr();
  EXPECT_EQ(ReadFile(dir_.File("servers.bak")), original);
  std::string saved = ReadFile(cfg);
  EXPECT_NE(saved.find("[loop]\r\nIP=127.0.0.1\r\n"), std::string::npos);
  EXPECT_NE(saved.find("[loop:x]\r\nTyp=none\r\nPort=0\r\nData=\r\nAlarm=default\r\nintervall=10\r\n"),
            std::string::npos);
  EXPECT_NE(ReadFile(dir_.File("settings.ini")).find("config=" + cfg + "\r\n"), std::string::npos);
}

TEST_F(HeadlessTest, AFailedSaveAtCloseExitsOneWithTheFileIntact) {
  // The server file's directory becomes unusable while the program runs.
  std::string sub = dir_.File("cfgdir");
  ASSERT_EQ(system(("mkdir -p " + sub).c_str()), 0);
  std::string cfg = sub + "/servers.mcf";
  WriteFile(cfg, "[loop]\r\nIP=127.0.0.1\r\n");
  ChildProcess sentrel(Args({"--headless", cfg}), dir_.Path());
  ASSERT_TRUE(sentrel.WaitForOutput("started", 10000)) << sentrel.Stderr();
  // Mount a full tmpfs-like obstacle: replace the directory by a read-only bind of itself.
  if (system(("mount --bind -o ro " + sub + " " + sub + " 2>/dev/null").c_str()) != 0 &&
      system(("mount --bind " + sub + " " + sub + " && mount -o remount,bind,ro " + sub + " 2>/dev/null").c_str()) != 0) {
    sentrel.Signal(SIGTERM);
    sentrel.Wait(10000);
    GTEST_SKIP() << "cannot make a read-only bind mount here";
  }
  sentrel.Signal(SIGTERM);
  int code = sentrel.Wait(10000);
  ASSERT_EQ(system(("umount " + sub).c_str()), 0);
  EXPECT_EQ(code, 1);
  EXPECT_NE(sentrel.Stderr().find("Unable to write to " + cfg), std::string::npos);
  EXPECT_EQ(ReadFile(cfg), "[loop]\r\nIP=127.0.0.1\r\n");
  EXPECT_NE(ReadFile(dir_.File("data/Sentrel errors.log")).find("RunTimeError Unable to write to " + cfg),
            std::string::npos);
}

}  // namespace
}  // namespace sentrel::test
