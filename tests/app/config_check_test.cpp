// The checks of the server file and the events file: a set of broken files, each with the
// one finding it must give written in its first line, and the --check command as the
// operator runs it.
#include "app/config_check.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "model/server_list.h"
#include "platform/file_util.h"
#include "support/process.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

const std::string kFiles = std::string(SENTREL_SOURCE_DIR) + "/tests/app/check-files";

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') names.push_back(dir + "/" + e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// "; expect LINE error|warning: TEXT" in the file's first line.
struct Expectation {
  int line = -1;
  Finding::Severity severity = Finding::Severity::Error;
  std::string text;
};

Expectation ExpectationOf(const std::string& path) {
  const std::string content = ReadFile(path);
  std::istringstream first(content.substr(0, content.find('\n')));
  Expectation e;
  std::string marker, word, severity;
  first >> marker >> word >> e.line >> severity;
  EXPECT_EQ(marker + " " + word, "; expect") << path;
  e.severity = severity == "warning:" ? Finding::Severity::Warning : Finding::Severity::Error;
  std::getline(first, e.text);
  e.text = e.text.substr(e.text.find_first_not_of(' '));
  return e;
}

std::string Listed(const Findings& findings) {
  std::string out;
  for (const Finding& f : findings.Items()) out += "\n  " + FormatFinding(f);
  return out;
}

void ExpectTheOneFinding(const std::string& path, const Findings& findings) {
  const Expectation want = ExpectationOf(path);
  ASSERT_EQ(findings.Count(), 1u) << path << Listed(findings);
  const Finding& got = findings.Items()[0];
  EXPECT_EQ(got.file, path);
  EXPECT_EQ(got.line, want.line) << FormatFinding(got);
  EXPECT_EQ(got.severity, want.severity) << FormatFinding(got);
  EXPECT_NE(got.text.find(want.text), std::string::npos)
      << FormatFinding(got) << "\n  expected: " << want.text;
}

TEST(ConfigCheckTest, EachBrokenServerFileGivesItsOneFinding) {
  Findings clean;
  auto names = CheckEventsFile(kFiles + "/events.ini", clean);
  ASSERT_TRUE(names);
  EXPECT_TRUE(clean.Empty()) << Listed(clean);
  const auto files = FilesIn(kFiles + "/servers");
  ASSERT_GE(files.size(), 30u);
  for (const std::string& path : files) {
    Findings findings;
    CheckServerFile(path, &*names, findings);
    ExpectTheOneFinding(path, findings);
  }
}

TEST(ConfigCheckTest, EachBrokenEventsFileGivesItsOneFinding) {
  const auto files = FilesIn(kFiles + "/events");
  ASSERT_GE(files.size(), 10u);
  for (const std::string& path : files) {
    Findings findings;
    CheckEventsFile(path, findings);
    ExpectTheOneFinding(path, findings);
  }
}

TEST(ConfigCheckTest, TextTheProgramNeverWroteIsNoServerFile) {
  TempDir dir;
  // A file saved as UTF-16 by a Windows editor holds a NUL in every other byte.
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("[web1]\r\nIP=127.0.0.1\r\n")) utf16 += std::string{c, '\0'};
  WriteFile(dir.File("utf16.mcf"), utf16);
  Findings findings;
  CheckServerFile(dir.File("utf16.mcf"), nullptr, findings);
  ASSERT_EQ(findings.Count(), 1u) << Listed(findings);
  EXPECT_NE(findings.Items()[0].text.find("UTF-16 text"), std::string::npos);

  // The events a file names are not checked without an events file.
  WriteFile(dir.File("named.mcf"), "[web1]\n[web1:ping]\nData=\"GYtoR=Page admin\"\n");
  Findings unchecked;
  CheckServerFile(dir.File("named.mcf"), nullptr, unchecked);
  EXPECT_TRUE(unchecked.Empty()) << Listed(unchecked);
  // An empty file is an empty configuration: a warning, no error.
  WriteFile(dir.File("empty.mcf"), "\r\n");
  Findings empty;
  CheckServerFile(dir.File("empty.mcf"), nullptr, empty);
  EXPECT_EQ(empty.ErrorCount(), 0u);
  EXPECT_EQ(empty.WarningCount(), 1u);
}

