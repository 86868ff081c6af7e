// A sampled estimate of the symmetric Hausdorff distance between two triangle meshes: points on
// each surface (vertices and area-weighted random points), each measured to the other surface
// through a uniform grid of its triangles.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace lyr::bench {

struct Vec3 {
  double x, y, z;
};
inline Vec3 operator-(Vec3 a, Vec3 b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec3 operator+(Vec3 a, Vec3 b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3 operator*(Vec3 a, double s) {
  return {a.x * s, a.y * s, a.z * s};
}
inline double Dot(Vec3 a, Vec3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

// Squared distance from p to triangle abc (closest point by regions).
inline double PointTriangle2(Vec3 p, Vec3 a, Vec3 b, Vec3 c) {
  const Vec3 ab = b - a, ac = c - a, ap = p - a;
  const double d1 = Dot(ab, ap), d2 = Dot(ac, ap);
  auto d = [&](Vec3 q) { return Dot(p - q, p - q); };
  if (d1 <= 0 && d2 <= 0) return d(a);
  const Vec3 bp = p - b;
  const double d3 = Dot(ab, bp), d4 = Dot(ac, bp);
  if (d3 >= 0 && d4 <= d3) return d(b);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0 && d1 >= 0 && d3 <= 0) return d(a + ab * (d1 / (d1 - d3)));
  const Vec3 cp = p - c;
  const double d5 = Dot(ab, cp), d6 = Dot(ac, cp);
  if (d6 >= 0 && d5 <= d6) return d(c);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0 && d2 >= 0 && d6 <= 0) return d(a + ac * (d2 / (d2 - d6)));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0)
    return d(b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6))));
  const double den = 1.0 / (va + vb + vc);
  return d(a + ab * (vb * den) + ac * (vc * den));
}

// Triangles in a uniform grid of about one triangle per cell; nearest-surface queries.
class TriangleGrid {
 public:
  TriangleGrid(const std::vector<float>& pos, const std::vector<uint32_t>& idx)
      : pos_(pos), idx_(idx) {
    const size_t n = idx.size() / 3;
    lo_ = {1e300, 1e300, 1e300};
    Vec3 hi{-1e300, -1e300, -1e300};
    for (uint32_t v : idx) {
      const Vec3 p = P(v);
      lo_ = {std::min(lo_.x, p.x), std::min(lo_.y, p.y), std::min(lo_.z, p.z)};
      hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    }
    const Vec3 ext = hi - lo_;
    const double diag = std::sqrt(Dot(ext, ext));
    cell_ = std::max(diag * 1e-6,
                     std::cbrt(std::max(ext.x, diag * 1e-3) * std::max(ext.y, diag * 1e-3) *
                               std::max(ext.z, diag * 1e-3) / double(n + 1)) *
                         2);
    for (int a = 0; a < 3; ++a)
      dim_[a] = std::min(512, int((a == 0 ? ext.x : a == 1 ? ext.y : ext.z) / cell_) + 1);
    start_.assign(size_t(dim_[0]) * dim_[1] * dim_[2] + 1, 0);
    int l[3], h[3];
    for (uint32_t t = 0; t < n; ++t) {
      Bounds(t, l, h);
      for (int z = l[2]; z <= h[2]; ++z)
        for (int y = l[1]; y <= h[1]; ++y)
          for (int x = l[0]; x <= h[0]; ++x) ++start_[Cell(x, y, z) + 1];
    }
    for (size_t i = 1; i < start_.size(); ++i) start_[i] += start_[i - 1];
    items_.resize(start_.back());
    std::vector<uint32_t> fill(start_.begin(), start_.end() - 1);
    for (uint32_t t = 0; t < n; ++t) {
      Bounds(t, l, h);
      for (int z = l[2]; z <= h[2]; ++z)
        for (int y = l[1]; y <= h[1]; ++y)
          for (int x = l[0]; x <= h[0]; ++x) items_[fill[Cell(x, y, z)]++] = t;
    }
  }

