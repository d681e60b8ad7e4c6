#pragma once

#include <QDialog>
#include <QString>
#include <memory>

namespace Ui {
class SplashWindow;
}

namespace sentrel::gui {

// The splash window shown while the program starts, and, made anew with its buttons, the
// About box: the product name, the version line and a picture. Clicking anywhere on it
// closes it.
class SplashWindow final : public QDialog {
  Q_OBJECT

 public:
  explicit SplashWindow(QWidget* parent = nullptr);
  ~SplashWindow() override;

  void SetVersion(const QString& line);
  // The splash: no buttons, no frame, closes by itself after autoCloseMs once shown.
  void MakeSplash(int autoCloseMs);
  // The About box: "OK", and "Homepage" opening the given address.
  void MakeAbout(const QString& homepage);
  bool AutoCloses() const { return autoCloseMs_ > 0; }

 protected:
  void showEvent(QShowEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void HomepageClick();

  const std::unique_ptr<Ui::SplashWindow> ui_;
  int autoCloseMs_ = 0;
  bool timerStarted_ = false;
  QString homepage_;
};

}  // namespace sentrel::gui
