#include "gui/event_name_prompt.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>

#include "gui/modal_answers.h"
#include "ui_event_name_prompt.h"

namespace sentrel::gui {

EventNamePrompt::EventNamePrompt(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::EventNamePrompt>()) {
  ui_->setupUi(this);
  connect(ui_->buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(ui_->buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

EventNamePrompt::~EventNamePrompt() = default;

std::optional<QString> EventNamePrompt::Ask(const QString& caption, const QString& prompt,
                                            const QString& text) {
  return PromptTextWith(prompt, [&] { return Show(caption, prompt, text); });
}

std::optional<QString> EventNamePrompt::Show(const QString& caption, const QString& prompt,
                                             const QString& text) {
  setWindowTitle(caption);
  ui_->Label1->setText(prompt);
  ui_->Edit1->setAccessibleName(prompt);
  ui_->Edit1->setText(text);
  ui_->Edit1->selectAll();
  ui_->Edit1->setFocus();
  if (exec() != QDialog::Accepted) return std::nullopt;
  return ui_->Edit1->text();
}

}  // namespace sentrel::gui
