// A log line split into words.
#include <cstdint>
#include <string>

#include "reports/log_words.h"

using namespace sentrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  auto words = SplitLogWords(line);
  size_t total = 0;
  for (const auto& w : words) total += w.size();
  if (total > line.size()) __builtin_trap();
  return 0;
}
