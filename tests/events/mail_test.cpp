#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <regex>

#include "events/event_actions.h"
#include "events/event_list.h"
#include "events/mail_action.h"
#include "events/smtp_client.h"
#include "model/last_activity.h"
#include "model/text_pane.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "support/aiosmtpd_server.h"
#include "support/recording_command.h"
#include "support/scripted_smtp_server.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(MailPartsTest, RecipientItemsAndTheirEnvelopeAddresses) {
  EXPECT_THAT(SplitRecipients("a@x.test, b@x.test"), ElementsAre("a@x.test", "b@x.test"));
  EXPECT_THAT(SplitRecipients(" a@x.test\tb@x.test\r\nc@x.test,,"),
              ElementsAre("a@x.test", "b@x.test", "c@x.test"));
  EXPECT_THAT(SplitRecipients("\"Ops Team <ops@x.test>\",\"say \"\"hi\"\"\" \"\""),
              ElementsAre("Ops Team <ops@x.test>", "say \"hi\"", ""));
  EXPECT_EQ(EnvelopeAddress("Ops Team <ops@x.test>"), "ops@x.test");
  EXPECT_EQ(EnvelopeAddress("<a@x.test"), "a@x.test");
  EXPECT_EQ(EnvelopeAddress("x<a@x.test<b>"), "a@x.test");
  EXPECT_EQ(EnvelopeAddress("smtp:a@x.test:rest"), "a@x.test");
  EXPECT_EQ(EnvelopeAddress("plain@x.test"), "plain@x.test");
  EXPECT_EQ(EnvelopeAddress("<>"), "");
  EXPECT_EQ(ReplyCode("250 OK\r\n"), 250);
  EXPECT_EQ(ReplyCode("250-first\r\n"), 250);
  EXPECT_EQ(ReplyCode("OK\r\n"), 0);
  EXPECT_EQ(ReplyCode("12345678901234"), 1234567890);
}

TEST(MailPartsTest, TemplateLinesEndWithAnyLineBreak) {
  EXPECT_THAT(SplitTextLines("a\r\nb\nc\rd"), ElementsAre("a", "b", "c", "d"));
  EXPECT_THAT(SplitTextLines("a\r\n\r\n"), ElementsAre("a", ""));
  EXPECT_THAT(SplitTextLines(""), ElementsAre());
}

class MailTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    server_ = std::make_unique<ScriptedSmtpServer>();
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    oldCwd_ = buf;
    // "mail.log" is written to the current directory.
    ASSERT_EQ(chdir(dir_->Path().c_str()), 0);
    ev_.MailAddress = "ops@x.test";
    ev_.Mailtext = dir_->File("alarm.txt");
  }
  void TearDown() override {
    EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    server_.reset();
    CoreFixture::TearDown();
  }
  void Template(const std::string& rest, const std::string& serverTail = "") {
    WriteFile(ev_.Mailtext,
              "127.0.0.1:" + std::to_string(server_->Port()) + serverTail + "\r\n" + rest);
  }
  void Send(const std::string& message = "db1 PING DOWN (timeout)") {
    RunToCompletion(SendEventMail(ev_, message, "db1", "DOWN (2)", &pane_));
  }
  std::string Failure(const std::string& message = "m") {
    try {
      Send(message);
    } catch (const SentrelError& e) {
      return e.what();
    }
    return "no failure";
  }
  std::string LogLine(const char* word) const {
    return FormatDateTime(Now()) + word + ev_.MailAddress +
           " db1 db1 PING DOWN (timeout) DOWN (2)\r\n";
  }
  // The header a mail of the fake clock's moment carries; its Message-ID reads "<ID>"
  // (see Received).
  static std::string Header(const std::string& from, const std::string& to,
                            const std::string& subject) {
    std::string h = "From: Sentrel<" + from + ">\r\n";
    if (!to.empty()) h += "To: " + to + "\r\n";
    if (!subject.empty()) h += "Subject: " + subject + "\r\n";
    // The fake clock's 2025-12-09 12:00:00, a Tuesday, in this machine's zone.
    char zone[8];
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    strftime(zone, sizeof zone, "%z", &local);
    h += std::string("Date: Tue, 09 Dec 2025 12:00:00 ") + zone + "\r\nMessage-ID: <ID>\r\n";
    return h + "Mime-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n\r\n";
  }
  // What the server received, the Message-ID's value (which holds our process id and a
  // count) read as "<ID>" once its form has been checked.
  std::string Received() const {
    std::string text = server_->received;
    static const std::regex id("Message-ID: <[0-9]{14}\\.[0-9]+\\.[0-9]+\\.sentrel@[A-Za-z0-9.-]+>");
    return std::regex_replace(text, id, "Message-ID: <ID>");
  }

  std::string oldCwd_;
  // Made in SetUp: it watches the test's own loop.
  std::unique_ptr<ScriptedSmtpServer> server_;
  TextPane pane_{"Messages/Errors"};
  Event ev_;
};

