#include "gui/server_tree_model.h"

#include <QHash>
#include <QPalette>
#include <algorithm>

#include "gui/status_lights.h"
#include "gui/text.h"
#include "model/server_list.h"
#include "platform/clock.h"

namespace sentrel::gui {

// ---------------------------------------------------------------------------------------
// Nodes

TreeNode::TreeNode(Level level, Server* server, Monitor* monitor, TreeNode* parent,
                   TreeContext* context)
    : level_(level), server_(server), monitor_(monitor), parent_(parent), context_(context) {
  sequence_ = context->nextSequence++;
  if (monitor)
    alive_ = monitor->Watch();
  else if (server)
    alive_ = server->Watch();
}

QVariant TreeNode::data(int column, int role) const {
  if (column > 0) return TreeCellData(*this, column, role);
  switch (role) {
    case Qt::DisplayRole:
      return text_;
    case Qt::DecorationRole:
      return image_ > 0 ? QVariant(StatusLight(image_)) : QVariant();
    case Qt::ForegroundRole:
      return shownElsewhere_ ? QVariant(QPalette().brush(QPalette::Disabled, QPalette::Text))
                             : QVariant();
    case Qt::AccessibleDescriptionRole:
    case Qt::ToolTipRole:
      return StatusWords(Status(), Now());
    default:
      return {};
  }
}

RowStatus TreeNode::Status() const {
  RowStatus s;
  s.image = std::max(image_, 1);
  if (level_ != kGroup && Alive() && !server_->owner->Watches(*server_)) {
    const Shard& shard = server_->owner->shard;
    s.elsewhere = QStringLiteral("not watched here: shard %1/%2 watches it, this is shard %3")
                      .arg(ShardHash(server_->name) % static_cast<uint64_t>(shard.n) + 1)
                      .arg(shard.n)
                      .arg(ToQ(shard.Text()));
    return s;
  }
  if (level_ == kMonitor) {
    if (!Alive()) return s;
    s.colourImage = s.image;
    if (s.image == kImageUnreachable || s.image == kImageMaintenance) {
      const double now = Now();
      const ServerHold hold = HoldOf(*server_->owner, *server_, now);
      s.colourImage = StatusImage(monitor_->status);
      if (hold.maintenance)
        s.holdWords = MaintenanceWords(hold.maintenanceUntil, now);
      else
        s.holdWords = ToQ(UnreachableWords(hold.through));
    }
    if (s.colourImage == kImageYellow)
      s.lostOnce = history_.yellowFromLoss && monitor_->lastUp == history_.lossLastUp;
    if (s.colourImage == kImageRed) {
      s.lost = monitor_->lostCount;
      s.downSince = history_.downSince;
    }
    return s;
  }
  // A server or a group: its monitors counted by their lights.
  s.summary = true;
  auto count = [&s](const TreeNode* server) {
    for (const auto& mn : server->children_) {
      if (!mn->Alive()) continue;
      ++s.monitors;
      if (std::max(mn->image_, 1) == s.image) ++s.showing;
    }
  };
  if (level_ == kServer) {
    if (Alive()) count(this);
  } else {
    for (const auto& sn : children_)
      if (sn->Alive()) count(sn.get());
  }
  return s;
}

namespace {

QString MonitorCreationText(const Monitor& m) {
  return ToQ(m.name) + QStringLiteral(" (") + QString::number(m.port) + QLatin1Char(')');
}

QString MonitorRefreshText(const Monitor& m) {
  return ToQ(m.name) + QStringLiteral(" (") + ToQ(m.typ) + QLatin1Char(':') +
         QString::number(m.port) + QStringLiteral(", ") + QString::number(m.interval) +
         QStringLiteral("s)");
}

bool IsColour(const std::string& status) {
  return status == "green" || status == "yellow" || status == "red";
}

// Notes a monitor's change of colour in its node's history (see TreeNode::History).
// Returns whether a screen reader is to hear of it: a change from one colour to another,
// and a monitor found red at its first check. Lights going grey (scanning stopped) and
// the first green of every monitor after a start are not news.
bool NoteStatus(TreeNode::History& h, const Monitor& p) {
  if (p.status == h.status) return false;
  const bool news = IsColour(p.status) && (IsColour(h.status) || p.status == "red");
  if (p.status == "yellow") {
    h.yellowFromLoss = h.status == "green";
    h.lossLastUp = p.lastUp;
  }
  if (p.status == "red") h.downSince = Now();
  h.status = p.status;
  return news;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The model

ServerTreeModel::ServerTreeModel(ServerList& list, TreeContext& context, QObject* parent)
    : QAbstractItemModel(parent), list_(list), context_(context) {}

ServerTreeModel::~ServerTreeModel() = default;

QModelIndex ServerTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= kColumnCount) return {};
  if (!parent.isValid()) {
    if (row >= GroupCount()) return {};
    return createIndex(row, column, groups_[static_cast<size_t>(row)].get());
  }
  const TreeNode* p = Node(parent);
  if (!p || row >= p->childCount()) return {};
  return createIndex(row, column, p->ChildNode(row));
}

QModelIndex ServerTreeModel::parent(const QModelIndex& child) const {
  const TreeNode* node = Node(child);
  if (!node || !node->parent_) return {};
  return createIndex(node->parent_->row_, 0, node->parent_);
}

int ServerTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return GroupCount();
  if (parent.column() > 0) return 0;
  const TreeNode* node = Node(parent);
  return node ? node->childCount() : 0;
}

