#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "model/comma_text.h"
#include "model/server_list.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

TEST(PortListTest, UniqueNamesCountUpAndIgnoreCase) {
  ServerList list;
  Server* s = list.Items(list.Add("web1"));
  EXPECT_EQ(s->ports.Items(s->ports.Add("port"))->name, "port");
  EXPECT_EQ(s->ports.Items(s->ports.Add("port"))->name, "port2");
  EXPECT_EQ(s->ports.Items(s->ports.Add("port"))->name, "port3");
  s->ports.Delete(0);
  EXPECT_EQ(s->ports.UniqueName("port"), "port");
  // "PORT2" and "port2" would share one section of the server file.
  s->ports.Items(0)->name = "PORT2";
  s->ports.Items(1)->name = "Port";
  EXPECT_EQ(s->ports.UniqueName("port"), "port3");
  Monitor* m = s->ports.Items(s->ports.Add("ping"));
  EXPECT_EQ(m->typ, "ping");
  EXPECT_EQ(m->port, 80);
  EXPECT_EQ(m->interval, 60);
  EXPECT_EQ(m->alarm, "default");
  EXPECT_EQ(m->lastCheck, 0);
  EXPECT_EQ(m->server, s);
  EXPECT_EQ(list.UniqueServerName("WEB1"), "WEB1_2");
  EXPECT_EQ(list.UniqueServerName("db"), "db");
}

TEST(PortListTest, UniqueNameLeavingOneMonitorOutNeverCountsItAgainstItself) {
  ServerList list;
  Server* s = list.Items(list.Add("web1"));
  Monitor* first = s->ports.Items(s->ports.Add("port"));
  Monitor* second = s->ports.Items(s->ports.Add("port"));
  ASSERT_EQ(second->name, "port2");
  EXPECT_EQ(s->ports.UniqueName("port", first), "port");
  EXPECT_EQ(s->ports.UniqueName("port", second), "port2");
  EXPECT_EQ(s->ports.UniqueName("PING", second), "PING");
  EXPECT_EQ(s->ports.UniqueName("port", nullptr), "port3");
}

TEST(PortTest, DataValuesByKey) {
  ServerList list;
  Server* s = list.Items(list.Add("web1"));
  Monitor* m = s->ports.Items(s->ports.Add("http"));
  m->data = {"URL=http://h/q?a=1&b=2", "url=second", "noequals"};
  EXPECT_EQ(m->GetValue("url"), "http://h/q?a=1&b=2");
  EXPECT_EQ(m->GetValue("absent"), "");
  EXPECT_EQ(m->GetValue("noequals"), "");
  m->SetValue("url", "http://x/");
  EXPECT_EQ(m->data[0], "url=http://x/");
  m->SetValue("GYtoR", "none");
  EXPECT_EQ(m->data.back(), "GYtoR=none");
  m->SetValue("gytor", "");
  EXPECT_EQ(m->GetValue("GYtoR"), "");
  m->SetValue("url", "");
  EXPECT_EQ(m->GetValue("url"), "second");
}

