#include "window_fixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include "gui/help_manual.h"
#include "gui/modal_answers.h"
#include "model/last_activity.h"
#include "platform/paths.h"
#include "support/loop_client.h"

namespace sentrel::gui::test {

void WindowFixture::SetUp() {
  dir_ = std::make_unique<TempDir>();
  SetDataDir(dir_->Path());
  LastActivity = "unknown";
  loop_ = std::make_unique<QtEventLoop>();
  SetCurrentLoop(loop_.get());
  loop_->SetErrorHandler([this](const std::string& m) { errors_.push_back(m); });
  settingsPath_ = dir_->File("Corvane.ini");
  settings_ = std::make_unique<SettingsStore>(settingsPath_);
  SetCurrentSettings(settings_.get());
  SetExternalOpener([this](const QUrl& url) {
    opened_ << url;
    return openerWorks_;
  });
  ModalAnswers::ClearAsked();
  webPort_ = sentrel::test::FreePort();
}

void WindowFixture::TearDown() {
  Stop();
  SetExternalOpener(nullptr);
  SetCurrentSettings(nullptr);
  SetCurrentLoop(nullptr);
  loop_.reset();
  SetDataDir(".");
  // Windows a test left open (a popup stand-in, a menu) go with it.
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible()) w->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void WindowFixture::Settings(const std::string& iniText) {
  WriteFile(settingsPath_, iniText);
}

void WindowFixture::Start(const std::string& serverFileText) {
  settings_->Load();
  frontend_ = std::make_unique<QtFrontend>();
  program_ = std::make_unique<Program>(*frontend_, *settings_);
  form_ = std::make_unique<MainWindow>(*program_, *frontend_, *loop_);
  StartOptions options;
  options.webPorts = {webPort_};
  options.shard = shard_;
  if (!serverFileText.empty()) {
    serverFile_ = dir_->File("servers.mcf");
    WriteFile(serverFile_, serverFileText);
    options.commandLineFile = serverFile_;
  }
  form_->Create(options);
  form_->SetStartupDone();
  form_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
}

void WindowFixture::Stop() {
  if (program_) program_->StopScan();
  form_.reset();
  program_.reset();
  frontend_.reset();
}

QAction* WindowFixture::Action(const char* name) const {
  auto* a = form_->findChild<QAction*>(QString::fromLatin1(name));
  EXPECT_NE(a, nullptr) << name;
  return a;
}

void WindowFixture::Trigger(const char* name) {
  QAction* a = Action(name);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->isEnabled()) << name;
  a->trigger();
}

TreeNode* WindowFixture::Node(const QString& path) const {
  const QStringList parts = path.split(QLatin1Char('/'));
  TreeNode* node = nullptr;
  for (const QString& part : parts) {
    TreeNode* next = nullptr;
    const int count = node ? node->childCount() : form_->GroupCount();
    for (int i = 0; i < count && !next; ++i) {
      TreeNode* c = node ? node->ChildNode(i) : form_->GroupNode(i);
      if (c->Text() == part || c->Text().startsWith(part + QStringLiteral(" ("))) next = c;
    }
    if (!next) return nullptr;
    node = next;
  }
  return node;
}

QTreeView* WindowFixture::Tree() const {
  return form_->findChild<QTreeView*>(QStringLiteral("TreeView1"));
}

TreeNode* WindowFixture::Select(const QString& path) {
  TreeNode* node = Node(path);
  EXPECT_NE(node, nullptr) << path.toStdString();
  if (node) form_->SelectNode(node);
  return node;
}

bool WindowFixture::ServeUntil(const std::function<bool()>& done, int realMs) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < realMs) QTest::qWait(5);
  return done();
}

std::vector<std::string> Snapshot(const MainWindow& form) {
  std::vector<std::string> out;
  std::function<void(TreeNode*, int)> walk = [&](TreeNode* n, int depth) {
    out.push_back(std::string(static_cast<size_t>(depth) * 2, ' ') + std::to_string(n->level()) +
                  "|" + n->Text().toStdString() + "|" + std::to_string(n->image()) + "|" +
                  (form.IsExpanded(n) ? "+" : "-") + "|" +
                  n->data(0, Qt::AccessibleDescriptionRole).toString().toStdString());
    for (int i = 0; i < n->childCount(); ++i) walk(n->ChildNode(i), depth + 1);
  };
  for (int g = 0; g < form.GroupCount(); ++g) walk(form.GroupNode(g), 0);
  return out;
}

}  // namespace sentrel::gui::test
