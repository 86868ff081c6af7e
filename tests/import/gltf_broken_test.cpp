// Small glTF files made here: broken ones must fail cleanly, and STEP and CUBICSPLINE channels
// must sample as their definitions say.
#include <gtest/gtest.h>

#if LYR_HAVE_IMPORT
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "lyr_import.h"
#include "ref_device.h"
#include "vekio/hierarchy_test_util.h"

namespace lyr::test {
namespace {

// One triangle on a node animated in translation: times 0, `middleTime` (1), 2 s; output `keys`
// values (3 per key, or 9 per key for cubic triples). `json` edits are applied as text
// replacements.
std::string MakeGlb(const char* interpolation, const std::vector<float>& keys,
                    const std::vector<std::pair<std::string, std::string>>& edits = {},
                    float middleTime = 1) {
  std::vector<float> floats = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, middleTime, 2};
  floats.insert(floats.end(), keys.begin(), keys.end());
  const uint16_t indices[4] = {0, 1, 2, 0};
  std::string bin(reinterpret_cast<const char*>(floats.data()), floats.size() * 4);
  bin.append(reinterpret_cast<const char*>(indices), sizeof indices);
  const size_t outCount = keys.size() / 3;
  std::string json =
      R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],)"
      R"("nodes":[{"name":"tri","mesh":0}],"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":3}]}],)"
      R"("buffers":[{"byteLength":BL}],"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":FL},)"
      R"({"buffer":0,"byteOffset":FL,"byteLength":6}],)"
      R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","max":[1,1,0],"min":[0,0,0]},)"
      R"({"bufferView":0,"byteOffset":36,"componentType":5126,"count":3,"type":"SCALAR","max":[2],"min":[0]},)"
      R"({"bufferView":0,"byteOffset":48,"componentType":5126,"count":OC,"type":"VEC3"},)"
      R"({"bufferView":1,"componentType":5123,"count":3,"type":"SCALAR"}],)"
      R"("animations":[{"name":"move","channels":[{"sampler":0,"target":{"node":0,"path":"translation"}}],)"
      R"("samplers":[{"input":1,"output":2,"interpolation":"INTERP"}]}]})";
  const auto replace = [&](const std::string& from, const std::string& to) {
    for (size_t p; (p = json.find(from)) != std::string::npos;) json.replace(p, from.size(), to);
  };
  replace("BL", std::to_string(bin.size()));
  replace("FL", std::to_string(floats.size() * 4));
  replace("OC", std::to_string(outCount));
  replace("INTERP", interpolation);
  for (const auto& [from, to] : edits) replace(from, to);
  while (json.size() % 4) json += ' ';
  while (bin.size() % 4) bin += '\0';
  std::string glb = "glTF";
  const auto u32 = [&](uint32_t v) { glb.append(reinterpret_cast<const char*>(&v), 4); };
  u32(2);
  u32(static_cast<uint32_t>(12 + 8 + json.size() + 8 + bin.size()));
  u32(static_cast<uint32_t>(json.size()));
  u32(0x4E4F534A);
  glb += json;
  u32(static_cast<uint32_t>(bin.size()));
  u32(0x004E4942);
  glb += bin;
  return glb;
}

struct Imported {
  TestHost host;
  import::ImportedScene scene;
  std::string message;
  LyrResult result;
  explicit Imported(const std::string& bytes) {
    Ref<GraphicsDevice> device = MakeRefDevice();
    result = import::ImportGltfFromMemory(bytes.data(), bytes.size(), "", 0, device.get(), &host,
                                          &scene, &message);
  }
  ~Imported() {
    if (scene.root) {
      EXPECT_EQ(LyrFrameDestroy(scene.root, &host), Ok);
    }
  }
};

const std::vector<float> kLinear = {0, 0, 0, 1, 2, 3, 4, 4, 4};

