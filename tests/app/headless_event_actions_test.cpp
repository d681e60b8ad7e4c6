// The headless program notifies for real: a port check that fails against a closed
// loopback port runs an event whose popup, program and mail really happen.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/aiosmtpd_server.h"
#include "support/http_receiver.h"
#include "support/process.h"
#include "support/recording_command.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

using ::testing::HasSubstr;

[[maybe_unused]] int ClosedLoopbackPort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
  close(probe);
  return ntohs(addr.sin_port);
}

[[maybe_unused]] bool WaitFor(const std::function<bool()>& cond, int realMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

[[maybe_unused]] size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST(HeadlessEventActionsTest, AFailedPortCheckFiresPopupProgramAndMailOnce) {
#if !__has_include("scan/network_checks.h")
  GTEST_SKIP() << "this build has no network checks yet";
#else
  TempDir dir;
  AiosmtpdServer smtp(dir.Path());
  ASSERT_TRUE(smtp.Started()) << smtp.Error();
  RecordingCommand exe(dir.Path(), "notify");
  ASSERT_EQ(mkdir(dir.File("data").c_str(), 0755), 0);
  WriteFile(dir.File("alarm.txt"),
            "127.0.0.1:" + std::to_string(smtp.Port()) +
                ":sentrel-test\r\nmon@x.test\r\n<#server> <#status>\r\n<#msg>\r\n");
  WriteFile(dir.File("data/events.ini"),
            "[Default]\r\n[Alarm]\r\nUsePopup=1\r\nUseExe=1\r\nExe=" + exe.Path() +
                "\r\nExePara=<#server> <#status>\r\nUseMail=1\r\nMailAddress=ops@x.test\r\n"
                "Mailtext=" +
                dir.File("alarm.txt") + "\r\n");
  std::string cfg = dir.File("servers.mcf");
  WriteFile(cfg,
            "[db1]\r\nIP=127.0.0.1\r\nLogfile=db1.log\r\nGroup=Main\r\n[db1:port]\r\nTyp=port\r\n"
            "Port=" +
                std::to_string(ClosedLoopbackPort()) +
                "\r\nData=GtoY=Alarm,GYtoR=Alarm,RYtoG=Alarm\r\nintervall=1\r\n");
  ChildProcess sentrel({SENTREL_BINARY, "--headless", "--data-dir", dir.File("data"), "--settings",
                        dir.File("settings.ini"), "--no-web", cfg},
                       dir.Path());

  // The event fires once its failure number passes the latency count 2.
  ASSERT_TRUE(WaitFor([&] { return !smtp.Mails().empty(); }, 60'000))
      << sentrel.Stdout() << sentrel.Stderr();
  ASSERT_TRUE(exe.WaitDone());
  // A later failed check of the same outage fires nothing again.
  std::string log = dir.File("data/db1.log");
  size_t records = Count(ReadFile(log), "\n");
  ASSERT_TRUE(WaitFor([&] { return Count(ReadFile(log), "\n") >= records + 2; }, 30'000));
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(15'000), 0) << sentrel.Stderr();

  std::string out = sentrel.Stdout();
  EXPECT_EQ(Count(out, "Popup: "), 1u) << out;
  EXPECT_THAT(out, HasSubstr(" db1 PORT "));
  EXPECT_EQ(exe.Args().size(), 2u);
  EXPECT_EQ(exe.Args()[0], "db1");
  EXPECT_THAT(exe.Args()[1], ::testing::StartsWith("DOWN"));
  std::string mails = smtp.Mails();
  EXPECT_EQ(Count(mails, ".END\n"), 1u) << mails;
  EXPECT_THAT(mails, HasSubstr("Subject: db1 " + exe.Args()[1] + "\r\n"));
  EXPECT_THAT(ReadFile(dir.File("mail.log")), HasSubstr(" DONE ops@x.test db1 "));
#endif
}

// An action that cannot act leaves its trace where a failed mail leaves its own: one
// line in the errors log, naming what it could not do and the event that ran it.
TEST(HeadlessEventActionsTest, AProgramThatCannotStartIsWrittenToTheErrorsLog) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("data").c_str(), 0755), 0);
  WriteFile(dir.File("data/events.ini"),
            "[Default]\r\n[Alarm]\r\nUseExe=1\r\nExe=/nonexistent/notify\r\n");
  const std::string cfg = dir.File("servers.mcf");
  WriteFile(cfg,
            "[db1]\r\nIP=127.0.0.1\r\nLogfile=db1.log\r\nGroup=Main\r\n[db1:port]\r\n"
            "Typ=port\r\nPort=" +
                std::to_string(ClosedLoopbackPort()) + "\r\nData=GYtoR=Alarm\r\nintervall=1\r\n");
  ChildProcess sentrel({SENTREL_BINARY, "--headless", "--data-dir", dir.File("data"), "--settings",
                        dir.File("settings.ini"), "--no-web", cfg},
                       dir.Path());
  const std::string errors = dir.File("data/Sentrel errors.log");
  ASSERT_TRUE(WaitFor([&] { return access(errors.c_str(), F_OK) == 0; }, 30'000))
      << sentrel.Stdout() << sentrel.Stderr();
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(15'000), 0) << sentrel.Stderr();
  const std::string log = ReadFile(errors);
  EXPECT_EQ(Count(log, "\r\n"), 1u) << log;
  EXPECT_THAT(log, HasSubstr(" RunTimeError Cannot start /nonexistent/notify: no such program"));
  EXPECT_THAT(log, HasSubstr("IPEvent.Execute db1 PORT "));
}

}  // namespace
}  // namespace sentrel::test

namespace sentrel::test {
namespace {

// The real program posts the outage and the recovery of a port monitor to a local
// receiver: a closed loopback port that later listens.
class HeadlessWebhookTest : public CoreFixture {};

TEST_F(HeadlessWebhookTest, DownAndUpArePostedWithTheTemplateFilledAsValidJson) {
  clock_.SetAutoAdvance(false);  // the program runs in real time
  HttpReceiver receiver;
  uint16_t port = 0;
  const int fd = BindLoopback(SOCK_STREAM, &port);
  ASSERT_EQ(mkdir(dir_->File("data").c_str(), 0755), 0);
  WriteFile(dir_->File("data/events.ini"),
            "[Default]\r\n[Hook]\r\nUseWebhook=1\r\nWebhookURL=" + receiver.Url("/hook?t=1") +
                "\r\nWebhookBody={\"text\": \"<#msg>\", \"status\": \"<#status>\", \"server\": "
                "\"<#server>\", \"history\": \"<#hist>\"}\r\n"
                "WebhookHeaders=Authorization: Bearer tk_1\r\n");
  const std::string cfg = dir_->File("servers.mcf");
  WriteFile(cfg, "[db \"1\"]\r\nIP=127.0.0.1\r\nLogfile=db1.log\r\nGroup=Main\r\n[db \"1\":port]\r\n"
                 "Typ=port\r\nPort=" +
                     std::to_string(port) +
                     "\r\nData=GtoY=Hook,GYtoR=Hook,RYtoG=Hook\r\nintervall=1\r\n");
  ChildProcess sentrel({SENTREL_BINARY, "--headless", "--data-dir", dir_->File("data"),
                        "--settings", dir_->File("settings.ini"), "--no-web", cfg},
                       dir_->Path());
  ASSERT_TRUE(WaitReal([&] { return receiver.Requests().size() == 1; }, 60'000))
      << sentrel.Stderr();
  ASSERT_EQ(listen(fd, 16), 0);  // the service comes back
  ASSERT_TRUE(WaitReal([&] { return receiver.Requests().size() == 2; }, 30'000))
      << sentrel.Stderr();
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(15'000), 0) << sentrel.Stderr();
  close(fd);

  ASSERT_EQ(receiver.Requests().size(), 2u);
  const std::vector<std::string> words = {"DOWN", "UP"};  // a refused port is down at once
  for (size_t i = 0; i < 2; ++i) {
    const ReceivedRequest& r = receiver.Requests()[i];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/hook?t=1");
    EXPECT_EQ(r.Header("Authorization"), "Bearer tk_1");
    EXPECT_EQ(r.Header("Content-Type"), "application/json");
    nlohmann::json body;
    ASSERT_NO_THROW(body = nlohmann::json::parse(r.body)) << r.body;
    EXPECT_EQ(body["server"], "db \"1\"");
    EXPECT_EQ(body["status"], words[i]);
    EXPECT_THAT(body["text"].get<std::string>(), HasSubstr("db \"1\" PORT " + std::to_string(port)));
    // The history lines of the server, each ended by CR LF, arrive as they were.
    EXPECT_THAT(body["history"].get<std::string>(), HasSubstr(" DOWN "));
    EXPECT_THAT(body["history"].get<std::string>(), HasSubstr("\r\n"));
  }
}

}  // namespace
}  // namespace sentrel::test
