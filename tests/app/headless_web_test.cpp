// The real program, headless, with its status web server on loopback ports.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
  EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK \r\nContent-Type: text/html\r\nServer: Sentrel 2.2\r\n"
                        "\r\n\r\n <HTML>\r\n",
                        0),
            0u);
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

// Fetches the page from one loopback address (the page's own bind address).
std::string FetchFrom(const char* address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &addr.sin_addr);
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL) == 18) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

// --web-bind keeps the page on one address: here 127.0.0.2, while another program holds
// the same port on 127.0.0.1 (listening on all interfaces would collide with it).
TEST_F(HeadlessWebTest, WebBindListensOnTheOneAddressOnly) {
  const int port = test::FreePort();
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(holder, 4), 0);

  auto args = Args(std::to_string(port));
  args.insert(args.begin() + 2, "--web-bind=127.0.0.2");
  ChildProcess program(args, dir_.Path());
  ASSERT_TRUE(program.WaitForOutput("): idle\n", 10000)) << program.Stdout() << program.Stderr();
  EXPECT_EQ(FetchFrom("127.0.0.2", port).rfind("HTTP/1.0 200 OK \r\n", 0), 0u);
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10000), 0);
  close(holder);
}

// The panel text stays short; why the server could not listen goes to standard error.
TEST_F(HeadlessWebTest, AFailedListenTellsTheSystemsReason) {
  test::PortHolder taken;
  const std::string port = std::to_string(taken.Port());
  ChildProcess program(Args(port), dir_.Path());
  ASSERT_TRUE(program.WaitForOutput("could not be started on " + port + "\n", 10000))
      << program.Stderr();
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10000), 0);
  EXPECT_NE(program.Stderr().find("sentrel: Sentrel-Webserver cannot listen: port " + port +
                                  ": Address already in use\n"),
            std::string::npos)
      << program.Stderr();
  // An address that is not this machine's (a documentation address; nothing is sent).
  auto args = Args(port);
  args.insert(args.begin() + 2, "--web-bind");
  args.insert(args.begin() + 3, "192.0.2.1");
  ChildProcess elsewhere(args, dir_.Path());
  ASSERT_TRUE(elsewhere.WaitForOutput("could not be started on " + port + "\n", 10000))
      << elsewhere.Stderr();
  elsewhere.Signal(SIGTERM);
  EXPECT_EQ(elsewhere.Wait(10000), 0);
  EXPECT_NE(elsewhere.Stderr().find("cannot listen: port " + port + ": Cannot assign requested address"),
            std::string::npos)
      << elsewhere.Stderr();
}

}  // namespace
}  // namespace sentrel
