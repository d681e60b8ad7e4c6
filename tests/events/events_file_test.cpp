#include "events/event_list.h"
#include "platform/error.h"
#include "platform/ini_file.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

class EventsFileTest : public CoreFixture {};

TEST_F(EventsFileTest, SavesEveryKeyInOrderAndReadsItBack) {
  EventList list;
  list.AddDefault();
  Event* ev = list.Items(list.Add("Mail ops"));
  ev->UseMail = true;
  ev->MailAddress = "ops@localhost, oncall@localhost";
  ev->count[3] = 999;
  ev->always[7] = true;
  std::string path = dir_->File("events.ini");
  list.SaveToFile(path);
  std::string text = ReadFile(path);
  EXPECT_EQ(text.substr(0, 60), std::string("[Default]\r\nUsePopup=1\r\nPopupText=\r\nUseSound=0\r\nSound=\r\nUseExe").substr(0, 60));
  EXPECT_NE(text.find("SerialOptions=port=0,bits=3,baud=4,parity=0,stop=0\r\nSerialText=\r\n"
                      "count0=2\r\nalways0=0\r\ncount1=2\r\nalways1=0\r\n"),
            std::string::npos);

  EventList back;
  back.LoadFromFile(path);
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.Items(0)->name, "Default");
  EXPECT_TRUE(back.Items(0)->UsePopup);
  const Event* m = back.Items(1);
  EXPECT_TRUE(m->UseMail);
  EXPECT_EQ(m->MailAddress, "ops@localhost, oncall@localhost");
  EXPECT_EQ(m->count[3], 999);
  EXPECT_TRUE(m->always[7]);
  EXPECT_FALSE(m->notified[3]);
}

TEST_F(EventsFileTest, CountFloorHexAndDefaults) {
  std::string path = dir_->File("events.ini");
  WriteFile(path,
            "[A]\r\ncount3=0\r\nUseMail=5\r\n"
            "[B]\r\ncount3=0x10\r\ncount2=junk\r\ncount1=-4\r\n"
            "[Empty]\r\n");
  EventList list;
  list.LoadFromFile(path);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(0)->count[3], 2);
  EXPECT_TRUE(list.Items(0)->UseMail);
  EXPECT_EQ(list.Items(0)->count[0], 2);  // missing key: 1, raised to 2
  EXPECT_EQ(list.Items(1)->count[3], 16);
  EXPECT_EQ(list.Items(1)->count[2], 2);
  EXPECT_EQ(list.Items(1)->count[1], 2);
  EXPECT_EQ(list.Items(2)->SerialOptions, "port=0,bits=3,baud=4,parity=0,stop=0");
  list.SaveToFile(path);
  EXPECT_NE(ReadFile(path).find("UseMail=1\r\n"), std::string::npos);

  WriteFile(path, "; nothing here\r\n");
  list.LoadFromFile(path);
  EXPECT_EQ(list.Count(), 0);  // a file without sections: no Default either
}

TEST_F(EventsFileTest, NamesEqualButForCaseShareOneSection) {
  EventList list;
  list.Items(list.Add("Page"))->Sound = "first.wav";
  list.Items(list.Add("PAGE"))->Sound = "second.wav";
  EXPECT_TRUE(list.Exists("Page"));
  EXPECT_FALSE(list.Exists("page"));
  std::string path = dir_->File("events.ini");
  list.SaveToFile(path);
  EventList back;
  back.LoadFromFile(path);
  ASSERT_EQ(back.Count(), 1);
  EXPECT_EQ(back.Items(0)->Sound, "second.wav");
  EXPECT_THROW(list.SaveToFile(path + "/x.ini"), SentrelError);
}