TEST(GltfBroken, EveryFaultGivesAMessageAndLeavesNothingBehind) {
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> edits;
    const char* message;
  } cases[] = {
      {"accessor past its view",
       {{R"("count":3,"type":"VEC3")", R"("count":300,"type":"VEC3")"}},
       "reaches past"},
      {"view past its buffer", {{R"("byteLength":6})", R"("byteLength":600})"}}, "past its buffer"},
      {"missing accessor", {{R"("POSITION":0)", R"("POSITION":9)"}}, "does not exist"},
      // The index view moved onto the float 1.0 reads the index 0x3F80.
      {"index out of range",
       {{R"("byteOffset":84,"byteLength":6})", R"("byteOffset":12,"byteLength":6})"}},
       "out of range"},
      {"child cycle", {{R"("mesh":0})", R"("mesh":0,"children":[0]})"}}, "parent"},
      {"times descending",
       {{R"("max":[2],"min":[0]})", R"("max":[2],"min":[0],"byteOffset":40})"}},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Imported im(MakeGlb("LINEAR", kLinear, c.edits));
    EXPECT_TRUE(Failed(im.result));
    EXPECT_EQ(im.scene.root, nullptr);
    EXPECT_TRUE(im.scene.animationSets.empty());
    EXPECT_NE(im.message.find(c.message), std::string::npos) << im.message;
  }
}

