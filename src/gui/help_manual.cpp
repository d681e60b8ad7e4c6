#include "gui/help_manual.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace sentrel::gui {

namespace {
std::function<bool(const QUrl&)>& Opener() {
  static std::function<bool(const QUrl&)> opener;
  return opener;
}

QString DocDir() {
  // The program lives in <prefix>/bin; the manual in <prefix>/share/doc/sentrel.
  const QDir prefix(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
  return QDir::cleanPath(prefix.absoluteFilePath(QStringLiteral("share/doc/sentrel")));
}
}  // namespace

QString InstalledManualPath() {
  return DocDir() + QStringLiteral("/manual.html");
}

QString FindManual() {
  const QString doc = DocDir() + QLatin1Char('/');
  QStringList candidates{doc + QStringLiteral("manual.html"), doc + QStringLiteral("manual.md")};
#ifdef SENTREL_SOURCE_TREE
  // A program run from its build tree: the manual and the README of its sources.
  candidates << QStringLiteral(SENTREL_SOURCE_TREE "/docs/manual.md")
             << QStringLiteral(SENTREL_SOURCE_TREE "/README.md");
#endif
  for (const QString& path : candidates)
    if (QFileInfo(path).isFile()) return QFileInfo(path).canonicalFilePath();
  return QString();
}

void OpenExternal(const QUrl& url, std::function<void(const QString&)> failed) {
  if (Opener()) {
    if (!Opener()(url) && failed) failed(QStringLiteral("no program to show it was found"));
    return;
  }
  const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (xdgOpen.isEmpty()) {
    if (!QDesktopServices::openUrl(url) && failed)
      failed(QStringLiteral("no program to show it was found"));
    return;
  }
  // xdg-open says by its exit code whether a viewer took the address; started detached,
  // its failure would go unnoticed. The process has no parent: one still running when
  // Sentrel ends (a browser started in the foreground) is left to run, not killed.
  auto* opener = new QProcess;
  opener->setProgram(xdgOpen);
  opener->setArguments({url.isLocalFile() ? url.toLocalFile() : url.toString()});
  opener->setStandardOutputFile(QProcess::nullDevice());
  opener->setStandardErrorFile(QProcess::nullDevice());
  QObject::connect(opener, &QProcess::finished, opener,
                   [opener, failed](int code, QProcess::ExitStatus status) {
                     opener->deleteLater();
                     if ((status != QProcess::NormalExit || code != 0) && failed)
                       failed(QStringLiteral("xdg-open ended with code %1").arg(code));
                   });
  QObject::connect(opener, &QProcess::errorOccurred, opener,
                   [opener, failed](QProcess::ProcessError error) {
                     if (error != QProcess::FailedToStart) return;
                     opener->deleteLater();
                     if (failed) failed(QStringLiteral("xdg-open could not be started"));
                   });
  opener->start();
}

void SetExternalOpener(std::function<bool(const QUrl&)> opener) {
  Opener() = std::move(opener);
}

}  // namespace sentrel::gui
