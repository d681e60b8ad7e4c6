#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "events/event_list.h"
#include "events/real_event_actions.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "support/recording_command.h"
#include "support/scan_fixture.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class SystemActionsTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    SetCurrentSettings(&settings_);
  }
  void TearDown() override {
    // Whatever a test started has ended and been reaped: no zombies are left behind.
    EXPECT_TRUE(PumpUntil([] { return RunningChildren() == 0; }));
    EXPECT_EQ(CountZombieChildren(), 0);
    CoreFixture::TearDown();
  }
  std::string Bin() const { return dir_->Path(); }

  SettingsStore settings_;
  RecordingFrontend frontend_;
  RealEventActions actions_{frontend_, nullptr};
  Event ev_;
};

TEST_F(SystemActionsTest, ExeFillsPlaceholdersInsideArgumentsAndStartsInItsDirectory) {
  MakeDirectories(dir_->File("tools"));
  RecordingCommand prog(dir_->File("tools"), "notify");
  ev_.Exe = prog.Path();
  ev_.ExePara = "<#server> <#status>";
  actions_.DoExe(ev_, "db1 PING LOST (timeout)", "db1", "LOST");
  ASSERT_TRUE(prog.WaitDone());
  EXPECT_THAT(prog.Args(), ElementsAre("db1", "LOST"));
  EXPECT_EQ(prog.Cwd(), dir_->File("tools"));
}

TEST_F(SystemActionsTest, ExeKeepsHostileTextInOneArgumentAndRunsNothing) {
  RecordingCommand prog(Bin(), "notify");
  WriteFile(dir_->File("x"), "still here");
  ev_.Exe = prog.Path();
  ev_.ExePara = "--msg <#msg> \"<#server> and more\"";
  const std::string hostile = "say \"hi\"; rm -rf x $(touch " + dir_->File("pwned") + ") `touch " +
                              dir_->File("pwned2") + "` | cat";
  actions_.DoExe(ev_, hostile, "a\" \"b", "LOST");
  ASSERT_TRUE(prog.WaitDone());
  EXPECT_THAT(prog.Args(), ElementsAre("--msg", hostile, "a\" \"b and more"));
  EXPECT_TRUE(FileExists(dir_->File("x")));
  EXPECT_FALSE(FileExists(dir_->File("pwned")));
  EXPECT_FALSE(FileExists(dir_->File("pwned2")));
}

TEST_F(SystemActionsTest, ExeOpensADocumentWithTheOpenCommand) {
  RecordingCommand opener(Bin(), "opener");
  settings_.Ini().WriteString(kSentrelSection, kOpenCommandKey, opener.Path() + " <#file>");
  WriteFile(dir_->File("report.txt"), "not a program");
  ev_.Exe = dir_->File("report.txt");
  ev_.ExePara = "ignored";
  actions_.DoExe(ev_, "m", "s", "LOST");
  ASSERT_TRUE(opener.WaitDone());
  EXPECT_THAT(opener.Args(), ElementsAre(dir_->File("report.txt")));
}

TEST_F(SystemActionsTest, ExeWithoutDirectoryIsFoundOnPathAndKeepsOurDirectory) {
  RecordingCommand prog(Bin(), "sentrel-test-notify");
  std::string oldPath = getenv("PATH");
  setenv("PATH", (Bin() + ":" + oldPath).c_str(), 1);
  ev_.Exe = "sentrel-test-notify";
  ev_.ExePara = "\"two words\" one";
  actions_.DoExe(ev_, "m", "s", "LOST");
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_TRUE(prog.WaitDone());
  EXPECT_THAT(prog.Args(), ElementsAre("two words", "one"));
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(prog.Cwd(), cwd);
}

// What an action throws, or "" when it ends well: the event's runner writes a thrown
// failure to the errors log.
std::string Failure(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// An action that cannot act fails with its reason; one that has nothing to do does not.
TEST_F(SystemActionsTest, EveryActionThatCannotActSaysWhy) {
  const std::string missing = dir_->File("no-such-program");
  const std::string oldPath = getenv("PATH");
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::function<void()> run;
    std::string failure;
  };
  const Case cases[] = {
      {"program that is not there", [&] { ev_.Exe = missing; },
       [&] { actions_.DoExe(ev_, "m", "s", "LOST"); },
       "Cannot start " + missing + ": no such program"},
      {"no program named", [&] { ev_.Exe = ""; }, [&] { actions_.DoExe(ev_, "m", "s", "LOST"); },
       ""},
      {"network message command that is not there",
       [&] {
         settings_.Ini().WriteString(kSentrelSection, kNetSendAllKey, missing);
         ev_.NetSend = "*";
       },
       [&] { actions_.DoNetSend(ev_, "m", "s", "LOST"); },
       "Cannot send the network message: Cannot start " + missing + ": No such file or directory"},
      {"no sound player on the PATH",
       [&] {
         settings_.Ini().WriteString(kSentrelSection, kSoundCommandKey, "");
         ev_.Sound = "alarm.wav";
         setenv("PATH", "/nonexistent", 1);
       },
       [&] { RunToCompletion(actions_.DoSound(ev_)); },
       "Cannot play alarm.wav: no sound player found (pw-play, paplay, aplay; or set "
       "SoundCommand)"},
  };
  for (const Case& c : cases) {
    c.prepare();
    EXPECT_EQ(Failure(c.run), c.failure) << c.what;
    setenv("PATH", oldPath.c_str(), 1);
  }
}