TEST_F(MailTest, TheWholeDialogueByteForByte) {
  Template("mon@x.test\r\nAlarm <#server>\r\nServer <#server> is <#status>.\r\n<#msg>\r\n");
  Send();
  EXPECT_EQ(Received(),
            "HELO \r\n"
            "RSET\r\n"
            "MAIL FROM:<mon@x.test>\r\n"
            "RCPT TO:<ops@x.test>\r\n"
            "DATA\r\n" +
                Header("mon@x.test", "ops@x.test", "Alarm db1") +
                "Server db1 is DOWN (2).\r\n"
                "db1 PING DOWN (timeout)\r\n"
                ".\r\n"
                "QUIT\r\n");
  // The close after QUIT is abortive.
  EXPECT_TRUE(PumpUntil([&] { return server_->clientGone; }));
  EXPECT_TRUE(server_->clientReset);
  EXPECT_EQ(ReadFile("mail.log"), LogLine(" MAIL ") + LogLine(" DONE "));
}

TEST_F(MailTest, GreetingNameKeepsItsColonAndContinuationLinesAreSkipped) {
  server_->greeting = "220-mail.x.test first line\r\n 220 folded\r\n220 ready\r\n";
  server_->replies = {{"HELO", "250-mail.x.test\r\n250-SIZE 1000\r\n250 HELP\r\n"}};
  Template("mon@x.test\r\nsubject\r\n", ":relay:one");
  Send();
  EXPECT_THAT(server_->received, ::testing::StartsWith("HELO relay:one\r\nRSET\r\n"));
  EXPECT_THAT(ReadFile("mail.log"), HasSubstr(" DONE "));
}

TEST_F(MailTest, RecipientsAreListedInTheHeaderAndARefusedOneDoesNotStopTheMail) {
  ev_.MailAddress = "a@x.test, \"Ops Team <ops@x.test>\" bad@x.test <>";
  server_->replies = {{"RCPT TO:<bad@x.test>", "550 no such user\r\n"}};
  Template("mon@x.test\r\nsubject\r\nbody\r\n");
  Send();
  EXPECT_EQ(Received(),
            "HELO \r\nRSET\r\nMAIL FROM:<mon@x.test>\r\n"
            "RCPT TO:<a@x.test>\r\nRCPT TO:<ops@x.test>\r\nRCPT TO:<bad@x.test>\r\n"
            "DATA\r\n" +
                Header("mon@x.test", "a@x.test,Ops Team <ops@x.test>,bad@x.test,<>", "subject") +
                "body\r\n.\r\nQUIT\r\n");
}

TEST_F(MailTest, DotLinesAreStuffedAndAnEmptySubjectHasNoHeaderLine) {
  Template("mon@x.test\r\n\r\n.\r\n..x\r\n x.\r\n");
  Send();
  EXPECT_EQ(Received(),
            "HELO \r\nRSET\r\nMAIL FROM:<mon@x.test>\r\nRCPT TO:<ops@x.test>\r\n"
            "DATA\r\n" +
                Header("mon@x.test", "ops@x.test", "") + "..\r\n...x\r\n x.\r\n.\r\nQUIT\r\n");
}

