#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <optional>

namespace Ui {
class EventNamePrompt;
}

namespace sentrel::gui {

// The event editor's name prompt: a caption, a wrapped prompt text and one text field
// that has the focus when the prompt opens. Made once and reused.
class EventNamePrompt : public QDialog {
  Q_OBJECT

 public:
  explicit EventNamePrompt(QWidget* parent = nullptr);
  ~EventNamePrompt() override;

  // Shows the prompt modally; the text on OK, nothing on Cancel. Goes through the modal
  // answers, so a test's queued text answers it.
  std::optional<QString> Ask(const QString& caption, const QString& prompt, const QString& text);
  // The same without the test queue: shows the prompt.
  std::optional<QString> Show(const QString& caption, const QString& prompt, const QString& text);

  const Ui::EventNamePrompt& ui() const { return *ui_; }

 private:
  const std::unique_ptr<Ui::EventNamePrompt> ui_;
};

}  // namespace sentrel::gui
