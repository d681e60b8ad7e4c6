#include "gui/modal_answers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <algorithm>

namespace sentrel::gui {

namespace {

struct Queues {
  bool armed = false;
  std::function<void(const QString&)> unanswered;
  std::deque<QMessageBox::StandardButton> buttons;
  std::deque<std::optional<QString>> texts;
  std::deque<QString> files;
  QStringList asked;
  QStringList filters;
};

Queues& State() {
  static Queues q;
  return q;
}

// Takes the next queued answer, or reports the question as unanswered and gives the safe one.
template <typename T>
T Next(std::deque<T>& queue, const QString& question, T safe) {
  Queues& q = State();
  q.asked << question;
  if (!queue.empty()) {
    T answer = std::move(queue.front());
    queue.pop_front();
    return answer;
  }
  if (q.unanswered) q.unanswered(question);
  return safe;
}

}  // namespace

void ModalAnswers::Arm(std::function<void(const QString&)> unanswered) {
  State().armed = true;
  State().unanswered = std::move(unanswered);
}

void ModalAnswers::Disarm() { State() = Queues{}; }
bool ModalAnswers::Armed() { return State().armed; }
void ModalAnswers::QueueButton(QMessageBox::StandardButton b) { State().buttons.push_back(b); }
void ModalAnswers::QueueText(std::optional<QString> t) { State().texts.push_back(std::move(t)); }
void ModalAnswers::QueueFile(const QString& path) { State().files.push_back(path); }
int ModalAnswers::Pending() {
  const Queues& q = State();
  return static_cast<int>(q.buttons.size() + q.texts.size() + q.files.size());
}
const QStringList& ModalAnswers::Asked() { return State().asked; }
const QStringList& ModalAnswers::FileFilters() { return State().filters; }
void ModalAnswers::ClearAsked() {
  State().asked.clear();
  State().filters.clear();
}

bool AskYesNo(QWidget* parent, const QString& title, const QString& text) {
  if (ModalAnswers::Armed())
    return Next(State().buttons, text, QMessageBox::No) == QMessageBox::Yes;
  return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

SaveChoice AskSaveChoice(QWidget* parent, const QString& title, const QString& text) {
  QMessageBox::StandardButton answer;
  if (ModalAnswers::Armed()) {
    answer = Next(State().buttons, text, QMessageBox::Cancel);
  } else {
    QMessageBox box(QMessageBox::Warning, title, text,
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
    box.button(QMessageBox::Save)->setText(QStringLiteral("&Save as..."));
    box.button(QMessageBox::Discard)->setText(QStringLiteral("Close &without saving"));
    box.setDefaultButton(QMessageBox::Cancel);
    answer = static_cast<QMessageBox::StandardButton>(box.exec());
  }
  if (answer == QMessageBox::Save) return SaveChoice::SaveAs;
  if (answer == QMessageBox::Discard) return SaveChoice::CloseWithoutSaving;
  return SaveChoice::Cancel;
}

SaveChanges AskSaveChanges(QWidget* parent, const QString& title, const QString& text) {
  QMessageBox::StandardButton answer;
  if (ModalAnswers::Armed()) {
    answer = Next(State().buttons, text, QMessageBox::Cancel);
  } else {
    QMessageBox box(QMessageBox::Question, title, text,
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
    box.button(QMessageBox::Save)->setText(QStringLiteral("&Save"));
    box.button(QMessageBox::Discard)->setText(QStringLiteral("&Don't save"));
    box.setDefaultButton(QMessageBox::Cancel);
    answer = static_cast<QMessageBox::StandardButton>(box.exec());
  }
  if (answer == QMessageBox::Save) return SaveChanges::Save;
  if (answer == QMessageBox::Discard) return SaveChanges::Discard;
  return SaveChanges::Cancel;
}

void ShowMessage(QWidget* parent, const QString& title, const QString& text,
                 QMessageBox::Icon icon) {
  if (ModalAnswers::Armed()) {
    // An OK box needs no answer from the test, but it is recorded like a question.
    State().asked << text;
    return;
  }
  QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
  box.exec();
}

void OpenMessage(QWidget* parent, const QString& title, const QString& text,
                 QMessageBox::Icon icon) {
  if (ModalAnswers::Armed()) {
    State().asked << text;
    return;
  }
  // open(), not exec(): the call returns at once and the box goes away by itself when
  // the operator has read it; nothing waits for it.
  auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

std::optional<QString> PromptText(QWidget* parent, const QString& title, const QString& label,
                                  const QString& value) {
  if (ModalAnswers::Armed())
    return Next(State().texts, label, std::optional<QString>{});
  std::unique_ptr<QInputDialog> dialog = MakeTextPrompt(parent, title, label, value);
  if (dialog->exec() != QDialog::Accepted) return std::nullopt;
  return dialog->textValue();
}

std::unique_ptr<QInputDialog> MakeTextPrompt(QWidget* parent, const QString& title,
                                             const QString& label, const QString& value) {
  auto dialog = std::make_unique<QInputDialog>(parent);
  dialog->setInputMode(QInputDialog::TextInput);
  dialog->setWindowTitle(title);
  dialog->setLabelText(label);
  dialog->setTextValue(value);
  // Wide enough for the whole title beside the window manager's buttons: a window manager
  // cuts a title that does not fit, and "Sentrel Sho...uest Times:" tells little.
  const QFontMetrics metrics(QApplication::font("QMdiSubWindowTitleBar"));
  const QSize hint = dialog->sizeHint();
  dialog->resize(std::max(hint.width(), metrics.horizontalAdvance(title) + kTitleBarButtons),
                 hint.height());
  return dialog;
}

std::optional<QString> PromptTextWith(const QString& label,
                                      const std::function<std::optional<QString>()>& show) {
  if (ModalAnswers::Armed()) return Next(State().texts, label, std::optional<QString>{});
  return show();
}

QString AskFileName(QWidget* parent, const FileDialogOptions& o) {
  if (ModalAnswers::Armed()) {
    State().filters << o.filter;
    return Next(State().files, o.caption, QString());
  }
  QFileDialog dialog(parent, o.caption, o.path, o.filter);
  dialog.setDefaultSuffix(o.defaultSuffix);
  if (o.save) {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
  } else {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::ReadOnly, false);
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().first();
}

}  // namespace sentrel::gui