TEST_F(EventsFileTest, HostileTextsComeBackWholeAndCaseOnlyTwinsAreFound) {
  const std::vector<std::string> texts = {
      "", "  blanks  ", "\"quoted\"", "'single'", "a=b,c", "; x", "# x", "[x] ]",
      "\xC3\xA4\xC3\xB6\xC3\xBC \xE2\x82\xAC", std::string(4000, 'y'),
  };
  EventList list;
  list.AddDefault();
  for (size_t i = 0; i < texts.size(); ++i) {
    Event* ev = list.Items(list.Add("ev " + std::to_string(i) + ":\xC3\xA9"));
    ev->Sound = ev->Exe = ev->ExePara = ev->MailAddress = ev->Mailtext = texts[i];
    ev->NetSend = ev->NetSendText = ev->Shutdown = ev->SerialText = texts[i];
    ev->PopupText = ev->Printer = ev->PrinterText = texts[i];
    ev->SerialOptions = texts[i];
  }
  std::string path = dir_->File("events.ini");
  list.SaveToFile(path);
  EventList back;
  back.LoadFromFile(path);
  ASSERT_EQ(back.Count(), list.Count());
  for (int i = 1; i < list.Count(); ++i) {
    const Event* a = list.Items(i);
    const Event* b = back.Items(i);
    EXPECT_EQ(b->name, a->name);
    for (auto field :
         {&Event::Sound, &Event::Exe, &Event::ExePara, &Event::MailAddress, &Event::Mailtext,
          &Event::NetSend, &Event::NetSendText, &Event::Shutdown, &Event::SerialText,
          &Event::PopupText, &Event::Printer, &Event::PrinterText, &Event::SerialOptions})
      EXPECT_EQ(b->*field, a->*field) << a->name;
  }

  EXPECT_EQ(list.IndexIgnoringCase("DEFAULT"), 0);
  EXPECT_EQ(list.IndexIgnoringCase("EV 1:\xC3\xA9"), 2);
  EXPECT_EQ(list.IndexIgnoringCase("nothing"), -1);
  EXPECT_EQ(list.IndexOf(list.Items(3)), 3);
  EXPECT_EQ(list.IndexOf(nullptr), -1);

  // The names a section can carry: no "]", no control character, no blank at an end.
  EXPECT_TRUE(SectionNameSurvives("two words [x"));
  EXPECT_TRUE(SectionNameSurvives("\xC3\xA4:;#=\""));
  for (const char* bad : {"a]b", " lead", "trail ", "tab\there", "line\nbreak"})
    EXPECT_FALSE(SectionNameSurvives(bad)) << bad;
  EXPECT_EQ(QuoteIniValue("plain value"), "plain value");
  EXPECT_EQ(QuoteIniValue(" x"), "\" x\"");
  EXPECT_EQ(QuoteIniValue("'x'"), "\"'x'\"");
}

// Only INI text is an events file: random bytes made no events and no message, and a
// header without its "]" made an event of its own.
TEST_F(EventsFileTest, OnlyIniTextHoldsEventsAndAnUnclosedHeaderIsNone) {
  const std::string path = dir_->File("events.ini");
  EventList list;
  WriteFile(path, "[Default]\r\nUsePopup=1\r\n[abc\r\nUseMail=1\r\n[Page]\r\nUseSound=1\r\n");
  EXPECT_EQ(list.LoadFromFile(path), EventsFileContent::Events);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0)->name, "Default");
  EXPECT_FALSE(list.Items(0)->UseMail);  // the keys below "[abc" go with it
  EXPECT_EQ(list.Items(1)->name, "Page");

  std::string noise = "[Default]\nUsePopup=1\n";
  for (int i = 0; i < 100 * 1024; ++i) noise += static_cast<char>((i * 31 + i / 7) % 256);
  WriteFile(path, noise);
  EXPECT_EQ(list.LoadFromFile(path), EventsFileContent::NotIniText);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.LoadFromFile(dir_->File("absent.ini")), EventsFileContent::Missing);

  // The event manager saves as it opens: a file it could not read is kept as the ".bak"
  // (events saved in UTF-16, say), never simply replaced.
  list.AddDefault();
  list.SaveToFile(path);
  EXPECT_EQ(ReadFile(dir_->File("events.bak")), noise);
  EXPECT_EQ(ReadFile(path).substr(0, 11), "[Default]\r\n");
  // A file of its own kind is replaced without a copy, as before.
  list.SaveToFile(path);
  EXPECT_EQ(ReadFile(dir_->File("events.bak")), noise);
}

