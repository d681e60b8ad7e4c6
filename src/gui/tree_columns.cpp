#include "gui/tree_columns.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QTreeView>
#include <algorithm>
#include <cmath>
#include <vector>

#include "gui/server_tree_model.h"
#include "gui/text.h"
#include "model/monitor.h"
#include "model/server.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/settings_store.h"
#include "reports/availability.h"

namespace sentrel::gui {

namespace {

const char* const kTitles[kColumnCount] = {"Monitors",      "Status", "Last check",
                                           "Response (ms)", "24 h",   "30 d"};
const int kWidths[kColumnCount] = {193, 180, 76, 92, 64, 64};

// A cell: its text, what it sorts by, and its tooltip.
struct Cell {
  QString text;
  double key = 0;
  QString tip;
};

// The live monitors under a node (the node itself for a monitor).
std::vector<const Monitor*> MonitorsOf(const TreeNode& node) {
  std::vector<const Monitor*> out;
  auto add = [&out](const TreeNode& server) {
    for (int m = 0; m < server.childCount(); ++m)
      if (server.ChildNode(m)->Alive()) out.push_back(server.ChildNode(m)->monitor());
  };
  if (!node.Alive()) return out;
  if (node.level() == TreeNode::kMonitor) {
    out.push_back(node.monitor());
  } else if (node.level() == TreeNode::kServer) {
    add(node);
  } else {
    for (int s = 0; s < node.childCount(); ++s)
      if (node.ChildNode(s)->Alive()) add(*node.ChildNode(s));
  }
  return out;
}

// Whether the monitor has a result to show: checked since it was loaded or added, and
// not reset by Stop Scan (its last-check time alone only says when it is due).
bool Checked(const Monitor& m) {
  return !m.status.empty() && m.status != "?" && m.lastCheck != 0;
}

QString When(double dateTime, double now) {
  // The time alone while it is today's; an older one names its day as well.
  return ToQ(std::floor(dateTime) == std::floor(now) ? FormatTime(dateTime)
                                                     : FormatDateTime(dateTime));
}

QString Stamp(int64_t ms) {
  return ToQ(
      FormatDateTime(static_cast<double>(ms) / static_cast<double>(kMsPerDay)).substr(0, 16));
}

QString Describe(const Availability& a, const char* label, int hours) {
  QString t = QString::fromLatin1(label) + QStringLiteral(": ");
  if (a.pending) return t + QStringLiteral("the log is still being read");
  if (!a.HasData()) return t + QStringLiteral("no checks");
  t += ToQ(FormatAvailabilityPercent(a)) + QStringLiteral(" of ") + QString::number(a.checks) +
       (a.checks == 1 ? QStringLiteral(" check") : QStringLiteral(" checks"));
  if (a.outages > 0) {
    t += QStringLiteral(", ") + QString::number(a.outages) +
         (a.outages == 1 ? QStringLiteral(" outage, ") : QStringLiteral(" outages, ")) +
         ToQ(FormatDuration(a.downtimeMs)) + QStringLiteral(" down");
    if (a.outages > 1)
      t += QStringLiteral(" (the longest ") + ToQ(FormatDuration(a.longestMs)) + ')';
    if (a.downNow) t += QStringLiteral(", down now");
  } else {
    t += QStringLiteral(", no outage");
  }
  const int64_t start = WindowStartMs(a.toMs, hours);
  if (a.fromMs > start) t += QStringLiteral("; data from ") + Stamp(a.fromMs);
  return t;
}

Cell AvailabilityCell(const TreeNode& node, const TreeContext& context, int hours,
                      const char* label) {
  Cell c;
  const std::vector<const Monitor*> monitors = MonitorsOf(node);
  if (!context.figures || monitors.empty()) {
    c.key = 3;
    return c;
  }
  // The worst of the monitors: the lowest share among those with checks.
  bool pending = false;
  const Monitor* worst = nullptr;
  Availability worstFigures;
  for (const Monitor* m : monitors) {
    const Availability a = context.figures->MonitorAvailability(*m, hours);
    pending = pending || a.pending;
    if (!a.HasData()) continue;
    if (!worst || a.good * worstFigures.checks < worstFigures.good * a.checks) {
      worst = m;
      worstFigures = a;
    }
  }
  if (pending) {
    c.text = QStringLiteral("\u2026");
    c.key = 3;
    c.tip = QString::fromLatin1(label) + QStringLiteral(": the logs are still being read");
  } else if (!worst) {
    c.text = QStringLiteral("no data");
    c.key = 2;
    c.tip = QString::fromLatin1(label) + QStringLiteral(": no checks");
  } else {
    c.text = ToQ(FormatAvailabilityPercent(worstFigures));
    c.key = worstFigures.Ratio();
    c.tip = Describe(worstFigures, label, hours);
    if (node.level() != TreeNode::kMonitor)
      c.tip = QStringLiteral("The lowest of its monitors, ") + ToQ(worst->server->name) + ' ' +
              ToQ(worst->name) + QStringLiteral(" - ") + c.tip;
  }
  return c;
}

Cell MakeCell(const TreeNode& node, int column, const TreeContext& context) {
  Cell c;
  const double now = Now();
  switch (column) {
    case kColumnText:
      c.text = node.Text();
      break;
    case kColumnStatus: {
      const RowStatus s = node.Status();
      c.text = StatusWords(s, now);
      c.key = s.image;
      break;
    }
    case kColumnLastCheck: {
      // The worst is the oldest; a monitor never checked makes the row say nothing.
      double oldest = -1;
      for (const Monitor* m : MonitorsOf(node)) {
        if (!Checked(*m)) {
          oldest = 0;
          break;
        }
        if (oldest < 0 || m->lastCheck < oldest) oldest = m->lastCheck;
      }
      c.key = oldest;
      if (oldest > 0) c.text = When(oldest, now);
      break;
    }
    case kColumnResponse: {
      // The worst is the slowest of the monitors checked.
      int64_t slowest = -1;
      for (const Monitor* m : MonitorsOf(node))
        if (Checked(*m)) slowest = std::max<int64_t>(slowest, m->lastResponseMs);
      c.key = static_cast<double>(slowest);
      if (slowest >= 0) c.text = QString::number(slowest);
      break;
    }
    case kColumn24h:
      c = AvailabilityCell(node, context, 24, "24 h");
      break;
    case kColumn30d:
      c = AvailabilityCell(node, context, 720, "30 d");
      break;
    default:
      break;
  }
  return c;
}

}  // namespace

QString ColumnTitle(int column) {
  return column >= 0 && column < kColumnCount ? QString::fromLatin1(kTitles[column]) : QString();
}

QVariant TreeCellData(const TreeNode& node, int column, int role) {
  const TreeContext* context = node.Context();
  if (!context) return {};
  switch (role) {
    case Qt::DisplayRole:
      return MakeCell(node, column, *context).text;
    case Qt::AccessibleTextRole: {
      // An empty cell still says something to a screen reader.
      QString text = MakeCell(node, column, *context).text;
      if (text.isEmpty())
        text = column == kColumnLastCheck  ? QStringLiteral("not checked")
               : column == kColumnResponse ? QStringLiteral("no response yet")
                                           : QStringLiteral("none");
      else if (text == QStringLiteral("\u2026"))
        text = QStringLiteral("reading the logs");
      return text;
    }
    case Qt::ToolTipRole: {
      Cell c = MakeCell(node, column, *context);
      return c.tip.isEmpty() ? QVariant() : QVariant(c.tip);
    }
    case Qt::TextAlignmentRole:
      if (column >= kColumnResponse) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default:
      return {};
  }
}

bool TreeNodeLess(const TreeNode& a, const TreeNode& b, const TreeContext& context) {
  if (context.sortColumn < 0) return a.Sequence() < b.Sequence();
  const int column = context.sortColumn;
  const Cell ca = MakeCell(a, column, context), cb = MakeCell(b, column, context);
  if (column == kColumnText || ca.key == cb.key) {
    const int byText = ca.text.localeAwareCompare(cb.text);
    if (byText != 0 && column == kColumnText) return byText < 0;
    // Equal keys keep the configuration's order.
    return a.Sequence() < b.Sequence();
  }
  return ca.key < cb.key;
}

TreeSortModel::TreeSortModel(ServerTreeModel& model, TreeContext& context, QObject* parent)
    : QSortFilterProxyModel(parent), model_(model), context_(context) {
  // The rows are sorted when the tree asks (Resort), not on every change of a cell.
  setDynamicSortFilter(false);
  setSourceModel(&model);
}

bool TreeSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const TreeNode* a = model_.Node(left);
  const TreeNode* b = model_.Node(right);
  if (!a || !b) return false;
  return TreeNodeLess(*a, *b, context_);
}

