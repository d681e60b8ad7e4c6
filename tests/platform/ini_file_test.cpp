#include "platform/ini_file.h"
#include <filesystem>

#include <sys/stat.h>

#include "platform/error.h"
#include "platform/file_util.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

TEST(IniFileTest, ReadsWithTheProfileRules) {
  IniFile ini = IniFile::Parse(
      "[Web1]\r\n"
      "  IP = 127.0.0.1 \r\n"
      "NOTES=\"quoted value\"\r\n"
      "single='x'\n"
      "mixed=\"a\" b\r\n"
      "Hex=0x1F\r\n"
      "Neg=-5\r\n"
      "Bad=12abc\r\n"
      "Short=0x\r\n"
      "dup=first\r\n"
      "dup=second\r\n"
      "; a comment=1\r\n"
      "no equals sign\r\n"
      "[web1:ping]\r\n"
      "Typ=ping\r\n"
      "[Other");
  // A header without its "]" is no section.
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"Web1", "web1:ping"}));
  EXPECT_EQ(ini.ReadString("WEB1", "ip", ""), "127.0.0.1");
  EXPECT_EQ(ini.ReadString("web1", "notes", ""), "quoted value");
  EXPECT_EQ(ini.ReadString("web1", "single", ""), "x");
  EXPECT_EQ(ini.ReadString("web1", "mixed", ""), "\"a\" b");
  EXPECT_EQ(ini.ReadRaw("web1", "notes").value(), "\"quoted value\"");
  EXPECT_EQ(ini.ReadInteger("web1", "hex", 0), 31);
  EXPECT_EQ(ini.ReadInteger("web1", "neg", 0), -5);
  EXPECT_EQ(ini.ReadInteger("web1", "bad", 7), 7);
  EXPECT_EQ(ini.ReadInteger("web1", "short", 7), 7);
  EXPECT_EQ(ini.ReadInteger("web1", "missing", 9), 9);
  EXPECT_EQ(ini.ReadString("web1", "dup", ""), "first");
  EXPECT_EQ(ini.ReadString("web1", "; a comment", "none"), "none");
  EXPECT_TRUE(ini.ReadBool("web1", "neg", false));
  EXPECT_FALSE(ini.ReadBool("web1", "bad", false));
}

// What parsing notes beside the sections: the lines read by nothing, with their line
// numbers, and whether the text is INI text of the program's kind at all.
TEST(IniFileTest, NotesWhatIsNoSectionEntryOrComment) {
  IniFile ini = IniFile::Parse(
      "IP=1\r\n"      // 1: before any section
      "[web1]\r\n"    // 2
      "Typ ping\r\n"  // 3: stray
      "# note\r\n"    // 4: meant as a comment
      "[web2\r\n"     // 5: unclosed, with its two keys
      "IP=2\r\nGroup=g\r\n"
      "[web3]\r\nIP=3\r\n");  // 8, 9
  using Kind = IniFile::Irregularity::Kind;
  const auto& seen = ini.Irregularities();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].kind, Kind::EntryBeforeSections);
  EXPECT_EQ(seen[0].line, 1);
  EXPECT_EQ(seen[1].kind, Kind::StrayLine);
  EXPECT_EQ(seen[1].line, 3);
  EXPECT_EQ(seen[2].kind, Kind::UnclosedHeader);
  EXPECT_EQ(seen[2].line, 5);
  EXPECT_EQ(seen[2].droppedEntries, 2);
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"web1", "web3"}));
  EXPECT_EQ(ini.SectionLine(1), 8);
  EXPECT_EQ(ini.EntryLine(1, 0), 9);
  EXPECT_TRUE(ini.IsIniText());  // two odd lines in nine

  EXPECT_FALSE(IniFile::Parse("[a]\nk=v\n\x01\n").IsIniText());
  EXPECT_EQ(IniFile::Parse("[a]\nk=v\n\x01\n").BinaryLine(), 3);
  EXPECT_FALSE(IniFile::Parse(std::string("[a]\0\n", 5)).IsIniText());
  EXPECT_TRUE(IniFile::Parse("[a]\r\nk=\tv\r\n\x1A").IsIniText());  // a DOS end mark
  EXPECT_NE(IniFile::Parse("\xFF\xFE[\0a\0]\0").NotIniReason().find("UTF-16"), std::string::npos);
  std::string prose = "[a]\n";
  for (int i = 0; i < 10; ++i) prose += "words\n";
  EXPECT_FALSE(IniFile::Parse(prose).IsIniText());
  EXPECT_EQ(IniFile::Parse(prose).NotIniReason(),
            "10 of 11 lines are no [section], key=value or ; comment");
  EXPECT_TRUE(IniFile::Parse("").IsIniText());
}