  // Distance from p to the nearest triangle.
  double Distance(Vec3 p) const {
    int c[3];
    const double q[3] = {p.x - lo_.x, p.y - lo_.y, p.z - lo_.z};
    for (int a = 0; a < 3; ++a) c[a] = std::clamp(int(std::floor(q[a] / cell_)), 0, dim_[a] - 1);
    double best = 1e300;
    const int maxR = std::max(dim_[0], std::max(dim_[1], dim_[2]));
    for (int r = 0; r <= maxR; ++r) {
      // Every point outside the shells searched so far is at least (r - 1) cells away.
      if (r > 0 && best <= (double(r - 1) * cell_) * (double(r - 1) * cell_)) break;
      for (int z = c[2] - r; z <= c[2] + r; ++z) {
        if (z < 0 || z >= dim_[2]) continue;
        for (int y = c[1] - r; y <= c[1] + r; ++y) {
          if (y < 0 || y >= dim_[1]) continue;
          const bool edge = z == c[2] - r || z == c[2] + r || y == c[1] - r || y == c[1] + r;
          for (int x = c[0] - r; x <= c[0] + r; x += (edge ? 1 : 2 * r)) {
            if (x >= 0 && x < dim_[0]) {
              const size_t cell = Cell(x, y, z);
              for (uint32_t i = start_[cell]; i < start_[cell + 1]; ++i) {
                const uint32_t t = items_[i];
                best = std::min(best, PointTriangle2(p, P(idx_[3 * t]), P(idx_[3 * t + 1]),
                                                     P(idx_[3 * t + 2])));
              }
            }
            if (r == 0) break;
          }
        }
      }
    }
    return std::sqrt(best);
  }

 private:
  Vec3 P(uint32_t v) const { return {pos_[3 * v], pos_[3 * v + 1], pos_[3 * v + 2]}; }
  size_t Cell(int x, int y, int z) const { return (size_t(z) * dim_[1] + y) * dim_[0] + x; }
  void Bounds(uint32_t t, int l[3], int h[3]) const {
    for (int a = 0; a < 3; ++a) {
      l[a] = dim_[a] - 1;
      h[a] = 0;
    }
    for (int k = 0; k < 3; ++k) {
      const Vec3 p = P(idx_[3 * t + k]) - lo_;
      const double q[3] = {p.x, p.y, p.z};
      for (int a = 0; a < 3; ++a) {
        const int c = std::clamp(int(std::floor(q[a] / cell_)), 0, dim_[a] - 1);
        l[a] = std::min(l[a], c);
        h[a] = std::max(h[a], c);
      }
    }
  }
  const std::vector<float>& pos_;
  const std::vector<uint32_t>& idx_;
  Vec3 lo_;
  double cell_ = 1;
  int dim_[3] = {1, 1, 1};
  std::vector<uint32_t> start_, items_;
};