TreeColumns::TreeColumns(QTreeView* tree, ServerTreeModel& model, TreeContext& context)
    : QObject(tree),
      tree_(tree),
      model_(model),
      context_(context),
      sorted_(new TreeSortModel(model, context, this)) {
  tree_->setModel(sorted_);
  tree_->setHeaderHidden(false);
  QHeaderView* h = tree_->header();
  ApplyDefaults();
  h->setSectionsMovable(true);
  h->setFirstSectionMovable(false);
  h->setSectionsClickable(true);
  h->setSortIndicatorShown(true);
  h->setSortIndicator(-1, Qt::AscendingOrder);
  h->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(h, &QHeaderView::sectionClicked, this, &TreeColumns::SortClicked);
  connect(h, &QHeaderView::customContextMenuRequested, this, &TreeColumns::OpenHeaderMenu);
  // The text column stays the first one: it carries the tree's branches.
  connect(h, &QHeaderView::sectionMoved, this, [h] {
    if (h->visualIndex(kColumnText) != 0) h->moveSection(h->visualIndex(kColumnText), 0);
  });
  timer_.setInterval(kRepaintMs);
  connect(&timer_, &QTimer::timeout, this, &TreeColumns::Tick);
  timer_.start();
}

void TreeColumns::ApplyDefaults() {
  QHeaderView* h = tree_->header();
  for (int c = 1; c < kColumnCount; ++c) h->resizeSection(c, kWidths[c]);
}

