#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sentrel {

// One of N Sentrels that share a server file (--shard K/N): each watches the servers whose
// name falls to it, so together they watch every server once. A server falls to shard
// ShardHash(name) % N + 1. The hash is FNV-1a of 64 bits over the name's UTF-8 bytes (a
// name in Windows-1252 is read as UTF-8 first, as everywhere else), so it stays the same
// across runs, machines and versions, and renaming a server may move it.
struct Shard {
  int k = 1;
  int n = 1;

  bool Sharded() const { return n > 1; }
  bool Watches(std::string_view serverName) const;
  // "2/3".
  std::string Text() const { return std::to_string(k) + "/" + std::to_string(n); }
  // "K/N" with 1 <= K <= N <= kMaxShards, or nothing.
  static std::optional<Shard> Parse(std::string_view text);
  static constexpr int kMaxShards = 1000;
};

// FNV-1a, 64 bits (offset basis 0xcbf29ce484222325, prime 0x100000001b3), of the name
// as UTF-8.
uint64_t ShardHash(std::string_view serverName);

}  // namespace sentrel