TEST(IniFileTest, WritesCrLfAndReadsBackTheSame) {
  IniFile ini;
  ini.WriteString("B", "key", "v1");
  ini.WriteString("A", "x", "");
  ini.WriteString("b", "KEY", "v2");
  ini.WriteString("A", "multi", "line one\r\nline two");
  EXPECT_EQ(ini.Serialize(), "[B]\r\nkey=v2\r\n\r\n[A]\r\nx=\r\nmulti=line one  line two\r\n");
  IniFile back = IniFile::Parse(ini.Serialize());
  EXPECT_EQ(back.SectionNames(), (std::vector<std::string>{"B", "A"}));
  EXPECT_EQ(back.ReadString("a", "multi", ""), "line one  line two");
  back.EraseSection("b");
  EXPECT_EQ(back.SectionNames(), std::vector<std::string>{"A"});
}

TEST(IniFileTest, SurvivesHostileText) {
  std::string text = "[S]\r\nbig=" + std::string(5 * 1024 * 1024, 'x') + "\r\nbin=";
  for (int c = 0; c < 256; ++c) text += static_cast<char>(c);
  text += "\r\n[T]\r\ntrunc=ab";  // a last line without its line end
  IniFile ini = IniFile::Parse(text);
  EXPECT_EQ(ini.ReadString("S", "big", "").size(), 5u * 1024 * 1024);
  EXPECT_EQ(ini.ReadString("T", "trunc", ""), "ab");
  EXPECT_EQ(ini.SectionNames().size(), 2u);
}

TEST(IniFileTest, AFailedSaveLeavesTheOldFile) {
  TempDir dir;
  std::string path = dir.File("x.ini");
  WriteFile(path, "[old]\r\n");
  IniFile ini;
  ini.WriteString("new", "k", "v");

  // A writer that fails after a few bytes stands in for a full disk.
  struct FailingWriter : FileWriter {
    void WriteAll(int, const char*, size_t) override {
      throw SystemError("write: No space left on device", "write", 28);
    }
  } failing;
  SetCurrentFileWriter(&failing);
  EXPECT_THROW(ini.Save(path), SystemError);
  SetCurrentFileWriter(nullptr);
  EXPECT_EQ(ReadFile(path), "[old]\r\n");

  // A parent that is a regular file fails for root too.
  EXPECT_THROW(ini.Save(dir.File("x.ini/inner.ini")), SystemError);
  ini.Save(path);
  EXPECT_EQ(ReadFile(path), "[new]\r\nk=v\r\n");
  // No temporary files left behind.
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(FileUtilTest, AReplacedFileKeepsItsPermissions) {
  TempDir dir;
  std::string path = dir.File("servers.mcf");
  WriteFileAtomic(path, "[a]\r\n");
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const mode_t created = st.st_mode & 07777;
  EXPECT_EQ(created & 0600, 0600u);

  // The operator keeps the file to himself; a save must not open it to everyone.
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  WriteFileAtomic(path, "[b]\r\n");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadFile(path), "[b]\r\n");

  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  WriteFileAtomic(path, "[c]\r\n");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(FileUtilTest, AppendToAFullDeviceThrows) {
  EXPECT_THROW(AppendToFile("/dev/full", "line\r\n"), SystemError);
}

}  // namespace
}  // namespace sentrel::test
