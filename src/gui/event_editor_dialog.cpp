#include "gui/event_editor_dialog.h"

#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <algorithm>
#include <optional>
#include <vector>

#include "app/program.h"
#include "events/event_actions.h"
#include "events/event_list.h"
#include "events/serial_action.h"
#include "gui/accessible_names.h"
#include "gui/event_editor_pages.h"
#include "gui/event_name_prompt.h"
#include "gui/modal_answers.h"
#include "gui/widgets/announcer.h"
#include "platform/event_loop.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "ui_event_editor_dialog.h"

namespace sentrel::gui {

namespace {
// An action that does not wait, as a task like the ones that do.
Task<void> Immediately(std::function<void()> action) {
  action();
  co_return;
}

// One try of the webhook; what the receiver answered (or why it did not) is shown beside
// the button, and a failure also goes to the errors log as every failed test does. The
// label is the dialog's, which outlives its tests.
Task<void> TestWebhook(EventActions& actions, Event ev, QLabel* result) {
  try {
    const std::string answer = co_await actions.TestWebhook(ev, EventEditorDialog::kTestMessage,
                                                            EventEditorDialog::kSampleServer, "OK");
    result->setText(QStringLiteral("Sent: %1").arg(QString::fromStdString(answer)));
  } catch (const std::exception& e) {
    result->setText(QStringLiteral("Failed: %1").arg(QString::fromStdString(e.what())));
    throw;
  }
}
}  // namespace


namespace {

// The enable field of each action, by action index.
constexpr std::array<bool Event::*, kActionCount> kEnable = {
    &Event::UsePopup,    &Event::UseSound, &Event::UseExe,    &Event::UseMail,   &Event::UseNetSend,
    &Event::UseShutdown, &Event::UsePrint, &Event::UseSerial, &Event::UseWebhook};

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// The list does not tell a screen reader that a row's tick changed; this does, as a change
// of the row's checked state, which the reader speaks on the row it is on.
void SayTickChanged(QListWidget* list, int row) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(list);
  QAccessibleTableInterface* table = iface ? iface->tableInterface() : nullptr;
  QAccessibleInterface* cell = table ? table->cellAt(row, 0) : nullptr;
  if (!cell) return;
  QAccessible::State changed;
  changed.checked = true;
  QAccessibleStateChangeEvent event(cell, changed);
  SendAccessibleEvent(event);
}

// The serial options as a list of items: commas and blanks separate them.
std::vector<std::string> SplitOptions(const std::string& text) {
  std::vector<std::string> items;
  std::string item;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!item.empty()) items.push_back(std::move(item));
      item.clear();
    } else {
      item += c;
    }
  }
  if (!item.empty()) items.push_back(std::move(item));
  return items;
}

std::string KeyOf(const std::string& item) {
  return item.substr(0, item.find('='));
}

// The position a key's value names, or -1 when the key is missing or not a number.
int OptionPosition(const std::vector<std::string>& items, const char* key) {
  for (const auto& item : items) {
    if (!EqualsIgnoreCase(KeyOf(item), key)) continue;
    const auto eq = item.find('=');
    bool ok = false;
    const int value = eq == std::string::npos ? 0 : Q(item.substr(eq + 1)).toInt(&ok, 10);
    return ok ? value : -1;
  }
  return -1;
}

// A text with every character in `bad` (and every control character) replaced by "_".
QString ReplaceChars(const QString& text, const QString& bad) {
  QString out = text;
  for (QChar& c : out)
    if (bad.contains(c) || c.unicode() < 32 || c.unicode() == 127) c = QLatin1Char('_');
  return out;
}

}  // namespace

