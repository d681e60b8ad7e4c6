// Maintenance windows, the servers a server is reached through, and a configuration taken
// over from the file read again.
#include "model/maintenance.h"

#include <gtest/gtest.h>

#include "model/dependencies.h"
#include "model/server_list.h"
#include "platform/date_time.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

double At(int y, int mo, int d, int h, int mi) {
  return EncodeDate(y, mo, d) + EncodeTime(h, mi, 0);
}

TEST(MaintenanceTest, WindowsHoldTheirTimesAndReadBackAsWritten) {
  // 2026-12-05 is a Saturday.
  struct Case {
    const char* text;
    double at;
    bool active;
    double until;  // when the stretch that holds `at` ends
  } cases[] = {
      {"2026-12-24 18:00..2026-12-27 08:00", At(2026, 12, 24, 18, 0), true, At(2026, 12, 27, 8, 0)},
      {"2026-12-24 18:00..2026-12-27 08:00", At(2026, 12, 27, 8, 0), false, 0},
      {"2026-12-24 18:00..2026-12-27 08:00", At(2026, 12, 24, 17, 59), false, 0},
      {"weekly Sat,Sun 02:00-04:00", At(2026, 12, 5, 3, 59), true, At(2026, 12, 5, 4, 0)},
      {"weekly Sat,Sun 02:00-04:00", At(2026, 12, 7, 3, 0), false, 0},  // a Monday
      // Over midnight: Sunday night into Monday morning, not Saturday morning.
      {"weekly Sun 22:00-02:00", At(2026, 12, 7, 1, 30), true, At(2026, 12, 7, 2, 0)},
      {"weekly Sun 22:00-02:00", At(2026, 12, 6, 23, 0), true, At(2026, 12, 7, 2, 0)},
      {"weekly Sun 22:00-02:00", At(2026, 12, 6, 1, 30), false, 0},
      {"weekly Mon-Fri 00:00-24:00", At(2026, 12, 11, 12, 0), true, At(2026, 12, 12, 0, 0)},
      // Windows that meet make one stretch.
      {"weekly Fri 20:00-24:00; 2026-12-12 00:00..2026-12-12 09:30", At(2026, 12, 11, 21, 0), true,
       At(2026, 12, 12, 9, 30)},
  };
  for (const Case& c : cases) {
    std::vector<std::string> errors;
    const std::vector<MaintenanceWindow> windows = ParseMaintenance(c.text, &errors);
    ASSERT_TRUE(errors.empty()) << c.text;
    EXPECT_EQ(FormatMaintenance(windows), c.text);
    EXPECT_EQ(MaintenanceUntil(windows, c.at) > 0, c.active)
        << c.text << " at " << FormatDateTime(c.at);
    EXPECT_DOUBLE_EQ(MaintenanceUntil(windows, c.at), c.until) << c.text;
  }

  // What is not understood is said and left out; the rest is kept.
  std::vector<std::string> errors;
  const auto windows = ParseMaintenance(
      "weekly Sun 02:00-04:00; weekly Funday 01:00-02:00; 2026-12-27 08:00..2026-12-24 18:00; "
      "weekly Sat 03:00-03:00; tomorrow",
      &errors);
  EXPECT_EQ(windows.size(), 1u);
  EXPECT_EQ(errors, (std::vector<std::string>{
                        "\"weekly Funday 01:00-02:00\" names no days: the days are Mon, Tue, Wed, "
                        "Thu, Fri, Sat and Sun, separated by commas, or a range such as Mon-Fri",
                        "\"2026-12-27 08:00..2026-12-24 18:00\" ends before it starts",
                        "\"weekly Sat 03:00-03:00\" is empty: its range ends where it starts (a "
                        "whole day is 00:00-24:00)",
                        "\"tomorrow\" is not understood: write 2026-12-24 18:00..2026-12-27 "
                        "08:00 for once, or weekly Sat,Sun 02:00-04:00"}));

  // "For 30 minutes" from 14:03:27 holds from 14:03 to 14:34, as the file keeps it.
  const MaintenanceWindow half = MaintenanceFor(At(2026, 12, 6, 14, 3) + 27.0 / 86400, 30);
  EXPECT_EQ(FormatMaintenanceWindow(half), "2026-12-06 14:03..2026-12-06 14:34");
}

class DependencyFileTest : public CoreFixture {};