TEST(CommaTextTest, WritesAndReadsTheCommaForm) {
  EXPECT_EQ(ToCommaText({}), "");
  EXPECT_EQ(ToCommaText({""}), "\"\"");
  EXPECT_EQ(ToCommaText({"url=a", "proxy=b"}), "url=a,proxy=b");
  EXPECT_EQ(ToCommaText({"mustinclude=two words", "q=say \"hi\"", "c=a,b"}),
            "\"mustinclude=two words\",\"q=say \"\"hi\"\"\",\"c=a,b\"");
  EXPECT_EQ(FromCommaText("url=a,proxy=b"), (std::vector<std::string>{"url=a", "proxy=b"}));
  EXPECT_EQ(FromCommaText("  a b , c"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(FromCommaText("a,,b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(FromCommaText("\"unterminated"), std::vector<std::string>{"unterminated"});
  EXPECT_EQ(FromCommaText(std::string("a\0b", 3)), std::vector<std::string>{"a"});
  for (const auto& items : std::vector<std::vector<std::string>>{
           {"url=http://h/", "mustinclude=hello world"}, {"x=\"", "y=,"}, {"only one"}, {""}})
    EXPECT_EQ(FromCommaText(ToCommaText(items)), items);
}

class ServerFileTest : public CoreFixture {};

TEST_F(ServerFileTest, SaveThenLoadReproducesTheConfiguration) {
  ServerList list;
  Server* a = list.Items(list.Add("web1"));
  a->ip = "127.0.0.1";
  a->location = "rack 4";
  a->notes = "a = b";
  a->logfile = "web1.log";
  a->group = "Web";
  a->portExpand = false;
  Monitor* http = a->ports.Items(a->ports.Add("http"));
  http->data = {"url=http://localhost/?a=b", "mustinclude=two words"};
  http->interval = 30;
  a->ports.Items(a->ports.Add("ping"))->port = 0;
  Server* b = list.Items(list.Add("db1"));
  b->group = "DB";
  Monitor* port = b->ports.Items(b->ports.Add("port"));
  port->port = 5432;
  port->alarm = "loud";

  std::string path = dir_->File("servers.mcf");
  list.SaveToFile(path);
  std::string text = ReadFile(path);
  EXPECT_EQ(text.substr(0, 110),
            "[web1]\r\nIP=127.0.0.1\r\nLocation=rack 4\r\nNotes=a = b\r\nLogfile=web1.log\r\n"
            "Group=Web\r\nGroupExpand=1\r\nPortExpand=0\r\n");
  EXPECT_NE(text.find("[web1:http]\r\nTyp=http\r\nPort=80\r\n"
                      "Data=url=http://localhost/?a=b,\"mustinclude=two words\"\r\n"
                      "Alarm=default\r\nintervall=30\r\n"),
            std::string::npos);

  clock_.SetNow(46000.5);
  ServerList back;
  back.LoadFromFile(path);
  ASSERT_EQ(back.Count(), 2);
  Server* a2 = back.Items(0);
  EXPECT_EQ(a2->name, "web1");
  EXPECT_EQ(a2->ip, "127.0.0.1");
  EXPECT_EQ(a2->notes, "a = b");
  EXPECT_FALSE(a2->portExpand);
  EXPECT_TRUE(a2->groupExpand);
  ASSERT_EQ(a2->ports.Count(), 2);
  EXPECT_EQ(a2->ports.Items(0)->data, http->data);
  EXPECT_EQ(a2->ports.Items(0)->interval, 30);
  EXPECT_EQ(a2->ports.Items(1)->name, "ping");
  Monitor* p2 = back.Items(1)->ports.Items(0);
  EXPECT_EQ(p2->port, 5432);
  EXPECT_EQ(p2->alarm, "loud");
  EXPECT_EQ(p2->status, "");
  EXPECT_DOUBLE_EQ(p2->lastCheck, 46000.5 - 58.0 / 86400.0);
  EXPECT_DOUBLE_EQ(p2->lastUp, p2->lastCheck);
}

// A loaded monitor is first due two seconds after the load, whatever its interval (one
// with an interval under a minute at once): a daily check is not grey for a day.
TEST_F(ServerFileTest, EveryLoadedMonitorIsDueWithinTwoSeconds) {
  const std::string path = dir_->File("due.mcf");
  WriteFile(path, "[s]\r\n[s:day]\r\nTyp=port\r\nintervall=86400\r\n[s:minute]\r\nTyp=port\r\n"
                  "intervall=60\r\n[s:fast]\r\nTyp=port\r\nintervall=5\r\n");
  ServerList list;
  list.LoadFromFile(path);
  const int64_t now = clock_.MonotonicMs();
  auto dueIn = [&](int i) {
    const Monitor* m = list.Items(0)->ports.Items(i);
    return m->lastCheckMono + static_cast<int64_t>(m->interval) * 1000 - now;
  };
  EXPECT_EQ(dueIn(0), 2000);
  EXPECT_EQ(dueIn(1), 2000);
  EXPECT_LT(dueIn(2), 0);
}

TEST_F(ServerFileTest, HostileTextsComeBackWholeAfterSaveAndLoad) {
  const std::vector<std::string> texts = {
      "",
      "  blanks at both ends  ",
      "\"in double quotes\"",
      "'in single quotes'",
      "\"",
      "a=b, c=d",
      "; not a comment",
      "# not a comment",
      "[brackets] and ]",
      "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC",
      "\t tab first",
      std::string(5000, 'x'),
  };
  ServerList list;
  for (size_t i = 0; i < texts.size(); ++i) {
    Server* s = list.Items(list.Add("s" + std::to_string(i)));
    s->ip = s->location = s->notes = s->group = texts[i];
    s->logfile = texts[i] + ".log";
    Monitor* m = s->ports.Items(s->ports.Add("http"));
    m->alarm = texts[i];
    m->SetValue("url", texts[i]);
    m->SetValue("mustinclude", texts[i]);
    m->SetValue("GYtoR", texts[i]);
  }
  // A data list whose one item is quoted, and one with the first item quoted.
  Monitor* only = list.Items(0)->ports.Items(list.Items(0)->ports.Add("port"));
  only->data = {"maynotinclude=two words"};

  std::string path = dir_->File("hostile.mcf");
  list.SaveToFile(path);
  ServerList back;
  back.LoadFromFile(path);
  ASSERT_EQ(back.Count(), list.Count());
  for (int i = 0; i < list.Count(); ++i) {
    const Server* a = list.Items(i);
    const Server* b = back.Items(i);
    SCOPED_TRACE(a->notes.substr(0, 40));
    EXPECT_EQ(b->ip, a->ip);
    EXPECT_EQ(b->location, a->location);
    EXPECT_EQ(b->notes, a->notes);
    EXPECT_EQ(b->group, a->group);
    EXPECT_EQ(b->logfile, a->logfile);
    ASSERT_EQ(b->ports.Count(), a->ports.Count());
    for (int j = 0; j < a->ports.Count(); ++j) {
      EXPECT_EQ(b->ports.Items(j)->alarm, a->ports.Items(j)->alarm);
      EXPECT_EQ(b->ports.Items(j)->data, a->ports.Items(j)->data);
    }
  }
  // What needs no quotes is written as it always was.
  EXPECT_NE(ReadFile(path).find("\r\nNotes=a=b, c=d\r\n"), std::string::npos);
}

TEST_F(ServerFileTest, LoadAppliesDefaultsAndTheRulesOfHandEditedFiles) {
  std::string path = dir_->File("hand.mcf");
  WriteFile(path,
            "[web1]\r\n"
            " ip = 127.0.0.1 \r\n"
            "GROUPEXPAND=0\r\n"
            "[web1:ping]\r\n"
            "Port=80\r\n"
            "[web1:p]\r\n"
            "typ=port\r\n"
            "port=0x1F90\r\n"
            "intervall=garbage\r\n"
            "DATA=\"mustinclude=one item\"\r\n"
            "[web1:h]\r\n"
            "Typ='http'\r\n"
            "Data=url=a=b,proxy=p\r\n"
            "[ghost:ping]\r\n"
            "[Web1:upper]\r\n"
            "[WEB1]\r\n"
            "IP=ignored duplicate\r\n"
            "[db1]\r\n"
            "Notes=trunc");
  ServerList list;
  list.LoadFromFile(path);
  ASSERT_EQ(list.Count(), 2);
  Server* s = list.Items(0);
  EXPECT_EQ(s->ip, "127.0.0.1");
  EXPECT_FALSE(s->groupExpand);
  EXPECT_TRUE(s->portExpand);
  ASSERT_EQ(s->ports.Count(), 3);
  Monitor* ping = s->ports.Items(0);
  EXPECT_EQ(ping->typ, "ping");
  EXPECT_EQ(ping->port, 0);
  EXPECT_EQ(ping->interval, 10);
  Monitor* p = s->ports.Items(1);
  EXPECT_EQ(p->port, 8080);
  EXPECT_EQ(p->interval, 10);
  EXPECT_EQ(p->data, std::vector<std::string>{"mustinclude=one item"});
  Monitor* h = s->ports.Items(2);
  EXPECT_EQ(h->typ, "http");
  EXPECT_EQ(h->GetValue("url"), "a=b");
  EXPECT_EQ(h->GetValue("proxy"), "p");
  EXPECT_EQ(list.Items(1)->notes, "trunc");

  ServerList empty;
  empty.LoadFromFile(dir_->File("missing.mcf"));
  EXPECT_EQ(empty.Count(), 0);
}

TEST_F(ServerFileTest, SavingKeepsABackupAndNeverLeavesAHalfFile) {
  std::string path = dir_->File("cfg.mcf");
  ServerList list;
  list.Items(list.Add("one"));
  list.SaveToFile(path);
  EXPECT_FALSE(FileExists(dir_->File("cfg.bak")));
  std::string first = ReadFile(path);

  list.Items(list.Add("two"));
  list.SaveToFile(path);
  EXPECT_EQ(ReadFile(dir_->File("cfg.bak")), first);
  std::string second = ReadFile(path);

  // Deleting a server removes its section; the .bak rotates.
  list.Delete(0);
  list.SaveToFile(path);
  EXPECT_EQ(ReadFile(dir_->File("cfg.bak")), second);
  EXPECT_EQ(ReadFile(path).find("[one]"), std::string::npos);

  // A disk that fills up during the save: the file and the .bak keep the old content.
  std::string third = ReadFile(path);
  struct FullDisk : FileWriter {
    void WriteAll(int fd, const char* data, size_t size) override {
      FileWriter::WriteAll(fd, data, size / 2);
      throw SystemError("write: No space left on device", "write", 28);
    }
  } full;
  SetCurrentFileWriter(&full);
  list.Items(list.Add("three"));
  try {
    list.SaveToFile(path);
    FAIL() << "save should fail";
  } catch (const SentrelError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
  SetCurrentFileWriter(nullptr);
  EXPECT_EQ(ReadFile(path), third);
  EXPECT_EQ(ReadFile(dir_->File("cfg.bak")), third);

  // A path whose parent is a regular file.
  EXPECT_THROW(list.SaveToFile(path + "/inner.mcf"), SentrelError);
  EXPECT_EQ(BackupPath("/a.b/c"), "/a.b/c.bak");
  EXPECT_EQ(BackupPath("x.mcf"), "x.bak");
}

TEST_F(ServerFileTest, DefaultConfigurationWatchesLocalhost) {
  ServerList list;
  list.CreateDefault();
  ASSERT_EQ(list.Count(), 1);
  Server* s = list.Items(0);
  EXPECT_EQ(s->name, "localhost");
  EXPECT_EQ(s->ip, "");
  EXPECT_EQ(s->Address(), "localhost");
  EXPECT_EQ(s->group, "Main");
  EXPECT_EQ(s->logfile, "localhost.log");
  ASSERT_EQ(s->ports.Count(), 1);
  EXPECT_EQ(s->ports.Items(0)->typ, "ping");
  EXPECT_EQ(s->ports.Items(0)->port, 80);
  EXPECT_EQ(s->ports.Items(0)->interval, 60);
}

TEST_F(ServerFileTest, AppendLogWritesOneStampedLinePerCall) {
  ServerList list;
  Server* s = list.Items(list.Add("web1"));
  s->logfile = "web1.log";
  clock_.SetNow(EncodeDate(2026, 12, 6));  // exactly midnight
  s->AppendLog("first");
  clock_.SetNow(EncodeDate(2026, 12, 6) + EncodeTime(0, 0, 0, 500));
  s->AppendLog("second");
  EXPECT_EQ(ReadFile(dir_->File("web1.log")),
            "2026-12-06 00:00:02 first\r\n2026-12-06 00:00:00 second\r\n");
  // A server file without Logfile: the records go where the editor would have put them.
  s->logfile = "";
  EXPECT_EQ(s->LogFileName(), "web1.log");
  s->AppendLog("third");
  EXPECT_NE(ReadFile(dir_->File("web1.log")).find(" third\r\n"), std::string::npos);
  s->logfile = "no/such/dir.log";
  EXPECT_THROW(s->AppendLog("x"), SentrelError);
}

TEST_F(ServerFileTest, LoadTellsWhetherTheFileWasAServerFile) {
  ServerList list;
  auto load = [&](const std::string& text) {
    WriteFile(dir_->File("f.mcf"), text);
    return list.LoadFromFile(dir_->File("f.mcf"));
  };
  EXPECT_EQ(list.LoadFromFile(dir_->File("absent.mcf")), ServerFileContent::Missing);
  EXPECT_EQ(load(""), ServerFileContent::Servers);  // empty: nothing there to lose
  EXPECT_EQ(load(" \r\n\r\n"), ServerFileContent::Servers);
  EXPECT_EQ(load("{\"servers\": [{\"name\": \"web1\", \"ip\": \"127.0.0.1\"}]}\n"),
            ServerFileContent::NoServer);
  // A JSON array and plain notes: "[" alone is no server named "".
  EXPECT_EQ(load("[\n  {\"name\": \"web1\"}\n]\n"), ServerFileContent::NoServer);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(load("servers to watch:\nweb1 = 127.0.0.1\n"), ServerFileContent::NoServer);
  EXPECT_EQ(load("[web1:ping]\r\nTyp=ping\r\n"), ServerFileContent::NoServer);
  EXPECT_EQ(list.LoadFromFile(dir_->Path()), ServerFileContent::Unreadable);
  // An editor's UTF-8 mark does not hide the first server.
  EXPECT_EQ(load("\xEF\xBB\xBF[web1]\r\nIP=127.0.0.1\r\n; note\r\n[web1:ping]\r\n"),
            ServerFileContent::Servers);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Items(0)->name, "web1");
  EXPECT_EQ(list.Items(0)->ports.Count(), 1);
  // No Logfile: records go to web1.log, and a save writes back the empty value.
  EXPECT_EQ(list.Items(0)->LogFileName(), "web1.log");
  list.SaveToFile(dir_->File("f.mcf"));
  EXPECT_NE(ReadFile(dir_->File("f.mcf")).find("Logfile=\r\n"), std::string::npos);
}

// Only INI text of the program's kind is a server file: random bytes loaded as hundreds
// of garbage servers, which the window then wrote over the file at its close.
TEST_F(ServerFileTest, BinaryDataOrOtherTextIsNoServerFile) {
  ServerList list;
  std::string noise;
  uint32_t x = 12345;
  for (int i = 0; i < 256 * 1024; ++i) {
    x = x * 1103515245 + 12345;
    noise += static_cast<char>(x >> 16);
  }
  // Make sure that bracketed lines are there, as in any large random file.
  noise += "\n[web1]\nIP=127.0.0.1\n";
  WriteFile(dir_->File("noise.mcf"), noise);
  EXPECT_EQ(list.LoadFromFile(dir_->File("noise.mcf")), ServerFileContent::NoServer);
  EXPECT_EQ(list.Count(), 0);
  // Mostly lines of some other text, even with a section in it.
  std::string notes = "[web1]\n";
  for (int i = 0; i < 20; ++i) notes += "a line of notes without an equals sign\n";
  WriteFile(dir_->File("notes.mcf"), notes);
  EXPECT_EQ(list.LoadFromFile(dir_->File("notes.mcf")), ServerFileContent::NoServer);
  // A couple of stray lines in a hand-edited file are no reason to refuse it.
  WriteFile(dir_->File("hand.mcf"), "[web1]\nIP=127.0.0.1\nTyp http\n[web1:ping]\nTyp=ping\n");
  EXPECT_EQ(list.LoadFromFile(dir_->File("hand.mcf")), ServerFileContent::Servers);
  EXPECT_EQ(list.Count(), 1);
}

// Sections the configuration cannot hold are counted, so the program can keep the file.
TEST_F(ServerFileTest, LoadCountsTheSectionsItDropped) {
  ServerList list;
  size_t dropped = 99;
  WriteFile(dir_->File("f.mcf"),
            "[web1]\n[web1:ping]\n[web1:PING]\nTyp=port\n[Web1:http]\n[WEB1]\n[]\n[web2\nIP=x\n");
  EXPECT_EQ(list.LoadFromFile(dir_->File("f.mcf"), &dropped), ServerFileContent::Servers);
  EXPECT_EQ(dropped, 5u);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Items(0)->ports.Count(), 1);
  EXPECT_EQ(list.Items(0)->ports.Items(0)->typ, "ping");
  WriteFile(dir_->File("f.mcf"), "[web1]\n[web1:ping]\n");
  EXPECT_EQ(list.LoadFromFile(dir_->File("f.mcf"), &dropped), ServerFileContent::Servers);
  EXPECT_EQ(dropped, 0u);
}

// A save that died (a crash, a kill) leaves its temporary file behind; the next save
// removes those of dead processes and leaves a live process's save alone.
TEST_F(ServerFileTest, ASaveRemovesTheTemporaryFilesOfDeadSaves) {
  const std::string path = dir_->File("servers.mcf");
  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const std::string dead = path + ".tmp" + std::to_string(child);
  const std::string live = path + ".tmp" + std::to_string(getppid());
  const std::string other = dir_->File("other.mcf.tmp") + std::to_string(child);
  for (const auto& leftover : {dead, live, other}) WriteFile(leftover, "[half");
  ServerList list;
  list.Add("web1");
  list.SaveToFile(path);
  EXPECT_FALSE(FileExists(dead));
  EXPECT_TRUE(FileExists(live));
  EXPECT_TRUE(FileExists(other));  // another file's, not this one's
  EXPECT_EQ(ReadFile(path).substr(0, 8), "[web1]\r\n");
}

TEST_F(ServerFileTest, DeletingAMonitorDetachesItsRequestAndExpiresItsToken) {
  struct Request : CheckInFlight {
    bool detached = false;
    void DetachMonitor() override { detached = true; }
  } request;
  ServerList list;
  Server* s = list.Items(list.Add("web1"));
  Monitor* m = s->ports.Items(s->ports.Add("http"));
  m->httpRequest = &request;
  auto token = m->Watch();
  auto serverToken = s->Watch();
  uint64_t generation = list.Generation();
  list.Clear();
  EXPECT_TRUE(request.detached);
  EXPECT_TRUE(token.expired());
  EXPECT_TRUE(serverToken.expired());
  EXPECT_NE(list.Generation(), generation);
}

}  // namespace
}  // namespace sentrel::test