int ServerTreeModel::columnCount(const QModelIndex&) const {
  return kColumnCount;
}

QVariant ServerTreeModel::data(const QModelIndex& index, int role) const {
  const TreeNode* node = Node(index);
  return node ? node->data(index.column(), role) : QVariant();
}

QVariant ServerTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
  if (role == Qt::DisplayRole) return ColumnTitle(section);
  if (role == Qt::TextAlignmentRole && section >= kColumnResponse)
    return QVariant(Qt::AlignRight | Qt::AlignVCenter);
  return {};
}

TreeNode* ServerTreeModel::Node(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this) return nullptr;
  return static_cast<TreeNode*>(index.internalPointer());
}

QModelIndex ServerTreeModel::IndexOf(const TreeNode* node, int column) const {
  if (!node) return {};
  return createIndex(node->row_, column, const_cast<TreeNode*>(node));
}

void ServerTreeModel::Rebuild() {
  // The tree's memory of each monitor's run goes on to the monitor's new node.
  QHash<const Monitor*, TreeNode::History> histories;
  for (const auto& gn : groups_)
    for (const auto& sn : gn->children_)
      for (const auto& mn : sn->children_)
        if (mn->Alive() && !mn->history_.status.empty())
          histories.insert(mn->monitor_, mn->history_);
  beginResetModel();
  rebuilding_ = true;
  ++generation_;
  groups_.clear();
  QHash<QString, TreeNode*> groupByText;
  for (int i = 0; i < list_.Count(); ++i) {
    Server* server = list_.Items(i);
    if (server->group.empty()) server->group = "Main";
    TreeNode*& group = groupByText[ToQ(server->group)];
    if (!group) {
      group = NewGroupNode(server->group);
      group->row_ = GroupCount();
      groups_.emplace_back(group);
    }
    TreeNode* sn = MakeServerNode(group, server);
    if (histories.isEmpty()) continue;
    for (const auto& mn : sn->children_) {
      auto it = histories.constFind(mn->monitor_);
      if (it != histories.constEnd()) mn->history_ = *it;
    }
  }
  rebuilding_ = false;
  endResetModel();
  for (const auto& gn : groups_) {
    emit TextShown(gn.get());
    for (const auto& sn : gn->children_) {
      emit TextShown(sn.get());
      for (const auto& mn : sn->children_) emit TextShown(mn.get());
    }
  }
}