// Points on a mesh: up to `vertices` of its used vertices (evenly picked) and `random`
// area-weighted points, from a fixed seed. The faces are first put in an order of their corner
// positions, so that the same surface gives the same points however its faces and vertices are
// numbered (the levels of a progressive mesh and a plain simplifier's output number them
// differently).
inline std::vector<Vec3> SamplePoints(const std::vector<float>& pos,
                                      const std::vector<uint32_t>& idx, size_t vertices,
                                      size_t random) {
  std::vector<Vec3> out;
  std::vector<char> used(pos.size() / 3, 0);
  for (uint32_t v : idx) used[v] = 1;
  std::vector<uint32_t> live;
  for (uint32_t v = 0; v < used.size(); ++v)
    if (used[v]) live.push_back(v);
  const auto before = [&](uint32_t a, uint32_t b) {
    for (int c = 0; c < 3; ++c)
      if (pos[3 * a + c] != pos[3 * b + c]) return pos[3 * a + c] < pos[3 * b + c];
    return a < b;
  };
  std::sort(live.begin(), live.end(), before);
  const size_t step = std::max<size_t>(1, live.size() / std::max<size_t>(1, vertices));
  for (size_t i = 0; i < live.size(); i += step)
    out.push_back({pos[3 * live[i]], pos[3 * live[i] + 1], pos[3 * live[i] + 2]});
  const size_t n = idx.size() / 3;
  // Each face as its corners from the least position on (same winding), faces by those corners.
  std::vector<std::array<uint32_t, 3>> faces(n);
  for (size_t t = 0; t < n; ++t) {
    std::array<uint32_t, 3> f = {idx[3 * t], idx[3 * t + 1], idx[3 * t + 2]};
    const int first = before(f[1], f[0])   ? (before(f[2], f[1]) ? 2 : 1)
                      : before(f[2], f[0]) ? 2
                                           : 0;
    std::rotate(f.begin(), f.begin() + first, f.end());
    faces[t] = f;
  }
  std::sort(faces.begin(), faces.end(), [&](const auto& x, const auto& y) {
    for (int k = 0; k < 3; ++k)
      if (x[k] != y[k]) return before(x[k], y[k]);
    return false;
  });
  std::vector<double> area(n + 1, 0.0);
  auto P = [&](uint32_t v) { return Vec3{pos[3 * v], pos[3 * v + 1], pos[3 * v + 2]}; };
  for (size_t t = 0; t < n; ++t) {
    const Vec3 a = P(faces[t][0]), u = P(faces[t][1]) - a, w = P(faces[t][2]) - a;
    const Vec3 c{u.y * w.z - u.z * w.y, u.z * w.x - u.x * w.z, u.x * w.y - u.y * w.x};
    area[t + 1] = area[t] + std::sqrt(Dot(c, c));
  }
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> U(0.0, 1.0);
  for (size_t i = 0; i < random && area[n] > 0; ++i) {
    const double r = U(rng) * area[n];
    const size_t t = size_t(std::upper_bound(area.begin(), area.end(), r) - area.begin()) - 1;
    double s = U(rng), q = U(rng);
    if (s + q > 1) {
      s = 1 - s;
      q = 1 - q;
    }
    const std::array<uint32_t, 3>& f = faces[std::min(t, n - 1)];
    const Vec3 a = P(f[0]), b = P(f[1]), c = P(f[2]);
    out.push_back(a + (b - a) * s + (c - a) * q);
  }
  return out;
}

// The larger of the two one-sided distances, each the largest distance of the sampled points of
// one mesh to the other surface, over the diagonal of mesh a's bounding box.
inline double SymmetricHausdorff(const std::vector<float>& posA, const std::vector<uint32_t>& a,
                                 const std::vector<float>& posB, const std::vector<uint32_t>& b,
                                 size_t vertices = 100000, size_t random = 50000) {
  Vec3 lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
  for (uint32_t v : a) {
    lo = {std::min<double>(lo.x, posA[3 * v]), std::min<double>(lo.y, posA[3 * v + 1]),
          std::min<double>(lo.z, posA[3 * v + 2])};
    hi = {std::max<double>(hi.x, posA[3 * v]), std::max<double>(hi.y, posA[3 * v + 1]),
          std::max<double>(hi.z, posA[3 * v + 2])};
  }
  const double diag = std::sqrt(Dot(hi - lo, hi - lo));
  double h = 0;
  {
    const TriangleGrid gb(posB, b);
    for (const Vec3& p : SamplePoints(posA, a, vertices, random)) h = std::max(h, gb.Distance(p));
  }
  {
    const TriangleGrid ga(posA, a);
    for (const Vec3& p : SamplePoints(posB, b, vertices, random)) h = std::max(h, ga.Distance(p));
  }
  return diag > 0 ? h / diag : 0.0;
}

}  // namespace lyr::bench