// RepeatMinutes is written only when reminders are on; the file read again while the
// program runs keeps each event's latency marks by name.
TEST_F(EventsFileTest, RepeatMinutesAndAReloadThatKeepsTheMarks) {
  EventList list;
  list.AddDefault();
  Event* page = list.Items(list.Add("Page"));
  page->UsePopup = true;
  page->RepeatMinutes = 15;
  const std::string path = dir_->File("events.ini");
  list.SaveToFile(path);
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.find("RepeatMinutes"), text.rfind("RepeatMinutes")) << "only Page's";
  EXPECT_NE(text.find("always7=0\r\nRepeatMinutes=15\r\n"), std::string::npos);

  // The marks of two monitors, then the file with a third event and Page's count changed.
  ASSERT_TRUE(page->ShouldFire(kPopup, 3, 7));
  ASSERT_TRUE(list.Items(0)->ShouldFire(kPopup, 3, 9));
  WriteFile(path, text + "[Mail]\r\nUseMail=1\r\nRepeatMinutes=-4\r\n");
  ASSERT_EQ(list.ReloadFromFile(path), EventsFileContent::Events);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_TRUE(list.Find("Page")->NotifiedFor(7)[kPopup]);
  EXPECT_TRUE(list.Find("Default")->NotifiedFor(9)[kPopup]);
  EXPECT_FALSE(list.Find("Page")->ShouldFire(kPopup, 4, 7)) << "the outage has been told";
  EXPECT_EQ(list.Find("Page")->RepeatMinutes, 15);
  EXPECT_EQ(list.Find("Mail")->RepeatMinutes, 0);
  Event copy;
  copy.Assign(*list.Find("Page"));
  EXPECT_EQ(copy.RepeatMinutes, 15);
}

// The webhook's keys follow the serial ones, and only for an event that has a webhook:
// the sections of other events are written as they always were.
TEST_F(EventsFileTest, WebhookKeysOnlyForEventsThatHaveOne) {
  EventList list;
  list.AddDefault();
  Event* hook = list.Items(list.Add("Hook"));
  hook->UseWebhook = true;
  hook->WebhookURL = "PUT https://m.example.org/_matrix/client/v3/rooms/x/send/m.room.message/<#id>";
  hook->WebhookBody = "{\"body\": \"<#msg>\"}";
  hook->WebhookHeaders = " Authorization: Bearer x | Title: <#server> ";
  hook->count[kWebhook] = 7;
  const std::string path = dir_->File("events.ini");
  list.SaveToFile(path);
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.find("UseWebhook"), text.rfind("UseWebhook")) << "only Hook's";
  EXPECT_EQ(text.find("count8"), text.rfind("count8"));
  EXPECT_NE(text.find("always7=0\r\nUseWebhook=1\r\nWebhookURL=PUT https://"), std::string::npos);
  EXPECT_NE(text.find("\r\ncount8=7\r\nalways8=0\r\n"), std::string::npos);

  EventList back;
  back.LoadFromFile(path);
  const Event* b = back.Find("Hook");
  ASSERT_NE(b, nullptr);
  Event copy;
  copy.Assign(*b);
  for (const Event* e : {b, static_cast<const Event*>(&copy)}) {
    EXPECT_TRUE(e->UseWebhook);
    EXPECT_EQ(e->WebhookURL, hook->WebhookURL);
    EXPECT_EQ(e->WebhookBody, hook->WebhookBody);
    EXPECT_EQ(e->WebhookHeaders, hook->WebhookHeaders) << "blanks kept by quoting";
    EXPECT_EQ(e->count[kWebhook], 7);
  }
  EXPECT_FALSE(back.Find("Default")->UseWebhook);
  EXPECT_EQ(back.Find("Default")->count[kWebhook], 2);
}

TEST(EventTest, AssignCopiesAllButTheName) {
  Event a, b;
  a.name = "a";
  a.UseExe = true;
  a.Exe = "/bin/true";
  a.count[2] = 5;
  a.always[2] = true;
  a.notified[2] = true;
  b.name = "b";
  b.Assign(a);
  EXPECT_EQ(b.name, "b");
  EXPECT_TRUE(b.UseExe);
  EXPECT_EQ(b.Exe, "/bin/true");
  EXPECT_EQ(b.count, a.count);
  EXPECT_EQ(b.always, a.always);
  EXPECT_EQ(b.notified, a.notified);
}

}  // namespace
}  // namespace sentrel::test
