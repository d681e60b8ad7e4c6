#pragma once

#include <QString>
#include <string>

namespace sentrel::gui {

// The core keeps texts as bytes: UTF-8 from this program, but a server file from
// elsewhere may hold Latin-1. Bytes that are not valid UTF-8 are shown as Latin-1
// rather than as replacement marks.
QString ToQ(const std::string& text);
std::string ToStd(const QString& text);

}  // namespace sentrel::gui