TEST_F(MailTest, AThreeLineTemplateSendsOnlyTheEmptyLineAfterTheHeader) {
  Template("mon@x.test\r\nJust the subject");
  Send();
  EXPECT_THAT(Received(),
              HasSubstr("DATA\r\n" + Header("mon@x.test", "ops@x.test", "Just the subject") +
                        ".\r\nQUIT\r\n"));
}

TEST_F(MailTest, LineBreaksFromPlaceholdersMoveTheLinesDown) {
  pane_.AddLine("2024-01-01 10:00:00 db1 DOWN");
  pane_.AddLine("2024-01-01 10:05:00 db1 UP");
  Template("mon@x.test\r\n<#hist>rest\r\n");
  Send();
  EXPECT_THAT(Received(),
              HasSubstr(Header("mon@x.test", "ops@x.test", "2024-01-01 10:00:00 db1 DOWN") +
                        "2024-01-01 10:05:00 db1 UP\r\nrest\r\n.\r\n"));
}

TEST_F(MailTest, AServerThatNeverAnswersFailsAtTheTimeLimit) {
  server_->silent = true;
  Template("mon@x.test\r\nsubject\r\n");
  int64_t before = clock_.MonotonicMs();
  EXPECT_EQ(Failure(), kMailTimedOut);
  EXPECT_EQ(clock_.MonotonicMs() - before, kMailDialogueLimitMs);
  // The connection was given up, and no " DONE " line follows the " MAIL " line.
  EXPECT_TRUE(PumpUntil([&] { return server_->clientGone; }));
  EXPECT_EQ(ReadFile("mail.log"), FormatDateTime(Now() - kMailDialogueLimitMs / 86'400'000.0) +
                                      " MAIL ops@x.test db1 m DOWN (2)\r\n");
}

TEST_F(MailTest, AServerThatClosesEarlyFailsTheDialogue) {
  Template("mon@x.test\r\nsubject\r\n");
  server_->closeOn = "RSET";
  EXPECT_EQ(Failure(), kMailConnectionClosed);
  server_->closeOn = "HELO ";
  EXPECT_EQ(Failure(), kMailConnectionClosed);
  server_->closeOn = "";
  server_->greeting = "";
  server_->silent = false;
  ScriptedSmtpServer hangsUp;
  hangsUp.greeting = "220 bye";  // no line end, then the close
  hangsUp.hangUpAfterGreeting = true;
  WriteFile(ev_.Mailtext,
            "127.0.0.1:" + std::to_string(hangsUp.Port()) + "\r\nmon@x.test\r\ns\r\n");
  EXPECT_EQ(Failure(), kMailConnectionClosed);
  EXPECT_THAT(ReadFile("mail.log"), ::testing::Not(HasSubstr(" DONE ")));
}

TEST_F(MailTest, RefusalsEndTheDialogueWithTheReplyLine) {
  Template("mon@x.test\r\nsubject\r\n");
  server_->replies = {{"HELO", "501 Syntax: HELO hostname\r\n"}};
  EXPECT_EQ(Failure(), kAuthenticationFailed);
  server_->replies = {{"RSET", "421 closing\r\n"}};
  EXPECT_EQ(Failure(), "421 closing");
  server_->replies = {{"MAIL FROM", "553 sender refused\r\n"}};
  EXPECT_EQ(Failure(), "553 sender refused");
  server_->replies = {{"RCPT", "550 no\r\n"}, {"DATA", "554 no valid recipients\r\n"}};
  EXPECT_EQ(Failure(), "554 no valid recipients");
  server_->replies = {{".", "452 no room\r\n"}};
  EXPECT_EQ(Failure(), "452 no room");
  server_->replies = {{"QUIT", "500 what?\r\n"}};
  EXPECT_EQ(Failure(), "500 what?");
  EXPECT_THAT(ReadFile("mail.log"), ::testing::Not(HasSubstr(" DONE ")));
  // A QUIT the server hangs up on instead of answering still counts as delivered.
  server_->replies.clear();
  server_->closeOn = "QUIT";
  EXPECT_EQ(Failure(), "no failure");
  EXPECT_THAT(ReadFile("mail.log"), HasSubstr(" DONE "));
}

