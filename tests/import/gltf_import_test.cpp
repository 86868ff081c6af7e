// The glTF importer against the shared models: the tree, the world matrices and the bind-pose
// skinned positions must equal an evaluation done here from the glTF data alone.
#include <gtest/gtest.h>

#if LYR_HAVE_IMPORT
#include <tiny_gltf.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "lyr/hierarchy_save.h"
#include "lyr_import.h"
#include "platform/platform.h"
#include "ref_device.h"
#include "vekio/hierarchy_test_util.h"

namespace lyr::test {
namespace {

using import::ImportedScene;

std::string Model(const char* name) {
  return std::string(LYR_SHARED_DATA_DIR) + "/gltf/" + name;
}
const char* const kModels[] = {"SimpleSkin.gltf", "Fox.glb", "robot.glb",
                               "rigged_figure_raylib2021.glb"};

// Column-vector 4x4 matrices in doubles, m[row][col].
struct M4 {
  double m[4][4] = {};
};
M4 Mul(const M4& a, const M4& b) {
  M4 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 4; ++k) r.m[i][j] += a.m[i][k] * b.m[k][j];
  return r;
}
M4 Identity() {
  M4 r;
  for (int i = 0; i < 4; ++i) r.m[i][i] = 1;
  return r;
}
M4 FromColumnMajor(const double* a) {
  M4 r;
  for (int c = 0; c < 4; ++c)
    for (int row = 0; row < 4; ++row) r.m[row][c] = a[c * 4 + row];
  return r;
}
// A node's pose: its TRS, with animated channels put in place of the node's own values.
struct Pose {
  std::vector<double> scale, rotation, translation;
};
M4 Local(const tinygltf::Node& node, const Pose* pose) {
  if (node.matrix.size() == 16 &&
      (!pose || (pose->scale.empty() && pose->rotation.empty() && pose->translation.empty())))
    return FromColumnMajor(node.matrix.data());
  Pose n{node.scale, node.rotation, node.translation};
  if (pose) {
    if (!pose->scale.empty()) n.scale = pose->scale;
    if (!pose->rotation.empty()) n.rotation = pose->rotation;
    if (!pose->translation.empty()) n.translation = pose->translation;
  }
  M4 t = Identity(), r = Identity(), s = Identity();
  if (n.translation.size() == 3)
    for (int i = 0; i < 3; ++i) t.m[i][3] = n.translation[i];
  if (n.scale.size() == 3)
    for (int i = 0; i < 3; ++i) s.m[i][i] = n.scale[i];
  if (n.rotation.size() == 4) {
    const double x = n.rotation[0], y = n.rotation[1], z = n.rotation[2], w = n.rotation[3];
    const double q[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                            {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                            {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r.m[i][j] = q[i][j];
  }
  return Mul(t, Mul(r, s));
}

// Reads component c of element i of an accessor (the test files are well formed).
double Read(const tinygltf::Model& m, int accessor, size_t i, int c) {
  const auto& a = m.accessors[accessor];
  const auto& bv = m.bufferViews[a.bufferView];
  const int size = tinygltf::GetComponentSizeInBytes(a.componentType);
  const int n = tinygltf::GetNumComponentsInType(a.type);
  const size_t stride = bv.byteStride ? bv.byteStride : size_t(size) * n;
  const uint8_t* p = m.buffers[bv.buffer].data.data() + bv.byteOffset + a.byteOffset + i * stride;
  p += size * c;
  switch (a.componentType) {
    case TINYGLTF_COMPONENT_TYPE_FLOAT: {
      float f;
      std::memcpy(&f, p, 4);
      return f;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
      return a.normalized ? *p / 255.0 : *p;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      return a.normalized ? v / 65535.0 : v;
    }
    default: {
      uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
  }
}

tinygltf::Model Parse(const std::string& path) {
  tinygltf::Model model;
  tinygltf::TinyGLTF parser;
  parser.SetImageLoader([](tinygltf::Image*, const int, std::string*, std::string*, int, int,
                           const unsigned char*, int, void*) { return true; },
                        nullptr);
  std::string err, warn;
  const bool ok = path.ends_with(".glb") ? parser.LoadBinaryFromFile(&model, &err, &warn, path)
                                         : parser.LoadASCIIFromFile(&model, &err, &warn, path);
  EXPECT_TRUE(ok) << err;
  return model;
}

Matrix RowWorld(const Frame* f, const Matrix& parent) {
  Matrix w;
  MultiplyMatrix(&w, &f->matrix, &parent);
  return w;
}

// Every node's frame, found by walking both trees in step.
struct Pairing {
  std::vector<const Frame*> frameOf;
  std::vector<Matrix> rowWorld;  // per node
  std::vector<M4> world;         // per node, glTF evaluation
};

// The value of an animation channel at time t, straight from the glTF definition.
std::vector<double> SampleChannel(const tinygltf::Model& gl, const tinygltf::AnimationSampler& smp,
                                  int width, double t) {
  const size_t n = gl.accessors[smp.input].count;
  const bool cubic = smp.interpolation == "CUBICSPLINE";
  // A rotation key stands for the rotation of its unit quaternion; files written with few digits
  // hold keys a little off unit length (SimpleSkin's 0.383, 0.924), which would bend the blend.
  const auto value = [&](size_t key, int part) {
    std::vector<double> v(width);
    double norm = 0;
    for (int c = 0; c < width; ++c) {
      v[c] = Read(gl, smp.output, cubic ? 3 * key + part : key, c);
      norm += v[c] * v[c];
    }
    if (width == 4 && part == 1)
      for (double& x : v) x /= std::sqrt(norm);
    return v;
  };
  const auto time = [&](size_t key) { return Read(gl, smp.input, key, 0); };
  if (t <= time(0)) return value(0, 1);
  if (t >= time(n - 1)) return value(n - 1, 1);
  size_t k = 0;
  while (time(k + 1) <= t) ++k;
  const double dt = time(k + 1) - time(k), s = (t - time(k)) / dt;
  if (smp.interpolation == "STEP") return value(k, 1);
  std::vector<double> a = value(k, 1), b = value(k + 1, 1), out(width);
  if (cubic) {
    const std::vector<double> ta = value(k, 2), tb = value(k + 1, 0);
    const double s2 = s * s, s3 = s2 * s;
    for (int c = 0; c < width; ++c)
      out[c] = (2 * s3 - 3 * s2 + 1) * a[c] + (s3 - 2 * s2 + s) * dt * ta[c] +
               (-2 * s3 + 3 * s2) * b[c] + (s3 - s2) * dt * tb[c];
  } else if (width == 4) {
    double d = 0;
    for (int c = 0; c < 4; ++c) d += a[c] * b[c];
    // The shorter way round: b and -b are the same rotation.
    if (d < 0) {
      for (double& x : b) x = -x;
      d = -d;
    }
    const double th = std::acos(std::fmin(1.0, d));
    const double wa = th < 1e-9 ? 1 - s : std::sin((1 - s) * th) / std::sin(th);
    const double wb = th < 1e-9 ? s : std::sin(s * th) / std::sin(th);
    for (int c = 0; c < 4; ++c) out[c] = wa * a[c] + wb * b[c];
  } else {
    for (int c = 0; c < width; ++c) out[c] = a[c] + s * (b[c] - a[c]);
  }
  if (width == 4) {
    double norm = 0;
    for (double x : out) norm += x * x;
    for (double& x : out) x /= std::sqrt(norm);
  }
  return out;
}

// Poses a scene made from the file (the clip `anim` at time t, or the file's own pose when anim
// is null) and compares the world matrices, the bones and the software-skinned positions of every
// mesh with the glTF evaluation. `ctl` has the scene's frames as outputs and `clip` registered;
// when null, a controller is made for the pose.
void CheckPose(const tinygltf::Model& gl, Frame* root, float modelSize, AnimationController* ctl,
               AnimationSet* clip, const tinygltf::Animation* anim, double t) {
  std::vector<Pose> poses(gl.nodes.size());
  if (anim) {
    for (const auto& ch : anim->channels) {
      const auto& smp = anim->samplers[ch.sampler];
      if (ch.target_path == "scale") poses[ch.target_node].scale = SampleChannel(gl, smp, 3, t);
      if (ch.target_path == "rotation")
        poses[ch.target_node].rotation = SampleChannel(gl, smp, 4, t);
      if (ch.target_path == "translation")
        poses[ch.target_node].translation = SampleChannel(gl, smp, 3, t);
    }
    Ref<AnimationController> own;
    if (!ctl) {
      ASSERT_EQ(LyrCreateAnimationController(LyrFrameNumNamedMatrices(root), 1, 1, 1, own.put()),
                Ok);
      ctl = own.get();
      ASSERT_EQ(LyrFrameRegisterNamedMatrices(root, ctl), Ok);
      ASSERT_EQ(ctl->RegisterSet(clip), Ok);
    }
    ASSERT_EQ(ctl->SetTrackSet(0, clip), Ok);
    ASSERT_EQ(ctl->SetTrackState(0, std::array<TrackState, 1>{{{0, 1, 1, 1, t}}}.data()), Ok);
    ASSERT_EQ(ctl->SetTime(ctl->Time()), Ok);
  }
  const auto& roots = gl.scenes[gl.defaultScene >= 0 ? gl.defaultScene : 0].nodes;
  Matrix identity{};
  for (int i = 0; i < 4; ++i) identity.m[i][i] = 1;
  const Frame* first = root;
  if (roots.size() > 1) {
    EXPECT_EQ(root->name, nullptr);
    first = root->firstChild;
  }
  Pairing pair{std::vector<const Frame*>(gl.nodes.size()), std::vector<Matrix>(gl.nodes.size()),
               std::vector<M4>(gl.nodes.size())};
  std::set<std::string> names;
  std::function<void(const std::vector<int>&, const Frame*, const Matrix&, const M4&)> walk =
      [&](const std::vector<int>& nodes, const Frame* f, const Matrix& pr, const M4& pw) {
        for (int n : nodes) {
          ASSERT_NE(f, nullptr) << "node " << n << " has no frame";
          ASSERT_NE(f->name, nullptr);
          EXPECT_TRUE(names.insert(f->name).second) << "name used twice: " << f->name;
          pair.frameOf[n] = f;
          pair.rowWorld[n] = RowWorld(f, pr);
          pair.world[n] = Mul(pw, Local(gl.nodes[n], anim ? &poses[n] : nullptr));
          EXPECT_EQ(f->meshContainers != nullptr, gl.nodes[n].mesh >= 0) << f->name;
          walk(gl.nodes[n].children, f->firstChild, pair.rowWorld[n], pair.world[n]);
          f = f->nextSibling;
        }
        EXPECT_EQ(f, nullptr) << "more frames than nodes";
      };
  walk(roots, first, identity, Identity());

  // Float rounding through chains of twenty frames and slerp in floats stay within this.
  const double tol = 1e-5 * modelSize + 1e-6;
  for (size_t n = 0; n < gl.nodes.size(); ++n) {
    if (!pair.frameOf[n]) continue;
    // The row-vector world matrix is the transpose of the glTF one.
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j)
        ASSERT_NEAR(pair.rowWorld[n].m[i][j], pair.world[n].m[j][i], tol)
            << pair.frameOf[n]->name << " at " << t << " [" << i << "][" << j << "]";
    if (gl.nodes[n].mesh < 0) continue;
    const tinygltf::Mesh& gm = gl.meshes[gl.nodes[n].mesh];
    const MeshContainer* c = pair.frameOf[n]->meshContainers;
    Mesh* mesh = c->mesh;
    // Sizes: every triangle primitive one attribute id with its own material.
    uint32_t faces = 0, vertices = 0;
    for (const auto& p : gm.primitives) {
      faces += uint32_t((p.indices >= 0 ? gl.accessors[p.indices].count
                                        : gl.accessors[p.attributes.at("POSITION")].count) /
                        3);
      vertices += uint32_t(gl.accessors[p.attributes.at("POSITION")].count);
    }
    EXPECT_EQ(mesh->GetFaceCount(), faces);
    EXPECT_EQ(mesh->GetVertexCount(), vertices);
    EXPECT_EQ(c->materialCount, gm.primitives.size());
    for (size_t p = 0; p < gm.primitives.size(); ++p) {
      if (gm.primitives[p].material < 0) continue;
      const auto& f = gl.materials[gm.primitives[p].material].pbrMetallicRoughness.baseColorFactor;
      EXPECT_FLOAT_EQ(c->materials[p].diffuse.red, float(f[0]));
      EXPECT_FLOAT_EQ(c->materials[p].diffuse.alpha, float(f[3]));
    }
    const int skinIndex = gl.nodes[n].skin;
    ASSERT_EQ(c->skinInfo != nullptr, skinIndex >= 0);
    if (skinIndex < 0) continue;

    // Bind pose: the library's bone matrices are offset * world; glTF's joint matrices are
    // world * inverse bind; the weighted sums must agree vertex for vertex.
    const tinygltf::Skin& skin = gl.skins[skinIndex];
    SkinInfo* si = c->skinInfo;
    const auto ibmOf = [&](size_t j) {
      std::array<double, 16> ibm;
      for (int k = 0; k < 16; ++k)
        ibm[k] =
            skin.inverseBindMatrices >= 0 ? Read(gl, skin.inverseBindMatrices, j, k) : (k % 5 == 0);
      return ibm;
    };
    // The bones are the joints with a non-zero weight on this mesh, in joint order, with the
    // inverse bind matrices (read in order as rows) as offsets.
    std::vector<bool> influences(skin.joints.size());
    for (const auto& p : gm.primitives)
      for (int set = 0; p.attributes.count("JOINTS_" + std::to_string(set)); ++set) {
        const int ja = p.attributes.at("JOINTS_" + std::to_string(set));
        const int wa = p.attributes.at("WEIGHTS_" + std::to_string(set));
        for (size_t i = 0; i < gl.accessors[ja].count; ++i)
          for (int k = 0; k < 4; ++k)
            if (Read(gl, wa, i, k) != 0) influences[size_t(Read(gl, ja, i, k))] = true;
      }
    std::vector<size_t> bonesOf;
    for (size_t j = 0; j < influences.size(); ++j)
      if (influences[j]) bonesOf.push_back(j);
    ASSERT_EQ(si->GetBoneCount(), bonesOf.size());
    std::vector<Matrix> bones(si->GetBoneCount());
    for (uint32_t b = 0; b < bones.size(); ++b) {
      const int node = skin.joints[bonesOf[b]];
      ASSERT_STREQ(si->GetBoneLabel(b), pair.frameOf[node]->name) << "bone " << b;
      const std::array<double, 16> ibm = ibmOf(bonesOf[b]);
      for (int k = 0; k < 16; ++k)
        ASSERT_NEAR(si->GetBoneOffset(b)->m[k / 4][k % 4], ibm[k], 1e-6 * (1 + std::fabs(ibm[k])))
            << "bone " << b;
      MultiplyMatrix(&bones[b], si->GetBoneOffset(b), &pair.rowWorld[node]);
    }
    const uint32_t stride = mesh->GetVertexStride();
    std::vector<uint8_t> src(size_t(stride) * vertices), dst(src.size());
    void* locked = nullptr;
    ASSERT_EQ(mesh->LockVertices(kLockReadOnly, &locked), Ok);
    std::memcpy(src.data(), locked, src.size());
    mesh->UnlockVertices();
    ASSERT_EQ(si->UpdateSkinnedVertices(bones.data(), nullptr, src.data(), dst.data()), Ok);
    std::vector<M4> joint(skin.joints.size());
    for (size_t j = 0; j < joint.size(); ++j)
      joint[j] = Mul(pair.world[skin.joints[j]], FromColumnMajor(ibmOf(j).data()));
    uint32_t v = 0;
    for (const auto& p : gm.primitives) {
      const int pos = p.attributes.at("POSITION");
      for (size_t i = 0; i < gl.accessors[pos].count; ++i, ++v) {
        double x[3] = {Read(gl, pos, i, 0), Read(gl, pos, i, 1), Read(gl, pos, i, 2)}, out[3] = {};
        for (int set = 0; p.attributes.count("JOINTS_" + std::to_string(set)); ++set) {
          const int ja = p.attributes.at("JOINTS_" + std::to_string(set));
          const int wa = p.attributes.at("WEIGHTS_" + std::to_string(set));
          for (int k = 0; k < 4; ++k) {
            const double w = Read(gl, wa, i, k);
            const M4& jm = joint[size_t(Read(gl, ja, i, k))];
            for (int r = 0; r < 3; ++r)
              out[r] +=
                  w * (jm.m[r][0] * x[0] + jm.m[r][1] * x[1] + jm.m[r][2] * x[2] + jm.m[r][3]);
          }
        }
        float got[3];
        std::memcpy(got, dst.data() + size_t(v) * stride, sizeof got);
        for (int r = 0; r < 3; ++r)
          ASSERT_NEAR(got[r], out[r], tol) << "vertex " << v << " at " << t;
      }
    }
  }
}

// Everything the file says, checked on a scene made from it: the file's own pose, then five
// times of every clip. sets[a] is the set made from animation a; `ctl` as for CheckPose.
void CheckScene(const tinygltf::Model& gl, Frame* root, float modelSize,
                const std::vector<AnimationSet*>& sets, AnimationController* ctl) {
  // The file's own matrices, put back before each pose: a clip writes only the frames it moves.
  std::vector<std::pair<Frame*, Matrix>> saved;
  std::function<void(Frame*)> save = [&](Frame* f) {
    for (; f; f = f->nextSibling) saved.push_back({f, f->matrix}), save(f->firstChild);
  };
  save(root);
  CheckPose(gl, root, modelSize, ctl, nullptr, nullptr, 0);
  ASSERT_EQ(sets.size(), gl.animations.size());
  for (size_t a = 0; a < gl.animations.size(); ++a) {
    SCOPED_TRACE("clip " + std::to_string(a));
    ASSERT_NE(sets[a], nullptr);
    double end = 0;
    for (const auto& smp : gl.animations[a].samplers)
      end = std::fmax(end, gl.accessors[smp.input].maxValues.at(0));
    // Key times are whole ticks.
    EXPECT_NEAR(sets[a]->Period(), end, 0.5 / import::kImportTicksPerSecond);
    // One interpolator per animated node, named after its frame.
    std::set<int> animated;
    for (const auto& ch : gl.animations[a].channels) animated.insert(ch.target_node);
    EXPECT_EQ(sets[a]->InterpolatorCount(), animated.size());
    for (double f : {0.0, 0.13, 0.5, 0.77, 0.999}) {
      for (auto& [frame, m] : saved) frame->matrix = m;
      CheckPose(gl, root, modelSize, ctl, sets[a], &gl.animations[a], f * end);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

std::string ParamName(std::string s) {
  for (char& ch : s)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return s;
}

class GltfModels : public ::testing::TestWithParam<const char*> {};

TEST_P(GltfModels, TreeWorldMatricesAndSkinningMatchTheFileAtEveryPose) {
  const std::string path = Model(GetParam());
  const tinygltf::Model gl = Parse(path);
  Ref<GraphicsDevice> device = MakeRefDevice();
  TestHost host;
  ImportedScene scene;
  std::string message;
  ASSERT_EQ(import::ImportGltf(path.c_str(), MeshOptions::VertexSystemMemory, device.get(), &host,
                               &scene, &message),
            Ok)
      << message;
  ASSERT_NE(scene.root, nullptr);
  ASSERT_GT(scene.modelSize, 0);
  CheckScene(gl, scene.root, scene.modelSize, scene.animationSets, nullptr);
  EXPECT_EQ(LyrFrameDestroy(scene.root, &host), Ok);
}

INSTANTIATE_TEST_SUITE_P(Shared, GltfModels, ::testing::ValuesIn(kModels),
                         [](const auto& p) { return ParamName(p.param); });

// Imported, saved in one of the four forms, loaded back through the scene loader: the loaded
// scene, played by the controller the loader made, must still be the file's.
struct Form {
  const char* name;
  uint32_t code;
};
class GltfSaved : public ::testing::TestWithParam<std::tuple<const char*, Form>> {};

TEST_P(GltfSaved, LoadsBackAsTheFileSays) {
  const auto& [model, form] = GetParam();
  const std::string path = Model(model);
  const tinygltf::Model gl = Parse(path);
  Ref<GraphicsDevice> device = MakeRefDevice();
  char dir[512], file[1024];
  ASSERT_TRUE(platform::TempDirectory(dir, sizeof dir));
  // A name of its own: CTest runs the cases side by side.
  ASSERT_TRUE(platform::MakeTempFile(dir, "imp", file, sizeof file));
  float modelSize = 0;
  {
    TestHost host;
    ImportedScene scene;
    std::string message;
    ASSERT_EQ(import::ImportGltf(path.c_str(), 0, device.get(), &host, &scene, &message), Ok)
        << message;
    modelSize = scene.modelSize;
    Ref<AnimationController> sets;
    ASSERT_EQ(LyrCreateAnimationController(
                  1, std::max<uint32_t>(1, uint32_t(scene.animationSets.size())), 1, 1, sets.put()),
              Ok);
    for (AnimationSet* set : scene.animationSets) ASSERT_EQ(sets->RegisterSet(set), Ok);
    const LyrResult saved = LyrSaveMeshHierarchyToFileA(
        file, form.code, scene.root, scene.animationSets.empty() ? nullptr : sets.get(), nullptr);
    EXPECT_EQ(LyrFrameDestroy(scene.root, &host), Ok);
    ASSERT_EQ(saved, Ok);
  }
  TestHost host;
  Frame* root = nullptr;
  Ref<AnimationController> ctl;
  const LyrResult loaded =
      LyrLoadMeshHierarchyFromVekA(file, 0, device.get(), &host, nullptr, &root, ctl.put());
  platform::DeleteFile(file);
  ASSERT_EQ(loaded, Ok);
  // The loaded sets by the names the importer gave the clips.
  std::vector<Ref<AnimationSet>> held;
  std::vector<AnimationSet*> sets;
  for (size_t a = 0; a < gl.animations.size(); ++a) {
    const std::string name =
        gl.animations[a].name.empty() ? "animation" + std::to_string(a) : gl.animations[a].name;
    sets.push_back(nullptr);
    for (uint32_t i = 0; ctl && i < ctl->SetCount(); ++i) {
      Ref<AnimationSet> set;
      ASSERT_EQ(ctl->SetAt(i, set.put()), Ok);
      if (set->Name() && name == set->Name()) sets.back() = set.get(), held.push_back(set);
    }
  }
  EXPECT_EQ(ctl ? ctl->SetCount() : 0u, gl.animations.size());
  CheckScene(gl, root, modelSize, sets, ctl.get());
  held.clear();
  ctl = Ref<AnimationController>();
  EXPECT_EQ(LyrFrameDestroy(root, &host), Ok);
}

const Form kForms[] = {{"text", kVekFormatText},
                       {"binary", kVekFormatBinary},
                       {"text_zip", kVekFormatTextCompressed},
                       {"binary_zip", kVekFormatBinaryCompressed}};
INSTANTIATE_TEST_SUITE_P(Shared, GltfSaved,
                         ::testing::Combine(::testing::ValuesIn(kModels),
                                            ::testing::ValuesIn(kForms)),
                         [](const auto& p) {
                           return ParamName(std::string(std::get<0>(p.param)) + "_" +
                                            std::get<1>(p.param).name);
                         });

}  // namespace
}  // namespace lyr::test
#else
TEST(GltfImport, SkippedWithoutParserPackages) {
  GTEST_SKIP() << "importer not built";
}
#endif
