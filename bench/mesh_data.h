// Triangle meshes for the mesh benchmarks: shuffled grids, an ASCII/binary PLY reader for the
// optional scanned models fetched by scripts/fetch-data.sh, and edge-matching adjacency.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace lyr::bench {

struct TriMesh {
  std::vector<float> positions;   // x, y, z per vertex
  std::vector<uint32_t> indices;  // three per face
  uint32_t VertexCount() const { return static_cast<uint32_t>(positions.size() / 3); }
  uint32_t FaceCount() const { return static_cast<uint32_t>(indices.size() / 3); }
};

// A grid of w x h quads, two triangles each, with the faces in random order.
inline TriMesh ShuffledGrid(uint32_t w, uint32_t h, uint32_t seed = 1) {
  TriMesh m;
  for (uint32_t y = 0; y <= h; ++y)
    for (uint32_t x = 0; x <= w; ++x)
      m.positions.insert(m.positions.end(), {float(x), float(y), 0});
  std::vector<uint32_t> faces;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t a = y * (w + 1) + x, b = a + 1, d = a + w + 1, e = d + 1;
      faces.insert(faces.end(), {a, b, d, d, b, e});
    }
  const uint32_t F = static_cast<uint32_t>(faces.size() / 3);
  std::vector<uint32_t> order(F);
  for (uint32_t i = 0; i < F; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  m.indices.resize(faces.size());
  for (uint32_t i = 0; i < F; ++i) std::copy_n(&faces[3 * order[i]], 3, &m.indices[3 * i]);
  return m;
}

// Reads the vertex positions and the faces (fans of polygons) of a PLY file in ascii or
// binary_little_endian form. Returns false when the file is missing or not understood.
inline bool ReadPly(const std::string& path, TriMesh& m) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<char> data;
  char chunk[1 << 16];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
    data.insert(data.end(), chunk, chunk + n);
  std::fclose(f);
  data.push_back(0);
  const char* p = data.data();
  const char* end = p + data.size() - 1;
  auto line = [&]() {
    const char* s = p;
    while (p < end && *p != '\n') ++p;
    std::string l(s, p);
    if (p < end) ++p;
    if (!l.empty() && l.back() == '\r') l.pop_back();
    return l;
  };
  if (line() != "ply") return false;
  bool binary = false;
  uint64_t nv = 0, nf = 0;
  std::vector<std::string> vprops;
  char element = 0;  // 'v', 'f' or '?' for the element whose header lines follow
  for (;;) {
    if (p >= end) return false;
    std::string l = line();
    if (l == "end_header") break;
    if (l.rfind("format", 0) == 0) binary = l.find("binary_little_endian") != std::string::npos;
    if (l.rfind("element vertex ", 0) == 0)
      nv = std::strtoull(l.c_str() + 15, nullptr, 10), element = 'v';
    else if (l.rfind("element face ", 0) == 0)
      nf = std::strtoull(l.c_str() + 13, nullptr, 10), element = 'f';
    else if (l.rfind("element", 0) == 0)
      element = '?';
    else if (l.rfind("property", 0) == 0 && element == 'v')
      vprops.push_back(l);
  }
  for (const std::string& pr : vprops)
    if (binary && pr.find("property float ") != 0) return false;
  if (nv > 50000000 || nf > 100000000) return false;
  m.positions.assign(nv * 3, 0);
  m.indices.clear();
  char* q = nullptr;
  for (uint64_t v = 0; v < nv; ++v)
    for (size_t k = 0; k < vprops.size(); ++k) {
      float x;
      if (binary) {
        if (end - p < 4) return false;
        std::memcpy(&x, p, 4);
        p += 4;
      } else {
        x = std::strtof(p, &q);
        if (q == p) return false;
        p = q;
      }
      if (k < 3) m.positions[v * 3 + k] = x;
    }
  for (uint64_t i = 0; i < nf; ++i) {
    uint32_t n;
    if (binary) {
      if (p >= end) return false;
      n = static_cast<uint8_t>(*p++);
    } else {
      n = static_cast<uint32_t>(std::strtoul(p, &q, 10));
      if (q == p) return false;
      p = q;
    }
    uint32_t poly[64];
    if (n > 64) return false;
    for (uint32_t k = 0; k < n; ++k) {
      if (binary) {
        if (end - p < 4) return false;
        std::memcpy(&poly[k], p, 4);
        p += 4;
      } else {
        poly[k] = static_cast<uint32_t>(std::strtoul(p, &q, 10));
        if (q == p) return false;
        p = q;
      }
      if (poly[k] >= nv) return false;
    }
    for (uint32_t k = 2; k < n; ++k)
      m.indices.insert(m.indices.end(), {poly[0], poly[k - 1], poly[k]});
  }
  return true;
}