TEST_F(MailTest, IncompleteHeaderAfterTheGreeting) {
  Template("\r\nsubject\r\n");
  EXPECT_EQ(Failure(), kIncompleteHeader);
  EXPECT_EQ(server_->received, "HELO \r\n");
  Template("mon@x.test\r\nsubject\r\n");
  ev_.MailAddress = " , ";
  EXPECT_EQ(Failure(), kIncompleteHeader);
}

TEST_F(MailTest, NoServerToTalkTo) {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
  int freePort = ntohs(addr.sin_port);
  close(probe);
  WriteFile(ev_.Mailtext, "127.0.0.1:" + std::to_string(freePort) + "\r\nmon@x.test\r\ns\r\n");
  EXPECT_EQ(Failure(), kConnectionFailed);

  // A name lookup is real work: the real clock keeps the time limit out of its way.
  SetCurrentClock(nullptr);
  WriteFile(ev_.Mailtext, "no such host:25\r\nmon@x.test\r\ns\r\n");
  EXPECT_EQ(Failure(), kHostLookupFailed);
}

TEST_F(MailTest, BrokenTemplates) {
  ev_.Mailtext = dir_->File("missing.txt");
  EXPECT_THROW(Send(), SystemError);
  EXPECT_FALSE(FileExists("mail.log"));  // nothing was logged

  ev_.Mailtext = dir_->File("alarm.txt");
  Template("mon@x.test\r\n");
  EXPECT_THAT(Failure(), HasSubstr("has no sender or no subject line"));
  WriteFile(ev_.Mailtext, "127.0.0.1\r\nmon@x.test\r\ns\r\n");
  EXPECT_THAT(Failure(), HasSubstr("No port"));
  WriteFile(ev_.Mailtext, "127.0.0.1:25x:name\r\nmon@x.test\r\ns\r\n");
  EXPECT_THAT(Failure(), HasSubstr("\"25x\" is not a number"));
  WriteFile(ev_.Mailtext, "127.0.0.1:\r\nmon@x.test\r\ns\r\n");
  EXPECT_THAT(Failure(), HasSubstr("is not a number"));
  EXPECT_EQ(server_->connections, 0);
  // Each attempt left its " MAIL " line.
  std::string log = ReadFile("mail.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4);
  EXPECT_THAT(log, ::testing::Not(HasSubstr(" DONE ")));
}

TEST_F(MailTest, AMailLogThatCannotBeWrittenStopsTheMail) {
  Template("mon@x.test\r\ns\r\n");
  MakeDirectories(dir_->File("mail.log"));  // a directory where the log should be
  EXPECT_THROW(Send(), SystemError);
  EXPECT_EQ(server_->connections, 0);
}

TEST_F(MailTest, TwoDialoguesCanRunAtOnce) {
  ScriptedSmtpServer slow;
  slow.silent = true;  // the first mail waits for this one forever
  Event other = ev_;
  other.Mailtext = dir_->File("slow.txt");
  WriteFile(other.Mailtext, "127.0.0.1:" + std::to_string(slow.Port()) + "\r\nmon@x.test\r\ns\r\n");
  Template("mon@x.test\r\nsecond\r\n");
  std::string firstResult;
  bool firstDone = false, secondDone = false;
  // Both are tasks of their own: the second goes through while the first one waits.
  TaskGroup mails;
  mails.Start(SendEventMail(other, "m", "db1", "DOWN (2)", nullptr), "first",
              [&](std::exception_ptr error) {
                firstDone = true;
                try {
                  if (error) std::rethrow_exception(error);
                } catch (const SentrelError& e) {
                  firstResult = e.what();
                }
              });
  mails.Start(SendEventMail(ev_, "m", "db1", "DOWN (2)", nullptr), "second",
              [&](std::exception_ptr error) { secondDone = !error; });
  ASSERT_TRUE(loop_->WaitUntil([&] { return secondDone; }, 30'000));
  EXPECT_FALSE(firstDone) << "the silent server holds only its own mail";
  EXPECT_THAT(server_->received, HasSubstr("Subject: second\r\n"));
  ASSERT_TRUE(loop_->WaitUntil([&] { return firstDone; }, 120'000));
  EXPECT_EQ(firstResult, kMailTimedOut);
}

// An action that fails ends the event where it is and reaches the errors log.
class MailOnlyActions : public EventActions {
 public:
  void DoNetSend(const Event&, const std::string&, const std::string&,
                 const std::string&) override {}
  void DoPopup(const Event&, const std::string&) override { ran += "popup "; }
  void DoExe(const Event&, const std::string&, const std::string&, const std::string&) override {}
  Task<void> DoMail(Event ev, std::string m, std::string s, std::string st) override {
    ran += "mail ";
    co_await SendEventMail(ev, m, s, st, nullptr);
  }
  Task<void> DoShutdown(Event) override { co_return; }
  Task<void> DoSound(Event) override {
    ran += "sound ";
    co_return;
  }
  Task<void> DoSerial(Event) override { co_return; }
  void DoPrint(const Event&, const std::string&, const std::string&) override {}
  std::string ran;
};

TEST_F(MailTest, AFailedMailReachesTheErrorsLogAndTheEventGoesOn) {
  server_->replies = {{"MAIL FROM", "553 sender refused\r\n"}};
  Template("mon@x.test\r\nsubject\r\n");
  MailOnlyActions actions;
  EventList list;
  list.context.actions = &actions;
  Event& ev = *list.Items(list.Add("Alarm"));
  ev.Assign(ev_);
  ev.UsePopup = ev.UseMail = ev.UseSound = true;
  list.RunEvent("Alarm", "db1 DOWN", "db1", "DOWN (3)", 3);
  ASSERT_TRUE(loop_->WaitUntil([&] { return list.RunsUnderWay() == 0; }, 30'000));
  EXPECT_EQ(actions.ran, "popup mail sound ");
  EXPECT_THAT(errors_, ElementsAre("553 sender refused"));
  EXPECT_TRUE(ev.notified[kMail]);
}

TEST_F(MailTest, DeliveredToARealSmtpServer) {
  SetCurrentClock(nullptr);  // a real server answers in real time
  AiosmtpdServer real(dir_->Path());
  ASSERT_TRUE(real.Started()) << real.Error();
  ev_.MailAddress = "ops@x.test, \"Night Shift <night@x.test>\"";
  WriteFile(ev_.Mailtext, "localhost:" + std::to_string(real.Port()) +
                              ":sentrel-test\r\nmon@x.test\r\n<#server> is <#status>\r\n"
                              "First line\r\n.hidden dot\r\n\r\nLast line\r\n");
  Send();
  // A real date of now, in the form RFC 5322 asks, and an id of the form it asks.
  const std::regex dated(
      "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 2[0-9]{3} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
      "[+-][0-9]{4}\r\nMessage-ID: <[^@>\\s]+@[^@>\\s]+>\r\n");
  EXPECT_EQ(std::regex_replace(real.Mails(), dated, "DATE AND ID\r\n"),
            "FROM mon@x.test\nRCPT ops@x.test\nRCPT night@x.test\n"
            "From: Sentrel<mon@x.test>\r\n"
            "To: ops@x.test,Night Shift <night@x.test>\r\n"
            "Subject: db1 is DOWN (2)\r\n"
            "DATE AND ID\r\n"
            "Mime-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=us-ascii\r\n"
            "\r\n"
            "\r\n"
            "First line\r\n.hidden dot\r\n\r\nLast line\r\n.END\n");
  EXPECT_THAT(ReadFile("mail.log"), HasSubstr(" DONE "));
}

}  // namespace
}  // namespace sentrel::test
