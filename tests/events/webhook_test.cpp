// Webhooks: the request an event makes of its template, its delivery with retries on the
// fake clock, https with a CA of the test's own, and the ready settings of the events-file
// documentation, each against a local receiver that checks what its service expects.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "events/event_list.h"
#include "events/real_event_actions.h"
#include "events/webhook_action.h"
#include "platform/ini_file.h"
#include "platform/settings_store.h"
#include "scan/http_post.h"
#include "support/http_receiver.h"
#include "support/scan_fixture.h"
#include "support/test_env.h"
#include "support/tls_servers.h"

namespace sentrel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Json = nlohmann::json;

// A message as hostile to a body as a monitored server can make it.
const std::string kMessage = "web1 HTTP DOWN (\"503\" \\ back\r\nsoon <#server>) Zürich";

class WebhookTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    SetCurrentSettings(&settings_);
  }
  HttpPostResult Post(HttpPostRequest request) {
    return RunToCompletion(poster_.Post(std::move(request)), 60'000);
  }
  std::string Header(const HttpPostRequest& r, const std::string& name) {
    for (const std::string& h : r.headers)
      if (h.rfind(name + ": ", 0) == 0) return h.substr(name.size() + 2);
    return "<none>";
  }

  SettingsStore settings_;
  ClientHttpPoster poster_;
  RecordingFrontend frontend_;
};

TEST_F(WebhookTest, TemplatesAreFilledOnceAndEscapedForTheirKindOfBody) {
  struct Case {
    std::string url, body, headers;
    std::string method, wantUrl, wantBody, contentType;
  };
  const std::vector<Case> cases = {
      // A JSON body gets its values escaped, inside the template's own quotes.
      {"http://127.0.0.1/h", "{\"text\": \"<#msg>\", \"s\": \"<#status>\"}", "", "POST",
       "http://127.0.0.1/h",
       "{\"text\": \"web1 HTTP DOWN (\\\"503\\\" \\\\ back\\r\\nsoon <#server>) Zürich\", \"s\": "
       "\"DOWN (3)\"}",
       "application/json"},
      // Plain text stays as it is; a value holding a placeholder is not filled again.
      {"http://127.0.0.1/h", "<#server>: <#msg>", "", "POST", "http://127.0.0.1/h",
       "web1: " + kMessage, "text/plain; charset=utf-8"},
      // A JSON Content-Type of the operator's makes any body JSON.
      {"http://127.0.0.1/h", "\"<#msg>\"", "Content-Type: application/json; charset=utf-8", "POST",
       "http://127.0.0.1/h",
       "\"web1 HTTP DOWN (\\\"503\\\" \\\\ back\\r\\nsoon <#server>) Zürich\"",
       "application/json; charset=utf-8"},
      // The method before the URL; placeholders in it are percent-encoded.
      {"put  http://127.0.0.1/s/<#server>/<#status>", "x", "", "PUT",
       "http://127.0.0.1/s/web1/DOWN%20%283%29", "x", "text/plain; charset=utf-8"},
  };
  for (const Case& c : cases) {
    Event ev;
    ev.WebhookURL = c.url;
    ev.WebhookBody = c.body;
    ev.WebhookHeaders = c.headers;
    const HttpPostRequest r = BuildWebhookRequest(ev, kMessage, "web1", "DOWN (3)", nullptr);
    EXPECT_EQ(r.method, c.method) << c.url;
    EXPECT_EQ(r.url, c.wantUrl);
    EXPECT_EQ(r.body, c.wantBody) << c.body;
    EXPECT_EQ(Header(r, "Content-Type"), c.contentType) << c.body;
  }

  // The default body is JSON that any JSON reader takes, whatever the message holds.
  Event ev;
  ev.WebhookURL = "https://hooks.example.com/x";
  ev.WebhookHeaders =
      "Authorization: Bearer tk_1 | Title: <#server> <#msg> || no colon | Host: evil | bad name: x";
  HttpPostRequest r = BuildWebhookRequest(ev, kMessage, "web1", "DOWN (3)", nullptr);
  const Json body = Json::parse(r.body);
  EXPECT_EQ(body["text"], kMessage);
  EXPECT_EQ(body["server"], "web1");
  EXPECT_EQ(body["status"], "DOWN (3)");
  // Header values stay on their line; what Sentrel sets itself is not taken from them.
  EXPECT_EQ(r.headers, (std::vector<std::string>{
                           "Authorization: Bearer tk_1",
                           "Title: web1 web1 HTTP DOWN (\"503\" \\ back  soon <#server>) Zürich",
                           "Content-Type: application/json"}));
  EXPECT_THAT(
      WebhookHeaderProblems(ev.WebhookHeaders),
      (std::vector<std::string>{"\"no colon\" has no \":\" between name and value: it is not sent",
                                "Host is set by Sentrel itself: it is not sent",
                                "\"bad name\" is no header name: it is not sent"}));
  // "<#id>" names the one notification, the same wherever it stands.
  ev.WebhookURL = "PUT http://127.0.0.1/txn/<#id>";
  ev.WebhookBody = "<#id>";
  r = BuildWebhookRequest(ev, kMessage, "web1", "UP", nullptr);
  EXPECT_EQ(r.url, "http://127.0.0.1/txn/" + r.body);
  EXPECT_NE(BuildWebhookRequest(ev, kMessage, "web1", "UP", nullptr).body, r.body);
  ev.WebhookURL = "GET http://127.0.0.1/";
  EXPECT_THROW(BuildWebhookRequest(ev, kMessage, "web1", "UP", nullptr), SentrelError);
}

