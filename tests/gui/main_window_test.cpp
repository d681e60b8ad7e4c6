// The main window driven through its real widgets: tree, menus, commands, closing.
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>

#include "gui/modal_answers.h"
#include "gui/status_lights.h"
#include "model/server_list.h"
#include "scan/infini_scan.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

// Two groups; "web" has a server with two monitors and one without; "db" is named by an
// empty group text and so becomes "Main".
const char* const kServers =
    "[www]\r\nIP=127.0.0.1\r\nLogfile=www.log\r\nGroup=web\r\n"
    "[www:http]\r\nTyp=http\r\nPort=80\r\nData=url=http://127.0.0.1:9/\r\nintervall=3600\r\n"
    "[www:ssh]\r\nTyp=port\r\nPort=22\r\nintervall=3600\r\n"
    "[bare]\r\nIP=127.0.0.1\r\nLogfile=bare.log\r\nGroup=web\r\nPortExpand=0\r\n"
    "[db]\r\nIP=127.0.0.1\r\nLogfile=db.log\r\nGroupExpand=0\r\n"
    "[db:pg]\r\nTyp=port\r\nPort=5432\r\nintervall=3600\r\n";

class MainWindow : public WindowFixture {};

TEST_F(MainWindow, TreeShowsLevelsTextsAndTheHighestLight) {
  Start(kServers);
  EXPECT_EQ(form_->windowTitle(), "Sentrel");
  EXPECT_EQ(Snapshot(*form_),
            (std::vector<std::string>{
                "0|web|1|+|not checked",
                "  1|www|1|+|not checked",
                "    2|http (http:80, 3600s)|1|-|not checked",
                "    2|ssh (port:22, 3600s)|1|-|not checked",
                "  1|bare|1|-|not checked",
                "0|Main|1|-|not checked",
                "  1|db|1|+|not checked",
                "    2|pg (port:5432, 3600s)|1|-|not checked",
            }));
  EXPECT_EQ(Server(2)->group, "Main");

  // Status changes go through the scan engine's steps, which refresh the window.
  TInfiniScan& scan = program_->scanner;
  scan.PortVerdict(*Monitor(0, 1), true, 3);
  EXPECT_EQ(Node("web/www/ssh")->image(), kImageGreen);
  EXPECT_EQ(Node("web/www")->image(), kImageGreen);
  EXPECT_EQ(Node("web")->image(), kImageGreen);
  scan.HttpVerdict(*Monitor(0, 0), true, 12000, 10, 0, 200, "OK");  // slow: yellow
  EXPECT_EQ(Node("web/www/http")->image(), kImageYellow);
  EXPECT_EQ(Node("web")->image(), kImageYellow);
  scan.PortVerdict(*Monitor(0, 1), false, 10000);  // green turns yellow
  scan.PortVerdict(*Monitor(0, 1), false, 10000);  // and red
  EXPECT_EQ(Node("web/www/ssh")->image(), kImageRed);
  EXPECT_EQ(Node("web/www")->image(), kImageRed);
  EXPECT_EQ(Node("web")->image(), kImageRed);
  EXPECT_EQ(Node("web/bare")->image(), kImageNotChecked);  // no monitors
  EXPECT_EQ(Node("Main")->image(), kImageNotChecked);
  EXPECT_EQ(Node("web")->data(0, Qt::AccessibleDescriptionRole).toString(), "red");

  // Each light is a distinct 16 x 16 picture.
  for (int a = 1; a <= 4; ++a) {
    EXPECT_EQ(StatusLightPixmap(a).size(), QSize(16, 16));
    for (int b = a + 1; b <= 4; ++b)
      EXPECT_NE(StatusLightPixmap(a).toImage(), StatusLightPixmap(b).toImage());
  }
}

}  // namespace
}  // namespace sentrel::gui::test