TEST_F(SystemActionsTest, NetSendToEverybodyUsesWallWithTheTextOnInput) {
  RecordingCommand wall(Bin(), "wall");
  settings_.Ini().WriteString(kSentrelSection, kNetSendAllKey, wall.Path());
  ev_.NetSend = "*";
  ev_.NetSendText = "<#server> is <#status>; $(reboot)";
  actions_.DoNetSend(ev_, "m", "db1", "DOWN (2)");
  ASSERT_TRUE(wall.WaitDone());
  EXPECT_THAT(wall.Args(), IsEmpty());
  EXPECT_EQ(wall.Stdin(), "db1 is DOWN (2); $(reboot)\n");
}

TEST_F(SystemActionsTest, NetSendToAUserUsesWriteAndNeverAnOption) {
  RecordingCommand write(Bin(), "write");
  std::string def = kNetSendUserDefault;
  settings_.Ini().WriteString(kSentrelSection, kNetSendUserKey,
                              write.Path() + def.substr(def.find(' ')));
  ev_.NetSend = "-alice";
  ev_.NetSendText = "line one\r\nline two\n";
  actions_.DoNetSend(ev_, "m", "db1", "LOST");
  ASSERT_TRUE(write.WaitDone());
  EXPECT_THAT(write.Args(), ElementsAre("--", "-alice"));
  EXPECT_EQ(write.Stdin(), "line one\r\nline two\n");
}

TEST_F(SystemActionsTest, NetSendWithoutAddresseeSendsNothing) {
  RecordingCommand wall(Bin(), "wall");
  settings_.Ini().WriteString(kSentrelSection, kNetSendAllKey, wall.Path());
  settings_.Ini().WriteString(kSentrelSection, kNetSendUserKey, wall.Path());
  ev_.NetSendText = "text";
  actions_.DoNetSend(ev_, "m", "db1", "LOST");
  EXPECT_EQ(RunningChildren(), 0u);
  EXPECT_FALSE(wall.Done());
}

TEST_F(SystemActionsTest, SoundPlaysToItsEndBeforeReturning) {
  RecordingCommand player(Bin(), "player", 0, 0.2);
  settings_.Ini().WriteString(kSentrelSection, kSoundCommandKey, player.Path() + " -q <#file>");
  ev_.Sound = dir_->File("alarm.wav");
  RunToCompletion(actions_.DoSound(ev_));
  EXPECT_TRUE(player.Done());
  EXPECT_THAT(player.Args(), ElementsAre("-q", dir_->File("alarm.wav")));

  RecordingCommand unused(Bin(), "unused");
  settings_.Ini().WriteString(kSentrelSection, kSoundCommandKey, unused.Path());
  ev_.Sound = "";
  RunToCompletion(actions_.DoSound(ev_));
  EXPECT_FALSE(unused.Done());
}

TEST_F(SystemActionsTest, WhileTheSoundPlaysOrARebootIsAskedForTheLoopGoesOn) {
  // Real time: the player is a real child, and the loop's timer must fire while it runs.
  SetCurrentClock(nullptr);
  RecordingCommand player(Bin(), "player", 0, 0.4);
  settings_.Ini().WriteString(kSentrelSection, kSoundCommandKey, player.Path() + " <#file>");
  ev_.Sound = "alarm.wav";
  bool servedDuringSound = false;
  loop_->AddTimer(50, [&] { servedDuringSound = !player.Done(); });
  RunToCompletion(actions_.DoSound(ev_));
  EXPECT_TRUE(servedDuringSound);
  EXPECT_TRUE(player.Done());

  // An ssh that takes its time to reach the other computer.
  RecordingCommand ssh(Bin(), "ssh", 0, 0.4);
  settings_.Ini().WriteString(kSentrelSection, kRemoteRebootKey, ssh.Path());
  ev_.Shutdown = "db1";
  bool servedDuringReboot = false;
  loop_->AddTimer(50, [&] { servedDuringReboot = !ssh.Done(); });
  RunToCompletion(actions_.DoShutdown(ev_));
  EXPECT_TRUE(servedDuringReboot);
  EXPECT_TRUE(ssh.Done());
  EXPECT_THAT(frontend_.popups, IsEmpty());
  SetCurrentClock(&clock_);
}

