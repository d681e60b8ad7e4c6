#include "gui/help_manual.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>

namespace sentrel::gui {

namespace {
std::function<void(const QUrl&)>& Opener() {
  static std::function<void(const QUrl&)> opener;
  return opener;
}
}  // namespace

QString FindManual() {
  // The program lives in <prefix>/bin; the manual in <prefix>/share/doc/sentrel.
  const QDir prefix(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
  const QString doc = prefix.absoluteFilePath(QStringLiteral("share/doc/sentrel/"));
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

void OpenExternal(const QUrl& url) {
  if (Opener()) {
    Opener()(url);
    return;
  }
  QDesktopServices::openUrl(url);
}

void SetExternalOpener(std::function<void(const QUrl&)> opener) { Opener() = std::move(opener); }

}  // namespace sentrel::gui
