#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sentrel {

// The comma form of a monitor's Data items: items joined by ",", an item quoted (quotes
// doubled) when it holds a character of code 32 or lower, a double quote or a comma; a
// single empty item is written as two double quotes.
std::string ToCommaText(const std::vector<std::string>& items);
// Reads the comma form; an unquoted blank ends an item, a quoted item runs to its
// closing quote.
std::vector<std::string> FromCommaText(std::string_view text);

}  // namespace sentrel