EventEditorDialog::EventEditorDialog(EventList& events, EventNamePrompt& namePrompt,
                                     QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::EventEditorDialog>()),
      pages_(std::make_unique<Pages>()),
      events_(events),
      namePrompt_(namePrompt) {
  ui_->setupUi(this);
  Pages& p = *pages_;
  // One page per action, in action order: the page index is the action index.
  auto addPage = [this](auto& pageUi) {
    auto* page = new QWidget(ui_->pages);
    pageUi.setupUi(page);
    ui_->pages->addWidget(page);
  };
  addPage(p.popup);
  addPage(p.sound);
  addPage(p.execute);
  addPage(p.mail);
  addPage(p.netsend);
  addPage(p.shutdown);
  addPage(p.print);
  addPage(p.serial);
  addPage(p.webhook);
  // Pages come after the buttons in creation order; Tab goes from the action list into
  // the shown page (each page keeps the order of its form) and from there to OK.
  QWidget* previous = ui_->eventchecklist;
  for (int i = 0; i < ui_->pages->count(); ++i) {
    QWidget* page = ui_->pages->widget(i);
    std::vector<QWidget*> order;
    for (QWidget* w = page->nextInFocusChain(); w != page; w = w->nextInFocusChain()) {
      // A spin box's own line edit follows its spin box.
      if (page->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) &&
          !qobject_cast<QAbstractSpinBox*>(w->parentWidget()))
        order.push_back(w);
    }
    for (QWidget* w : order) {
      QWidget::setTabOrder(previous, w);
      previous = w;
    }
  }
  // The reminders' box stands under the pages; then OK and Cancel in the desktop's order,
  // then the buttons beside the list.
  QWidget::setTabOrder(previous, ui_->repeatminutes);
  QPushButton* ok = ui_->buttons->button(QDialogButtonBox::Ok);
  ok->setObjectName(QStringLiteral("okbutton"));
  ok->setDefault(true);
  QPushButton* cancel = ui_->buttons->button(QDialogButtonBox::Cancel);
  cancel->setObjectName(QStringLiteral("cancelbutton"));
  cancel->setAutoDefault(false);
  previous = ui_->repeatminutes;
  for (int i = 0; i < ui_->buttons->layout()->count(); ++i) {
    if (auto* b = qobject_cast<QAbstractButton*>(ui_->buttons->layout()->itemAt(i)->widget())) {
      QWidget::setTabOrder(previous, b);
      previous = b;
    }
  }
  QWidget::setTabOrder(previous, ui_->addbutton);

  counts_ = {p.popup.popupcount,
             p.sound.soundcount,
             p.execute.execount,
             p.mail.mailcount,
             p.netsend.netsendcount,
             p.shutdown.rebootcount,
             nullptr,
             p.serial.serialcount,
             p.webhook.webhookcount};
  for (size_t i = 0; i < counts_.size(); ++i) {
    if (!counts_[i]) continue;
    connect(counts_[i], &QSpinBox::valueChanged, this, [this, i](int value) {
      if (Event* ev = Current(); ev && !showing_) ev->count[i] = value;
    });
  }

  connect(ui_->repeatminutes, &QSpinBox::valueChanged, this, [this](int value) {
    if (Event* ev = Current(); ev && !showing_) ev->RepeatMinutes = value;
  });

  BindText(p.sound.soundfile, &Event::Sound);
  BindText(p.execute.exename, &Event::Exe);
  BindText(p.execute.exeparaname, &Event::ExePara);
  BindText(p.mail.mailaddress, &Event::MailAddress);
  BindText(p.mail.mailtext, &Event::Mailtext);
  BindText(p.netsend.netsendname, &Event::NetSend);
  BindText(p.netsend.netsendtext, &Event::NetSendText);
  BindText(p.shutdown.reboot, &Event::Shutdown);
  BindText(p.serial.oserialfile, &Event::SerialText);
  BindText(p.webhook.webhookurl, &Event::WebhookURL);
  BindText(p.webhook.webhookbody, &Event::WebhookBody);
  BindText(p.webhook.webhookheaders, &Event::WebhookHeaders);
  BindFile(p.sound.soundfile, p.sound.soundbrowse, QStringLiteral("Sound file"),
           QStringLiteral("Sound files (*.wav)"));
  BindFile(p.execute.exename, p.execute.exebrowse, QStringLiteral("Program"),
           QStringLiteral("All files (*)"));
  BindFile(p.mail.mailtext, p.mail.mailbrowse, QStringLiteral("Mail template"),
           QStringLiteral("All files (*)"));
  BindFile(p.serial.oserialfile, p.serial.serialbrowse, QStringLiteral("Serial script"),
           QStringLiteral("All files (*)"));

  const std::pair<QComboBox*, const char*> serialLists[] = {{p.serial.oport, "port"},
                                                            {p.serial.obaud, "baud"},
                                                            {p.serial.obits, "bits"},
                                                            {p.serial.oparity, "parity"},
                                                            {p.serial.ostop, "stop"}};
  for (const auto& [list, key] : serialLists) {
    const char* k = key;
    connect(list, &QComboBox::currentIndexChanged, this, [this, k](int position) {
      if (!showing_ && position >= 0) SetSerialOption(k, position);
      if (std::string(k) == "port") ShowPortDevice();
    });
  }

  connect(p.popup.popuptest, &QPushButton::clicked, this, [this] {
    RunTest([](EventActions& a, const Event& ev) {
      // The desktop's notification too, as an event's popup sends one.
      return Immediately([&a, ev] { a.DoPopupAbout(ev, {kTestMessage, kSampleServer, "OK", 0}); });
    });
  });
  connect(p.sound.soundtest, &QPushButton::clicked, this,
          [this] { RunTest([](EventActions& a, const Event& ev) { return a.DoSound(ev); }); });
  connect(p.execute.exetest, &QPushButton::clicked, this, [this] {
    RunTest([](EventActions& a, const Event& ev) {
      return Immediately([&a, ev] { a.DoExe(ev, kTestMessage, kSampleServer, "OK"); });
    });
  });
  connect(p.mail.mailtest, &QPushButton::clicked, this, [this] {
    RunTest([](EventActions& a, const Event& ev) {
      return a.DoMail(ev, kTestMessage, kSampleServer, "OK");
    });
  });
  connect(p.netsend.netsendtest, &QPushButton::clicked, this, [this] {
    RunTest([](EventActions& a, const Event& ev) {
      return Immediately([&a, ev] { a.DoNetSend(ev, kTestMessage, kSampleServer, "OK"); });
    });
  });
  connect(p.shutdown.reboottest, &QPushButton::clicked, this,
          [this] { RunTest([](EventActions& a, const Event& ev) { return a.DoShutdown(ev); }); });
  connect(p.shutdown.rebootcancel, &QPushButton::clicked, this, [this] {
    RunTest([](EventActions& a, const Event& ev) { return a.AbortShutdown(ev.Shutdown); });
  });
  connect(p.serial.serialtest, &QPushButton::clicked, this,
          [this] { RunTest([](EventActions& a, const Event& ev) { return a.DoSerial(ev); }); });

  connect(p.webhook.webhooktest, &QPushButton::clicked, this, [this] {
    pages_->webhook.webhookresult->setText(QStringLiteral("Sending..."));
    RunTest([this](EventActions& a, const Event& ev) {
      return TestWebhook(a, ev, pages_->webhook.webhookresult);
    });
  });
  connect(ui_->namecombo, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (showing_) return;
    current_ = index;
    ShowEvent();
  });
  connect(ui_->eventchecklist, &QListWidget::currentRowChanged, this, [this](int row) {
    if (row >= 0) ui_->pages->setCurrentIndex(row);
  });
  connect(ui_->eventchecklist, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
    Event* ev = Current();
    const int row = ui_->eventchecklist->row(item);
    if (showing_ || !ev || row < 0 || row >= kActionCount) return;
    ev->*kEnable[static_cast<size_t>(row)] = item->checkState() == Qt::Checked;
    SayTickChanged(ui_->eventchecklist, row);
  });

  connect(ui_->buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(ui_->buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(ui_->addbutton, &QPushButton::clicked, this, &EventEditorDialog::AddClick);
  connect(ui_->renamebutton, &QPushButton::clicked, this, &EventEditorDialog::RenameClick);
  connect(ui_->copybutton, &QPushButton::clicked, this, &EventEditorDialog::CopyClick);
  connect(ui_->deletebutton, &QPushButton::clicked, this, &EventEditorDialog::DeleteClick);

  // Each port stands for a device of this machine; the list says which.
  for (int i = 0; i < p.serial.oport->count(); ++i)
    p.serial.oport->setItemData(i, Q(SerialDevicePath(i)), Qt::ToolTipRole);
  // The action list is as wide as its longest name, so none is cut off.
  QListWidget* list = ui_->eventchecklist;
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list->setMinimumWidth(list->sizeHintForColumn(0) + 2 * list->frameWidth() + 8);
  NameControlsFromLabels(this);
  SelectAction(0);
}

EventEditorDialog::~EventEditorDialog() = default;

Event* EventEditorDialog::Current() const {
  return events_.Items(current_);
}

void EventEditorDialog::SelectAction(int action) {
  ui_->eventchecklist->setCurrentRow(action);
  ui_->pages->setCurrentIndex(action);
}

void EventEditorDialog::BindText(QLineEdit* field, std::string Event::*member) {
  const bool mailTemplate = member == &Event::Mailtext;
  connect(field, &QLineEdit::textChanged, this, [this, field, member, mailTemplate] {
    Event* ev = Current();
    if (showing_ || !ev) return;
    QString text = field->text();
    // The template is a file name; double quotes around it would only hide the file.
    if (mailTemplate && text.contains(QLatin1Char('"'))) {
      text.remove(QLatin1Char('"'));
      field->setText(text);  // comes back here with the clean text
      return;
    }
    // A pasted line break would end the value's line in the file.
    text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    ev->*member = text.toStdString();
  });
}

void EventEditorDialog::BindFile(QLineEdit* field, QPushButton* browse, const QString& caption,
                                 const QString& filter) {
  connect(browse, &QPushButton::clicked, this, [this, field, caption, filter] {
    const QString path =
        AskFileName(this, {.caption = caption, .filter = filter, .path = field->text()});
    if (!path.isEmpty()) field->setText(path);
  });
}

void EventEditorDialog::ShowPortDevice() {
  const int port = pages_->serial.oport->currentIndex();
  pages_->serial.oportdevice->setText(port >= 0 ? Q(SerialDevicePath(port)) : QString());
}

int EventEditorDialog::EditEvents(int index) {
  return EditEvents(index, DataPath(kEventsFileName));
}

int EventEditorDialog::EditEvents(int index, const std::string& eventsPath) {
  current_ = index >= 0 && index < events_.Count() ? index : (events_.Count() > 0 ? 0 : -1);
  try {
    events_.SaveToFile(eventsPath);
  } catch (const std::exception& e) {
    CurrentLoop().ReportError(e.what());
    return -1;
  }
  // Cancel puts these back as they are: the events themselves, not a fresh load of the
  // file, so the latency marks of outages already reported stay and nothing is raised
  // again.
  const EventListSnapshot opened = events_.Snapshot();
  const std::optional<std::string> written = ReadWholeFile(eventsPath);
  FillNames();
  ShowEvent();
  SelectAction(0);
  ui_->namecombo->setFocus();

  const bool ok = exec() == QDialog::Accepted;
  if (!ok) events_.Restore(opened);
  try {
    // After Cancel the file is written again only when something else changed it
    // meanwhile: the file and the list agree after the dialog either way.
    if (ok || ReadWholeFile(eventsPath) != written) events_.SaveToFile(eventsPath);
  } catch (const std::exception& e) {
    CurrentLoop().ReportError(e.what());
  }
  if (!ok) return -1;
  return current_;
}

void EventEditorDialog::FillNames() {
  std::vector<std::string> names;
  events_.GetNames(names);
  if (current_ >= static_cast<int>(names.size())) current_ = static_cast<int>(names.size()) - 1;
  showing_ = true;
  ui_->namecombo->clear();
  for (const auto& n : names) ui_->namecombo->addItem(Q(n));
  ui_->namecombo->setCurrentIndex(current_);
  showing_ = false;
}

void EventEditorDialog::MakeCurrent(int index) {
  current_ = index;
  FillNames();
  ShowEvent();
}

void EventEditorDialog::ShowEvent() {
  Event* ev = Current();
  ui_->pages->setEnabled(ev != nullptr);
  ui_->eventchecklist->setEnabled(ev != nullptr);
  if (!ev) return;
  Pages& p = *pages_;
  showing_ = true;
  for (int i = 0; i < kActionCount; ++i)
    ui_->eventchecklist->item(i)->setCheckState(
        ev->*kEnable[static_cast<size_t>(i)] ? Qt::Checked : Qt::Unchecked);
  p.sound.soundfile->setText(Q(ev->Sound));
  p.execute.exename->setText(Q(ev->Exe));
  p.execute.exeparaname->setText(Q(ev->ExePara));
  p.mail.mailaddress->setText(Q(ev->MailAddress));
  // What the field shows goes back into the event: the template without double quotes,
  // a latency count at the nearest bound of its box.
  QString mailtext = Q(ev->Mailtext);
  mailtext.remove(QLatin1Char('"'));
  p.mail.mailtext->setText(mailtext);
  ev->Mailtext = mailtext.toStdString();
  p.netsend.netsendname->setText(Q(ev->NetSend));
  p.netsend.netsendtext->setText(Q(ev->NetSendText));
  p.shutdown.reboot->setText(Q(ev->Shutdown));
  p.serial.oserialfile->setText(Q(ev->SerialText));
  p.webhook.webhookurl->setText(Q(ev->WebhookURL));
  p.webhook.webhookbody->setText(Q(ev->WebhookBody));
  p.webhook.webhookheaders->setText(Q(ev->WebhookHeaders));
  p.webhook.webhookresult->clear();
  ShowSerialOptions(*ev);
  for (size_t i = 0; i < counts_.size(); ++i) {
    const int32_t shown = std::clamp<int32_t>(ev->count[i], 2, 999);
    if (counts_[i]) counts_[i]->setValue(shown);
    ev->count[i] = shown;
  }
  // A file may ask for more than the box offers; the event keeps what it has until the
  // box is changed.
  ui_->repeatminutes->setValue(std::clamp<int32_t>(ev->RepeatMinutes, 0, ui_->repeatminutes->maximum()));
  showing_ = false;
}

void EventEditorDialog::ShowSerialOptions(Event& ev) {
  Pages& p = *pages_;
  // An options text without one of the keys, or with a value that is not a number, is
  // reported to the errors log; the lists it names nothing for show no selection, and
  // the rest of the event is still shown.
  try {
    ParseSerialOptions(ev.SerialOptions);
  } catch (const std::exception& e) {
    CurrentLoop().ReportError(e.what());
  }
  const std::vector<std::string> items = SplitOptions(ev.SerialOptions);
  const std::pair<QComboBox*, const char*> lists[] = {{p.serial.oport, "port"},
                                                      {p.serial.obaud, "baud"},
                                                      {p.serial.obits, "bits"},
                                                      {p.serial.oparity, "parity"},
                                                      {p.serial.ostop, "stop"}};
  for (const auto& [list, key] : lists) {
    const int position = OptionPosition(items, key);
    list->setCurrentIndex(position >= 0 && position < list->count() ? position : -1);
  }
  ShowPortDevice();
}

void EventEditorDialog::SetSerialOption(const char* key, int position) {
  Event* ev = Current();
  if (!ev) return;
  std::vector<std::string> items = SplitOptions(ev->SerialOptions);
  const std::string value = std::string(key) + "=" + std::to_string(position);
  auto it = std::find_if(items.begin(), items.end(), [&](const std::string& item) {
    return EqualsIgnoreCase(KeyOf(item), key);
  });
  if (it != items.end())
    *it = value;
  else
    items.push_back(value);
  std::string joined;
  for (const auto& item : items) joined += (joined.empty() ? "" : ",") + item;
  ev->SerialOptions = joined;
}

void EventEditorDialog::RunTest(
    const std::function<Task<void>(EventActions&, const Event&)>& action) {
  Event* ev = Current();
  EventActions* actions = events_.context.actions;
  if (!ev || !actions || tests_.Size() > 0) return;
  // The action gets a copy: a mail test waits for its server, and nothing that happens
  // meanwhile can pull the event from under it. The dialog takes no input until the
  // test is over; the checks and the other events go on.
  Event copy;
  copy.Assign(*ev);
  copy.name = ev->name;
  setEnabled(false);
  tests_.Start(action(*actions, copy), "Event test " + copy.name,
               [this](std::exception_ptr error) {
                 // A failing test is not shown here; like any failed action it goes to
                 // the errors log.
                 CurrentLoop().ReportException(error);
                 setEnabled(true);
               });
}

void EventEditorDialog::ShowError(const QString& text) {
  ShowMessage(this, windowTitle(), text, QMessageBox::Critical);
}

void EventEditorDialog::AddClick() {
  auto answer = namePrompt_.Ask(QStringLiteral("New event"),
                                QStringLiteral("Select the name for the new event."), QString());
  if (!answer || answer->isEmpty()) return;
  // "]" and control characters cannot stand in a section name of the events file.
  const QString name = ReplaceChars(*answer, QStringLiteral(" ,=]"));
  // The events file keeps one section per name whatever its case.
  if (events_.IndexIgnoringCase(name.toStdString()) >= 0) {
    ShowError(name + QStringLiteral(" already exists."));
    return;
  }
  MakeCurrent(events_.Add(name.toStdString()));
}

void EventEditorDialog::RenameClick() {
  if (current_ == 0) {
    ShowError(QStringLiteral("It is not possible to rename the Default event."));
    return;
  }
  Event* ev = Current();
  if (!ev) return;
  const QString old = Q(ev->name);
  auto answer =
      namePrompt_.Ask(QStringLiteral("Rename event"),
                      QStringLiteral("Select the new name for event \"%1\"").arg(old), old);
  if (!answer || answer->isEmpty()) return;
  const QString name = ReplaceChars(*answer, QStringLiteral(" ,:=]"));
  // The prompt waited in its own loop: take the event again by its place.
  ev = Current();
  if (!ev) return;
  // The unchanged name exists (it is this event's); only a change of letter case of this
  // event's own name is not a clash.
  const int same = events_.IndexIgnoringCase(name.toStdString());
  if (same >= 0 && !(same == current_ && name != old)) {
    ShowError(QStringLiteral("\"%1\" already exists.").arg(name));
    return;
  }
  ev->name = name.toStdString();
  MakeCurrent(current_);
}

void EventEditorDialog::CopyClick() {
  Event* ev = Current();
  if (!ev) return;
  const QString old = Q(ev->name);
  auto answer = namePrompt_.Ask(QStringLiteral("Copy event"),
                                QStringLiteral("Select the name to copy \"%1\" to.").arg(old), old);
  if (!answer || answer->isEmpty()) return;
  const QString& name = *answer;
  // Copy takes the name as it is typed, so a name the events file cannot hold is refused
  // rather than changed.
  if (!SectionNameSurvives(name.toStdString())) {
    ShowError(QStringLiteral("\"%1\" cannot be an event name: the events file cannot keep "
                             "\"]\", control characters or blanks at the start or end of a "
                             "name.")
                  .arg(name));
    return;
  }
  if (events_.IndexIgnoringCase(name.toStdString()) >= 0) {
    ShowError(QStringLiteral("\"%1\" already exists.").arg(name));
    return;
  }
  ev = Current();
  if (!ev) return;
  const int added = events_.Add(name.toStdString());
  events_.Items(added)->Assign(*ev);
  MakeCurrent(added);
}

void EventEditorDialog::DeleteClick() {
  if (current_ < 1) {
    ShowError(QStringLiteral("It is not possible to delete the Default event."));
    return;
  }
  Event* ev = Current();
  if (!ev) return;
  if (!AskYesNo(this, windowTitle(), QStringLiteral("Delete \"%1\" ?").arg(Q(ev->name)))) return;
  const int index = events_.IndexOf(ev);
  if (index < 1) return;
  events_.Delete(index);
  MakeCurrent(index - 1);
}

}  // namespace sentrel::gui
