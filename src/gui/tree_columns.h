#pragma once

#include <QObject>
#include <QSortFilterProxyModel>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <cstdint>

class QTreeView;

namespace sentrel {
class AvailabilitySource;
class SettingsStore;
}  // namespace sentrel

namespace sentrel::gui {

class ServerTreeModel;
class TreeNode;

// The columns of the monitor tree beside its text: what each row shows there is made
// when the view asks for it, from the monitor as it is now, so nothing is copied into
// the tree on every check.
enum TreeColumn {
  kColumnText = 0,
  kColumnStatus,
  kColumnLastCheck,
  kColumnResponse,
  kColumn24h,
  kColumn30d,
  kColumnCount
};

// What the nodes need to make their cells and to sort.
struct TreeContext {
  AvailabilitySource* figures = nullptr;
  // The column the view is sorted by, or -1 for the order of the configuration.
  int sortColumn = -1;
  bool descending = false;
  // The next node's creation number: nodes are made in the configuration's order.
  uint64_t nextSequence = 1;
};

// A column's title.
QString ColumnTitle(int column);
// A cell of a node: its text, tooltip and alignment for the column (not the text column).
QVariant TreeCellData(const TreeNode& node, int column, int role);
// Whether a sorts before b in the context's sort column (ascending).
bool TreeNodeLess(const TreeNode& a, const TreeNode& b, const TreeContext& context);

// The order the view shows the rows in: the model's (the configuration's) until a column
// is chosen, then by that column's cells, equal cells in the configuration's order.
class TreeSortModel final : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  TreeSortModel(ServerTreeModel& model, TreeContext& context, QObject* parent);

 protected:
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

 private:
  ServerTreeModel& model_;
  TreeContext& context_;
};

// The tree's header: the column titles, hiding (by the header's context menu), moving
// and widening columns, all kept in the settings; sorting by a click on a title
// (ascending, descending, then back to the configuration's order), which changes only
// what the view shows and is not kept. It also repaints the rows in sight when their
// cells have changed, since checks and the clock move them without a refresh of the tree.
class TreeColumns final : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kSettingsKey = "TreeColumns";
  static constexpr int kRepaintMs = 2000;

  // Puts the model into the view, through the sorting proxy.
  TreeColumns(QTreeView* tree, ServerTreeModel& model, TreeContext& context);
  // The node of a row of the view, and the row of a node (invalid when there is none).
  TreeNode* NodeAt(const QModelIndex& viewIndex) const;
  QModelIndex ViewIndex(const TreeNode* node) const;
  // Takes the header's state from the settings ([Sentrel] TreeColumns).
  void Restore(SettingsStore& settings);
  // Keeps the header's state in the settings.
  void Save(SettingsStore& settings) const;
  // The widths of the shown columns beside the text column, for the tree's first width.
  int ExtraWidth() const;
  bool OnlyTextColumn() const;
  // Sorts the view again after nodes were added or changed (nothing when unsorted).
  void Resort();
  // A click on a column's title.
  void SortClicked(int column);
  void ShowColumn(int column, bool shown);

 private:
  void ApplyDefaults();
  void OpenHeaderMenu(const QPoint& pos);
  void Tick();
  // Whether the rows are still in the order of the sort column.
  bool InOrder() const;
  // The texts of the cells in sight, to tell whether a repaint would change anything.
  QString VisibleCells() const;

  QTreeView* tree_;
  ServerTreeModel& model_;
  TreeContext& context_;
  TreeSortModel* sorted_;
  QTimer timer_;
  QString shown_;
};

}  // namespace sentrel::gui
