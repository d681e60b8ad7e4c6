#include "model/shard.h"

#include "platform/json_text.h"

namespace sentrel {

uint64_t ShardHash(std::string_view serverName) {
  std::string utf8;
  AppendValidUtf8(utf8, serverName);
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (char c : utf8) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

bool Shard::Watches(std::string_view serverName) const {
  return n <= 1 || static_cast<int>(ShardHash(serverName) % static_cast<uint64_t>(n)) == k - 1;
}

std::optional<Shard> Shard::Parse(std::string_view text) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  auto number = [](std::string_view digits) -> std::optional<int> {
    if (digits.empty() || digits.size() > 4) return std::nullopt;
    int v = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + (c - '0');
    }
    return v;
  };
  const auto k = number(text.substr(0, slash));
  const auto n = number(text.substr(slash + 1));
  if (!k || !n || *k < 1 || *k > *n || *n > kMaxShards) return std::nullopt;
  return Shard{*k, *n};
}

}  // namespace sentrel