TreeNode* TreeColumns::NodeAt(const QModelIndex& viewIndex) const {
  return model_.Node(sorted_->mapToSource(viewIndex));
}

QModelIndex TreeColumns::ViewIndex(const TreeNode* node) const {
  return node ? sorted_->mapFromSource(model_.IndexOf(node)) : QModelIndex();
}

void TreeColumns::Restore(SettingsStore& settings) {
  const std::string text = settings.ReadText(kSentrelSection, kSettingsKey, "");
  QHeaderView* h = tree_->header();
  if (!text.empty() && !h->restoreState(QByteArray::fromBase64(QByteArray::fromStdString(text))))
    ApplyDefaults();
  if (h->count() != kColumnCount) {
    // A state of another number of columns: the header as it comes, with its widths.
    h->reset();
    ApplyDefaults();
  }
  h->setSectionHidden(kColumnText, false);
  if (h->visualIndex(kColumnText) != 0) h->moveSection(h->visualIndex(kColumnText), 0);
  // The order of the rows is not kept: every start shows the configuration's order.
  context_.sortColumn = -1;
  h->setSortIndicator(-1, Qt::AscendingOrder);
}

void TreeColumns::Save(SettingsStore& settings) const {
  settings.WriteText(kSentrelSection, kSettingsKey,
                     tree_->header()->saveState().toBase64().toStdString());
}

int TreeColumns::ExtraWidth() const {
  int width = 0;
  for (int c = 1; c < kColumnCount; ++c)
    if (!tree_->header()->isSectionHidden(c)) width += tree_->header()->sectionSize(c);
  return width;
}

