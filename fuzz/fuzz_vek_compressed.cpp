// Compressed forms: damaged streams give a code; any bytes compressed as a stream are read like
// the uncompressed form.
#include <zlib.h>

#include "vek_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t mode = data[0] % 3;
  ++data;
  --size;
  if (mode == 0) {
    // The input as the stream itself.
    vekfuzz::ParseAndWalk(vekfuzz::WithHeader("vkf 0303tzip0032", data, size));
    return 0;
  }
  // The input (after its own 16-byte header) compressed: both forms must agree.
  std::vector<uint8_t> plain =
      vekfuzz::WithHeader(mode == 1 ? "vkf 0303txt 0032" : "vkf 0303bin 0032", data, size);
  uLongf packedSize = compressBound(static_cast<uLong>(plain.size() - 16));
  std::vector<uint8_t> packed(16 + packedSize);
  std::memcpy(packed.data(), mode == 1 ? "vkf 0303tzip0032" : "vkf 0303bzip0032", 16);
  if (compress(packed.data() + 16, &packedSize, plain.data() + 16, plain.size() - 16) != Z_OK)
    return 0;
  packed.resize(16 + packedSize);
  LyrResult a = vekfuzz::ParseAndWalk(plain);
  LyrResult b = vekfuzz::ParseAndWalk(packed);
  if (a != b) __builtin_trap();
  return 0;
}
