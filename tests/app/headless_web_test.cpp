// The real program, headless, with its status web server on loopback ports.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "model/server_list.h"
#include "support/loop_client.h"
#include "support/program_process.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::ProgramProcess;

class HeadlessWebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TServerList list;
    TServer* s = list.Items(list.Add("loopback"));
    s->ip = "127.0.0.1";
    s->group = "Local";
    s->logfile = "loopback.log";
    list.SaveToFile(dir_.File("servers.mcf"));
  }
  std::vector<std::string> Args(const std::string& ports) {
    return {"--headless", "--data-dir", dir_.Path(), "--settings", dir_.File("settings.ini"),
            "--web-ports", ports, dir_.File("servers.mcf")};
  }
  bool WaitForOutput(const std::string& text, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (test::ReadFile(dir_.File("out.txt")).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  test::TempDir dir_;
};

TEST_F(HeadlessWebTest, ServesThePageOnTheFirstFreePortOfTheList) {
  test::PortHolder taken;
  const int second = test::FreePort();
  ProgramProcess program(SENTREL_BINARY,
                         Args(std::to_string(taken.Port()) + "," + std::to_string(second)),
                         dir_.File("out.txt"));
  ASSERT_TRUE(program.Started());
  ASSERT_TRUE(test::WaitForListener(second, 10000)) << test::ReadFile(dir_.File("out.txt"));
  std::string reply = test::FetchBlocking(second, "GET /favicon.ico HTTP/1.1\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK \r\nContent-Type: text/html\r\nServer: Sentrel 2.2\r\n"
                        "\r\n\r\n <HTML>\r\n",
                        0),
            0u);
  EXPECT_NE(reply.find("Local<hr noframe></b></td><tr><td nowrap bgcolor=\"#eeeeee\"><font size=2 "
                       "face=\"Tahoma,arial,sans serif\">loopback</td>"),
            std::string::npos);
  EXPECT_NE(reply.find(" Sentrel 2.2 started</td></tr></table><p>"), std::string::npos);
  EXPECT_TRUE(reply.ends_with("</BODY></HTML>"));
  EXPECT_EQ(WEXITSTATUS(program.Stop()), 0);
  // The operator of a service learns where the page is; requests are not logged.
  std::string out = test::ReadFile(dir_.File("out.txt"));
  EXPECT_NE(out.find("Sentrel-Webserver (Port " + std::to_string(second) + "): idle\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find(" requests"), std::string::npos) << out;
}

TEST_F(HeadlessWebTest, NoWebKeepsThePortClosed) {
  const int port = test::FreePort();
  auto args = Args(std::to_string(port));
  args.insert(args.begin() + 1, "--no-web");
  ProgramProcess program(SENTREL_BINARY, args, dir_.File("out.txt"));
  ASSERT_TRUE(WaitForOutput(" Sentrel 2.2 started", 10000));
  EXPECT_FALSE(test::WaitForListener(port, 300));
  EXPECT_TRUE(program.Running());
  EXPECT_NE(test::ReadFile(dir_.File("out.txt")).find("Sentrel-Webserver disabled\n"),
            std::string::npos);
  EXPECT_EQ(WEXITSTATUS(program.Stop()), 0);
}

}  // namespace
}  // namespace sentrel
