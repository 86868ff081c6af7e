// Test meshes: a grid of quads with its faces shuffled and their corners rotated, random attribute
// ids, and the adjacency found by matching each edge with the reversed edge of another face.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace lyr::test {

struct TestGrid {
  std::vector<uint32_t> idx, attr, adj;
  uint32_t vertices = 0;
};

inline TestGrid ShuffledGrid(uint32_t w, uint32_t h, uint32_t ids, uint32_t seed) {
  std::mt19937 rng(seed);
  TestGrid g;
  g.vertices = (w + 1) * (h + 1);
  std::vector<std::array<uint32_t, 3>> tris;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t a = y * (w + 1) + x, b = a + 1, d = a + w + 1, e = d + 1;
      tris.push_back({a, b, d});
      tris.push_back({d, b, e});
    }
  std::shuffle(tris.begin(), tris.end(), rng);
  for (auto& t : tris) {
    std::rotate(t.begin(), t.begin() + rng() % 3, t.end());
    g.idx.insert(g.idx.end(), t.begin(), t.end());
    g.attr.push_back(rng() % ids * 3);
  }
  const uint32_t F = static_cast<uint32_t>(tris.size());
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> edges;
  for (uint32_t f = 0; f < F; ++f)
    for (int k = 0; k < 3; ++k) edges[{g.idx[3 * f + k], g.idx[3 * f + (k + 1) % 3]}] = f;
  g.adj.assign(size_t(F) * 3, 0xFFFFFFFFu);
  for (uint32_t f = 0; f < F; ++f)
    for (int k = 0; k < 3; ++k) {
      auto it = edges.find({g.idx[3 * f + (k + 1) % 3], g.idx[3 * f + k]});
      if (it != edges.end()) g.adj[3 * f + k] = it->second;
    }
  return g;
}

}  // namespace lyr::test
