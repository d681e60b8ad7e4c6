#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/program.h"
#include "support/loop_client.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::PortHolder;

class QuietFrontend : public Frontend {
 public:
  void StatusPanelChanged(int panel, const std::string& text) override {
    if (panel == 1) panelTexts.push_back(text);
  }
  void ShowPopupMessage(const std::string&) override {}
  void ShowNotice(const std::string&) override {}
  bool AskYesNo(const std::string&) override { return false; }
  std::vector<std::string> panelTexts;
};

class ProgramWebTest : public test::CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetAutoAdvance(false);
    settings_ = std::make_unique<SettingsStore>(dir_->File("settings.ini"));
  }
  void TearDown() override {
    program_.reset();
    CoreFixture::TearDown();
  }
  Program& Start(bool headless, bool startWeb, std::vector<int> ports) {
    program_ = std::make_unique<Program>(frontend_, *settings_);
    StartOptions options;
    options.headless = headless;
    options.startWeb = startWeb;
    options.webPorts = std::move(ports);
    program_->Create(options);
    return *program_;
  }
  static std::string Idle(int port) {
    return "Sentrel-Webserver (Port " + std::to_string(port) + "): idle";
  }

  QuietFrontend frontend_;
  std::unique_ptr<SettingsStore> settings_;
  std::unique_ptr<Program> program_;
};

TEST_F(ProgramWebTest, HeadlessStartsTheServerUnlessTold) {
  const int port = test::FreePort();
  Program& p = Start(true, true, {port});
  EXPECT_TRUE(p.webServer.Listening());
  EXPECT_EQ(p.StatusPanel(1), Idle(port));
  EXPECT_TRUE(p.webServerWanted);
  EXPECT_EQ(p.webServerToggleText, "Stop Webserver");
  test::LoopClient c(port);
  c.Send("GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(test::ServeUntil([&] { return c.Finished(); }));
  EXPECT_EQ(c.Received().rfind("HTTP/1.0 200 OK \r\n", 0), 0u);
  EXPECT_NE(c.Received().find(" Sentrel 2.2 started</td></tr></table>"), std::string::npos);

  Start(true, false, {test::FreePort()});
  EXPECT_FALSE(program_->webServer.Listening());
  EXPECT_EQ(program_->StatusPanel(1), "Sentrel-Webserver disabled");
  EXPECT_FALSE(program_->webServerWanted);
  EXPECT_EQ(program_->webServerToggleText, "Start Webserver");
}

TEST_F(ProgramWebTest, WindowFollowsStartWebserverOnStartup) {
  const int port = test::FreePort();
  Start(false, true, {port});
  EXPECT_FALSE(program_->webServer.Listening());
  EXPECT_EQ(program_->StatusPanel(1), "Sentrel-Webserver disabled");

  settings_->WriteNumber(kSettingsSection, "AutoStartWeb", 1);
  Start(false, false, {port});
  EXPECT_TRUE(program_->webServer.Listening());
  EXPECT_EQ(program_->StatusPanel(1), Idle(port));
  EXPECT_TRUE(program_->webServerWanted);
}

TEST_F(ProgramWebTest, SiteSettingPointsThePageAtTheOperatorsFiles) {
  settings_->WriteText("Sentrel", "StatusPageSite", "http://intranet.example");
  Start(true, true, {test::FreePort()});
  EXPECT_EQ(program_->webServer.Addresses().logo,
            "http://intranet.example/donotmovethis/Sentrellogo.gif");
  EXPECT_EQ(program_->webServer.Addresses().homepage, "http://intranet.example/");
  // The settings file shows the other one too, with its default.
  program_->WriteSettings();
  EXPECT_NE(test::ReadFile(dir_->File("settings.ini")).find("Homepage=\r\n"), std::string::npos);
}

TEST_F(ProgramWebTest, FailedStartAtStartupNamesThePortsTried) {
  PortHolder a, b, c;
  testing::internal::CaptureStderr();
  Start(true, true, {a.Port(), b.Port(), c.Port()});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(program_->webServer.Listening());
  EXPECT_EQ(program_->StatusPanel(1),
            "Sentrel-Webserver could not be started on " + std::to_string(a.Port()) + ", " +
                std::to_string(b.Port()) + " and " + std::to_string(c.Port()));
  // The reason, in the system's words: in the Messages/Errors pane, and headless on
  // standard error.
  const std::string reason = "Sentrel-Webserver cannot listen: port " + std::to_string(a.Port()) +
                             ": Address already in use; port " + std::to_string(b.Port()) +
                             ": Address already in use; port " + std::to_string(c.Port()) +
                             ": Address already in use";
  ASSERT_EQ(program_->messagePane.Count(), 2u);
  EXPECT_EQ(program_->messagePane.Lines()[1].substr(20), reason);
  EXPECT_EQ(err, "sentrel: " + reason + "\n");
  EXPECT_FALSE(program_->webServerWanted);
  EXPECT_EQ(program_->webServerToggleText, "Start Webserver");
}

// --web-bind keeps the page on one address: 127.0.0.2 here, while another program holds
// the same port on 127.0.0.1, which listening on all interfaces would collide with.
TEST_F(ProgramWebTest, WebBindListensOnTheOneAddressOnly) {
  const int port = test::FreePort();
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(holder, 4), 0);
  auto start = [&](const char* address) {
    program_ = std::make_unique<Program>(frontend_, *settings_);
    StartOptions options;
    options.headless = true;
    options.startWeb = true;
    options.webPorts = {port};
    options.webBind = address;
    testing::internal::CaptureStderr();
    program_->Create(options);
    return testing::internal::GetCapturedStderr();
  };
  EXPECT_EQ(start("127.0.0.2"), "");
  EXPECT_EQ(program_->StatusPanel(1), Idle(port));
  // An address that is not this machine's (binding to it sends nothing).
  EXPECT_EQ(start("::2"), "sentrel: Sentrel-Webserver cannot listen: port " +
                                    std::to_string(port) + ": Cannot assign requested address\n");
  EXPECT_FALSE(program_->webServer.Listening());
  close(holder);
}

