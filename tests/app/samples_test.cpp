// The sample files in dist/ and the examples of the format documents in docs/: each one
// loads as the program loads it, and every key a document lists is used by at least one
// of them, so an operator can copy any example and find every key shown in use.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "app/config_check.h"
#include "app/program.h"
#include "events/event_list.h"
#include "events/mail_action.h"
#include "events/serial_action.h"
#include "platform/ini_file.h"
#include "platform/settings_store.h"
#include "support/scan_fixture.h"
#include "support/scripted_smtp_server.h"

namespace sentrel::test {
namespace {

std::string Source(const std::string& relative) {
  return std::string(SENTREL_SOURCE_DIR) + "/" + relative;
}

// What a format document offers: its fenced examples and the names its tables list.
struct FormatDoc {
  std::vector<std::string> iniExamples;  // ```ini blocks: files the program loads
  std::vector<std::string> allExamples;  // every fenced block
  std::vector<std::string> keys;         // first column of the "key" and "item" tables
  std::vector<std::string> placeholders; // first column of the "placeholder" table
};

FormatDoc ReadDoc(const std::string& relative) {
  FormatDoc doc;
  std::istringstream in(ReadFile(Source(relative)));
  std::string line, block, fence;
  bool inFence = false;
  std::vector<std::string>* table = nullptr;
  while (std::getline(in, line)) {
    if (line.rfind("```", 0) == 0) {
      if (inFence) {
        if (fence == "ini") doc.iniExamples.push_back(block);
        doc.allExamples.push_back(block);
      } else {
        fence = line.substr(3);
        block.clear();
      }
      inFence = !inFence;
      continue;
    }
    if (inFence) {
      block += line + "\n";
      continue;
    }
    if (line.rfind("| key |", 0) == 0 || line.rfind("| item |", 0) == 0) {
      table = &doc.keys;
      continue;
    }
    if (line.rfind("| placeholder |", 0) == 0) {
      table = &doc.placeholders;
      continue;
    }
    if (line.rfind("|", 0) != 0) {
      table = nullptr;
      continue;
    }
    if (!table || line.rfind("|---", 0) == 0) continue;
    // Every name in backticks in the first cell: "`count0` … `count7`" lists two.
    std::string cell = line.substr(1, line.find('|', 1) - 1);
    for (size_t open = cell.find('`'); open != std::string::npos; open = cell.find('`', open)) {
      size_t close = cell.find('`', open + 1);
      table->push_back(cell.substr(open + 1, close - open - 1));
      open = close + 1;
    }
  }
  return doc;
}

// Whether the text sets the key: "key=" (any letter case) not preceded by a letter or
// digit, so "port=" is not found inside "proxyport=".
bool SetsKey(const std::string& text, const std::string& key) {
  const std::string haystack = ToLower(text), needle = ToLower(key) + "=";
  for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1))
    if (p == 0 || !std::isalnum(static_cast<unsigned char>(haystack[p - 1]))) return true;
  return false;
}

void ExpectEveryKeyUsed(const std::vector<std::string>& keys, const std::string& examples,
                        const std::string& doc) {
  EXPECT_FALSE(keys.empty()) << doc;
  for (const auto& key : keys) EXPECT_TRUE(SetsKey(examples, key)) << doc << ": " << key;
}

class SamplesTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    cwd_.emplace(dir_->Path());
  }
  void TearDown() override {
    cwd_.reset();
    CoreFixture::TearDown();
  }
  std::optional<CurrentDirectory> cwd_;
};

TEST_F(SamplesTest, TheSampleServerAndEventsFilesLoadAndNameEachOther) {
  ServerList servers;
  ASSERT_EQ(servers.LoadFromFile(Source("dist/servers.mcf")), ServerFileContent::Servers);
  ASSERT_EQ(servers.Count(), 1);
  Server* local = servers.Items(0);
  EXPECT_EQ(local->Address(), "127.0.0.1");
  std::vector<std::string> types;
  for (int i = 0; i < local->ports.Count(); ++i) types.push_back(local->ports.Items(i)->typ);
  EXPECT_EQ(types, (std::vector<std::string>{"ping", "port", "http"}));
  // The status page where an ordinary user's web server has it, named in both places.
  EXPECT_EQ(local->ports.Items(2)->GetValue("url"), "http://127.0.0.1:8080/");
  EXPECT_EQ(local->ports.Items(2)->port, 8080);

  EventList events;
  events.LoadFromFile(Source("dist/events.ini"));
  ASSERT_GE(events.Count(), 1);
  EXPECT_EQ(events.Items(0)->name, "Default");
  EXPECT_TRUE(events.Items(0)->UsePopup);
  // Every event a sample monitor names is in the sample events file.
  for (int i = 0; i < local->ports.Count(); ++i)
    for (const char* key : {"GtoY", "GYtoR", "RtoY", "RYtoG"}) {
      std::string name = local->ports.Items(i)->GetValue(key);
      if (!name.empty() && name != "none") {
        EXPECT_TRUE(events.Exists(name)) << name;
      }
    }
  for (int i = 0; i < events.Count(); ++i)
    EXPECT_NO_THROW(ParseSerialOptions(events.Items(i)->SerialOptions)) << events.Items(i)->name;
}

