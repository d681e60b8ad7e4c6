#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gui/status_words.h"
#include "gui/tree_columns.h"

namespace sentrel {
class Server;
class ServerList;
class Monitor;
}  // namespace sentrel

namespace sentrel::gui {

// One row of the monitor tree. A group node refers to no object; a server node to its
// server, a monitor node to its monitor. The node also keeps what it shows, so a refresh
// touches only what changed and the tree can tell when its object is gone.
class TreeNode final {
 public:
  enum Level { kGroup = 0, kServer = 1, kMonitor = 2 };

  Level level() const { return level_; }
  Server* server() const { return server_; }
  Monitor* monitor() const { return monitor_; }
  // False once the server or monitor has been destroyed (a group node is always alive).
  bool Alive() const { return level_ == kGroup || !alive_.expired(); }
  // The state image shown (1 to 6).
  int image() const { return image_; }
  // The text column's text.
  const QString& Text() const { return text_; }
  TreeNode* ParentNode() const { return parent_; }
  int childCount() const { return static_cast<int>(children_.size()); }
  TreeNode* ChildNode(int i) const { return children_[static_cast<size_t>(i)].get(); }
  // The node's place among its parent's children (the order of the configuration).
  int Row() const { return row_; }
  // What the view shows in a column. The row's status words (its accessible description
  // and tooltip) are made when they are asked for, from the light shown and the monitor
  // as it is now: a red monitor's lost count grows without a refresh of the tree.
  QVariant data(int column, int role) const;
  RowStatus Status() const;
  const TreeContext* Context() const { return context_; }
  // When the node was made: nodes are made in the order of the configuration.
  uint64_t Sequence() const { return sequence_; }

  // What the tree has seen of a monitor's run, for its status words: a green monitor
  // turns yellow only by losing a check, and stays "1 lost" until its next success
  // changes its last-up time; red since the refresh that first showed it red. A rebuild
  // of the tree hands this on to the new node.
  struct History {
    std::string status;
    bool yellowFromLoss = false;
    double lossLastUp = 0;
    double downSince = 0;
  };

  // The view's expanded state as last set or reported, so a refresh touches the view
  // only when a server's flags ask for a change.
  bool expanded = false;

 private:
  friend class ServerTreeModel;
  TreeNode(Level level, Server* server, Monitor* monitor, TreeNode* parent, TreeContext* context);

  Level level_;
  Server* server_;
  Monitor* monitor_;
  TreeNode* parent_;
  TreeContext* context_;
  std::vector<std::unique_ptr<TreeNode>> children_;
  int row_ = 0;
  uint64_t sequence_ = 0;
  std::weak_ptr<const char> alive_;
  QString text_;
  int image_ = 0;
  // What the text was made from; a refresh rebuilds the text only when one differs.
  std::string shownName_;
  std::string shownTyp_;
  int shownPort_ = INT_MIN;
  int shownInterval_ = INT_MIN;
  bool textFromRefresh_ = false;
  // A server another shard watches is shown greyed (server and monitor rows).
  bool shownElsewhere_ = false;
  // Something shown changed in this refresh; the view hears of it once per run of rows.
  bool changed_ = false;
  History history_;
};

// The monitor tree over the server list: groups (by the servers' group texts, in the
// order they first occur), their servers and the servers' monitors, each row with its
// light and the columns of TreeColumn. The nodes are kept, not made per question: the
// view asks for rows far more often than the list changes, and the tree remembers what
// it has shown (see TreeNode::History).
class ServerTreeModel final : public QAbstractItemModel {
  Q_OBJECT

 public:
  ServerTreeModel(ServerList& list, TreeContext& context, QObject* parent = nullptr);
  ~ServerTreeModel() override;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  TreeNode* Node(const QModelIndex& index) const;
  QModelIndex IndexOf(const TreeNode* node, int column = 0) const;
  int GroupCount() const { return static_cast<int>(groups_.size()); }
  TreeNode* GroupNode(int index) const { return groups_[static_cast<size_t>(index)].get(); }

  // Every node made anew from the list, each monitor's history handed on to its new
  // node. Servers without a group go to "Main".
  void Rebuild();
  // The server's node with its monitors' nodes, under its group's node (a new group node
  // at the end when there is none).
  TreeNode* AddServerNode(Server* server);
  TreeNode* AddMonitorNode(TreeNode* serverNode, Monitor* monitor);
  void RemoveNode(TreeNode* node);
  // Brings the texts and lights in line with the list. Each node compares what it shows
  // with its object and changes only what differs, so a refresh after one change of
  // colour costs a walk over the nodes and a repaint of that one row.
  void Refresh();
  // Forgets what every node shows, so the next refresh rewrites all of it.
  void ForgetShownState();
  // The node of this server or monitor, or none.
  TreeNode* FindNode(const Server* server, const Monitor* monitor = nullptr) const;
  // The servers a group or server node stands for (a group's: those still in it).
  std::vector<Server*> NodeServers(TreeNode* node) const;
  // Grows whenever nodes go away (rebuild, delete), so a command that asked a question
  // can tell that the node it holds may be gone.
  uint64_t Generation() const { return generation_; }

 signals:
  // A node got its text or a new one: the view may have to widen its text column.
  void TextShown(const TreeNode* node);
  // A monitor changed from one colour to another, or was red at its first check: words
  // for a screen reader.
  void StatusNews(const QString& words);

 private:
  TreeNode* NewGroupNode(const std::string& name);
  TreeNode* MakeServerNode(TreeNode* group, Server* server);
  TreeNode* MakeMonitorNode(TreeNode* serverNode, Monitor* monitor);
  void SetText(TreeNode* node, const QString& text);
  void SetImage(TreeNode* node, int image);
  // Tells the view of the rows under parent (none: the groups) that changed in this
  // refresh, a run of neighbouring rows at a time, whole rows: with a light or a text
  // the row's cells change too.
  void EmitChangedRows(TreeNode* parent);

  ServerList& list_;
  TreeContext& context_;
  std::vector<std::unique_ptr<TreeNode>> groups_;
  uint64_t generation_ = 0;
  // While the nodes are made anew, nothing is announced to the view row by row.
  bool rebuilding_ = false;
};

}  // namespace sentrel::gui
