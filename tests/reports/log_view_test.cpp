#include "reports/log_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "model/server_list.h"
#include "platform/error.h"
#include "reports/log_lines.h"
#include "reports/log_words.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::CoreFixture;
using test::WriteFile;

std::vector<std::string> ReadAll(const std::string& path, bool errorsOnly) {
  std::vector<std::string> lines;
  ReadLogLines(path, errorsOnly, [&](std::string_view l) { lines.emplace_back(l); });
  return lines;
}

std::vector<std::string> Lines(const LogText& text) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < text.Count(); ++i) lines.emplace_back(text[i]);
  return lines;
}

class LogViewTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    servers_.Add("web1");
    server_ = servers_.Items(0);
    server_->logfile = "web1.log";
  }
  std::string LogPath() const { return dir_->File("web1.log"); }

  ServerList servers_;
  Server* server_ = nullptr;
};

TEST_F(LogViewTest, WholeFileKeepsEveryLineInOrderWithoutLineEnds) {
  WriteFile(LogPath(),
            "2026-12-06 14:03:07 web1 PING 0 OK 12ms 56Bytes No error\r\n"
            "2026-12-06 14:05:07 web1 PORT 25 OK 31ms 0Bytes \r\n"
            "\r\n"
            "unix line\n"
            "last line without end");
  LogView view = ViewServerLog(*server_, false);
  EXPECT_EQ(view.caption, "Sentrel Logfile: web1");
  EXPECT_EQ(Lines(view.lines), (std::vector<std::string>{
                                   "2026-12-06 14:03:07 web1 PING 0 OK 12ms 56Bytes No error",
                                   "2026-12-06 14:05:07 web1 PORT 25 OK 31ms 0Bytes ",
                                   "",
                                   "unix line",
                                   "last line without end",
                               }));
}

TEST_F(LogViewTest, ErrorsOnlyShowsStateChangesAndResolveMessages) {
  WriteFile(LogPath(),
            "2026-12-06 14:00:00 web1 HTTP 80 OK 12ms 100Bytes E0 200 OK\r\n"
            "2026-12-06 14:01:00 web1 HTTP 80 LOST 0ms 0Bytes 404 Not Found (1 lost)\r\n"
            "2026-12-06 14:02:00 web1 HTTP 80 DOWN 0ms 0Bytes 404 Not Found (2 lost)\r\n"
            "2026-12-06 14:03:00 Ping:Unable to resolve no such host\r\n"
            "2026-12-06 14:04:00 Ping:Invalid host address\r\n"
            "2026-12-06 14:05:00 web1 HTTP 80 ok 9ms 100Bytes lower case passes\r\n"
            "2026-12-06 14:06:00 web1 HTTP 80 UP 9ms 100Bytes E0 200 OK Downtime=5 min\r\n"
            "a b c d e\r\n"
            "\"2026-12-06 14:07:00\" web1 PORT 25 OK 3ms 0Bytes\r\n"
            "2026-12-06,14:08:00,web1,PORT,25,DOWN\r\n");
  LogView view = ViewServerLog(*server_, true);
  EXPECT_EQ(view.caption, "Sentrel Logfile: web1 (errors only)");
  EXPECT_EQ(Lines(view.lines),
            (std::vector<std::string>{
                "2026-12-06 14:02:00 web1 HTTP 80 DOWN 0ms 0Bytes 404 Not Found (2 lost)",
                "2026-12-06 14:03:00 Ping:Unable to resolve no such host",
                "2026-12-06 14:05:00 web1 HTTP 80 ok 9ms 100Bytes lower case passes",
                "2026-12-06 14:06:00 web1 HTTP 80 UP 9ms 100Bytes E0 200 OK Downtime=5 min",
                // A quoted stamp is one word, so word 5 here is "3ms".
                "\"2026-12-06 14:07:00\" web1 PORT 25 OK 3ms 0Bytes",
                "2026-12-06,14:08:00,web1,PORT,25,DOWN",
            }));
}

TEST_F(LogViewTest, OnlyOkAndLostGiveAnEmptyView) {
  WriteFile(LogPath(),
            "2026-12-06 14:00:00 web1 PING 0 OK 1ms 56Bytes Success\r\n"
            "2026-12-06 14:01:00 web1 PING 0 LOST 0ms 56Bytes Request timed out (1 lost)\r\n");
  EXPECT_TRUE(ViewServerLog(*server_, true).lines.Empty());
  EXPECT_EQ(ViewServerLog(*server_, false).lines.Count(), 2u);
}

