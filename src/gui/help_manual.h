#pragma once

#include <QString>
#include <QUrl>
#include <functional>

namespace sentrel::gui {

// The user manual that Help opens: the installed one (share/doc/sentrel/manual.html, or
// manual.md, beside the program's prefix), else the manual of the source tree the
// program was built from, else that tree's README. Empty when none exists.
QString FindManual();

// Opens an address in the desktop's browser or viewer. Tests replace the opener, so
// nothing is launched while they run.
void OpenExternal(const QUrl& url);
void SetExternalOpener(std::function<void(const QUrl&)> opener);

}  // namespace sentrel::gui
