// Shared helpers of the math tests: random values, comparisons and the list of form sets to run
// every check against.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lyr/math.h"
#include "math/fast_functions.h"

namespace lyr::mathtest {

struct NamedSet {
  std::string name;
  FastFunctionSet set;
};

// The plain set and every processor-specific set this processor can run (each variant overlaid
// on the plain set the way the selection does it).
std::vector<NamedSet> AllForms();

class Random {
 public:
  explicit Random(uint32_t seed = 1234) : gen_(seed) {}
  float Uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(gen_); }
  Vector2 V2(float r = 10) { return {Uniform(-r, r), Uniform(-r, r)}; }
  Vector3 V3(float r = 10) { return {Uniform(-r, r), Uniform(-r, r), Uniform(-r, r)}; }
  Vector4 V4(float r = 10) {
    return {Uniform(-r, r), Uniform(-r, r), Uniform(-r, r), Uniform(-r, r)};
  }
  Quaternion UnitQ() {
    Quaternion q = {Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1)};
    float n = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    return {q.x / n, q.y / n, q.z / n, q.w / n};
  }
  Matrix M(float r = 4) {
    Matrix m;
    for (auto& row : m.m)
      for (float& e : row) e = Uniform(-r, r);
    return m;
  }

 private:
  std::mt19937 gen_;
};

inline bool Close(float a, float b, float rel = 2e-5f, float abs = 2e-5f) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::fabs(a - b) <= abs + rel * std::fmax(std::fabs(a), std::fabs(b));
}

template <class T>
::testing::AssertionResult FloatsClose(const T& a, const T& b, float rel = 2e-5f,
                                       float abs = 2e-5f) {
  constexpr size_t n = sizeof(T) / sizeof(float);
  float x[n], y[n];
  std::memcpy(x, &a, sizeof(T));
  std::memcpy(y, &b, sizeof(T));
  for (size_t i = 0; i < n; ++i)
    if (!Close(x[i], y[i], rel, abs))
      return ::testing::AssertionFailure() << "component " << i << ": " << x[i] << " vs " << y[i];
  return ::testing::AssertionSuccess();
}

template <class T>
bool SameBits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

}  // namespace lyr::mathtest