TEST_F(SystemActionsTest, SoundPlayerThatHangsIsStoppedAtTheLimit) {
  RecordingCommand player(Bin(), "player", 0, 30);
  settings_.Ini().WriteString(kSentrelSection, kSoundCommandKey, player.Path());
  ev_.Sound = "x.wav";
  int64_t before = clock_.MonotonicMs();
  EXPECT_EQ(Failure([&] { RunToCompletion(actions_.DoSound(ev_)); }),
            "Cannot play x.wav: " + player.Path() + " did not finish within 600 s and was stopped");
  EXPECT_EQ(clock_.MonotonicMs() - before, kSoundLimitMs);
  EXPECT_FALSE(player.Done());
}

TEST_F(SystemActionsTest, RebootOfThisMachineAndItsFailureInThePopup) {
  RecordingCommand ok(Bin(), "shutdown-ok");
  std::string def = kRebootDefault;
  settings_.Ini().WriteString(kSentrelSection, kRebootKey, ok.Path() + def.substr(def.find(' ')));
  RunToCompletion(actions_.DoShutdown(ev_));
  EXPECT_THAT(ok.Args(), ElementsAre("-r", "+1", kRebootMessage));
  EXPECT_THAT(frontend_.popups, IsEmpty());

  // A failure shows in the popup and reaches the errors log as well.
  RecordingCommand refused(Bin(), "shutdown-refused", 3);
  settings_.Ini().WriteString(kSentrelSection, kRebootKey, refused.Path());
  EXPECT_EQ(Failure([&] { RunToCompletion(actions_.DoShutdown(ev_)); }),
            "Cannot reboot this machine: " + refused.Path() + " ended with exit code 3");
  EXPECT_THAT(frontend_.popups, ElementsAre("Error rebooting remote computer (3)"));

  settings_.Ini().WriteString(kSentrelSection, kRebootKey, dir_->File("missing"));
  EXPECT_EQ(Failure([&] { RunToCompletion(actions_.DoShutdown(ev_)); }),
            "Cannot reboot this machine: Cannot start " + dir_->File("missing") +
                ": No such file or directory");
  EXPECT_EQ(frontend_.popups.back(), "Error rebooting remote computer (2)");
}

TEST_F(SystemActionsTest, RebootOfAnotherComputerGoesOverSshAndCanBeCancelled) {
  RecordingCommand ssh(Bin(), "ssh");
  std::string def = kRemoteRebootDefault;
  settings_.Ini().WriteString(kSentrelSection, kRemoteRebootKey,
                              ssh.Path() + def.substr(def.find(' ')));
  ev_.Shutdown = "db1";
  RunToCompletion(actions_.DoShutdown(ev_));
  EXPECT_THAT(ssh.Args(), ElementsAre("-o", "BatchMode=yes", "-o", "ConnectTimeout=15", "--", "db1",
                                      std::string("shutdown -r +1 '") + kRebootMessage + "'"));
  EXPECT_THAT(frontend_.popups, IsEmpty());

  RecordingCommand cancel(Bin(), "cancel");
  def = kRemoteAbortRebootDefault;
  settings_.Ini().WriteString(kSentrelSection, kRemoteAbortRebootKey,
                              cancel.Path() + def.substr(def.find(' ')));
  RunToCompletion(actions_.AbortShutdown("db1"));
  EXPECT_THAT(cancel.Args(), ElementsAre("-o", "BatchMode=yes", "-o", "ConnectTimeout=15", "--",
                                         "db1", "shutdown -c"));
}

TEST_F(SystemActionsTest, PopupAndPrintGoThroughTheFrontEnd) {
  actions_.DoPopup(ev_, "db1 PING DOWN (timeout)");
  actions_.DoPrint(ev_, "db1", "DOWN (2)");
  EXPECT_THAT(frontend_.popups, ElementsAre(FormatDateTime(Now()) + " db1 PING DOWN (timeout)"));
  EXPECT_THAT(frontend_.notices, ElementsAre("printer\r\ndb1\r\nDOWN (2)"));
}

}  // namespace
}  // namespace sentrel::test
