// A mesh on plain arrays, as the optimiser core's tests hand it over.
#pragma once

#include <vector>

#include "mesh/optimize_core.h"

namespace lyr::meshopt {

struct CoreCase {
  std::vector<uint32_t> idx, attr, adj;
  uint32_t vertices = 0;
  std::vector<AttributeRange> table;
  // The input with these flags; adjacency is given and asked for when the case has it.
  CoreInput Input(uint32_t flags) const {
    CoreInput in;
    in.faceCount = static_cast<uint32_t>(attr.size());
    in.vertexCount = vertices;
    in.indices = idx.data();
    in.attributes = attr.data();
    in.adjacency = adj.empty() ? nullptr : adj.data();
    in.table = table.empty() ? nullptr : table.data();
    in.tableCount = static_cast<uint32_t>(table.size());
    in.flags = flags;
    in.wantAdjacency = !adj.empty();
    return in;
  }
};

}  // namespace lyr::meshopt
