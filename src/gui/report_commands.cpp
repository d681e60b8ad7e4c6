#include "gui/report_commands.h"

#include "gui/chart_window.h"
#include "gui/log_window.h"
#include "gui/modal_answers.h"
#include "model/last_activity.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "reports/log_dump.h"
#include "reports/log_lines.h"
#include "reports/log_view.h"
#include "reports/request_times.h"

namespace sentrel::gui {

void ShowServerLog(QWidget* parent, const Server& server, bool errorsOnly,
                   const ActivityPanel& panel) {
  LogView view;
  {
    ReadProgressDisplay progress(panel, server.LogFileName());
    view = sentrel::ViewServerLog(server, errorsOnly, progress.Callback());
  }
  LogWindow window(parent);
  window.ShowView(std::move(view));
  window.exec();
}

void ShowRequestTimes(QWidget* parent, const Monitor& monitor, const ActivityPanel& panel) {
  const std::weak_ptr<const char> alive = monitor.Watch();
  std::optional<QString> answer = PromptText(
      parent, "Sentrel Show Request Times:", "Show Request times for how many days?", "4");
  if (!answer) return;
  // The question ran the loop: the monitor may be gone.
  if (alive.expired() || !monitor.server) return;
  RequestTimes times;
  {
    ReadProgressDisplay progress(panel, monitor.server->LogFileName());
    times = ComputeRequestTimes(monitor, answer->toStdString(), progress.Callback());
  }
  ChartWindow window(parent);
  window.Load(times, Now());
  // The points are in the chart now; the window does not need a second copy while open.
  times = RequestTimes{};
  window.exec();
}

void DumpLogsCommand(QWidget* parent, const ServerList& servers, const ActivityPanel& panel) {
  const QString title = QStringLiteral("Sentrel Dump Logfiles:");
  std::optional<QString> answer =
      PromptText(parent, title, "Dump Logfile Entries Older Than [days] ?", "");
  if (!answer) return;
  // The answer is judged before any log is touched, as the command line judges it: a
  // negative number would empty every log, and 0 does so on purpose only.
  int32_t days = 0;
  try {
    days = ParseDaysAnswer(answer->toStdString());
  } catch (const std::exception&) {
    ShowMessage(parent, title,
                QStringLiteral("\"") + *answer +
                    QStringLiteral("\" is not a whole number of days; no log was changed."),
                QMessageBox::Warning);
    return;
  }
  if (days < 0) {
    ShowMessage(parent, title,
                QStringLiteral("Dump logs needs a number of days of 0 or more, not ") + *answer +
                    QStringLiteral("; no log was changed."),
                QMessageBox::Warning);
    return;
  }
  if (days == 0 && !AskYesNo(parent, title, QStringLiteral("Empty every log file?"))) return;
  sentrel::DumpLogs(servers, answer->toStdString(), [&panel](const std::string& text) {
    // An error on the way is recorded with the log it happened in.
    LastActivity = text;
    if (panel.show) panel.show(text);
  });
}

}  // namespace sentrel::gui
