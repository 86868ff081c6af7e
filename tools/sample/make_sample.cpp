// Writes the project's sample scenes as Vek text files, built and saved with the library itself:
//
//   make_sample creature FILE   a caterpillar: a skinned, banded body on a chain of four bones
//                               (tail, body, neck, head), eyes riding on the head, and two
//                               animation sets, "look" and "crawl" (the last, so the one played)
//   make_sample tube FILE       a plain tube on three bones with one set, "bend", that curls it
//                               up and back over two seconds
//
// tools/sample/creature.vek is the first one's output; a test checks that it still is.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "lyr/lyr.h"

namespace {

using namespace lyr;

constexpr float kPi = 3.14159265f;
constexpr double kTicksPerSecond = 30;

// Throws nothing: a failed step prints what failed and ends the program.
void Check(LyrResult r, const char* what) {
  if (Succeeded(r)) return;
  std::fprintf(stderr, "make_sample: %s: %s (0x%08X)\n", what, ResultMessage(r),
               static_cast<unsigned>(r));
  std::exit(1);
}

struct Vertex {
  Vector3 position, normal;
};

struct Geometry {
  std::vector<Vertex> vertices;
  std::vector<uint16_t> indices;
  std::vector<uint32_t> attributes;  // per face
  // Adds a triangle wound clockwise when seen from the side `outward` points to.
  void Triangle(uint16_t a, uint16_t b, uint16_t c, Vector3 outward, uint32_t attribute) {
    const Vector3 &p = vertices[a].position, &q = vertices[b].position, &r = vertices[c].position;
    const Vector3 u{q.x - p.x, q.y - p.y, q.z - p.z}, v{r.x - p.x, r.y - p.y, r.z - p.z};
    const Vector3 n{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
    if (n.x * outward.x + n.y * outward.y + n.z * outward.z < 0) std::swap(b, c);
    indices.insert(indices.end(), {a, b, c});
    attributes.push_back(attribute);
  }
  // Vertex normals: the area-weighted sum of the faces around each vertex.
  void SmoothNormals() {
    for (Vertex& v : vertices) v.normal = {0, 0, 0};
    for (size_t f = 0; f < indices.size(); f += 3) {
      Vertex &a = vertices[indices[f]], &b = vertices[indices[f + 1]],
             &c = vertices[indices[f + 2]];
      const Vector3 u{b.position.x - a.position.x, b.position.y - a.position.y,
                      b.position.z - a.position.z};
      const Vector3 v{c.position.x - a.position.x, c.position.y - a.position.y,
                      c.position.z - a.position.z};
      const Vector3 n{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
      for (Vertex* corner : {&a, &b, &c}) {
        corner->normal.x += n.x;
        corner->normal.y += n.y;
        corner->normal.z += n.z;
      }
    }
    for (Vertex& v : vertices) NormalizeVector3(&v.normal, &v.normal);
  }
};

// A closed body of revolution around the x axis from x0 to x1: `rings` rings of `around`
// vertices between two pole vertices; radius(s) for s in (0, 1). Faces of ring band k take
// attribute band(k).
template <class Radius, class Band>
Geometry Revolve(float x0, float x1, int rings, int around, Radius radius, Band band) {
  Geometry g;
  g.vertices.push_back({{x0, 0, 0}, {}});
  for (int r = 1; r <= rings; ++r) {
    const float s = float(r) / float(rings + 1);
    const float x = x0 + (x1 - x0) * s, rad = radius(s);
    for (int k = 0; k < around; ++k) {
      const float a = 2 * kPi * float(k) / float(around);
      g.vertices.push_back({{x, rad * std::cos(a), rad * std::sin(a)}, {}});
    }
  }
  g.vertices.push_back({{x1, 0, 0}, {}});
  const auto last = static_cast<uint16_t>(g.vertices.size() - 1);
  auto ring = [&](int r, int k) {
    return static_cast<uint16_t>(1 + (r - 1) * around + k % around);
  };
  auto away = [&](uint16_t v, float dx) {
    const Vector3& p = g.vertices[v].position;
    return Vector3{dx, p.y, p.z};
  };
  for (int k = 0; k < around; ++k) {
    g.Triangle(0, ring(1, k), ring(1, k + 1), {-1, 0, 0}, band(0));
    g.Triangle(last, ring(rings, k), ring(rings, k + 1), {1, 0, 0}, band(rings));
    for (int r = 1; r < rings; ++r) {
      g.Triangle(ring(r, k), ring(r + 1, k), ring(r + 1, k + 1), away(ring(r, k), 0), band(r));
      g.Triangle(ring(r, k), ring(r + 1, k + 1), ring(r, k + 1), away(ring(r, k), 0), band(r));
    }
  }
  g.SmoothNormals();
  return g;
}

// A sphere of `radius` around `centre`, appended to g with attribute `attribute`.
void AddSphere(Geometry& g, Vector3 centre, float radius, uint32_t attribute) {
  Geometry s = Revolve(
      -radius, radius, 5, 10,
      [&](float t) { return radius * std::sqrt(1 - (2 * t - 1) * (2 * t - 1)); },
      [&](int) { return attribute; });
  const auto base = static_cast<uint16_t>(g.vertices.size());
  for (Vertex v : s.vertices) {
    v.position = {v.position.x + centre.x, v.position.y + centre.y, v.position.z + centre.z};
    g.vertices.push_back(v);
  }
  for (uint16_t i : s.indices) g.indices.push_back(static_cast<uint16_t>(base + i));
  g.attributes.insert(g.attributes.end(), s.attributes.begin(), s.attributes.end());
}

const VertexElement kLayout[] = {
    {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0},
    {0, 12, ElementType::F32x3, ElementMethod::Default, ElementUsage::Normal, 0},
    kEndElement,
};

Mesh* MakeMesh(GraphicsDevice* device, const Geometry& g) {
  Mesh* mesh = nullptr;
  Check(CreateMesh(static_cast<uint32_t>(g.indices.size() / 3),
                   static_cast<uint32_t>(g.vertices.size()), MeshOptions::VertexSystemMemory,
                   kLayout, device, &mesh),
        "making a mesh");
  void* p = nullptr;
  Check(mesh->LockVertices(0, &p), "writing vertices");
  std::memcpy(p, g.vertices.data(), g.vertices.size() * sizeof(Vertex));
  mesh->UnlockVertices();
  Check(mesh->LockIndices(0, &p), "writing indices");
  std::memcpy(p, g.indices.data(), g.indices.size() * sizeof(uint16_t));
  mesh->UnlockIndices();
  uint32_t* ids = nullptr;
  Check(mesh->LockAttributeIds(0, &ids), "writing attribute ids");
  std::memcpy(ids, g.attributes.data(), g.attributes.size() * sizeof(uint32_t));
  mesh->UnlockAttributeIds();
  return mesh;
}

Material Colour(float r, float g, float b, float power) {
  Material m{};
  m.diffuse = {r, g, b, 1};
  m.ambient = {r * 0.3f, g * 0.3f, b * 0.3f, 1};
  m.specular = {0.3f, 0.3f, 0.3f, 1};
  m.power = power;
  return m;
}

// A bone chain along +x: bone i starts at joints[i] (in the root's space) and follows bone i - 1.
struct Skeleton {
  std::vector<std::string> names;
  std::vector<float> joints;
};

// Weights of the vertex at x: each bone leads on its own segment and hands over to its neighbour
// smoothly within `blend` of a joint.
std::vector<float> Weights(const Skeleton& s, float x, float blend) {
  const size_t n = s.joints.size();
  std::vector<float> w(n, 0.0f);
  size_t bone = 0;
  while (bone + 1 < n && x >= s.joints[bone + 1]) ++bone;
  w[bone] = 1;
  for (size_t j = 1; j < n; ++j) {
    const float d = (x - s.joints[j]) / blend;  // -1 .. 1 across joint j
    if (d <= -1 || d >= 1) continue;
    const float share = 0.5f + 0.5f * std::sin(d * kPi / 2);  // bone j's share
    std::fill(w.begin(), w.end(), 0.0f);
    w[j - 1] = 1 - share;
    w[j] = share;
  }
  return w;
}

SkinInfo* MakeSkin(const Skeleton& s, const Geometry& g, float blend) {
  SkinInfo* skin = nullptr;
  const auto bones = static_cast<uint32_t>(s.joints.size());
  Check(CreateSkinInfo(static_cast<uint32_t>(g.vertices.size()), kLayout, bones, &skin),
        "making the skin");
  std::vector<std::vector<uint32_t>> vertices(bones);
  std::vector<std::vector<float>> weights(bones);
  for (uint32_t v = 0; v < g.vertices.size(); ++v) {
    const std::vector<float> w = Weights(s, g.vertices[v].position.x, blend);
    for (uint32_t b = 0; b < bones; ++b) {
      if (w[b] <= 0) continue;
      vertices[b].push_back(v);
      weights[b].push_back(w[b]);
    }
  }
  for (uint32_t b = 0; b < bones; ++b) {
    Check(skin->SetBoneWeights(b, static_cast<uint32_t>(vertices[b].size()), vertices[b].data(),
                               weights[b].data()),
          "setting bone weights");
    Check(skin->SetBoneLabel(b, s.names[b].c_str()), "naming a bone");
    Matrix offset;  // from the root's space into the bone's, at rest
    BuildTranslation(&offset, -s.joints[b], 0, 0);
    Check(skin->SetBoneOffset(b, &offset), "setting a bone offset");
  }
  return skin;
}

// The host records of the scene: plain heap frames and containers, freed by the program.
struct Scene {
  std::vector<Frame*> frames;
  std::vector<MeshContainer*> containers;
  std::vector<std::vector<Material>> materials;
  ~Scene() {
    for (MeshContainer* c : containers) {
      if (c->mesh) c->mesh->Release();
      if (c->skinInfo) c->skinInfo->Release();
      delete c;
    }
    for (Frame* f : frames) delete f;
  }
  Frame* AddFrame(const char* name, Frame* parent, float x) {
    auto* f = new Frame{};
    f->name = const_cast<char*>(name);
    BuildTranslation(&f->matrix, x, 0, 0);
    if (parent) Check(LyrFrameAppendChild(parent, f), "linking frames");
    frames.push_back(f);
    return f;
  }
  void AddMesh(Frame* frame, const char* name, Mesh* mesh, SkinInfo* skin,
               std::vector<Material> list) {
    materials.push_back(std::move(list));
    auto* c = new MeshContainer{};
    c->name = const_cast<char*>(name);
    c->meshType = MeshTypeMesh;
    c->mesh = mesh;
    c->skinInfo = skin;
    c->materials = materials.back().data();
    c->materialCount = static_cast<uint32_t>(materials.back().size());
    c->next = frame->meshContainers;
    frame->meshContainers = c;
    containers.push_back(c);
  }
};

// One interpolator per bone, keyed every tick over `seconds`: the bone's rest translation and
// the rotation pose(bone, phase) gives as yaw (about y) and roll (about z), phase in [0, 1].
template <class Pose>
AnimationSet* MakeSet(const char* name, const Skeleton& s, double seconds, Pose pose) {
  const int keys = static_cast<int>(seconds * kTicksPerSecond) + 1;
  std::vector<KeyFrameInterpolator*> items;
  for (size_t b = 0; b < s.names.size(); ++b) {
    std::vector<RotationKey> rotation;
    std::vector<VectorKey> translation;
    const float rest = b ? s.joints[b] - s.joints[b - 1] : s.joints[0];
    for (int k = 0; k < keys; ++k) {
      float yaw = 0, roll = 0;
      pose(b, float(k) / float(keys - 1), &yaw, &roll);
      Quaternion q;
      QuaternionFromYawPitchRoll(&q, yaw, 0, roll);
      rotation.push_back({float(k), q});
      translation.push_back({float(k), {rest, 0, 0}});
    }
    // Every channel ends on the same tick: that tick is then the period.
    const VectorKey scale[2] = {{0, {1, 1, 1}}, {float(keys - 1), {1, 1, 1}}};
    KeyFrameInterpolator* item = nullptr;
    Check(LyrCreateKeyFrameInterpolator(s.names[b].c_str(), scale, 2, rotation.data(),
                                        static_cast<uint32_t>(keys), translation.data(),
                                        static_cast<uint32_t>(keys), kTicksPerSecond, &item),
          "making an interpolator");
    items.push_back(item);
  }
  AnimationSet* set = nullptr;
  Check(LyrCreateAnimationSet(name, items.data(), static_cast<uint32_t>(items.size()), &set),
        "making an animation set");
  for (KeyFrameInterpolator* item : items) item->Release();
  return set;
}

void Save(const char* path, Frame* root, const std::vector<AnimationSet*>& sets) {
  AnimationController* controller = nullptr;
  Check(LyrCreateAnimationController(1, static_cast<uint32_t>(sets.size()), 1, 1, &controller),
        "making the controller");
  for (AnimationSet* set : sets) {
    Check(controller->RegisterSet(set), "registering a set");
    set->Release();
  }
  Check(LyrSaveMeshHierarchyToFileA(path, kVekFormatText, root, controller, nullptr), path);
  controller->Release();
}

void MakeCreature(GraphicsDevice* device, const char* path) {
  const Skeleton s{{"tail", "body", "neck", "head"}, {0.0f, 1.0f, 2.0f, 3.0f}};
  // A caterpillar from x = -0.3 to 3.85, fattening towards the head, in green and yellow bands.
  Geometry body = Revolve(
      -0.3f, 3.85f, 40, 16,
      [](float t) { return (0.3f + 0.2f * t) * std::pow(std::sin(kPi * t), 0.45f); },
      [](int r) { return (r / 4) % 2 == 1 && r < 33 ? 1u : 0u; });
  Geometry eyes;
  AddSphere(eyes, {0.55f, 0.22f, 0.27f}, 0.14f, 0);
  AddSphere(eyes, {0.55f, 0.22f, -0.27f}, 0.14f, 0);

  Scene scene;
  Frame* root = scene.AddFrame("creature", nullptr, 0);
  Frame* parent = root;
  std::vector<Frame*> bones;
  for (size_t b = 0; b < s.names.size(); ++b) {
    const float x = b ? s.joints[b] - s.joints[b - 1] : s.joints[0];
    bones.push_back(parent = scene.AddFrame(s.names[b].c_str(), parent, x));
  }
  scene.AddMesh(root, "caterpillar", MakeMesh(device, body), MakeSkin(s, body, 0.45f),
                {Colour(0.36f, 0.72f, 0.22f, 12), Colour(0.98f, 0.78f, 0.16f, 12)});
  scene.AddMesh(bones.back(), "eyes", MakeMesh(device, eyes), nullptr,
                {Colour(0.06f, 0.06f, 0.09f, 40)});

  // "look": the head rises, turns to one side and then the other; "crawl": a wave runs from the
  // head to the tail, sideways and up and down, the head steadying against it.
  AnimationSet* look = MakeSet("look", s, 2.0, [](size_t b, float t, float* yaw, float* roll) {
    const float rise = std::sin(kPi * t);
    if (b == 2) *roll = -0.6f * rise;
    if (b == 3) {
      *roll = 0.3f * rise;
      *yaw = 0.7f * std::sin(2 * kPi * t) * rise;
    }
  });
  AnimationSet* crawl = MakeSet("crawl", s, 1.0, [](size_t b, float t, float* yaw, float* roll) {
    // The tail bone carries the whole chain: it only sways a little.
    const float phase = 2 * kPi * (t + 0.25f * float(b));
    const float share = b == 0 ? 0.25f : b == 3 ? -0.6f : 1.0f;
    *yaw = 0.25f * std::sin(phase) * share;
    *roll = 0.4f * std::cos(phase) * share;
  });
  Save(path, root, {look, crawl});
}

void MakeTube(GraphicsDevice* device, const char* path) {
  const Skeleton s{{"base", "middle", "tip"}, {0.0f, 0.7f, 1.4f}};
  Geometry tube = Revolve(
      -0.05f, 2.1f, 24, 12, [](float t) { return 0.22f * std::pow(std::sin(kPi * t), 0.2f); },
      [](int) { return 0u; });
  Scene scene;
  Frame* root = scene.AddFrame("tube", nullptr, 0);
  Frame* parent = root;
  for (size_t b = 0; b < s.names.size(); ++b)
    parent = scene.AddFrame(s.names[b].c_str(), parent, s.joints[b] - (b ? s.joints[b - 1] : 0));
  scene.AddMesh(root, "tube", MakeMesh(device, tube), MakeSkin(s, tube, 0.3f),
                {Colour(0.3f, 0.55f, 0.95f, 20)});
  AnimationSet* bend = MakeSet("bend", s, 2.0, [](size_t b, float t, float*, float* roll) {
    if (b > 0) *roll = 0.8f * std::sin(kPi * t);
  });
  Save(path, root, {bend});
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc == 3 ? argv[1] : "";
  if (what != "creature" && what != "tube") {
    std::fprintf(stderr, "usage: make_sample creature|tube FILE\n");
    return 2;
  }
  GraphicsDevice* device = nullptr;
  Check(LoadReferenceDevice(RefDeviceDesc{}, &device), "loading the reference device");
  if (what == "creature") MakeCreature(device, argv[2]);
  if (what == "tube") MakeTube(device, argv[2]);
  device->Release();
  return 0;
}