TEST_F(ProgramWebTest, ToolButtonSwitchesTheServerOffAndOn) {
  auto holder = std::make_unique<PortHolder>();
  const int port = holder->Port();
  holder.reset();
  Program& p = Start(true, true, {port});
  ASSERT_TRUE(p.webServer.Listening());
  p.webServer.requestCount = 7;

  p.ToggleWebServer();  // released: off
  EXPECT_FALSE(p.webServer.Listening());
  EXPECT_FALSE(p.webServerWanted);
  EXPECT_EQ(p.webServerToggleText, "Start Webserver");
  EXPECT_EQ(p.StatusPanel(1), "Sentrel-Webserver is offline");

  p.ToggleWebServer();  // pressed: on again
  EXPECT_TRUE(p.webServer.Listening());
  EXPECT_TRUE(p.webServerWanted);
  EXPECT_EQ(p.webServerToggleText, "Stop Webserver");
  EXPECT_EQ(p.StatusPanel(1), Idle(port));
  EXPECT_EQ(p.webServer.requestCount, 7);

  // A start that fails leaves the button down; the next click only releases it.
  p.ToggleWebServer();
  PortHolder taken(port);
  frontend_.panelTexts.clear();
  p.ToggleWebServer();
  EXPECT_FALSE(p.webServer.Listening());
  EXPECT_TRUE(p.webServerWanted);
  EXPECT_EQ(p.webServerToggleText, "Stop Webserver");
  EXPECT_EQ(
      frontend_.panelTexts,
      (std::vector<std::string>{"Sentrel-Webserver could not be started on " + std::to_string(port),
                                "Sentrel-Webserver is offline"}));
  EXPECT_EQ(p.messagePane.Lines().back().substr(20),
            "Sentrel-Webserver cannot listen: port " + std::to_string(port) +
                ": Address already in use");
  p.ToggleWebServer();
  EXPECT_FALSE(p.webServer.Listening());
  EXPECT_FALSE(p.webServerWanted);
  EXPECT_EQ(p.webServerToggleText, "Start Webserver");
  EXPECT_EQ(p.StatusPanel(1), "Sentrel-Webserver is offline");
}

TEST_F(ProgramWebTest, StartupPlacesServersWithoutGroupInMain) {
  test::WriteFile(dir_->File("servers.mcf"),
                  "[alpha]\nIP=127.0.0.1\nGroup=\n[alpha:ping]\nTyp=ping\n");
  program_ = std::make_unique<Program>(frontend_, *settings_);
  StartOptions options;
  options.headless = true;
  options.startWeb = false;
  options.commandLineFile = dir_->File("servers.mcf");
  program_->Create(options);
  ASSERT_EQ(program_->serverList.Count(), 1);
  EXPECT_EQ(program_->serverList.Items(0)->group, "Main");
}

}  // namespace
}  // namespace sentrel
