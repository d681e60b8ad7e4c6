#include "gui/monitor_editor_dialog.h"

#include <QDialogButtonBox>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <algorithm>

#include "events/event_list.h"
#include "gui/accessible_names.h"
#include "gui/modal_answers.h"
#include "model/maintenance.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/ini_file.h"
#include "ui_monitor_editor_dialog.h"

namespace sentrel::gui {

namespace {

// The longest file name the file system takes; the log file is named after the server.
constexpr qsizetype kMaxFileNameBytes = 255;

// The list tags and the monitor data keys they stand for.
const char* KeyOfTag(int tag) {
  switch (tag) {
    case 1:
      return "GtoY";
    case 2:
      return "GYtoR";
    case 3:
      return "RtoY";
    default:
      return "RYtoG";
  }
}

QPixmap Light(const QColor& colour) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QRadialGradient shine(QPointF(6, 5), 9);
  shine.setColorAt(0, colour.lighter(170));
  shine.setColorAt(1, colour);
  p.setBrush(shine);
  p.setPen(QPen(colour.darker(170), 1));
  p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
  return pixmap;
}

// Status lights before the arrow turn into the light after it: a row's picture.
QPixmap Transition(const std::vector<QColor>& from, const QColor& to) {
  const int arrow = 18;
  QPixmap pixmap(static_cast<int>(from.size()) * 17 + arrow + 16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  int x = 0;
  for (const QColor& c : from) {
    p.drawPixmap(x, 0, Light(c));
    x += 17;
  }
  p.setPen(QPen(QColor(60, 60, 60), 2));
  p.drawLine(QPointF(x + 3, 8), QPointF(x + arrow - 5, 8));
  QPainterPath head;
  head.moveTo(x + arrow - 2, 8);
  head.lineTo(x + arrow - 8, 3.5);
  head.lineTo(x + arrow - 8, 12.5);
  head.closeSubpath();
  p.fillPath(head, QColor(60, 60, 60));
  p.drawPixmap(x + arrow, 0, Light(to));
  return pixmap;
}

// A line edit's text as one line: a pasted line break would end the line in the file.
std::string FieldText(const QString& text) {
  QString line = text;
  line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
  return line.toStdString();
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

}  // namespace

struct MonitorEditorDialog::Alive {
  Server* server = nullptr;
  Monitor* monitor = nullptr;
  std::weak_ptr<const char> serverToken;
  std::weak_ptr<const char> monitorToken;
  std::vector<std::pair<Server*, std::weak_ptr<const char>>> groupServers;
};

MonitorEditorDialog::MonitorEditorDialog(ServerList& servers, EventList& events,
                                         std::function<int(int)> editEvents, QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::MonitorEditorDialog>()),
      servers_(servers),
      events_(events),
      editEvents_(std::move(editEvents)),
      alive_(std::make_unique<Alive>()) {
  ui_->setupUi(this);
  // OK and Cancel only: the dialog has no close box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

  const QColor green(40, 180, 60), yellow(240, 200, 30), red(210, 40, 40);
  ui_->picturegy->setPixmap(Transition({green}, yellow));
  ui_->picturegyr->setPixmap(Transition({green, yellow}, red));
  ui_->picturery->setPixmap(Transition({red}, yellow));
  ui_->pictureryg->setPixmap(Transition({red}, green));
  ui_->picturegy->setAccessibleName(QStringLiteral("Green turns yellow"));
  ui_->picturegyr->setAccessibleName(QStringLiteral("Green or yellow turns red"));
  ui_->picturery->setAccessibleName(QStringLiteral("Red turns yellow"));
  ui_->pictureryg->setAccessibleName(QStringLiteral("Red turns green"));
  const struct {
    QLabel* picture;
    QComboBox* list;
    QPushButton* button;
    const char* when;
  } rows[] = {{ui_->picturegy, ui_->Combogy, ui_->editeventgy, "green turns yellow"},
              {ui_->picturegyr, ui_->Combogyr, ui_->editeventgyr, "the monitor turns red"},
              {ui_->picturery, ui_->Combory, ui_->editeventry, "red turns yellow"},
              {ui_->pictureryg, ui_->Comboryg, ui_->editeventryg, "a red monitor turns green"}};
  for (const auto& row : rows) {
    row.list->setAccessibleName(QStringLiteral("Event when %1").arg(QLatin1String(row.when)));
    // A screen reader names a list box by the label it belongs to (on Linux its own name
    // is the value it shows): the row's picture is that label.
    row.picture->setBuddy(row.list);
    row.button->setAccessibleName(
        QStringLiteral("Edit event when %1").arg(QLatin1String(row.when)));
    QComboBox* list = row.list;
    connect(list, &QComboBox::currentIndexChanged, this, [this, list] { ComboChange(list); });
    connect(row.button, &QPushButton::clicked, this, [this, list] { EditEventClick(list); });
  }
  // The green-to-yellow event only ever runs with the first failure, which no latency
  // count lets through, and nothing fires red-to-yellow: those two choices stay in the
  // file as they are but are not offered.
  for (QWidget* w : {static_cast<QWidget*>(ui_->picturegy), static_cast<QWidget*>(ui_->Combogy),
                     static_cast<QWidget*>(ui_->editeventgy), static_cast<QWidget*>(ui_->picturery),
                     static_cast<QWidget*>(ui_->Combory), static_cast<QWidget*>(ui_->editeventry)})
    w->hide();

  // The type panel and the HTTP panel read as one form: their labels share one width.
  int labelWidth = 0;
  const std::vector<QLabel*> labels = {ui_->Label9,  ui_->Label10, ui_->portlabel,
                                       ui_->Label11, ui_->Label13, ui_->Label14,
                                       ui_->Label15, ui_->Label16, ui_->Label18};
  for (QLabel* label : labels) labelWidth = std::max(labelWidth, label->sizeHint().width());
  for (QLabel* label : labels) label->setFixedWidth(labelWidth);
  ui_->portgrid->setHorizontalSpacing(8);
  ui_->httpgrid->setHorizontalSpacing(8);
  // Fields the operator cannot change look like it.
  for (QLineEdit* field : {ui_->Editlogfile, ui_->portname}) {
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    field->setPalette(palette);
  }

  ui_->httpproxyport->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this));
  ui_->Panelhttp->setVisible(false);

