#pragma once

#include <string>
#include <string_view>

namespace sentrel {

class TextPane;

// Replaces every occurrence of pattern, left to right; inserted text is not searched
// again.
std::string ReplaceAll(std::string_view text, std::string_view pattern,
                       std::string_view replacement);

// Fills "<#server>", "<#status>", "<#date>", "<#time>", "<#msg>", "<#hist>" and
// "<#allhist>", in this order, each over the result of the one before. The histories
// come from the "Messages/Errors" pane (history may be null: empty histories).
std::string ExpandPlaceholders(std::string_view templ, const std::string& message,
                               const std::string& server, const std::string& status,
                               const TextPane* history);

// The history texts: the pane's lines without "Doing" and "Executing" (and, for a
// server, containing its name), each followed by CR LF.
std::string ServerHistory(const TextPane* history, const std::string& server);
std::string FullHistory(const TextPane* history);

}  // namespace sentrel