TreeNode* ServerTreeModel::AddServerNode(Server* server) {
  if (server->group.empty()) server->group = "Main";
  const QString text = ToQ(server->group);
  TreeNode* group = nullptr;
  for (int g = GroupCount() - 1; g >= 0 && !group; --g)
    if (GroupNode(g)->text_ == text) group = GroupNode(g);
  // The new nodes are shown to the view as they are inserted, not cell by cell.
  rebuilding_ = true;
  if (!group) {
    beginInsertRows({}, GroupCount(), GroupCount());
    group = NewGroupNode(server->group);
    group->row_ = GroupCount();
    groups_.emplace_back(group);
    endInsertRows();
    emit TextShown(group);
  }
  beginInsertRows(IndexOf(group), group->childCount(), group->childCount());
  TreeNode* node = MakeServerNode(group, server);
  endInsertRows();
  rebuilding_ = false;
  emit TextShown(node);
  for (const auto& mn : node->children_) emit TextShown(mn.get());
  return node;
}

TreeNode* ServerTreeModel::AddMonitorNode(TreeNode* serverNode, Monitor* monitor) {
  rebuilding_ = true;
  beginInsertRows(IndexOf(serverNode), serverNode->childCount(), serverNode->childCount());
  TreeNode* node = MakeMonitorNode(serverNode, monitor);
  endInsertRows();
  rebuilding_ = false;
  emit TextShown(node);
  return node;
}

TreeNode* ServerTreeModel::NewGroupNode(const std::string& name) {
  auto* group = new TreeNode(TreeNode::kGroup, nullptr, nullptr, nullptr, &context_);
  group->shownName_ = name;
  SetText(group, ToQ(name));
  SetImage(group, kImageNotChecked);
  return group;
}

TreeNode* ServerTreeModel::MakeServerNode(TreeNode* group, Server* server) {
  auto* node = new TreeNode(TreeNode::kServer, server, nullptr, group, &context_);
  node->row_ = group->childCount();
  group->children_.emplace_back(node);
  node->shownName_ = server->name;
  SetText(node, ToQ(server->name.empty() ? server->ip : server->name));
  SetImage(node, kImageNotChecked);
  for (int j = 0; j < server->ports.Count(); ++j) MakeMonitorNode(node, server->ports.Items(j));
  return node;
}

TreeNode* ServerTreeModel::MakeMonitorNode(TreeNode* serverNode, Monitor* monitor) {
  auto* node =
      new TreeNode(TreeNode::kMonitor, serverNode->server_, monitor, serverNode, &context_);
  node->row_ = serverNode->childCount();
  serverNode->children_.emplace_back(node);
  SetText(node, MonitorCreationText(*monitor));
  SetImage(node, kImageNotChecked);
  return node;
}

void ServerTreeModel::RemoveNode(TreeNode* node) {
  ++generation_;
  TreeNode* parent = node->parent_;
  auto& siblings = parent ? parent->children_ : groups_;
  const int row = node->row_;
  beginRemoveRows(parent ? IndexOf(parent) : QModelIndex(), row, row);
  siblings.erase(siblings.begin() + row);
  for (size_t i = static_cast<size_t>(row); i < siblings.size(); ++i)
    siblings[i]->row_ = static_cast<int>(i);
  endRemoveRows();
}

void ServerTreeModel::SetText(TreeNode* node, const QString& text) {
  node->text_ = text;
  // Nodes being made are not in the view yet; it hears of them as a whole.
  if (rebuilding_) return;
  node->changed_ = true;
  emit TextShown(node);
}

void ServerTreeModel::SetImage(TreeNode* node, int image) {
  if (node->image_ == image) return;
  node->image_ = image;
  if (!rebuilding_) node->changed_ = true;
}

void ServerTreeModel::EmitChangedRows(TreeNode* parent) {
  const auto& rows = parent ? parent->children_ : groups_;
  const QModelIndex parentIndex = parent ? IndexOf(parent) : QModelIndex();
  const int count = static_cast<int>(rows.size());
  int first = -1;
  for (int i = 0; i <= count; ++i) {
    if (i < count && rows[static_cast<size_t>(i)]->changed_) {
      rows[static_cast<size_t>(i)]->changed_ = false;
      if (first < 0) first = i;
    } else if (first >= 0) {
      emit dataChanged(index(first, 0, parentIndex), index(i - 1, kColumnCount - 1, parentIndex));
      first = -1;
    }
  }
}