  connect(ui_->porttyp, &QComboBox::currentIndexChanged, this, [this] {
    if (!filling_) porttypChange();
  });
  connect(ui_->Editname, &QLineEdit::textChanged, this, &MonitorEditorDialog::EditnameChange);
  ui_->Editname->installEventFilter(this);
  // OK and Cancel at the bottom, in the desktop's order.
  QPushButton* ok = ui_->buttons->button(QDialogButtonBox::Ok);
  ok->setObjectName(QStringLiteral("OKBtn"));
  ok->setDefault(true);
  QPushButton* cancel = ui_->buttons->button(QDialogButtonBox::Cancel);
  cancel->setObjectName(QStringLiteral("CancelBtn"));
  cancel->setAutoDefault(false);
  connect(ui_->buttons, &QDialogButtonBox::accepted, this, &MonitorEditorDialog::accept);
  connect(ui_->buttons, &QDialogButtonBox::rejected, this, &MonitorEditorDialog::reject);
  NameControlsFromLabels(this);
}

MonitorEditorDialog::~MonitorEditorDialog() = default;

Server* MonitorEditorDialog::EditedServer() const {
  return alive_->serverToken.expired() ? nullptr : alive_->server;
}

Monitor* MonitorEditorDialog::EditedMonitor() const {
  return alive_->monitorToken.expired() ? nullptr : alive_->monitor;
}

