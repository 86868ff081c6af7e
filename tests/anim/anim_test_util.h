// Helpers shared by the animation tests.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "lyr/anim.h"

namespace lyr::test {

// An interpolator from key vectors (empty vectors give default channels); null on failure.
inline KeyFrameInterpolator* MakeInterpolator(const char* name, const std::vector<VectorKey>& s,
                                              const std::vector<RotationKey>& r,
                                              const std::vector<VectorKey>& t,
                                              double ticksPerSecond) {
  KeyFrameInterpolator* out = nullptr;
  LyrResult res = LyrCreateKeyFrameInterpolator(
      name, s.empty() ? nullptr : s.data(), static_cast<uint32_t>(s.size()),
      r.empty() ? nullptr : r.data(), static_cast<uint32_t>(r.size()),
      t.empty() ? nullptr : t.data(), static_cast<uint32_t>(t.size()), ticksPerSecond, &out);
  EXPECT_EQ(res, Ok);
  return out;
}

inline void ExpectVec(const Vector3& a, const Vector3& b, float tol = 1e-5f) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

inline void ExpectQuat(const Quaternion& a, const Quaternion& b, float tol = 1e-5f) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
  EXPECT_NEAR(a.w, b.w, tol);
}

}  // namespace lyr::test
