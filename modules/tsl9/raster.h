// The reference device's software rasterizer: triangle lists transformed, lit by one directional
// light per vertex, clipped to the near plane and a guard band, and filled with a top-left rule in
// 28.4 fixed point so that triangles sharing an edge neither crack nor overlap. Attributes are
// interpolated perspective-correctly; depth is z/w, tested "less" against a float buffer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lyr/refdevice.h"

namespace lyr::raster {

// A vertex after the vertex stage: clip-space position and the attributes carried to pixels.
struct ClipVertex {
  float x, y, z, w;
  float r, g, b, a;
  float u, v;
};
constexpr int kAttributes = 6;  // r g b a u v, in that order after w

// Row-vector 4x4 product c = a * b.
inline void Multiply(const float* a, const float* b, float* c) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      float s = 0;
      for (int k = 0; k < 4; ++k) s += a[i * 4 + k] * b[k * 4 + j];
      c[i * 4 + j] = s;
    }
}

inline uint32_t PackArgb(float r, float g, float b, float a) {
  auto c = [](float x) {
    x = x < 0 ? 0 : (x > 1 ? 1 : x);
    return static_cast<uint32_t>(x * 255.0f + 0.5f);
  };
  return c(a) << 24 | c(r) << 16 | c(g) << 8 | c(b);
}

// Texels as 0xAARRGGBB, sampled nearest with wrapping.
struct Image {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> texels;
  bool Empty() const { return texels.empty(); }
  uint32_t Sample(float u, float v) const {
    float fu = u - std::floor(u), fv = v - std::floor(v);
    uint32_t x = static_cast<uint32_t>(fu * width), y = static_cast<uint32_t>(fv * height);
    if (x >= width) x = width - 1;
    if (y >= height) y = height - 1;
    return texels[size_t{y} * width + x];
  }
};

// The picture shown for a texture that cannot be read: 8x8 squares of magenta and black.
inline void MakeChecker(Image& image) {
  image.width = image.height = 64;
  image.texels.assign(64 * 64, 0);
  for (uint32_t y = 0; y < 64; ++y)
    for (uint32_t x = 0; x < 64; ++x)
      image.texels[y * 64 + x] = ((x / 8 + y / 8) & 1) ? 0xFF000000u : 0xFFFF00FFu;
}

class Rasterizer {
 public:
  // Largest side of a render target.
  static constexpr uint32_t kMaxSide = 8192;

  bool HasTarget() const { return width_ != 0; }
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  const std::vector<uint32_t>& Pixels() const { return colour_; }

  // Throws std::bad_alloc; the caller has checked the size.
  void Resize(uint32_t w, uint32_t h) {
    std::vector<uint32_t> c(size_t{w} * h, 0xFF000000u);
    std::vector<float> d(size_t{w} * h, 1.0f);
    colour_.swap(c);
    depth_.swap(d);
    width_ = w;
    height_ = h;
  }
  void Clear(uint32_t argb, float depth) {
    std::fill(colour_.begin(), colour_.end(), argb);
    std::fill(depth_.begin(), depth_.end(), depth);
  }

  RefCullMode cull = kRefCullBack;
  const Image* texture = nullptr;

  // Draws one triangle; vertices may lie anywhere, including behind the eye.
  void Triangle(const ClipVertex& a, const ClipVertex& b, const ClipVertex& c) {
    if (Inside(a) && Inside(b) && Inside(c)) {
      Fill(a, b, c);
      return;
    }
    ClipVertex poly[2][9];
    int n = 3;
    poly[0][0] = a;
    poly[0][1] = b;
    poly[0][2] = c;
    int cur = 0;
    for (int plane = 0; plane < 5 && n >= 3; ++plane) {
      n = ClipPolygon(poly[cur], n, poly[cur ^ 1], plane);
      cur ^= 1;
    }
    for (int i = 1; i + 1 < n; ++i) Fill(poly[cur][0], poly[cur][i], poly[cur][i + 1]);
  }

 private:
  // Screen coordinates stay within kGuard viewport half-widths, so 28.4 edge products fit int64.
  static constexpr float kGuard = 8.0f;

  static float Distance(const ClipVertex& v, int plane) {
    switch (plane) {
      case 0:
        return v.z;  // near: z >= 0
      case 1:
        return kGuard * v.w - v.x;
      case 2:
        return kGuard * v.w + v.x;
      case 3:
        return kGuard * v.w - v.y;
      default:
        return kGuard * v.w + v.y;
    }
  }
  static bool Inside(const ClipVertex& v) {
    for (int p = 0; p < 5; ++p)
      if (!(Distance(v, p) >= 0)) return false;
    return v.w > 0;
  }
  static int ClipPolygon(const ClipVertex* in, int n, ClipVertex* out, int plane) {
    int m = 0;
    for (int i = 0; i < n; ++i) {
      const ClipVertex& p = in[i];
      const ClipVertex& q = in[(i + 1) % n];
      const float dp = Distance(p, plane), dq = Distance(q, plane);
      if (dp >= 0) out[m++] = p;
      if ((dp >= 0) != (dq >= 0)) {
        const float t = dp / (dp - dq);
        const float* fp = &p.x;
        const float* fq = &q.x;
        float* fo = &out[m].x;
        for (int k = 0; k < 4 + kAttributes; ++k) fo[k] = fp[k] + t * (fq[k] - fp[k]);
        ++m;
      }
    }
    return m;
  }