void MonitorEditorDialog::ShowPanel(EditMode mode) {
  mode_ = mode;
  switch (mode) {
    case EditMode::Group:
      ui_->panels->setCurrentWidget(ui_->panelgroup);
      break;
    case EditMode::Server:
      ui_->panels->setCurrentWidget(ui_->panelserver);
      break;
    case EditMode::Monitor:
      ui_->panels->setCurrentWidget(ui_->Panel2);
      break;
  }
  // Only the shown panel counts for the size, so a group does not get a monitor's room.
  for (int i = 0; i < ui_->panels->count(); ++i) {
    QWidget* page = ui_->panels->widget(i);
    page->setSizePolicy(QSizePolicy::Preferred, page == ui_->panels->currentWidget()
                                                    ? QSizePolicy::Preferred
                                                    : QSizePolicy::Ignored);
  }
  CenterOnScreen();
}

void MonitorEditorDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Only now is the size of the chosen panel known.
  CenterOnScreen();
}

void MonitorEditorDialog::CenterOnScreen() {
  adjustSize();
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void MonitorEditorDialog::SetGroup(const QString& groupText,
                                   const std::vector<Server*>& serversUnderNode) {
  *alive_ = Alive{};
  for (Server* s : serversUnderNode) alive_->groupServers.emplace_back(s, s->Watch());
  groupText_ = groupText;
  setWindowTitle(QStringLiteral("Group: ") + groupText);
  ui_->groupname->setText(groupText);
  ui_->numservers->setText(QString::number(serversUnderNode.size()));
  ShowPanel(EditMode::Group);
  ui_->groupname->setFocus();
}

void MonitorEditorDialog::SetServer(Server* server) {
  *alive_ = Alive{};
  alive_->server = server;
  alive_->serverToken = server->Watch();
  setWindowTitle(QStringLiteral("Server: ") + Q(server->name));
  {
    // Filling is not typing: the log file name stays as it is stored.
    QSignalBlocker block(ui_->Editname);
    ui_->Editname->setText(Q(server->name));
  }
  ui_->editip->setText(Q(server->ip));
  ui_->Editlocation->setText(Q(server->location));
  ui_->Editgroup->setText(Q(server->group));
  ui_->Editlogfile->setText(Q(server->logfile));
  ui_->Editnotes->setText(Q(server->notes));
  if (ui_->Editlogfile->text().isEmpty())
    ui_->Editlogfile->setText(Q(server->name) + QStringLiteral(".log"));
  // Every other server may be one this one is reached through.
  ui_->Editparents->clear();
  unknownParents_ = server->parents;
  for (int i = 0; i < servers_.Count(); ++i) {
    const Server* other = servers_.Items(i);
    if (other == server) continue;
    auto* item = new QListWidgetItem(Q(other->name), ui_->Editparents);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    bool named = false;
    for (auto it = unknownParents_.begin(); it != unknownParents_.end();) {
      if (EqualsIgnoreCase(*it, other->name)) {
        named = true;
        it = unknownParents_.erase(it);
      } else {
        ++it;
      }
    }
    item->setCheckState(named ? Qt::Checked : Qt::Unchecked);
  }
  shownMaintenance_ = Q(FormatMaintenance(server->maintenance, Now()));
  ui_->Editmaintenance->setText(shownMaintenance_);
  ShowPanel(EditMode::Server);
  ui_->Editname->setFocus();
}

void MonitorEditorDialog::SetMonitor(Monitor* monitor) {
  *alive_ = Alive{};
  alive_->monitor = monitor;
  alive_->monitorToken = monitor->Watch();
  alive_->server = monitor->server;
  alive_->serverToken = monitor->server->Watch();
  shownName_ = monitor->name;
  shownTyp_ = monitor->typ;
  setWindowTitle(QStringLiteral("Server: ") + Q(monitor->server->name) +
                 QStringLiteral(" Monitor:") + Q(monitor->name));

  filling_ = true;
  ui_->portname->setText(Q(monitor->name));
  // A type none of the three words name is shown as it is, so that showing the monitor
  // does not change it; picking one of the three replaces it.
  ui_->porttyp->clear();
  ui_->porttyp->addItems({QStringLiteral("port"), QStringLiteral("ping"), QStringLiteral("http")});
  int typ = ui_->porttyp->findText(Q(monitor->typ), Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (typ < 0) {
    ui_->porttyp->addItem(Q(monitor->typ));
    typ = ui_->porttyp->count() - 1;
  }
  ui_->porttyp->setCurrentIndex(typ);
  ui_->portport->setValue(monitor->port);
  ui_->portinterval->setValue(monitor->interval);
  filling_ = false;

  ShowPanel(EditMode::Monitor);
  FillEventLists();
  ui_->Panelhttp->setVisible(monitor->typ == "http");
  if (monitor->typ == "http") FillHttp();
  porttypChange();
  CenterOnScreen();
  ui_->porttyp->setFocus();
}

void MonitorEditorDialog::FillHttp() {
  Monitor* m = EditedMonitor();
  if (!m) return;
  ui_->httpurl->setText(Q(m->GetValue("url")));
  ui_->httpproxy->setText(Q(m->GetValue("proxy")));
  ui_->httpproxyport->setText(Q(m->GetValue("proxyport")));
  ui_->httpmaynot->setText(Q(m->GetValue("maynotinclude")));
  ui_->httpmust->setText(Q(m->GetValue("mustinclude")));
}

QComboBox* MonitorEditorDialog::ListForKey(const char* key) const {
  const std::string k = key;
  if (k == "GtoY") return ui_->Combogy;
  if (k == "GYtoR") return ui_->Combogyr;
  if (k == "RtoY") return ui_->Combory;
  return ui_->Comboryg;
}

void MonitorEditorDialog::FillEventLists() {
  eventChoicesReady_ = false;
  std::vector<std::string> names;
  events_.GetNames(names);
  QStringList entries{QString()};
  for (const auto& n : names) entries << Q(n);
  for (const char* key : {"GtoY", "GYtoR", "RtoY", "RYtoG"}) {
    QComboBox* list = ListForKey(key);
    list->clear();
    list->addItems(entries);
    SelectEventChoice(list, key);
  }
  eventChoicesReady_ = true;
}

void MonitorEditorDialog::SelectEventChoice(QComboBox* list, const char* key) {
  Monitor* m = EditedMonitor();
  if (!m) return;
  std::string value = m->GetValue(key);
  if (value.empty() && std::string(key) == "GYtoR") value = "Default";
  if (value == "none") {
    list->setCurrentIndex(0);
    return;
  }
  // A name no event carries leaves the list without a selection.
  list->setCurrentIndex(list->findText(Q(value), Qt::MatchExactly | Qt::MatchCaseSensitive));
}

void MonitorEditorDialog::porttypChange() {
  Monitor* m = EditedMonitor();
  if (!m) return;
  const std::string typ = ui_->porttyp->currentText().toStdString();
  m->typ = typ;
  const bool ping = typ == "ping";
  if (typ == "http") {
    FillHttp();
    ui_->Panelhttp->show();
  } else {
    ui_->Panelhttp->hide();
  }
  if (ping) ui_->portport->setValue(0);
  ui_->portport->setVisible(!ping);
  ui_->portlabel->setVisible(!ping);
  // The name follows the type and stays unique within the server: back to the type it
  // was shown with, it gets its name back; any other type takes the first free name of
  // that type's sequence (ping, ping2, ...), the monitor itself not counting.
  const std::string name = typ == shownTyp_ ? shownName_ : m->server->ports.UniqueName(typ, m);
  ui_->portname->setText(Q(name));
  // The title names the monitor by the name OK gives it.
  setWindowTitle(QStringLiteral("Server: ") + Q(m->server->name) + QStringLiteral(" Monitor:") +
                 Q(name));
}

void MonitorEditorDialog::ComboChange(QComboBox* list) {
  if (!eventChoicesReady_) return;
  Monitor* m = EditedMonitor();
  const int index = list->currentIndex();
  if (!m || index < 0) return;
  m->SetValue(KeyOfTag(list->property("tag").toInt()),
              index == 0 ? std::string("none") : list->itemText(index).toStdString());
}

void MonitorEditorDialog::EditEventClick(QComboBox* list) {
  const int selected = list->currentIndex();
  const int first = selected > 0 ? selected - 1 : 0;
  const int chosen = editEvents_ ? editEvents_(first) : -1;
  // The event editor runs its own modal loop: the monitor may be gone by now.
  if (chosen < 0 || !EditedMonitor()) return;
  FillEventLists();
  eventChoicesReady_ = false;
  list->setCurrentIndex(chosen + 1);
  eventChoicesReady_ = true;
  ComboChange(list);
  list->setFocus();
}

QString MonitorEditorDialog::CleanServerName(const QString& name) {
  QString clean = name;
  for (QChar& c : clean) {
    const char16_t u = c.unicode();
    if (u == u' ' || u == u',' || u == u'/' || u == u'*' || u == u':' || u == u'=' || u == u']' ||
        u < 32 || u == 127)
      c = QLatin1Char('_');
  }
  return clean;
}

void MonitorEditorDialog::EditnameChange(const QString& text) {
  ui_->Editlogfile->setText(text + QStringLiteral(".log"));
}

bool MonitorEditorDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui_->Editname && event->type() == QEvent::FocusOut) {
    const QString clean = CleanServerName(ui_->Editname->text());
    if (clean != ui_->Editname->text()) ui_->Editname->setText(clean);
  }
  return QDialog::eventFilter(watched, event);
}

