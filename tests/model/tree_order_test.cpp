#include "model/tree_order.h"

#include <gtest/gtest.h>

#include "model/server_list.h"

namespace sentrel {
namespace {

Server* AddServer(ServerList& list, const std::string& name, const std::string& group) {
  Server* s = list.Items(list.Add(name));
  s->group = group;
  return s;
}

std::string Describe(const std::vector<TreeGroup>& tree) {
  std::string out;
  for (const auto& g : tree) {
    out += g.name + ":";
    for (const Server* s : g.servers) out += " " + s->name;
    out += "; ";
  }
  return out;
}

TEST(TreeOrderTest, GroupsInOrderOfFirstUseWithTheirServersInListOrder) {
  ServerList list;
  AddServer(list, "a1", "Alpha");
  AddServer(list, "b1", "Beta");
  AddServer(list, "a2", "Alpha");
  AddServer(list, "c1", "Gamma");
  AddServer(list, "b2", "Beta");
  AddServer(list, "a3", "Alpha");
  EXPECT_EQ(Describe(TreeOrder(list)), "Alpha: a1 a2 a3; Beta: b1 b2; Gamma: c1; ");
}

TEST(TreeOrderTest, EmptyGroupBecomesMainAndJoinsAnExistingMain) {
  ServerList list;
  AddServer(list, "x", "Other");
  Server* loose = AddServer(list, "y", "");
  AddServer(list, "z", "Main");
  EXPECT_EQ(Describe(TreeOrder(list)), "Other: x; Main: y z; ");
  EXPECT_EQ(loose->group, "Main");
}

TEST(TreeOrderTest, GroupTextsAreComparedExactly) {
  ServerList list;
  AddServer(list, "a", "web");
  AddServer(list, "b", "Web");
  AddServer(list, "c", "web ");
  EXPECT_EQ(Describe(TreeOrder(list)), "web: a; Web: b; web : c; ");
}

TEST(TreeOrderTest, EmptyListGivesNoGroups) {
  ServerList list;
  EXPECT_TRUE(TreeOrder(list).empty());
}

}  // namespace
}  // namespace sentrel
