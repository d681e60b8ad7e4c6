// The tree's columns beside the text: what they show, sorting in the view, and the
// header kept in the settings.
#include "gui/tree_columns.h"

#include <QHeaderView>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>

#include "gui/text.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "scan/scanner.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

const char* const kServers =
    "[www]\r\nIP=127.0.0.1\r\nLogfile=www.log\r\nGroup=web\r\n"
    "[www:http]\r\nTyp=http\r\nPort=80\r\nData=url=http://127.0.0.1:9/\r\nintervall=3600\r\n"
    "[www:ssh]\r\nTyp=port\r\nPort=22\r\nintervall=3600\r\n"
    "[bare]\r\nIP=127.0.0.1\r\nLogfile=bare.log\r\nGroup=web\r\n"
    "[db]\r\nIP=127.0.0.1\r\nLogfile=db.log\r\nGroup=Main\r\n"
    "[db:pg]\r\nTyp=port\r\nPort=5432\r\nintervall=3600\r\n";

class TreeColumnsTest : public WindowFixture {
 protected:
  void StartWithLogs() {
    // The last ten minutes: nine good HTTP checks and one that failed; eight good ones of
    // ssh and two failed ones in a row.
    std::string log;
    const double now = SystemClock().Now();
    for (int i = 0; i < 10; ++i) {
      const std::string stamp = FormatDateTime(now - (10 - i) * 60.0 / 86400);
      log += stamp + (i == 4 ? " www HTTP 80 LOST 0ms 0Bytes 503 x\r\n"
                             : " www HTTP 80 OK 5ms 10Bytes E0 200 OK\r\n");
      log += stamp + (i == 2 || i == 3 ? " www PORT 22 LOST 0ms 0Bytes \r\n"
                                       : " www PORT 22 OK 1ms 0Bytes \r\n");
    }
    WriteFile(dir_->File("www.log"), log);
    Start(kServers);
    ASSERT_TRUE(ServeUntil([this] { return !program_->availability.Reading(); }));
  }
  QString Cell(const QString& path, int column, int role = Qt::DisplayRole) const {
    TreeNode* n = Node(path);
    return n ? n->data(column, role).toString() : QStringLiteral("(none)");
  }
  // The rows' texts in the order the view shows them.
  QStringList Rows() const {
    QStringList rows;
    for (QModelIndex i = Tree()->model()->index(0, 0); i.isValid(); i = Tree()->indexBelow(i))
      rows << i.data().toString().section(QLatin1Char(' '), 0, 0);
    return rows;
  }
  void ClickTitle(int column) {
    QHeaderView* h = Tree()->header();
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                      QPoint(h->sectionViewportPosition(column) + 5, h->height() / 2));
  }
};

TEST_F(TreeColumnsTest, CellsShowTheMonitorsAndRowsAboveShowTheWorst) {
  StartWithLogs();
  QTreeView* tree = Tree();
  tree->expandAll();
  QStringList titles;
  for (int c = 0; c < tree->model()->columnCount(); ++c)
    titles << tree->model()->headerData(c, Qt::Horizontal).toString();
  EXPECT_EQ(titles,
            (QStringList{"Monitors", "Status", "Last check", "Response (ms)", "24 h", "30 d"}));

  EXPECT_EQ(Cell("web/www/http", kColumn24h), "90%");
  EXPECT_EQ(Cell("web/www/ssh", kColumn30d), "80%");
  EXPECT_EQ(Cell("web/www", kColumn24h), "80%");
  EXPECT_EQ(Cell("web", kColumn30d), "80%");
  EXPECT_EQ(Cell("Main/db/pg", kColumn24h), "no data");
  EXPECT_EQ(Cell("web/bare", kColumn24h), "");
  // The log began ten minutes ago: the figures say from when.
  EXPECT_TRUE(Cell("web/www/http", kColumn24h, Qt::ToolTipRole)
                  .startsWith("24 h: 90% of 10 checks, 1 outage, 1 min down; data from "));
  EXPECT_TRUE(Cell("web", kColumn24h, Qt::ToolTipRole)
                  .startsWith("The lowest of its monitors, www ssh - 24 h: 80%"));

  // A check as the scan engine hands it over: status words, last check, response.
  Monitor* ssh = MonitorAt(0, 1);
  ssh->MarkChecked(Now(), CurrentClock().MonotonicMs());
  program_->scanner.PortVerdict(*ssh, true, 3);
  EXPECT_EQ(Cell("web/www/ssh", kColumnStatus), "OK");
  EXPECT_EQ(Cell("web/www/ssh", kColumnLastCheck), ToQ(FormatTime(ssh->lastCheck)));
  EXPECT_EQ(Cell("web/www/ssh", kColumnResponse), "3");
  EXPECT_EQ(Cell("web/www/ssh", kColumnResponse, Qt::TextAlignmentRole).toInt(),
            int(Qt::AlignRight | Qt::AlignVCenter));
  // The server row: the http monitor was never checked, so no last check; the slowest
  // response of those checked; the status words of the worst light.
  EXPECT_EQ(Cell("web/www", kColumnLastCheck), "");
  EXPECT_EQ(Cell("web/www", kColumnLastCheck, Qt::AccessibleTextRole), "not checked");
  EXPECT_EQ(Cell("web/www", kColumnResponse), "3");
  EXPECT_EQ(Cell("web/www", kColumnStatus), Node("web/www")->data(0, Qt::ToolTipRole).toString());
  // The check just written counts at once.
  EXPECT_TRUE(Cell("web/www/ssh", kColumn24h, Qt::ToolTipRole)
                  .startsWith("24 h: 81.81% of 11 checks, 1 outage, 2 min down;"));
}

