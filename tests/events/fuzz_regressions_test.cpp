// Inputs the fuzz targets found, kept as tests of what the code does with them now.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "events/event_list.h"
#include "events/mail_action.h"
#include "events/smtp_client.h"
#include "model/text_pane.h"
#include "platform/error.h"
#include "support/scripted_smtp_server.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class MailLineBreakTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    oldCwd_ = buf;
    ASSERT_EQ(chdir(dir_->Path().c_str()), 0);  // "mail.log" goes to the current directory
    server_ = std::make_unique<ScriptedSmtpServer>();
    ev_.Mailtext = dir_->File("alarm.txt");
    WriteFile(ev_.Mailtext, "127.0.0.1:" + std::to_string(server_->Port()) +
                                "\r\nsentrel@x.test\r\nAlarm\r\nbody\r\n");
  }
  void TearDown() override {
    server_.reset();
    EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    CoreFixture::TearDown();
  }
  std::string oldCwd_;
  std::unique_ptr<ScriptedSmtpServer> server_;
  Event ev_;
};

// mail_fuzz: a quoted recipient holding a CR went out inside "RCPT TO:" and "To:", where a
// server may take the CR for the end of the line and the rest for a command of its own.
TEST_F(MailLineBreakTest, ARecipientWithALineBreakCannotEndACommandLine) {
  ev_.MailAddress = "\"Ops Team <ops\xC1x.test\r>\", \"b@x.test\nRCPT TO:<c@x.test>\"";
  server_->replies = {{"RCPT TO:<ops", "550 5.1.1 bad address\r\n"}};
  RunToCompletion(SendEventMail(ev_, "m", "db1", "DOWN", nullptr));
  EXPECT_THAT(server_->received, HasSubstr("RSET\r\nMAIL FROM:<sentrel@x.test>\r\n"
                                           "RCPT TO:<ops\xC1x.test >\r\n"
                                           "RCPT TO:<c@x.test>\r\n"
                                           "DATA\r\n"));
  EXPECT_THAT(server_->received,
              HasSubstr("\r\nTo: Ops Team <ops\xC1x.test >,b@x.test RCPT TO:<c@x.test>\r\n"));
  EXPECT_THAT(server_->received, Not(HasSubstr("\r\nRCPT TO:<c@x.test>\r\nRCPT")));
}

// The client alone: no line it writes holds a CR or LF, in commands or in the text.
TEST_F(MailLineBreakTest, TheClientWritesEveryLineWhole) {
  MailMessage mail;
  mail.senderAddress = "a@x.test>\r\nRCPT TO:<evil@x.test";
  mail.senderName = "S";
  mail.recipients = {"b@x.test"};
  mail.subject = "s\r\n\r\nbody";
  mail.body = {"one\r\n.\r\nQUIT", ".two"};
  SmtpClient client;
  RunToCompletion(client.Connect("127.0.0.1", server_->Port(), "me\rx"));
  RunToCompletion(client.Send(mail));
  RunToCompletion(client.Disconnect());
  EXPECT_EQ(server_->received,
            "HELO me x\r\nRSET\r\n"
            "MAIL FROM:<a@x.test>  RCPT TO:<evil@x.test>\r\n"
            "RCPT TO:<b@x.test>\r\n"
            "DATA\r\n"
            "From: S<a@x.test>  RCPT TO:<evil@x.test>\r\n"
            "To: b@x.test\r\n"
            "Subject: s    body\r\n"
            "Mime-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n\r\n"
            "one  .  QUIT\r\n"
            "..two\r\n"
            ".\r\n"
            "QUIT\r\n");
}

}  // namespace
}  // namespace sentrel::test