  struct Screen {
    int64_t x, y;  // 28.4 fixed point
    float z, invW;
    float attr[kAttributes];  // attribute / w
  };

  Screen Project(const ClipVertex& v) const {
    Screen s;
    const float iw = 1.0f / v.w;
    s.x = std::llround((v.x * iw * 0.5f + 0.5f) * static_cast<float>(width_) * 16.0f);
    s.y = std::llround((0.5f - v.y * iw * 0.5f) * static_cast<float>(height_) * 16.0f);
    s.z = v.z * iw;
    s.invW = iw;
    const float* a = &v.r;
    for (int k = 0; k < kAttributes; ++k) s.attr[k] = a[k] * iw;
    return s;
  }

  // True for an edge that owns the pixels exactly on it, with the interior where the edge
  // function is positive (screen y grows downwards).
  static bool TopLeft(int64_t dx, int64_t dy) { return dy < 0 || (dy == 0 && dx > 0); }

  void Fill(const ClipVertex& ca, const ClipVertex& cb, const ClipVertex& cc) {
    Screen v[3] = {Project(ca), Project(cb), Project(cc)};
    int64_t area = (v[1].x - v[0].x) * (v[2].y - v[0].y) - (v[2].x - v[0].x) * (v[1].y - v[0].y);
    if (area == 0) return;
    // Front faces wind clockwise on the screen, which makes area positive.
    if (area < 0) {
      if (cull == kRefCullBack) return;
      std::swap(v[1], v[2]);
      area = -area;
    }
    int64_t minX = std::min({v[0].x, v[1].x, v[2].x}), maxX = std::max({v[0].x, v[1].x, v[2].x});
    int64_t minY = std::min({v[0].y, v[1].y, v[2].y}), maxY = std::max({v[0].y, v[1].y, v[2].y});
    // Pixel centres (i + 0.5) inside the box.
    int64_t x0 = std::max<int64_t>((minX - 8 + 15) >> 4, 0);
    int64_t x1 = std::min<int64_t>((maxX - 8) >> 4, int64_t{width_} - 1);
    int64_t y0 = std::max<int64_t>((minY - 8 + 15) >> 4, 0);
    int64_t y1 = std::min<int64_t>((maxY - 8) >> 4, int64_t{height_} - 1);
    if (x0 > x1 || y0 > y1) return;

    int64_t dx[3], dy[3], row[3];
    const int64_t px = x0 * 16 + 8, py = y0 * 16 + 8;
    for (int e = 0; e < 3; ++e) {
      const Screen& a = v[(e + 1) % 3];
      const Screen& b = v[(e + 2) % 3];
      dx[e] = b.x - a.x;
      dy[e] = b.y - a.y;
      // Edge e is opposite vertex e, so its function is vertex e's barycentric weight * area.
      row[e] = dx[e] * (py - a.y) - dy[e] * (px - a.x) - (TopLeft(dx[e], dy[e]) ? 0 : 1);
    }
    const float inv = 1.0f / static_cast<float>(area);
    for (int64_t y = y0; y <= y1; ++y) {
      int64_t e0 = row[0], e1 = row[1], e2 = row[2];
      const size_t base = static_cast<size_t>(y) * width_;
      for (int64_t x = x0; x <= x1; ++x) {
        if ((e0 | e1 | e2) >= 0) Shade(v, base + static_cast<size_t>(x), e0, e1, e2, inv);
        e0 -= dy[0] * 16;
        e1 -= dy[1] * 16;
        e2 -= dy[2] * 16;
      }
      for (int e = 0; e < 3; ++e) row[e] += dx[e] * 16;
    }
  }

  void Shade(const Screen* v, size_t at, int64_t e0, int64_t e1, int64_t e2, float inv) {
    // The top-left bias (-1) of a non-owning edge is far below one weight step; dropping it here
    // changes no visible value.
    const float b0 = static_cast<float>(e0) * inv, b1 = static_cast<float>(e1) * inv,
                b2 = static_cast<float>(e2) * inv;
    const float z = b0 * v[0].z + b1 * v[1].z + b2 * v[2].z;
    if (!(z < depth_[at])) return;
    const float q = 1.0f / (b0 * v[0].invW + b1 * v[1].invW + b2 * v[2].invW);
    float a[kAttributes];
    for (int k = 0; k < kAttributes; ++k)
      a[k] = (b0 * v[0].attr[k] + b1 * v[1].attr[k] + b2 * v[2].attr[k]) * q;
    if (texture) {
      const uint32_t t = texture->Sample(a[4], a[5]);
      a[0] *= static_cast<float>((t >> 16) & 0xFF) / 255.0f;
      a[1] *= static_cast<float>((t >> 8) & 0xFF) / 255.0f;
      a[2] *= static_cast<float>(t & 0xFF) / 255.0f;
      a[3] *= static_cast<float>(t >> 24) / 255.0f;
    }
    depth_[at] = z;
    colour_[at] = PackArgb(a[0], a[1], a[2], a[3]);
  }

  uint32_t width_ = 0, height_ = 0;
  std::vector<uint32_t> colour_;
  std::vector<float> depth_;
};

}  // namespace lyr::raster