// The receiver answers each try with the next status of its script (0: nobody there).
TEST_F(WebhookTest, FailuresAreTriedAgainWithinTwoMinutesAndTheLastOneIsLogged) {
  struct Case {
    std::vector<int> answers;
    std::vector<int64_t> wantAtSeconds;
    std::string wantError;
  };
  const std::vector<Case> cases = {
      {{503, 503, 200}, {0, 10, 40}, ""},
      {{500, 502, 503, 504}, {0, 10, 40, 100}, "HTTP 504 Trouble (4 tries)"},
      {{404}, {0}, "HTTP 404 Trouble (1 try)"},
      {{0, 0, 0, 0}, {}, "(4 tries)"},
  };
  for (const Case& c : cases) {
    errors_.clear();
    const int64_t start = clock_.MonotonicMs();
    std::vector<int64_t> at;
    HttpReceiver receiver([&](const ReceivedRequest&) {
      at.push_back((clock_.MonotonicMs() - start) / 1000);
      const int status = c.answers[std::min(at.size(), c.answers.size()) - 1];
      return HttpReply(status, status == 200 ? "OK" : "Trouble");
    });
    Event ev;
    ev.name = "Chat";
    ClosedPort closed;
    const std::string host =
        c.answers[0] == 0 ? "http://127.0.0.1:" + std::to_string(closed.Port()) : receiver.Url("");
    ev.WebhookURL = host + "/services/T0/B0/secret?token=secret";
    auto request = BuildWebhookRequest(ev, "m", "web1", "DOWN (3)", nullptr);
    try {
      RunToCompletion(DeliverWebhook(poster_, request, WebhookName(ev)), 600'000);
      EXPECT_EQ(c.wantError, "");
    } catch (const SentrelError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.wantError));
      EXPECT_THAT(e.what(), HasSubstr("Webhook failed: webhook of event \"Chat\" to " + host));
      EXPECT_THAT(e.what(), Not(HasSubstr("secret")));
    }
    if (c.answers[0] != 0) {
      EXPECT_EQ(at, c.wantAtSeconds);
    }
  }

  // A delivery still waiting for its next try when the program closes says so.
  HttpReceiver busy([](const ReceivedRequest&) { return HttpReply(503, "Busy"); });
  RealEventActions actions(frontend_, nullptr, &poster_);
  Event ev;
  ev.name = "Chat";
  ev.WebhookURL = busy.Url("/hook");
  errors_.clear();
  actions.DoWebhook(ev, "m", "web1", "DOWN (3)");
  ASSERT_TRUE(loop_->WaitUntil([&] { return busy.Requests().size() == 1; }, 10'000));
  EXPECT_EQ(actions.Deliveries(), 1u);
  actions.CancelDeliveries();
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_THAT(errors_[0], HasSubstr("Webhook abandoned before it was delivered: webhook of event "
                                    "\"Chat\" to http://127.0.0.1:"));
}

TEST_F(WebhookTest, HttpsGoesToAReceiverWhoseCertificateTheSystemTrusts) {
  TempDir pki;
  TestCa ca(pki.File("ca"), "Sentrel Test CA");
  if (!ca.Ok()) GTEST_SKIP() << ca.Why();
  const auto certificate = ca.Issue("hooks", "DNS:localhost,IP:127.0.0.1", 30);
  HttpReceiver receiver;
  NginxTlsServer nginx("", {certificate}, receiver.Port());
  if (!nginx.Ok()) GTEST_SKIP() << nginx.Why();
  std::filesystem::create_directories(pki.File("none"));
  setenv("SSL_CERT_DIR", pki.File("none").c_str(), 1);
  clock_.SetAutoAdvance(false);  // nginx works in real time

  Event ev;
  ev.WebhookURL = nginx.HttpsUrl(0, "/hook/alerts");
  ev.WebhookBody = "{\"text\": \"<#msg>\"}";
  setenv("SSL_CERT_FILE", pki.File("nothing-trusted.pem").c_str(), 1);
  HttpPostResult untrusted = Post(BuildWebhookRequest(ev, kMessage, "web1", "UP", nullptr));
  setenv("SSL_CERT_FILE", ca.CertFile().c_str(), 1);
  HttpPostResult trusted = Post(BuildWebhookRequest(ev, kMessage, "web1", "UP", nullptr));
  unsetenv("SSL_CERT_FILE");
  unsetenv("SSL_CERT_DIR");

  EXPECT_EQ(untrusted.status, 0);
  EXPECT_THAT(untrusted.reason, HasSubstr("certificate"));
  EXPECT_TRUE(trusted.Delivered()) << trusted.Text();
  ASSERT_EQ(receiver.Requests().size(), 1u);
  EXPECT_EQ(receiver.Requests()[0].target, "/hook/alerts");
  EXPECT_EQ(Json::parse(receiver.Requests()[0].body)["text"], kMessage);
}

// The "Ready settings" of docs/events-file.md: each section is loaded as an event,
// its URL pointed at a local receiver (path and query kept), and what arrives is checked
// against what the service takes.
TEST_F(WebhookTest, TheDocumentedSettingsHaveTheShapeEachServiceExpects) {
  std::ifstream file(std::string(SENTREL_SOURCE_DIR) + "/docs/events-file.md");
  std::stringstream doc;
  doc << file.rdbuf();
  const std::string text = doc.str();
  const size_t from = text.find("### Ready settings for common services");
  ASSERT_NE(from, std::string::npos);
  const std::string part = text.substr(from, text.find("\n## ", from) - from);
  std::string ini;
  for (size_t p = part.find("```ini\n"); p != std::string::npos; p = part.find("```ini\n", p)) {
    p += 7;
    ini += part.substr(p, part.find("```", p) - p) + "\n";
  }
  const IniFile sections = IniFile::Parse(ini);

  using Check = std::function<void(const ReceivedRequest&, const Json&)>;
  const std::map<std::string, Check> services = {
      {"Phone",  // ntfy: the message is the body, the title a header
       [](const ReceivedRequest& r, const Json&) {
         EXPECT_EQ(r.method, "POST");
         EXPECT_EQ(r.target, "/sentrel-alerts");
         EXPECT_EQ(r.body, kMessage);
         EXPECT_EQ(r.Header("Title"), "web1 DOWN (3)");
         EXPECT_EQ(r.Header("Priority"), "high");
       }},
      {"Gotify",
       [](const ReceivedRequest& r, const Json& j) {
         EXPECT_THAT(r.target, ::testing::StartsWith("/message?token="));
         EXPECT_EQ(j["message"], kMessage);
         EXPECT_TRUE(j["title"].is_string());
         EXPECT_TRUE(j["priority"].is_number_integer());
       }},
      {"Chat",  // Slack and Mattermost
       [](const ReceivedRequest& r, const Json& j) {
         EXPECT_EQ(r.Header("Content-Type"), "application/json");
         EXPECT_EQ(j["text"], kMessage);
       }},
      {"Matrix",
       [](const ReceivedRequest& r, const Json& j) {
         EXPECT_EQ(r.method, "PUT");
         const std::string prefix =
             "/_matrix/client/v3/rooms/%21AbCdEfGh%3Aexample.org/send/"
             "m.room.message/";
         EXPECT_THAT(r.target, ::testing::StartsWith(prefix));
         EXPECT_GT(r.target.size(), prefix.size()) << "a transaction id";
         EXPECT_THAT(r.Header("Authorization"), ::testing::StartsWith("Bearer "));
         EXPECT_EQ(j["msgtype"], "m.text");
         EXPECT_EQ(j["body"], kMessage);
       }},
      {"Discord",
       [](const ReceivedRequest& r, const Json& j) {
         EXPECT_THAT(r.target, ::testing::StartsWith("/api/webhooks/"));
         EXPECT_EQ(j["content"], kMessage);
       }},
      {"Teams",  // an Adaptive Card in a message
       [](const ReceivedRequest&, const Json& j) {
         EXPECT_EQ(j["type"], "message");
         const Json& a = j["attachments"][0];
         EXPECT_EQ(a["contentType"], "application/vnd.microsoft.card.adaptive");
         EXPECT_EQ(a["content"]["type"], "AdaptiveCard");
         EXPECT_EQ(a["content"]["body"][1]["text"], kMessage);
       }},
  };
  ASSERT_EQ(sections.SectionCount(), services.size()) << ini;
  HttpReceiver receiver;
  const std::string local = receiver.Url("");
  for (size_t i = 0; i < sections.SectionCount(); ++i) {
    const std::string name(sections.SectionName(i));
    ASSERT_EQ(services.count(name), 1u) << name;
    Event ev;
    ev.ReadFromINI(name, sections);
    EXPECT_TRUE(ev.UseWebhook) << name;
    // Only the receiver of this test is ever asked, never the service itself.
    const size_t scheme = ev.WebhookURL.find("://");
    ASSERT_NE(scheme, std::string::npos);
    const size_t start = ev.WebhookURL.rfind(' ', scheme) == std::string::npos
                             ? 0
                             : ev.WebhookURL.rfind(' ', scheme) + 1;
    ev.WebhookURL.replace(start, ev.WebhookURL.find('/', scheme + 3) - start, local);
    const size_t before = receiver.Requests().size();
    const HttpPostResult result =
        Post(BuildWebhookRequest(ev, kMessage, "web1", "DOWN (3)", nullptr));
    EXPECT_TRUE(result.Delivered()) << name << ": " << result.Text();
    ASSERT_EQ(receiver.Requests().size(), before + 1) << name;
    const ReceivedRequest& r = receiver.Requests().back();
    Json json;
    if (r.Header("Content-Type").find("json") != std::string::npos) {
      ASSERT_NO_THROW(json = Json::parse(r.body)) << name << ": " << r.body;
    }
    SCOPED_TRACE(name);
    services.at(name)(r, json);
  }
}

}  // namespace
}  // namespace sentrel::test