void MonitorEditorDialog::accept() {
  if (mode_ == EditMode::Monitor) {
    // Records carry the server, the kind and the port: two monitors that agree on those
    // write records no log reader can tell apart.
    const Monitor* self = EditedMonitor();
    const std::string typ = ui_->porttyp->currentText().toStdString();
    const Monitor* twin =
        self ? self->server->ports.SameRecords(typ, ui_->portport->value(), self) : nullptr;
    if (twin &&
        !AskYesNo(this, windowTitle(),
                  QStringLiteral("The monitor \"%1\" of this server is also %2 on port %3: the "
                                 "records of the two mix in the log, its views and the request "
                                 "times.\n\nKeep this type and port?")
                      .arg(Q(twin->name), Q(typ))
                      .arg(typ == "ping" ? 0 : ui_->portport->value()))) {
      (typ == "ping" ? static_cast<QWidget*>(ui_->porttyp) : ui_->portport)->setFocus();
      return;
    }
  }
  if (mode_ == EditMode::Server) {
    const QString clean = CleanServerName(ui_->Editname->text());
    if (clean != ui_->Editname->text()) ui_->Editname->setText(clean);
    const std::string name = clean.toStdString();
    Server* self = EditedServer();
    // The server file names the section after the server: "[]" is no section, and the
    // server and its monitors would be gone at the next start.
    if (name.empty()) {
      ShowMessage(this, windowTitle(), QStringLiteral("A server needs a name."),
                  QMessageBox::Warning);
      ui_->Editname->setFocus();
      return;
    }
    // The server file keeps one section per name whatever its case: a second server of
    // that name would be lost at the next load.
    for (int i = 0; i < servers_.Count(); ++i) {
      const Server* other = servers_.Items(i);
      if (other != self && EqualsIgnoreCase(other->name, name)) {
        ShowMessage(this, windowTitle(), QStringLiteral("\"%1\" already exists.").arg(clean),
                    QMessageBox::Warning);
        ui_->Editname->setFocus();
        return;
      }
    }
    std::vector<std::string> windowErrors;
    ParseMaintenance(FieldText(ui_->Editmaintenance->text()), &windowErrors);
    if (!windowErrors.empty()) {
      ShowMessage(this, windowTitle(),
                  QStringLiteral("Maintenance: the window %1.").arg(Q(windowErrors.front())),
                  QMessageBox::Warning);
      ui_->Editmaintenance->setFocus();
      return;
    }
    const QString logfile = ui_->Editlogfile->text().isEmpty() ? clean + QStringLiteral(".log")
                                                               : ui_->Editlogfile->text();
    if (logfile.toUtf8().size() > kMaxFileNameBytes) {
      ShowMessage(this, windowTitle(),
                  QStringLiteral("The server name is too long: its log file name may have at "
                                 "most %1 bytes.")
                      .arg(kMaxFileNameBytes),
                  QMessageBox::Warning);
      ui_->Editname->setFocus();
      return;
    }
  }
  QDialog::accept();
}