// An image stored in a buffer view comes out as its own bytes; a view that reaches past its
// buffer (edited in place, so the chunk sizes stay right) gives a warning and no image, never a
// read past the buffer.
TEST(GltfImages, StoredImagesComeOutWholeOrNotAtAll) {
  std::ifstream in(std::string(LYR_SHARED_DATA_DIR) + "/gltf/Fox.glb", std::ios::binary);
  std::string fox((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(fox.empty());
  {
    Imported im(fox);
    ASSERT_EQ(im.result, Ok) << im.message;
    ASSERT_EQ(im.scene.images.size(), 1u);
    EXPECT_EQ(im.scene.images[0].fileName, "image0.png");
    EXPECT_EQ(im.scene.images[0].bytes.size(), 26764u);
    EXPECT_EQ(std::memcmp(im.scene.images[0].bytes.data(), "\x89PNG", 4), 0);
  }
  const size_t at = fox.find(R"("byteLength":26764)");
  ASSERT_NE(at, std::string::npos);
  fox.replace(at, 18, R"("byteLength":99999)");
  Imported im(fox);
  ASSERT_EQ(im.result, Ok) << im.message;
  EXPECT_TRUE(im.scene.images.empty());
  ASSERT_EQ(im.scene.warnings.size(), 1u);
  EXPECT_NE(im.scene.warnings[0].find("outside its buffer"), std::string::npos);
}

// A skinned strip (tests/data/import/skinned.glb) with one edit of its JSON that keeps every
// length, so the container's chunk sizes stay right.
TEST(GltfBroken, SkinFaultsGiveAMessageAndLeavesNothingBehind) {
  std::ifstream in(std::string(LYR_TEST_DATA_DIR) + "/import/skinned.glb", std::ios::binary);
  const std::string glb{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(glb.empty());
  {
    Imported whole(glb);
    ASSERT_EQ(whole.result, Ok) << whole.message;
  }
  const struct {
    const char* from;
    const char* to;
    const char* message;
  } cases[] = {
      {R"("JOINTS_0":2)", R"("JOINTS_0":3)", "JOINTS: not unsigned integers"},  // float joints
      {R"("componentType":5121,"count":4)", R"("componentType":5120,"count":4)",
       "JOINTS: not unsigned integers"},  // signed bytes
      {R"("componentType":5123)", R"("componentType":5122)", "indices: not unsigned integers"},
      {R"("joints":[1,2])", R"("joints":[1,7])", "outside the scene"},
      {R"("joints":[1,2])", R"("joints":[1]  )", "out of range"},  // joint 1 of one
      {R"("inverseBindMatrices":4)", R"("inverseBindMatrices":3)", "unexpected type"},
      {R"("skin":0)", R"("skin":5)", "skin index out of range"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    std::string edited = glb;
    const size_t at = edited.find(c.from);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(std::strlen(c.from), std::strlen(c.to));
    edited.replace(at, std::strlen(c.from), c.to);
    Imported im(edited);
    EXPECT_EQ(im.result, ErrFail);
    EXPECT_EQ(im.scene.root, nullptr);
    EXPECT_TRUE(im.scene.animationSets.empty());
    EXPECT_NE(im.message.find(c.message), std::string::npos) << im.message;
  }
}

TEST(GltfBroken, EveryTruncationFails) {
  const std::string glb = MakeGlb("LINEAR", kLinear);
  {
    Imported whole(glb);
    ASSERT_EQ(whole.result, Ok) << whole.message;
  }
  for (size_t n = 1; n < glb.size(); ++n) {
    Imported im(glb.substr(0, n));
    ASSERT_TRUE(Failed(im.result)) << n;
    EXPECT_FALSE(im.message.empty()) << n;
  }
}

// Samples the clip's single interpolator (in seconds) and compares with `expect`.
void ExpectSamples(const Imported& im, const std::function<float(double)>& expect, double tol) {
  ASSERT_EQ(im.result, Ok) << im.message;
  ASSERT_EQ(im.scene.animationSets.size(), 1u);
  KeyFrameInterpolator* ip = nullptr;
  ASSERT_EQ(im.scene.animationSets[0]->InterpolatorAt(0, &ip), Ok);
  Ref<KeyFrameInterpolator> hold(ip);
  EXPECT_EQ(ip->TicksPerSecond(), 4800.0);
  EXPECT_NEAR(ip->Period(), 2.0, 1e-9);
  // Whole ticks only: the file form keeps no fractions.
  std::vector<VectorKey> keys(ip->TranslationKeyCount());
  ASSERT_EQ(ip->CopyTranslationKeys(keys.data()), Ok);
  for (const VectorKey& k : keys) EXPECT_EQ(k.time, std::floor(k.time));
  for (double t = 0; t < 2; t += 0.01) {
    Vector3 v;
    ip->Sample(t, nullptr, nullptr, &v);
    ASSERT_NEAR(v.x, expect(t), tol) << t;
  }
}

TEST(GltfAnimation, StepHoldsEachValueUntilTheNextKey) {
  Imported im(MakeGlb("STEP", kLinear));
  ExpectSamples(
      im, [](double t) { return t < 1   ? 0.0f
                                : t < 2 ? 1.0f
                                        : 4.0f; }, 1e-6);
}

TEST(GltfAnimation, KeyTimesBetweenTicksMoveToTheNearestTick) {
  // 1.00003 s is tick 4800.144: the key moves by 0.03 ms, the values by the slope times that.
  Imported im(MakeGlb("LINEAR", kLinear, {}, 1.00003f));
  ExpectSamples(
      im, [](double t) { return float(t < 1 ? t : 1 + 3 * (t - 1)); }, 3.1e-4);
}

TEST(GltfAnimation, CubicSplineIsResampledWithinTolerance) {
  // x: values 0, 2, 0 with tangents 5, 0, -5 (in-tangent, value, out-tangent per key).
  const std::vector<float> triples = {0, 0,  0, 0, 0,  0, 5, 0, 0, 3, 0, 0, 2, 0,
                                      0, -3, 0, 0, -5, 0, 0, 0, 0, 0, 0, 0, 0};
  Imported im(MakeGlb("CUBICSPLINE", triples));
  const auto hermite = [&](double t) {
    const int k = t < 1 ? 0 : 1;
    const double s = t - k, s2 = s * s, s3 = s2 * s;
    const double p0 = triples[k * 9 + 3], m0 = triples[k * 9 + 6];
    const double p1 = triples[(k + 1) * 9 + 3], m1 = triples[(k + 1) * 9];
    return float((2 * s3 - 3 * s2 + 1) * p0 + (s3 - 2 * s2 + s) * m0 + (-2 * s3 + 3 * s2) * p1 +
                 (s3 - s2) * m1);
  };
  // Model size 1: resampling keeps within 1e-4 of it.
  ExpectSamples(im, hermite, 1e-4);
}

}  // namespace
}  // namespace lyr::test
#endif