// The sample mail template goes out as a mail, its placeholders filled; only its server
// line is pointed at the test's SMTP server.
TEST_F(SamplesTest, TheSampleMailTemplateSendsAMail) {
  EventList events;
  events.LoadFromFile(Source("dist/events.ini"));
  Event* mail = events.Find("Mail admin");
  ASSERT_NE(mail, nullptr);
  ASSERT_TRUE(mail->UseMail);
  std::string text = ReadFile(Source("dist/mail-down.txt"));
  ASSERT_EQ(text.rfind("localhost:25:", 0), 0u);
  ScriptedSmtpServer smtp;
  WriteFile("mail-down.txt",
            "127.0.0.1:" + std::to_string(smtp.Port()) + text.substr(text.find(':', 10)));
  Event ev;
  ev.Assign(*mail);
  ev.Mailtext = "mail-down.txt";
  TextPane history;
  history.AddLine("2026-12-06 14:00:00 Sentrel 2.2 started");
  history.AddLine("2026-12-06 14:05:00 web1 PING 0 DOWN 0ms 56Bytes Request timed out (2 lost)");
  RunToCompletion(SendEventMail(ev, "web1 PING DOWN (Request timed out)", "web1", "DOWN (2)", &history));
  EXPECT_NE(smtp.received.find("HELO sentrel\r\n"), std::string::npos) << smtp.received;
  EXPECT_NE(smtp.received.find("RCPT TO:<root@localhost>\r\n"), std::string::npos);
  EXPECT_NE(smtp.received.find("Subject: [Sentrel] web1 DOWN (2)\r\n"), std::string::npos);
  EXPECT_NE(smtp.received.find(": web1 PING DOWN (Request timed out)\r\n"), std::string::npos);
  EXPECT_NE(smtp.received.find("\r\n2026-12-06 14:05:00 web1 PING 0 DOWN"), std::string::npos);
  EXPECT_NE(ReadFile("mail.log").find(" DONE root@localhost web1 "), std::string::npos);
}

// The README's complete small example: its server file and events file, as indented
// blocks, load and name each other.
TEST_F(SamplesTest, TheReadmeExampleLoads) {
  std::istringstream in(ReadFile(Source("README.md")));
  std::string line, servers, events, *block = nullptr;
  while (std::getline(in, line)) {
    if (line == "    [web1]") block = &servers;
    if (line == "    [Default]") block = &events;
    if (line.rfind("    ", 0) != 0) block = nullptr;
    if (block) *block += line.substr(4) + "\n";
  }
  WriteFile("readme.mcf", servers);
  ServerList list;
  ASSERT_EQ(list.LoadFromFile("readme.mcf"), ServerFileContent::Servers);
  ASSERT_EQ(list.Count(), 1);
  ASSERT_EQ(list.Items(0)->ports.Count(), 3);
  EXPECT_EQ(list.Items(0)->LogFileName(), "web1.log");
  Monitor* http = list.Items(0)->ports.Items(1);
  EXPECT_EQ(http->GetValue("mustinclude"), "Welcome");
  WriteFile("events.ini", events);
  EventList eventList;
  eventList.LoadFromFile("events.ini");
  EXPECT_TRUE(eventList.Exists("Default"));
  EXPECT_TRUE(eventList.Exists(http->GetValue("GYtoR")));
  EXPECT_EQ(http->GetValue("RYtoG"), "Mail admin");
}

TEST_F(SamplesTest, ServerFileDocumentExamplesLoadAndUseEveryKey) {
  FormatDoc doc = ReadDoc("docs/server-file.md");
  ASSERT_GE(doc.iniExamples.size(), 3u);
  std::string used = ReadFile(Source("dist/servers.mcf"));
  std::vector<std::string> types;
  for (const auto& example : doc.iniExamples) {
    WriteFile("example.mcf", example);
    ServerList servers;
    EXPECT_EQ(servers.LoadFromFile("example.mcf"), ServerFileContent::Servers) << example;
    for (int i = 0; i < servers.Count(); ++i)
      for (int j = 0; j < servers.Items(i)->ports.Count(); ++j) {
        Monitor* m = servers.Items(i)->ports.Items(j);
        types.push_back(m->typ);
        // Items with blanks are quoted in the examples, so each reads back whole.
        for (const auto& item : m->data) EXPECT_NE(item.find('='), std::string::npos) << item;
      }
    used += example;
  }
  EXPECT_EQ(types, (std::vector<std::string>{"ping", "http", "port", "ping"}));
  ExpectEveryKeyUsed(doc.keys, used, "server-file.md");
}