namespace sentrel::test {
namespace {

// The shard of a server is documented, so other tools (and the operator) can work it
// out: FNV-1a 64 of the UTF-8 name, modulo N, plus 1.
TEST(ShardTest, TheHashIsFnv1aOfTheUtf8NameAndKOfNParsesStrictly) {
  const struct {
    const char* name;
    uint64_t hash;
    int of3;
  } names[] = {{"", 0xcbf29ce484222325ULL, 3},
               {"a", 0xaf63dc4c8601ec8cULL, 2},
               {"foobar", 0x85944171f73967e8ULL, 1},
               {"db1", 0xca896918f453f7d6ULL, 3},
               {"M\xc3\xbcnchen", 0x5a2d37adad99d4f3ULL, 2},
               {"M\xfcnchen", 0x5a2d37adad99d4f3ULL, 2}};  // Windows-1252 reads as UTF-8
  for (const auto& n : names) {
    EXPECT_EQ(ShardHash(n.name), n.hash) << n.name;
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(Shard({k, 3}).Watches(n.name), k == n.of3) << n.name;
    EXPECT_TRUE(Shard().Watches(n.name));
  }
  for (const char* good : {"1/1", "2/3", "1000/1000"})
    EXPECT_TRUE(Shard::Parse(good).has_value()) << good;
  for (const char* bad : {"0/3", "4/3", "1/1001", "2", "/3", "2/", "a/3", "2/3x", "-1/3", " 2/3"})
    EXPECT_FALSE(Shard::Parse(bad).has_value()) << bad;
  EXPECT_EQ(Shard::Parse("2/3")->Text(), "2/3");
}

}  // namespace
}  // namespace sentrel::test