// Servers reached through each other: every link of the cycle is said, each with the way
// round; a link off the cycle (web2 through router) is fine. The program ignores the
// same links, so nothing ever waits for itself.
TEST(ConfigCheckTest, EveryLinkOfAParentCycleIsSaid) {
  TempDir dir;
  WriteFile(dir.File("cycle.mcf"),
            "[web1]\nParent=switch\n[router]\nParent=web1\n[switch]\nParent=router\n"
            "[web2]\nParent=router\n");
  Findings findings;
  CheckServerFile(dir.File("cycle.mcf"), nullptr, findings);
  std::vector<std::string> texts;
  for (const Finding& f : findings.Items()) texts.push_back(std::to_string(f.line) + " " + f.text);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "2 Parent=switch of [web1] closes a cycle (web1 > switch > router > web1): "
                       "the dependency is ignored",
                       "4 Parent=web1 of [router] closes a cycle (router > web1 > switch > router): "
                       "the dependency is ignored",
                       "6 Parent=router of [switch] closes a cycle (switch > router > web1 > "
                       "switch): the dependency is ignored"}));
  ServerList list;
  ASSERT_EQ(list.LoadFromFile(dir.File("cycle.mcf")), ServerFileContent::Servers);
  EXPECT_TRUE(list.Links().ParentsOf(*list.Items(0)).empty());
  ASSERT_EQ(list.Links().ParentsOf(*list.Items(3)).size(), 1u);
  EXPECT_EQ(list.Links().ParentsOf(*list.Items(3))[0]->name, "router");
}

// The command as an operator runs it.
class CheckCommandTest : public ::testing::Test {
 protected:
  struct Result {
    int code;
    std::string out, err;
  };
  Result Run(std::vector<std::string> args) {
    args.insert(args.begin(),
                {SENTREL_BINARY, "--data-dir", data_, "--settings", dir_.File("settings.ini")});
    Result r;
    r.code = RunProcess(args, dir_.Path(), &r.out, &r.err);
    return r;
  }
  void SetUp() override { MakeDirectories(data_); }
  TempDir dir_;
  std::string data_ = dir_.File("data");
};

TEST_F(CheckCommandTest, PrintsFindingsAndASummaryAndExitsByWhatItFound) {
  const std::string servers = dir_.File("servers.mcf");
  WriteFile(servers,
            "[web1]\nIP=127.0.0.1\n[web1:http]\nTyp=http\nData=url=http://127.0.0.1/\n"
            "[web1:http2]\nTyp=http\nData=url=http://127.0.0.1/x\n");
  // No events file: the names are not checked, and the summary says what is used.
  Result r = Run({"--check", servers});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, servers +
                       ":6: warning: the monitor [web1:http2] has the type and port of "
                       "[web1:http] (line 3): both write \"web1 HTTP 0\" records to "
                       "web1.log, so their records mix in the log views and request times\n" +
                       servers + ": no errors, 1 warning\n" + data_ +
                       "/events.ini: no such file: Sentrel uses its built-in event Default (a "
                       "popup)\n");
  EXPECT_EQ(Run({"--check", "--strict", servers}).code, 1);

  // An events file in the data directory is checked too, and its names with it.
  WriteFile(data_ + "/events.ini", "[Default]\nUsePopup=1\ncount0=x\n");
  WriteFile(servers, "[web1]\n[web1:ping]\nTyp=ping\nData=RYtoG=Mail\n");
  r = Run({"--check", servers});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, servers +
                       ":4: error: RYtoG=Mail names an event that the events file does not "
                       "hold: nothing runs\n" +
                       data_ +
                       "/events.ini:3: error: count0=x is not a number: the latency count is 2\n" +
                       servers + ": 1 error, no warnings\n" + data_ +
                       "/events.ini: 1 error, no warnings\n");
  // Nothing is written: no backup, no settings.
  EXPECT_FALSE(FileExists(dir_.File("servers.bak")));
  EXPECT_FALSE(FileExists(dir_.File("settings.ini")));

  // Without a file the one the settings name is checked.
  WriteFile(dir_.File("settings.ini"), "[Corvane]\nconfig=" + dir_.File("gone.mcf") + "\n");
  r = Run({"--check"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find(dir_.File("gone.mcf") + ": error: no such file"), std::string::npos)
      << r.out;
}

// Records are appended to a server's Logfile and trimming rewrites it: an absolute name
// outside the data directory (also one that leaves it through "..") is worth a warning.
TEST_F(CheckCommandTest, AnAbsoluteLogfileOutsideTheDataDirectoryIsWarnedOf) {
  const std::string servers = dir_.File("servers.mcf");
  struct Case {
    std::string logfile;
    bool warned;
  };
  for (const Case& c : {Case{"/etc/passwd", true}, Case{data_ + "/../escape.log", true},
                        Case{data_ + "/logs/../web1.log", false}, Case{"web1.log", false}}) {
    SCOPED_TRACE(c.logfile);
    WriteFile(servers, "[web1]\nIP=127.0.0.1\nLogfile=" + c.logfile + "\n[web1:ping]\nTyp=ping\n");
    const Result r = Run({"--check", servers});
    EXPECT_EQ(r.code, 0) << r.err;
    const std::string warning = servers + ":3: warning: Logfile=" + c.logfile +
                                " lies outside the data directory " + data_ +
                                ": records are appended to that file, and trimming the logs "
                                "rewrites it\n";
    EXPECT_EQ(r.out.find(warning) != std::string::npos, c.warned) << r.out;
  }
}