bool TreeColumns::OnlyTextColumn() const {
  // A column being hidden is of no width a moment before it counts as hidden.
  for (int c = 1; c < kColumnCount; ++c)
    if (!tree_->header()->isSectionHidden(c) && tree_->header()->sectionSize(c) > 0) return false;
  return true;
}

void TreeColumns::Resort() {
  if (context_.sortColumn < 0) return;
  const Qt::SortOrder order = context_.descending ? Qt::DescendingOrder : Qt::AscendingOrder;
  sorted_->sort(context_.sortColumn, order);
  tree_->header()->setSortIndicator(context_.sortColumn, order);
}

void TreeColumns::SortClicked(int column) {
  // Ascending, descending, then the configuration's order again.
  if (column != context_.sortColumn) {
    context_.sortColumn = column;
    context_.descending = false;
  } else if (!context_.descending) {
    context_.descending = true;
  } else {
    context_.sortColumn = -1;
  }
  if (context_.sortColumn >= 0) {
    Resort();
  } else {
    sorted_->sort(-1);
    tree_->header()->setSortIndicator(-1, Qt::AscendingOrder);
  }
  shown_ = VisibleCells();
}

void TreeColumns::ShowColumn(int column, bool shown) {
  if (column <= kColumnText || column >= kColumnCount) return;
  tree_->header()->setSectionHidden(column, !shown);
}

void TreeColumns::OpenHeaderMenu(const QPoint& pos) {
  QMenu menu(tree_);
  menu.setObjectName(QStringLiteral("TreeColumnsMenu"));
  for (int c = 1; c < kColumnCount; ++c) {
    QAction* a = menu.addAction(QString::fromLatin1(kTitles[c]));
    a->setCheckable(true);
    a->setChecked(!tree_->header()->isSectionHidden(c));
    connect(a, &QAction::toggled, this, [this, c](bool on) { ShowColumn(c, on); });
  }
  menu.exec(tree_->header()->viewport()->mapToGlobal(pos));
}

QString TreeColumns::VisibleCells() const {
  QString cells;
  const int bottom = tree_->viewport()->height();
  for (QModelIndex row = tree_->indexAt(QPoint(1, 1)); row.isValid();
       row = tree_->indexBelow(row)) {
    if (tree_->visualRect(row).top() > bottom) break;
    for (int c = 1; c < kColumnCount; ++c) {
      if (tree_->header()->isSectionHidden(c)) continue;
      cells += row.sibling(row.row(), c).data(Qt::DisplayRole).toString();
      cells += QLatin1Char('\t');
    }
  }
  return cells;
}

bool TreeColumns::InOrder() const {
  auto sorted = [this](const QModelIndex& a, const QModelIndex& b) {
    const TreeNode* na = NodeAt(a);
    const TreeNode* nb = NodeAt(b);
    return context_.descending ? TreeNodeLess(*nb, *na, context_)
                               : TreeNodeLess(*na, *nb, context_);
  };
  // Groups, the servers of each group and the monitors of each server, as the view has them.
  std::vector<QModelIndex> parents{QModelIndex()};
  for (size_t p = 0; p < parents.size(); ++p) {
    const QModelIndex parent = parents[p];
    const int rows = sorted_->rowCount(parent);
    for (int r = 0; r < rows; ++r) {
      const QModelIndex row = sorted_->index(r, 0, parent);
      if (r > 0 && !sorted(sorted_->index(r - 1, 0, parent), row)) return false;
      if (sorted_->hasChildren(row)) parents.push_back(row);
    }
  }
  return true;
}

void TreeColumns::Tick() {
  if (!tree_->isVisible()) return;
  // The figures move with every record: a sorted view follows them.
  if (context_.sortColumn > kColumnText && !InOrder()) Resort();
  QString now = VisibleCells();
  if (now == shown_) return;
  shown_ = std::move(now);
  tree_->viewport()->update();
}

}  // namespace sentrel::gui
