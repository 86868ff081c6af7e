// Identifier text parser: any bytes give true or false, never a read past the input.
#include <cstdint>
#include <cstring>

#include "core/alloc.h"
#include "lyr/guid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* text = static_cast<char*>(lyr::Alloc(size + 1));
  if (!text) return 0;
  std::memcpy(text, data, size);
  text[size] = '\0';
  lyr::Guid g{};
  if (lyr::ParseGuid(text, &g)) {
    char back[37];
    lyr::FormatGuid(g, back);
    lyr::Guid again{};
    if (!lyr::ParseGuid(back, &again) || !(again == g)) __builtin_trap();
  }
  lyr::Free(text);
  return 0;
}