// The address a ping or port check goes to, and the URL an HTTP check requests: their
// form is judged, and no name is looked up (the names below are never resolved).
TEST_F(CheckCommandTest, AddressesAndUrlsOfEveryForm) {
  struct Case {
    const char* server;   // the server's section: "name", then its lines
    const char* problem;  // the finding for its third line, "" for none
  };
  const Case cases[] = {
      {"[v4]\nIP=127.0.0.1", ""},
      {"[v6]\nIP=::1", ""},
      {"[scoped]\nIP=fe80::1%lo", ""},
      {"[named]\nIP=web-1.example.com.", ""},
      {"[localhost]", ""},
      {"[withport]\nIP=127.0.0.1:28080",
       "error: IP=127.0.0.1:28080 holds a port: the ping and port checks of [withport] cannot "
       "reach it (write IP=127.0.0.1, and Port=28080 in the port monitor)"},
      {"[brackets]\nIP=[::1]",
       "warning: IP=[::1] stands in brackets: it works (brackets belong around an address in a "
       "URL; write IP=::1)"},
      {"[bracketport]\nIP=[::1]:8080",
       "error: IP=[::1]:8080 holds a port: the ping and port checks of [bracketport] cannot "
       "reach it (write IP=::1, and Port=8080 in the port monitor)"},
      {"[colon]\nIP=::1:",
       "error: IP=::1: is no IPv6 address: the ping and port checks of [colon] cannot reach it"},
      {"[scope]\nIP=fe80::1%nosuchif0",
       "error: IP=fe80::1%nosuchif0 is no IPv6 address: the ping and port checks of [scope] "
       "cannot reach it (the interface after % must be one of this machine)"},
      {"[url]\nIP=http://127.0.0.1/",
       "error: IP=http://127.0.0.1/ is a URL: the ping and port checks of [url] cannot reach it "
       "(IP takes the host alone: IP=127.0.0.1)"},
      {"[octets]\nIP=127.0.0.256",
       "error: IP=127.0.0.256 is no IPv4 address: the ping and port checks of [octets] cannot "
       "reach it (four numbers 0 to 255, such as 127.0.0.1)"},
      {"[blank]\nIP=no such host",
       "error: IP=no such host is no host name: the ping and port checks of [blank] cannot "
       "reach it (a host name holds letters, digits, '-', '_' and dots; no blanks)"},
      {"[no!ip]",
       "error: [no!ip] has no IP, so its ping and port checks go to its name, which is no host "
       "name: they fail (set its IP; a host name holds letters, digits, '-', '_' and dots; no "
       "blanks)"},
  };
  const std::string servers = dir_.File("servers.mcf");
  std::string text, expected;
  int line = 0;
  size_t errors = 0, warnings = 0;
  for (const Case& c : cases) {
    const std::string section = c.server;
    const std::string name = section.substr(1, section.find(']') - 1);
    text += section + "\n[" + name + ":ping]\nTyp=ping\n";
    if (*c.problem) {
      // The IP line, or the section's when it has none.
      const int at = section.find('\n') == std::string::npos ? line + 1 : line + 2;
      expected += servers + ":" + std::to_string(at) + ": " + c.problem + "\n";
      (std::string(c.problem).rfind("error", 0) == 0 ? errors : warnings) += 1;
    }
    line += section.find('\n') == std::string::npos ? 3 : 4;
  }
  // An HTTP monitor goes to its URL: one without a scheme is fetched as http://, and a
  // scheme without its "//" is none.
  text +=
      "[web]\nIP=127.0.0.1\n[web:http]\nTyp=http\nData=url=127.0.0.1:28080/\n"
      "[web:http2]\nTyp=http\nPort=8080\nData=url=http:/127.0.0.1/\n";
  expected += servers + ":" + std::to_string(line + 5) +
              ": warning: url=127.0.0.1:28080/ has no scheme: it is requested as "
              "http://127.0.0.1:28080/ (write http:// or https:// in front)\n" +
              servers + ":" + std::to_string(line + 9) +
              ": error: url=http:/127.0.0.1/ cannot be requested: its scheme lacks the \"//\" "
              "(http://...)\n";
  errors += 1;
  warnings += 1;
  WriteFile(servers, text);
  Result r = Run({"--check", servers});
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(r.out, expected + servers + ": " + CountText(errors, warnings) + "\n" + data_ +
                       "/events.ini: no such file: Sentrel uses its built-in event Default (a "
                       "popup)\n");
}

TEST_F(CheckCommandTest, BadCommandLinesExitTwo) {
  EXPECT_EQ(Run({"--check", dir_.File("missing.mcf")}).code, 2);
  Result r = Run({"--strict"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "sentrel: --strict needs --check\nTry 'sentrel --help'.\n");
  EXPECT_EQ(Run({"--check=yes"}).code, 2);
  EXPECT_EQ(Run({"--check", "--log", "web1"}).code, 2);
}

}  // namespace
}  // namespace sentrel::test
