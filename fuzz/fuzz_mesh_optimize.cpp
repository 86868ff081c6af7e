// Mesh optimiser core on arbitrary arrays: any input gives a result
// code, never a read or write outside the arrays; a success keeps every face's triangle.
#include <cstdint>
#include <cstring>
#include <vector>

#include "mesh/optimize_core.h"

namespace {

struct Reader {
  const uint8_t* p;
  size_t n;
  uint32_t Next(uint32_t limit) {
    uint32_t v = 0;
    for (int i = 0; i < 4 && n; ++i, --n) v = v << 8 | *p++;
    return limit ? v % limit : v;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader r{data, size};
  const uint32_t F = r.Next(64) + 1, V = r.Next(64) + 1;
  const uint32_t flags = r.Next(0) & 0xFFC00000u;
  std::vector<uint32_t> idx(F * 3), attr(F), adj(F * 3);
  // Values slightly past the valid ranges, and all ones, are the interesting ones.
  for (auto& v : idx) v = r.Next(8) == 0 ? 0xFFFFFFFFu : r.Next(V + 2);
  for (auto& a : attr) a = r.Next(4);
  for (auto& a : adj) a = r.Next(4) == 0 ? 0xFFFFFFFFu : r.Next(F + 1);
  std::vector<lyr::AttributeRange> table(r.Next(4));
  for (auto& t : table) t = {r.Next(4), r.Next(F + 1), r.Next(F + 1), r.Next(V + 1), r.Next(V + 1)};

  lyr::meshopt::CoreInput in;
  in.faceCount = F;
  in.vertexCount = V;
  in.indices = idx.data();
  in.attributes = attr.data();
  in.adjacency = adj.data();
  in.table = table.data();
  in.tableCount = static_cast<uint32_t>(table.size());
  in.flags = flags;
  in.cacheSize = r.Next(32);
  in.cacheMagic = r.Next(32);
  in.wantAdjacency = true;
  lyr::meshopt::CoreOutput out;
  try {
    if (lyr::meshopt::OptimizeCore(in, out) == lyr::Ok)
      for (uint32_t p = 0; p < out.faceCount; ++p) {
        const uint32_t f = out.faceNewToOld[p];
        if (idx[3 * f] == 0xFFFFFFFFu) continue;
        for (int c = 0; c < 3; ++c)
          if (out.vertexNewToOld[out.indices[3 * p + c]] != idx[3 * f + c]) __builtin_trap();
      }
  } catch (...) {
  }
  return 0;
}