bool MonitorEditorDialog::Apply() {
  switch (mode_) {
    case EditMode::Group: {
      const QString renamed = ui_->groupname->text();
      if (renamed == groupText_ || alive_->groupServers.empty()) return false;
      const std::string oldText = groupText_.toStdString();
      const std::string newText = FieldText(renamed);
      for (const auto& [server, token] : alive_->groupServers)
        if (!token.expired() && server->group == oldText) server->group = newText;
      return false;
    }
    case EditMode::Server: {
      Server* s = EditedServer();
      if (!s) return false;
      const std::string group = FieldText(ui_->Editgroup->text());
      const bool groupChanged = group != s->group;
      const std::string oldName = s->name;
      s->ip = FieldText(ui_->editip->text());
      s->name = FieldText(ui_->Editname->text());
      // Servers reached through this one name it by its name: they follow a rename.
      if (s->name != oldName) {
        for (int i = 0; i < servers_.Count(); ++i)
          for (std::string& parent : servers_.Items(i)->parents)
            if (EqualsIgnoreCase(parent, oldName)) parent = s->name;
      }
      std::vector<std::string> parents;
      for (int i = 0; i < ui_->Editparents->count(); ++i)
        if (ui_->Editparents->item(i)->checkState() == Qt::Checked)
          parents.push_back(ui_->Editparents->item(i)->text().toStdString());
      parents.insert(parents.end(), unknownParents_.begin(), unknownParents_.end());
      s->parents = std::move(parents);
      if (ui_->Editmaintenance->text() != shownMaintenance_) {
        s->maintenance = ParseMaintenance(FieldText(ui_->Editmaintenance->text()));
        s->maintenanceEndedUntil = 0;
      }
      s->location = FieldText(ui_->Editlocation->text());
      s->group = group;
      if (ui_->Editlogfile->text().isEmpty())
        ui_->Editlogfile->setText(ui_->Editname->text() + QStringLiteral(".log"));
      s->logfile = FieldText(ui_->Editlogfile->text());
      s->notes = FieldText(ui_->Editnotes->text());
      return groupChanged;
    }
    case EditMode::Monitor: {
      Monitor* m = EditedMonitor();
      if (!m) return false;
      m->name = ui_->portname->text().toStdString();
      m->typ = ui_->porttyp->currentText().toStdString();
      m->port = ui_->portport->value();
      m->interval = ui_->portinterval->value();
      if (m->typ == "http") {
        m->SetValue("url", FieldText(ui_->httpurl->text()));
        m->SetValue("proxy", FieldText(ui_->httpproxy->text()));
        m->SetValue("proxyport", FieldText(ui_->httpproxyport->text()));
        m->SetValue("maynotinclude", FieldText(ui_->httpmaynot->text()));
        m->SetValue("mustinclude", FieldText(ui_->httpmust->text()));
      }
      return false;
    }
  }
  return false;
}

}  // namespace sentrel::gui