TEST_F(SamplesTest, EventsFileDocumentExamplesLoadAndUseEveryKeyAndPlaceholder) {
  FormatDoc doc = ReadDoc("docs/events-file.md");
  ASSERT_GE(doc.iniExamples.size(), 2u);
  std::string used = ReadFile(Source("dist/events.ini"));
  for (const auto& example : doc.iniExamples) {
    WriteFile("events.ini", example);
    EventList events;
    events.LoadFromFile("events.ini");
    EXPECT_GE(events.Count(), 1) << example;
    for (int i = 0; i < events.Count(); ++i)
      EXPECT_NO_THROW(ParseSerialOptions(events.Items(i)->SerialOptions)) << events.Items(i)->name;
    used += example;
  }
  ExpectEveryKeyUsed(doc.keys, used, "events-file.md");
  std::string everything = used + ReadFile(Source("dist/mail-down.txt"));
  for (const auto& block : doc.allExamples) everything += block;
  EXPECT_EQ(doc.placeholders.size(), 8u);
  for (const auto& p : doc.placeholders)
    EXPECT_NE(everything.find(p), std::string::npos) << "placeholder " << p;
}

// Every sample and every example of the documents passes the check without an error;
// the warnings they give are printed, for whoever edits them to see.
TEST_F(SamplesTest, NoSampleOrDocumentExampleHasAnError) {
  Findings all;
  auto check = [&all](const std::string& servers, const std::string& events) {
    Findings f = CheckConfiguration(servers, events);
    for (const Finding& finding : f.Items())
      EXPECT_EQ(finding.severity, Finding::Severity::Warning) << FormatFinding(finding);
    all.Append(f);
  };
  check(Source("dist/servers.mcf"), Source("dist/events.ini"));
  check(Source("dist/service-servers.mcf"), "");

  // The README's small example, a server file and its events file.
  std::istringstream in(ReadFile(Source("README.md")));
  std::string line, servers, events, *block = nullptr;
  while (std::getline(in, line)) {
    if (line == "    [web1]") block = &servers;
    if (line == "    [Default]") block = &events;
    if (line.rfind("    ", 0) != 0) block = nullptr;
    if (block) *block += line.substr(4) + "\n";
  }
  ASSERT_FALSE(servers.empty());
  WriteFile("readme.mcf", servers);
  WriteFile("readme-events.ini", events);
  check("readme.mcf", "readme-events.ini");

  // The format documents: each events example alone, each server example with the
  // events of the events document's first example, which it names (the first under
  // "## Examples": the webhook's ready settings come before it).
  FormatDoc eventsDoc = ReadDoc("docs/events-file.md");
  size_t firstExample = 0;
  while (firstExample < eventsDoc.iniExamples.size() &&
         eventsDoc.iniExamples[firstExample].find("[Page admin]") == std::string::npos)
    ++firstExample;
  for (size_t i = 0; i < eventsDoc.iniExamples.size(); ++i) {
    WriteFile("doc-events" + std::to_string(i) + ".ini", eventsDoc.iniExamples[i]);
    check("", "doc-events" + std::to_string(i) + ".ini");
  }
  FormatDoc serversDoc = ReadDoc("docs/server-file.md");
  for (size_t i = 0; i < serversDoc.iniExamples.size(); ++i) {
    WriteFile("doc-servers" + std::to_string(i) + ".mcf", serversDoc.iniExamples[i]);
    check("doc-servers" + std::to_string(i) + ".mcf", "doc-events" + std::to_string(firstExample) + ".ini");
  }
  std::set<std::string> said;
  for (const Finding& finding : all.Items())
    if (said.insert(FormatFinding(finding)).second) std::cout << FormatFinding(finding) << "\n";
}

TEST_F(SamplesTest, SettingsFileDocumentExampleIsReadAsDocumented) {
  FormatDoc doc = ReadDoc("docs/settings-file.md");
  ASSERT_EQ(doc.iniExamples.size(), 1u);
  WriteFile("Corvane.ini", doc.iniExamples[0]);
  SettingsStore settings("Corvane.ini");
  settings.Load();
  RecordingFrontend frontend;
  Program program(frontend, settings);
  program.ReadSettings();
  EXPECT_EQ(program.configFile, "/var/lib/sentrel/servers.mcf");
  EXPECT_TRUE(program.autoStart);
  EXPECT_TRUE(program.autoStartWeb);
  EXPECT_FALSE(program.alwaysOnTop);
  SetCurrentSettings(&settings);
  EXPECT_EQ(SerialDevicePath(0), "/dev/ttyUSB0");
  EXPECT_EQ(settings.Sentrel("RebootCommand", ""), "shutdown -r +1 \"<#text>\"");
  ExpectEveryKeyUsed(doc.keys, doc.iniExamples[0], "settings-file.md");
}

}  // namespace
}  // namespace sentrel::test
