#pragma once

#include <QString>
#include <QUrl>
#include <functional>

namespace sentrel::gui {

// The user manual that Help opens: the installed one (share/doc/sentrel/manual.html, or
// manual.md, beside the program's prefix), else the manual of the source tree the
// program was built from, else that tree's README. Empty when none exists.
QString FindManual();
// Where the installed manual belongs, for the message that says it is missing.
QString InstalledManualPath();

// Opens an address in the desktop's browser or viewer. `failed` runs, from the loop and
// perhaps much later, when no program could show it: the desktop's opener did not start
// or ended with a failure. Tests replace the opener, so nothing is launched while they
// run; theirs answers at once whether it "opened" the address.
void OpenExternal(const QUrl& url, std::function<void(const QString& why)> failed = {});
void SetExternalOpener(std::function<bool(const QUrl&)> opener);

}  // namespace sentrel::gui
