// The comma form of a monitor's Data items.
#include <cstdint>
#include <string>

#include "model/comma_text.h"

using namespace sentrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto items = FromCommaText(text);
  // Items the program writes come back whole (an empty item among others cannot be
  // written, so such lists are left out).
  bool writable = true;
  for (const auto& i : items)
    if (i.empty() || i.find('\0') != std::string::npos) writable = false;
  if (writable && FromCommaText(ToCommaText(items)) != items) __builtin_trap();
  return 0;
}
