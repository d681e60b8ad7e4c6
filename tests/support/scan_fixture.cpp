#include "support/scan_fixture.h"

#include "platform/date_time.h"

namespace sentrel::test {

void ScanFixture::SetUp() {
  CoreFixture::SetUp();
  clock_.SetNow(EncodeDate(2026, 12, 6) + EncodeTime(14, 0, 0));
  settings_ = SettingsStore(dir_->File("settings.ini"));
  program_ = std::make_unique<RecordingProgram>(frontend_, settings_);
  program_->Create(StartOptions{});
  program_->serverList.Clear();
  program_->scanner.SetChecks(&checks_);
}

void ScanFixture::TearDown() {
  program_.reset();
  CoreFixture::TearDown();
}

Server* ScanFixture::AddServer(const std::string& name) {
  Server* s = program_->serverList.Items(program_->serverList.Add(name));
  s->group = "Main";
  s->logfile = name + ".log";
  return s;
}

Monitor* ScanFixture::AddMonitor(Server* server, const std::string& typ, int port) {
  Monitor* m = server->ports.Items(server->ports.Add(typ));
  m->port = typ == "ping" ? 0 : port;
  return m;
}

}  // namespace sentrel::test
