#include "gui/splash_window.h"

#include <QTimer>
#include <QUrl>

#include "gui/help_manual.h"
#include "gui/status_lights.h"
#include "ui_splash_window.h"

namespace sentrel::gui {

SplashWindow::SplashWindow(QWidget* parent) : QDialog(parent), ui_(new Ui::SplashWindow) {
  ui_->setupUi(this);
  ui_->Picture->setPixmap(SentrelPicture(128));
  QFont big = ui_->ProductName->font();
  big.setPointSizeF(big.pointSizeF() * 2.2);
  big.setBold(true);
  ui_->ProductName->setFont(big);
  connect(ui_->OKButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(ui_->HomepageButton, &QPushButton::clicked, this, &SplashWindow::HomepageClick);
}

SplashWindow::~SplashWindow() = default;

void SplashWindow::SetVersion(const QString& line) {
  ui_->Version->setText(line);
  ui_->Version->setAccessibleName(line);
}

void SplashWindow::MakeSplash(int autoCloseMs) {
  autoCloseMs_ = autoCloseMs;
  ui_->OKButton->hide();
  ui_->HomepageButton->hide();
  setWindowTitle(QStringLiteral("Sentrel starting"));
  setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint);
}

void SplashWindow::MakeAbout(const QString& homepage) {
  autoCloseMs_ = 0;
  homepage_ = homepage;
  setWindowTitle(QStringLiteral("About Sentrel"));
  ui_->OKButton->show();
  ui_->HomepageButton->show();
  ui_->HomepageButton->setEnabled(!homepage.isEmpty());
}

void SplashWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (autoCloseMs_ > 0 && !timerStarted_) {
    timerStarted_ = true;
    QTimer::singleShot(autoCloseMs_, this, &QDialog::accept);
  }
}

void SplashWindow::mousePressEvent(QMouseEvent* event) {
  QDialog::mousePressEvent(event);
  accept();
}

void SplashWindow::HomepageClick() {
  if (homepage_.isEmpty()) return;
  const QUrl url = QUrl::fromUserInput(homepage_);
  OpenExternal(url);
}

}  // namespace sentrel::gui
