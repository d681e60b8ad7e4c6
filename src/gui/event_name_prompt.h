#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <optional>

namespace Ui {
class Tename;
}

namespace sentrel::gui {

// The event editor's name prompt: a caption, a wrapped prompt text and one text field
// that has the focus when the prompt opens. Made once and reused.
class Tename : public QDialog {
  Q_OBJECT

 public:
  explicit Tename(QWidget* parent = nullptr);
  ~Tename() override;

  // Shows the prompt modally; the text on OK, nothing on Cancel. Goes through the modal
  // answers, so a test's queued text answers it.
  std::optional<QString> Ask(const QString& caption, const QString& prompt, const QString& text);
  // The same without the test queue: shows the prompt.
  std::optional<QString> Show(const QString& caption, const QString& prompt, const QString& text);

  const Ui::Tename& ui() const { return *ui_; }

 private:
  const std::unique_ptr<Ui::Tename> ui_;
};

}  // namespace sentrel::gui