TEST_F(LogViewTest, MissingOrUnreadableLogIsAnError) {
  EXPECT_THROW(ViewServerLog(*server_, false), SentrelError);
  EXPECT_THROW(ViewServerLog(*server_, true), SentrelError);
  // An empty logfile names the data directory itself.
  server_->logfile = "";
  EXPECT_THROW(ViewServerLog(*server_, false), SentrelError);
}

TEST_F(LogViewTest, LinesAcrossBlockBordersAndLongerThanABlock) {
  // Lines of every length around the reader's block size, and one of three blocks.
  std::string content;
  std::vector<std::string> expected;
  std::mt19937 rng(7);
  size_t total = 0;
  int n = 0;
  while (total < (5u << 20)) {
    size_t len = n == 40 ? (3u << 20) : rng() % 300;
    std::string line(len, 'a' + static_cast<char>(n % 26));
    expected.push_back(line);
    content += line + (n % 3 == 0 ? "\n" : "\r\n");
    total += len;
    ++n;
  }
  WriteFile(LogPath(), content);
  EXPECT_EQ(ReadAll(LogPath(), false), expected);

  // The window's view holds the same lines in one buffer, and hears of every block read,
  // ending at the file's size.
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  LogView view = ViewServerLog(
      *server_, false, [&](uint64_t done, uint64_t size) { progress.emplace_back(done, size); });
  EXPECT_EQ(Lines(view.lines), expected);
  EXPECT_LE(view.lines.Footprint(), content.size() + (expected.size() + 1) * 2 * sizeof(size_t));
  ASSERT_GE(progress.size(), 5u);
  EXPECT_EQ(progress.back(), std::make_pair(uint64_t{content.size()}, uint64_t{content.size()}));
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

// The fast word splitter must see exactly the words SplitLogWords sees.
TEST(LeadingLogWordsTest, AgreesWithSplitLogWords) {
  // Short lines of every separator mix, and long ones whose words and separators cross
  // the first 64 bytes at every position.
  const char shortAlphabet[] = {'a', 'b', ' ', ' ', ',', '"', '\t', '\0', '\r', '1'};
  const char longAlphabet[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', ' ', ' ', ',', '"', '\0'};
  std::mt19937 rng(11);
  LeadingLogWords fast;
  std::vector<std::string> slow;
  for (int round = 0; round < 40000; ++round) {
    bool isLong = round % 2;
    std::string line(isLong ? 40 + rng() % 60 : rng() % 24, ' ');
    for (char& c : line) {
      unsigned r = rng();
      if (isLong)
        c = r % 64 == 0  ? longAlphabet[r / 64 % sizeof longAlphabet]
            : r % 5 == 0 ? longAlphabet[7 + r / 64 % 5]
                         : longAlphabet[r / 64 % 7];
      else
        c = shortAlphabet[r % sizeof shortAlphabet];
    }
    // Every few rounds, a word, blanks and a comma placed across the 64th byte.
    if (round % 10 == 0) {
      size_t at = round / 10 % 70;
      line = std::string(at, 'x') + std::string(rng() % 4, ' ') + (rng() % 2 ? "," : "") +
             std::string(rng() % 3, ' ') + "y, z";
    }
    SplitLogWords(line, slow);
    for (size_t max : {1u, 6u, 8u}) {
      fast.Split(line, max);
      ASSERT_EQ(fast.Count(), std::min(slow.size(), max)) << '[' << line << ']';
      for (size_t i = 0; i < fast.Count(); ++i) ASSERT_EQ(fast[i], slow[i]) << '[' << line << ']';
    }
  }
}

TEST(ParseDaysAnswerTest, WholeNumbersOnly) {
  EXPECT_EQ(ParseDaysAnswer("7"), 7);
  EXPECT_EQ(ParseDaysAnswer(" 4 "), 4);
  EXPECT_EQ(ParseDaysAnswer("-2"), -2);
  EXPECT_EQ(ParseDaysAnswer("0x10"), 16);
  for (const char* bad : {"", "seven", "4.5", "4 days", "99999999999"}) {
    try {
      ParseDaysAnswer(bad);
      ADD_FAILURE() << bad;
    } catch (const SentrelError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(bad) + "' is not a valid integer value");
    }
  }
}

}  // namespace
}  // namespace sentrel