void ServerTreeModel::Refresh() {
  for (const auto& group : groups_) {
    TreeNode* gn = group.get();
    int groupImage = kImageNotChecked;
    for (const auto& server : gn->children_) {
      TreeNode* sn = server.get();
      if (!sn->Alive()) continue;
      Server* s = sn->server_;
      if (s->group != gn->shownName_) {
        gn->shownName_ = s->group;
        SetText(gn, ToQ(s->group));
      }
      if (!sn->textFromRefresh_ || s->name != sn->shownName_) {
        sn->shownName_ = s->name;
        sn->textFromRefresh_ = true;
        SetText(sn, ToQ(s->name));
      }
      // Another shard's server: greyed, its monitors too.
      const bool elsewhere = !list_.Watches(*s);
      auto grey = [elsewhere](TreeNode* node) {
        if (elsewhere == node->shownElsewhere_) return;
        node->shownElsewhere_ = elsewhere;
        node->changed_ = true;
      };
      grey(sn);
      int serverImage = kImageNotChecked;
      // Most servers have neither parents nor maintenance: nothing to work out for them.
      const ServerHold hold =
          s->parents.empty() && s->maintenance.empty() ? ServerHold{} : HoldOf(list_, *s, Now());
      for (const auto& monitor : sn->children_) {
        TreeNode* mn = monitor.get();
        if (!mn->Alive()) continue;
        const Monitor& p = *mn->monitor_;
        if (p.port != mn->shownPort_ || p.interval != mn->shownInterval_ ||
            p.name != mn->shownName_ || p.typ != mn->shownTyp_) {
          mn->shownPort_ = p.port;
          mn->shownInterval_ = p.interval;
          mn->shownName_ = p.name;
          mn->shownTyp_ = p.typ;
          SetText(mn, MonitorRefreshText(p));
        }
        grey(mn);
        const int image = MonitorImage(p.status, HoldOfMonitor(p, hold));
        SetImage(mn, image);
        if (NoteStatus(mn->history_, p))
          emit StatusNews(ToQ(s->name) + QLatin1Char(' ') + ToQ(p.name) + QStringLiteral(": ") +
                          StatusWords(mn->Status(), Now()));
        serverImage = WorseImage(serverImage, image);
      }
      EmitChangedRows(sn);
      SetImage(sn, serverImage);
      groupImage = WorseImage(groupImage, serverImage);
    }
    EmitChangedRows(gn);
    SetImage(gn, groupImage);
  }
  EmitChangedRows(nullptr);
}

void ServerTreeModel::ForgetShownState() {
  for (const auto& gn : groups_) {
    gn->image_ = 0;
    gn->shownName_ = ToStd(gn->text_);
    for (const auto& sn : gn->children_) {
      sn->image_ = 0;
      sn->textFromRefresh_ = false;
      for (const auto& mn : sn->children_) {
        mn->image_ = 0;
        mn->shownPort_ = INT_MIN;
      }
    }
  }
}

TreeNode* ServerTreeModel::FindNode(const Server* server, const Monitor* monitor) const {
  for (const auto& gn : groups_) {
    for (const auto& sn : gn->children_) {
      if (sn->server_ != server || !sn->Alive()) continue;
      if (!monitor) return sn.get();
      for (const auto& mn : sn->children_)
        if (mn->monitor_ == monitor && mn->Alive()) return mn.get();
    }
  }
  return nullptr;
}

std::vector<Server*> ServerTreeModel::NodeServers(TreeNode* node) const {
  std::vector<Server*> servers;
  if (!node || !node->Alive()) return servers;
  if (node->level() == TreeNode::kServer) {
    servers.push_back(node->server_);
  } else if (node->level() == TreeNode::kGroup) {
    const std::string group = ToStd(node->text_);
    for (const auto& sn : node->children_)
      if (sn->Alive() && sn->server_->group == group) servers.push_back(sn->server_);
  }
  return servers;
}

}  // namespace sentrel::gui
