#include "reports/log_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_env.h"

namespace sentrel::test {
namespace {

std::vector<std::string> ReadAll(LogLineReader& reader) {
  std::vector<std::string> lines;
  std::string_view line;
  while (reader.Next(line)) lines.emplace_back(line);
  return lines;
}

// The reader sizes its buffer from the file when it opens it; a log that grows meanwhile,
// or a line longer than that buffer, must still come whole.
TEST(LogLineReaderTest, ALogThatGrowsAfterOpeningIsReadToItsNewEnd) {
  TempDir dir;
  const std::string path = dir.File("web1.log");
  WriteFile(path, "first\r\nsecond\n");
  LogLineReader reader(path);
  std::string_view line;
  ASSERT_TRUE(reader.Next(line));
  EXPECT_EQ(line, "first");

  const std::string longLine(300'000, 'x');
  int fd = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  std::string more = "third\r\n" + longLine + "\r\nlast without end";
  ASSERT_EQ(write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
  close(fd);

  EXPECT_EQ(ReadAll(reader),
            (std::vector<std::string>{"second", "third", longLine, "last without end"}));
}

TEST(LogLineReaderTest, EmptyAndTinyFiles) {
  TempDir dir;
  WriteFile(dir.File("empty.log"), "");
  LogLineReader empty(dir.File("empty.log"));
  EXPECT_TRUE(ReadAll(empty).empty());

  WriteFile(dir.File("cr.log"), "a\r");
  LogLineReader cr(dir.File("cr.log"));
  EXPECT_EQ(ReadAll(cr), std::vector<std::string>{"a"});
}

}  // namespace
}  // namespace sentrel::test