// Adjacency by matching each edge with the reversed edge of another face (the last such face
// wins); 0xFFFFFFFF for none.
inline std::vector<uint32_t> EdgeAdjacency(const TriMesh& m) {
  const uint32_t F = m.FaceCount();
  std::unordered_map<uint64_t, uint32_t> edges;
  edges.reserve(size_t(F) * 3);
  auto key = [](uint32_t a, uint32_t b) { return (uint64_t(a) << 32) | b; };
  for (uint32_t f = 0; f < F; ++f)
    for (int k = 0; k < 3; ++k)
      edges[key(m.indices[3 * f + k], m.indices[3 * f + (k + 1) % 3])] = f;
  std::vector<uint32_t> adj(size_t(F) * 3, 0xFFFFFFFFu);
  for (uint32_t f = 0; f < F; ++f)
    for (int k = 0; k < 3; ++k) {
      auto it = edges.find(key(m.indices[3 * f + (k + 1) % 3], m.indices[3 * f + k]));
      if (it != edges.end() && it->second != f) adj[3 * f + k] = it->second;
    }
  return adj;
}

// The dragon scan of the given resolution ("res2", "res3", "" for full) from the data cache, or
// false when scripts/fetch-data.sh has not been run.
inline bool LoadDragon(const char* res, TriMesh& m, std::string* path = nullptr) {
  const char* dir = std::getenv("LYR_DATA_DIR");
  std::string base =
      dir ? dir : std::string(std::getenv("HOME") ? std::getenv("HOME") : ".") + "/.cache/lyr-data";
  std::string file = base + "/dragon/dragon_vrip" + (*res ? std::string("_") + res : "") + ".ply";
  if (path) *path = file;
  return ReadPly(file, m);
}

// The bunny scan (npm package "bunny": JavaScript arrays `positions` and `cells`) from the data
// cache, or false when it is absent or not in that form.
inline bool LoadBunny(TriMesh& m) {
  const char* dir = std::getenv("LYR_DATA_DIR");
  std::string base =
      dir ? dir : std::string(std::getenv("HOME") ? std::getenv("HOME") : ".") + "/.cache/lyr-data";
  FILE* f = std::fopen((base + "/bunny/index.js").c_str(), "rb");
  if (!f) return false;
  std::string text;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  const size_t pos = text.find("positions"), cells = text.find("cells");
  if (pos == std::string::npos || cells == std::string::npos || cells < pos) return false;
  m = TriMesh();
  const char* p = text.c_str() + pos + 9;
  const char* end = text.c_str() + cells;
  while (p < end) {
    if (std::strchr("-0123456789.", *p)) {
      char* q = nullptr;
      const float v = std::strtof(p, &q);
      if (q == p) {
        ++p;  // a lone sign or dot
        continue;
      }
      m.positions.push_back(v);
      p = q;
    } else {
      ++p;
    }
  }
  p = end + 5;
  while (*p) {
    if (*p >= '0' && *p <= '9') {
      char* q = nullptr;
      m.indices.push_back(static_cast<uint32_t>(std::strtoul(p, &q, 10)));
      p = q;
    } else {
      ++p;
    }
  }
  if (m.positions.size() % 3 || m.indices.size() % 3 || m.indices.empty()) return false;
  for (uint32_t v : m.indices)
    if (v >= m.VertexCount()) return false;
  return true;
}

}  // namespace lyr::bench
