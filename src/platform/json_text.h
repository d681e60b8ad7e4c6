#pragma once

#include <string>
#include <string_view>

namespace sentrel {

// Texts made fit for JSON: the status server's /status.json, webhooks, Alertmanager.

// Appends text as valid UTF-8. Valid sequences stay as they are; every other byte is
// read as Windows-1252, the code page of server files written on Windows, so "M\xfcnchen"
// becomes "München" instead of a replacement character.
void AppendValidUtf8(std::string& out, std::string_view text);
// A JSON string literal of the text (quotes included), valid UTF-8 and escaped.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace sentrel
