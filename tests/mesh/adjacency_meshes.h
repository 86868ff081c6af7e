// Small indexed triangle lists for the adjacency tests, and brute-force references.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "mesh/adjacency.h"

namespace lyr::test {

struct TestMesh {
  std::vector<float> xyz;  // three per vertex
  std::vector<uint32_t> idx;
  std::vector<FaceRun> runs;

  uint32_t Faces() const { return uint32_t(idx.size() / 3); }
  uint32_t Vertices() const { return uint32_t(xyz.size() / 3); }
  uint32_t AddVertex(float x, float y, float z) {
    xyz.push_back(x);
    xyz.push_back(y);
    xyz.push_back(z);
    return Vertices() - 1;
  }
  void AddFace(uint32_t a, uint32_t b, uint32_t c) { idx.insert(idx.end(), {a, b, c}); }

  template <class Index = uint32_t>
  MeshArrays<Index> Arrays(const std::vector<Index>& indices) const {
    MeshArrays<Index> m;
    m.indices = indices.data();
    m.faceCount = Faces();
    m.vertexCount = Vertices();
    m.positions = reinterpret_cast<const uint8_t*>(xyz.data());
    m.stride = 12;
    m.runs = runs.empty() ? nullptr : runs.data();
    m.runCount = uint32_t(runs.size());
    return m;
  }
  MeshArrays<uint32_t> Arrays() const { return Arrays<uint32_t>(idx); }
  std::vector<uint16_t> Indices16() const { return {idx.begin(), idx.end()}; }
};

// An nx by ny grid of quads in the z = 0 plane, two triangles each.
inline TestMesh Grid(uint32_t nx, uint32_t ny) {
  TestMesh m;
  for (uint32_t j = 0; j <= ny; ++j)
    for (uint32_t i = 0; i <= nx; ++i) m.AddVertex(float(i), float(j), 0.0f);
  for (uint32_t j = 0; j < ny; ++j) {
    for (uint32_t i = 0; i < nx; ++i) {
      const uint32_t a = j * (nx + 1) + i, b = a + 1, c = a + nx + 1, d = c + 1;
      m.AddFace(a, b, d);
      m.AddFace(a, d, c);
    }
  }
  return m;
}

// A closed sphere of `slices` x `stacks`. Welded: one vertex per place. Unwelded: the seam column
// is repeated (bit-identical positions) and each pole has one copy per slice.
inline TestMesh Sphere(uint32_t slices, uint32_t stacks, bool welded) {
  TestMesh m;
  const float pi = 3.14159265f;
  auto pos = [&](uint32_t i, uint32_t j) {
    const float th = pi * float(j) / float(stacks), ph = 2 * pi * float(i % slices) / float(slices);
    return std::make_pair(th, ph);
  };
  const uint32_t cols = welded ? slices : slices + 1;
  auto add = [&](uint32_t i, uint32_t j) {
    auto [th, ph] = pos(i, j);
    return m.AddVertex(std::sin(th) * std::cos(ph), std::cos(th), std::sin(th) * std::sin(ph));
  };
  std::vector<uint32_t> top, bottom;
  for (uint32_t i = 0; i < (welded ? 1 : slices); ++i) top.push_back(m.AddVertex(0, 1, 0));
  std::vector<uint32_t> ring;  // (stacks - 1) rows of cols
  for (uint32_t j = 1; j < stacks; ++j)
    for (uint32_t i = 0; i < cols; ++i) ring.push_back(add(i, j));
  for (uint32_t i = 0; i < (welded ? 1 : slices); ++i) bottom.push_back(m.AddVertex(0, -1, 0));
  auto at = [&](uint32_t i, uint32_t j) {
    return ring[(j - 1) * cols + (welded ? i % slices : i)];
  };
  for (uint32_t i = 0; i < slices; ++i) {
    const uint32_t t = top[welded ? 0 : i], b = bottom[welded ? 0 : i];
    m.AddFace(t, at(i + 1, 1), at(i, 1));
    for (uint32_t j = 1; j + 1 < stacks; ++j) {
      m.AddFace(at(i, j), at(i + 1, j), at(i + 1, j + 1));
      m.AddFace(at(i, j), at(i + 1, j + 1), at(i, j + 1));
    }
    m.AddFace(b, at(i, stacks - 1), at(i + 1, stacks - 1));
  }
  return m;
}

// Random triangles over a coarse lattice, so places coincide and edges are shared often; some
// faces repeat a vertex or are unused.
inline TestMesh Soup(std::mt19937& rng, uint32_t faces, uint32_t lattice, bool jitter) {
  TestMesh m;
  std::uniform_int_distribution<uint32_t> cell(0, lattice - 1);
  std::uniform_real_distribution<float> small(-0.01f, 0.01f);
  const uint32_t verts = faces + 3;
  for (uint32_t v = 0; v < verts; ++v) {
    float x = float(cell(rng)), y = float(cell(rng)), z = float(cell(rng) % 2);
    if (jitter) {
      x += small(rng);
      y += small(rng);
    }
    m.AddVertex(x, y, z);
  }
  std::uniform_int_distribution<uint32_t> vert(0, verts - 1);
  for (uint32_t f = 0; f < faces; ++f) {
    const uint32_t kind = rng() % 16;
    if (kind == 0) {
      m.AddFace(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu);
    } else if (kind == 1) {
      const uint32_t a = vert(rng);
      m.AddFace(a, a, vert(rng));
    } else {
      m.AddFace(vert(rng), vert(rng), vert(rng));
    }
  }
  return m;
}

// Reorders the faces randomly (and rotates each one's corners).
inline void ShuffleFaces(TestMesh& m, std::mt19937& rng) {
  std::vector<uint32_t> order(m.Faces());
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<uint32_t> idx;
  for (uint32_t f : order) {
    const uint32_t r = rng() % 3;
    for (uint32_t k = 0; k < 3; ++k) idx.push_back(m.idx[f * 3 + (k + r) % 3]);
  }
  m.idx = idx;
}

// Two triangles over the unit square sharing the diagonal 0-2 (or its duplicate 4-5).
inline TestMesh Square(bool duplicated) {
  TestMesh m;
  m.AddVertex(0, 0, 0);
  m.AddVertex(1, 0, 0);
  m.AddVertex(1, 1, 0);
  m.AddVertex(0, 1, 0);
  m.AddFace(0, 1, 2);
  if (duplicated) {
    const uint32_t a = m.AddVertex(0, 0, 0), c = m.AddVertex(1, 1, 0);
    m.AddFace(a, c, 3);
  } else {
    m.AddFace(0, 2, 3);
  }
  return m;
}

// Union-find over vertices.
struct Groups {
  std::vector<uint32_t> parent;
  explicit Groups(uint32_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0u); }
  uint32_t Find(uint32_t v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
  }
  void Join(uint32_t a, uint32_t b) { parent[Find(a)] = Find(b); }
};

}  // namespace lyr::test
