// Text reader: any bytes after a text header give a code, never a crash or a read past the input;
// whatever reads comes back the same through every written form.
#include "vek_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes = vekfuzz::WithHeader("vkf 0303txt 0032", data, size);
  if (size >= 16 && std::memcmp(data + 12, "0064", 4) == 0)
    std::memcpy(bytes.data() + 12, "0064", 4);
  if (vekfuzz::ParseAndWalk(bytes) == lyr::Ok) vekfuzz::CheckRoundTrip(bytes);
  return 0;
}
