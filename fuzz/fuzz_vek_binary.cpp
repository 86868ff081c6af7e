// Binary reader: any token stream after a binary header (float width taken from the input's own
// header) gives a code, never a crash or a read past the input; whatever reads comes back the
// same through every written form.
#include "vek_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool wide = size >= 16 && std::memcmp(data + 12, "0064", 4) == 0;
  std::vector<uint8_t> bytes =
      vekfuzz::WithHeader(wide ? "vkf 0303bin 0064" : "vkf 0303bin 0032", data, size);
  if (vekfuzz::ParseAndWalk(bytes) == lyr::Ok) vekfuzz::CheckRoundTrip(bytes);
  return 0;
}
