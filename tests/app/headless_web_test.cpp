// The real program, headless, with its status web server on loopback ports.
#include <gtest/gtest.h>
#include <signal.h>

#include "model/server_list.h"
#include "support/loop_client.h"
#include "support/process.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::ChildProcess;

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
    return {SENTREL_BINARY, "--headless", "--data-dir",
            dir_.Path(),    "--settings", dir_.File("settings.ini"),
            "--web-ports",  ports,        dir_.File("servers.mcf")};
  }
  test::TempDir dir_;
};

TEST_F(HeadlessWebTest, ServesThePageOnTheFirstFreePortOfTheList) {
  test::PortHolder taken;
  const int second = test::FreePort();
  ChildProcess program(Args(std::to_string(taken.Port()) + "," + std::to_string(second)),
                       dir_.Path());
  ASSERT_TRUE(test::WaitForListener(second, 10000)) << program.Stderr();
  std::string reply = test::FetchBlocking(second, "GET /favicon.ico HTTP/1.1\r\n\r\n");
  const std::string header =
      "HTTP/1.0 200 OK \r\nContent-Type: text/html\r\nServer: Sentrel 2.2\r\nContent-Length: ";
  ASSERT_EQ(reply.rfind(header, 0), 0u) << reply.substr(0, 200);
  const size_t lengthEnd = reply.find("\r\n", header.size());
  const size_t body = lengthEnd + 4;
  EXPECT_EQ(reply.substr(lengthEnd, 15), "\r\n\r\n\r\n <HTML>\r\n");
  EXPECT_EQ(reply.substr(header.size(), lengthEnd - header.size()),
            std::to_string(reply.size() - body));
  EXPECT_NE(reply.find("Local<hr noframe></b></td><tr><td nowrap bgcolor=\"#eeeeee\"><font size=2 "
                       "face=\"Tahoma,arial,sans serif\">loopback</td>"),
            std::string::npos);
  EXPECT_NE(reply.find(" Sentrel 2.2 started</td></tr></table><p>"), std::string::npos);
  EXPECT_TRUE(reply.ends_with("</BODY></HTML>"));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10000), 0);
  // The operator of a service learns where the page is; requests are not logged.
  std::string out = program.Stdout();
  EXPECT_NE(out.find("Sentrel-Webserver (Port " + std::to_string(second) + "): idle\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find(" requests"), std::string::npos) << out;
}

TEST_F(HeadlessWebTest, NoWebKeepsThePortClosed) {
  const int port = test::FreePort();
  auto args = Args(std::to_string(port));
  args.insert(args.begin() + 2, "--no-web");
  ChildProcess program(args, dir_.Path());
  ASSERT_TRUE(program.WaitForOutput("Sentrel-Webserver disabled\n", 10000)) << program.Stderr();
  EXPECT_FALSE(test::WaitForListener(port, 300));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10000), 0);
}

}  // namespace
}  // namespace sentrel
