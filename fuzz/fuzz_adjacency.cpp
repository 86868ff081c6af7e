// Adjacency and point representatives from arbitrary faces, positions, runs, representatives and
// adjacency: a code or a result, never a read or write past the arrays; every result is
// symmetric and every representative stands for itself.
#include <cstdint>
#include <cstring>

#include "core/alloc.h"
#include "mesh/adjacency.h"

namespace {

// Reads the next byte of the input (0 once it is used up).
struct Reader {
  const uint8_t* data;
  size_t size;
  uint8_t Next() { return size ? (--size, *data++) : 0; }
};

template <class Index>
void Run(Reader& in, uint32_t faces, uint32_t vertices) {
  lyr::Block<Index> idx;
  lyr::Block<float> xyz;
  lyr::Block<uint32_t> adj, reps, given;
  if (!idx.allocate(size_t(faces) * 3) || !xyz.allocate(size_t(vertices) * 3) ||
      !adj.allocate(size_t(faces) * 3) || !reps.allocate(vertices) ||
      !given.allocate(size_t(faces) * 3)) {
    return;
  }
  for (uint32_t i = 0; i < faces * 3; ++i) {
    const uint8_t b = in.Next();
    idx[i] = b == 0xFF ? Index(~Index(0)) : Index(b % (vertices + 1));
  }
  for (uint32_t i = 0; i < vertices * 3; ++i) xyz[i] = float(in.Next() % 4) * 0.5f;
  for (uint32_t i = 0; i < faces * 3; ++i) {
    const uint8_t b = in.Next();
    given[i] = b == 0xFF ? lyr::kNoFace : b % (faces + 1);
  }
  lyr::FaceRun runs[2] = {{0, in.Next() % (faces + 1u)}, {0, 0}};
  runs[1] = {runs[0].faceCount, faces - runs[0].faceCount};
  lyr::MeshArrays<Index> m;
  m.indices = idx.get();
  m.faceCount = faces;
  m.vertexCount = vertices;
  m.positions = reinterpret_cast<const uint8_t*>(xyz.get());
  m.stride = 12;
  if (in.Next() & 1) {
    m.runs = runs;
    m.runCount = 2;
  }
  const float eps = (in.Next() & 1) ? 0.0f : 0.6f;
  if (lyr::BuildAdjacency(m, eps, adj.get()) == lyr::Ok) {
    for (uint32_t f = 0; f < faces; ++f) {
      for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t g = adj[f * 3 + k];
        if (g == lyr::kNoFace) continue;
        if (g >= faces) __builtin_trap();
        if (adj[g * 3] != f && adj[g * 3 + 1] != f && adj[g * 3 + 2] != f) __builtin_trap();
      }
    }
  }
  const uint32_t* sources[2] = {adj.get(), given.get()};
  for (const uint32_t* a : sources) {
    if (lyr::PointRepsFromAdjacency(m, a, reps.get()) != lyr::Ok) continue;
    for (uint32_t v = 0; v < vertices; ++v) {
      if (reps[v] >= vertices || reps[reps[v]] != reps[v]) __builtin_trap();
    }
    lyr::AdjacencyFromPointReps(m, reps.get(), adj.get());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const uint32_t faces = 1 + in.Next() % 24, vertices = 1 + in.Next() % 32;
  if (in.Next() & 1) {
    Run<uint16_t>(in, faces, vertices);
  } else {
    Run<uint32_t>(in, faces, vertices);
  }
  return 0;
}
