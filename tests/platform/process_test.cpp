#include "platform/process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/error.h"
#include "support/recording_command.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(SplitCommandLineTest, BlanksSeparateAndQuotesGroup) {
  EXPECT_THAT(SplitCommandLine("  a  b\tc "), ElementsAre("a", "b", "c"));
  EXPECT_THAT(SplitCommandLine("\"two words\" x"), ElementsAre("two words", "x"));
  EXPECT_THAT(SplitCommandLine("pre\"mid dle\"post"), ElementsAre("premid dlepost"));
  EXPECT_THAT(SplitCommandLine("\"\" x"), ElementsAre("", "x"));
  EXPECT_THAT(SplitCommandLine("\"say \"\"hi\"\"\""), ElementsAre("say \"hi\""));
  EXPECT_THAT(SplitCommandLine("a\\\"b"), ElementsAre("a\"b"));
  EXPECT_THAT(SplitCommandLine("$(x) ;|&`y` 'q r'"), ElementsAre("$(x)", ";|&`y`", "'q", "r'"));
  EXPECT_THAT(SplitCommandLine(""), IsEmpty());
  EXPECT_THAT(SplitCommandLine("\"unclosed text"), ElementsAre("unclosed text"));
}

class ProcessTest : public CoreFixture {};

TEST_F(ProcessTest, AProgramThatCannotStartIsAnError) {
  SpawnRequest r;
  r.argv = {dir_->File("missing")};
  EXPECT_THROW(Spawn(r), SystemError);
  r.argv = {"sentrel-no-such-program-anywhere"};
  EXPECT_THROW(Spawn(r), SystemError);
  WriteFile(dir_->File("plain"), "text");
  r.argv = {dir_->File("plain")};
  EXPECT_THROW(Spawn(r), SystemError);
  RecordingCommand prog(dir_->Path(), "prog");
  r.argv = {prog.Path()};
  r.workingDir = dir_->File("no-such-dir");
  EXPECT_THROW(Spawn(r), SystemError);
}

TEST_F(ProcessTest, LongInputReachesTheChildWhileTheLoopRuns) {
  RecordingCommand prog(dir_->Path(), "prog");
  std::string text(3 * 1024 * 1024, 'x');
  text[12345] = '\n';
  SpawnRequest r;
  r.argv = {prog.Path()};
  r.stdinText = text;
  SpawnDetached(r);
  ASSERT_TRUE(PumpUntil([&] { return prog.Done(); }));
  EXPECT_EQ(prog.Stdin(), text);
  EXPECT_TRUE(PumpUntil([] { return RunningChildren() == 0; }));
  EXPECT_EQ(CountZombieChildren(), 0);
}

TEST_F(ProcessTest, DetachedChildrenAreReapedByTheLoop) {
  RecordingCommand prog(dir_->Path(), "prog", 7);
  for (int i = 0; i < 5; ++i) {
    SpawnRequest r;
    r.argv = {prog.Path()};
    r.newSession = true;
    SpawnDetached(r);
  }
  EXPECT_TRUE(PumpUntil([] { return RunningChildren() == 0; }));
  EXPECT_EQ(CountZombieChildren(), 0);
}

TEST_F(ProcessTest, WaitForExitGivesTheStatusOrStopsTheChildAtTheLimit) {
  RecordingCommand quick(dir_->Path(), "quick", 4);
  SpawnRequest r;
  r.argv = {quick.Path()};
  auto status = WaitForExit(Spawn(r), 60'000);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 4);

  RecordingCommand slow(dir_->Path(), "slow", 0, 60);
  r.argv = {slow.Path()};
  int64_t before = clock_.MonotonicMs();
  EXPECT_FALSE(WaitForExit(Spawn(r), 5000));
  EXPECT_EQ(clock_.MonotonicMs() - before, 5000);
  EXPECT_EQ(CountZombieChildren(), 0);
}

}  // namespace
}  // namespace sentrel::test