TEST_F(TreeColumnsTest, SortingChangesTheViewOnlyAndTheHeaderIsKept) {
  StartWithLogs();
  QTreeView* tree = Tree();
  tree->expandAll();
  const QStringList natural{"web", "www", "http", "ssh", "bare", "Main", "db", "pg"};
  ASSERT_EQ(Rows(), natural);

  // 24 h ascending: the worst first (no data and no monitors after every share).
  ClickTitle(kColumn24h);
  EXPECT_EQ(Rows(), (QStringList{"web", "www", "ssh", "http", "bare", "Main", "db", "pg"}));
  EXPECT_EQ(tree->header()->sortIndicatorSection(), kColumn24h);
  ClickTitle(kColumn24h);
  EXPECT_EQ(Rows(), (QStringList{"Main", "db", "pg", "web", "bare", "www", "http", "ssh"}));
  EXPECT_EQ(tree->header()->sortIndicatorOrder(), Qt::DescendingOrder);
  // The third click: the configuration's order again, which never changed.
  ClickTitle(kColumn24h);
  EXPECT_EQ(Rows(), natural);
  EXPECT_EQ(ServerAt(0)->name, "www");
  EXPECT_EQ(ServerAt(2)->name, "db");
  ClickTitle(kColumnText);
  EXPECT_EQ(Rows(), (QStringList{"Main", "db", "pg", "web", "bare", "www", "http", "ssh"}));

  // Hidden, moved and widened columns are kept; the sort is not.
  QHeaderView* h = tree->header();
  h->setSectionHidden(kColumnLastCheck, true);
  h->moveSection(h->visualIndex(kColumn30d), h->visualIndex(kColumn24h));
  h->resizeSection(kColumnStatus, 211);
  form_->close();
  ASSERT_TRUE(form_->IsClosed());
  Stop();
  Start(kServers);
  h = Tree()->header();
  EXPECT_TRUE(h->isSectionHidden(kColumnLastCheck));
  EXPECT_LT(h->visualIndex(kColumn30d), h->visualIndex(kColumn24h));
  EXPECT_EQ(h->visualIndex(kColumnText), 0);
  EXPECT_EQ(h->sectionSize(kColumnStatus), 211);
  EXPECT_EQ(h->sortIndicatorSection(), -1);
  Tree()->expandAll();
  EXPECT_EQ(Rows(), natural);

  // The text column alone: the tree starts as narrow as it always did.
  for (int c = 1; c < kColumnCount; ++c) h->setSectionHidden(c, true);
  form_->close();
  Stop();
  Start(kServers);
  EXPECT_EQ(Tree()->width(), 193);
  EXPECT_GE(Tree()->header()->sectionSize(kColumnText), Tree()->viewport()->width());
}

TEST_F(TreeColumnsTest, AHeaderStateOfOtherColumnsOrNoneStillShowsEveryColumn) {
  // A header of three columns, as another version might have kept it: what it knew is
  // taken, the rest comes as it is. Text that is no header: the columns as they come.
  QStandardItemModel three(0, 3);
  QHeaderView other(Qt::Horizontal);
  other.setModel(&three);
  other.resizeSection(1, 333);
  const struct {
    QByteArray state;
    int statusWidth;
  } cases[] = {{other.saveState(), 333}, {QByteArray("not a header"), 180}};
  for (const auto& c : cases) {
    Settings("[Sentrel]\r\nTreeColumns=" + c.state.toBase64().toStdString() + "\r\n");
    Start(kServers);
    QHeaderView* h = Tree()->header();
    EXPECT_EQ(h->count(), kColumnCount);
    for (int column = 0; column < kColumnCount; ++column)
      EXPECT_FALSE(h->isSectionHidden(column)) << column;
    EXPECT_EQ(h->sectionSize(kColumnStatus), c.statusWidth);
    EXPECT_EQ(h->visualIndex(kColumnText), 0);
    form_->close();
    Stop();
  }
}

}  // namespace
}  // namespace sentrel::gui::test