// The keys are written only when there is something to say; one-off windows that are
// over are left out at the save; a server is unreachable while all its parents are down.
TEST_F(DependencyFileTest, ParentAndMaintenanceRoundTripAndTheHoldFollowsTheParents) {
  clock_.SetNow(At(2026, 12, 6, 14, 0));
  ServerList list;
  for (const char* name : {"router", "backup", "web1", "plain"}) {
    Server* s = list.Items(list.Add(name));
    s->ports.Items(s->ports.Add("ping"))->status = "green";
  }
  Server* web1 = list.Items(2);
  web1->parents = {"Router", "backup", "nowhere"};
  web1->maintenance =
      ParseMaintenance("2026-12-01 00:00..2026-12-02 00:00; weekly Sun 13:00-15:00");
  const std::string path = dir_->File("servers.mcf");
  list.SaveToFile(path);
  const std::string text = ReadFile(path);
  EXPECT_NE(text.find("PortExpand=1\r\nParent=Router,backup,nowhere\r\n"
                      "Maintenance=weekly Sun 13:00-15:00\r\n\r\n[web1:ping]"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[plain]\r\nIP=\r\nLocation=\r\nNotes=\r\nLogfile=\r\nGroup=\r\n"
                      "GroupExpand=1\r\nPortExpand=1\r\n\r\n[plain:ping]"),
            std::string::npos);

  ServerList back;
  ASSERT_EQ(back.LoadFromFile(path), ServerFileContent::Servers);
  Server& child = *back.Items(2);
  EXPECT_EQ(child.parents, (std::vector<std::string>{"Router", "backup", "nowhere"}));
  ASSERT_EQ(child.maintenance.size(), 1u);
  ServerHold hold = HoldOf(back, child, Now());
  EXPECT_TRUE(hold.maintenance);
  EXPECT_DOUBLE_EQ(hold.maintenanceUntil, At(2026, 12, 6, 15, 0));

  child.maintenance.clear();
  for (int i = 0; i < 3; ++i) back.Items(i)->ports.Items(0)->status = "green";
  back.Items(0)->ports.Items(0)->status = "red";
  EXPECT_FALSE(HoldOf(back, child, Now()).Unreachable()) << "backup is still up";
  back.Items(1)->ports.Items(0)->status = "red";
  hold = HoldOf(back, child, Now());
  EXPECT_EQ(hold.through, (std::vector<std::string>{"router", "backup"}));
  EXPECT_EQ(UnreachableWords(hold.through), "unreachable through router and backup");
  EXPECT_EQ(HoldOfMonitor(*child.ports.Items(0), hold), MonitorHold::Unreachable);
  child.ports.Items(0)->status = "?";
  EXPECT_EQ(HoldOfMonitor(*child.ports.Items(0), hold), MonitorHold::None);
  // A parent whose monitors were never checked is not down.
  back.Items(1)->ports.Items(0)->status = "";
  EXPECT_FALSE(HoldOf(back, child, Now()).Unreachable());
}

// The file read again: unchanged monitors stay the same objects with their state, a
// changed check is a new monitor, and the file's order and other settings are taken.
TEST_F(DependencyFileTest, AdoptKeepsUnchangedMonitorsAndTakesTheRestFromTheFile) {
  ServerList list;
  Server* web = list.Items(list.Add("web1"));
  web->ip = "127.0.0.1";
  Monitor* keep = web->ports.Items(web->ports.Add("port"));
  keep->port = 22;
  keep->status = "red";
  keep->lostCount = 7;
  Monitor* changed = web->ports.Items(web->ports.Add("http"));
  changed->SetValue("url", "http://127.0.0.1/a");
  Monitor* removed = web->ports.Items(web->ports.Add("ping"));
  list.Items(list.Add("old"))->ports.Add("ping");
  auto keepAlive = keep->Watch(), changedAlive = changed->Watch(), removedAlive = removed->Watch();

  const std::string path = dir_->File("servers.mcf");
  WriteFile(path,
            "[new]\nIP=127.0.0.1\n[new:ping]\nTyp=ping\n"
            "[WEB1]\nIP=127.0.0.1\nGroup=Web\nParent=new\n"
            "[WEB1:http]\nTyp=http\nData=url=http://127.0.0.1/b\n"
            "[WEB1:PORT]\nTyp=port\nPort=22\nData=GYtoR=Page\nintervall=5\n");
  ServerList fresh;
  ASSERT_EQ(fresh.LoadFromFile(path), ServerFileContent::Servers);
  const ReloadCounts counts = list.Adopt(fresh);
  EXPECT_EQ(counts.kept, 1);
  EXPECT_EQ(counts.added, 2);
  EXPECT_EQ(counts.removed, 3);
  EXPECT_EQ(fresh.Count(), 0);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0)->name, "new");
  Server* web1 = list.Items(1);
  EXPECT_EQ(web1, web) << "the server object stays";
  EXPECT_EQ(web1->name, "WEB1");
  EXPECT_EQ(web1->group, "Web");
  EXPECT_EQ(web1->parents, std::vector<std::string>{"new"});
  ASSERT_EQ(web1->ports.Count(), 2);
  EXPECT_EQ(web1->ports.Items(1), keep);
  EXPECT_EQ(keep->status, "red");
  EXPECT_EQ(keep->lostCount, 7);
  EXPECT_EQ(keep->interval, 5);
  EXPECT_EQ(keep->GetValue("GYtoR"), "Page");
  EXPECT_EQ(web1->ports.Items(0)->server, web1);
  EXPECT_EQ(list.Items(0)->owner, &list);
  EXPECT_FALSE(keepAlive.expired());
  EXPECT_TRUE(changedAlive.expired());
  EXPECT_TRUE(removedAlive.expired());
}

}  // namespace
}  // namespace sentrel::test
