#include "render.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <utility>

#if LYR_TOOL_PNG
#include <png.h>
#endif

#include "patch/patch_impl.h"

namespace lyr::tool {

namespace {

constexpr uint32_t kBackground = 0xFF262C36u;
constexpr uint32_t kSheetBackground = 0xFF15181Du;
constexpr float kDefaultColour[4] = {0.75f, 0.75f, 0.75f, 1.0f};
// Triangles a patch mesh may tessellate into; the level drops for meshes of many patches.
constexpr double kPatchTriangleBudget = 200000;
constexpr float kPatchLevel = 8;

Matrix Identity() {
  Matrix m{};
  for (int i = 0; i < 4; ++i) m.m[i][i] = 1;
  return m;
}

Vector3 Sub(Vector3 a, Vector3 b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vector3 Add(Vector3 a, Vector3 b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vector3 Scale(Vector3 a, float s) {
  return {a.x * s, a.y * s, a.z * s};
}
float Dot(Vector3 a, Vector3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vector3 Cross(Vector3 a, Vector3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vector3 Unit(Vector3 a) {
  const float n = std::sqrt(Dot(a, a));
  return n > 0 ? Scale(a, 1 / n) : a;
}

// Holds one reference; released on scope exit.
template <class T>
struct Held {
  T* p = nullptr;
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() { SafeRelease(p); }
  T* release() { return std::exchange(p, nullptr); }
};

// A vertex lock that is undone on scope exit, also when a Failure is thrown.
class VertexLock {
 public:
  VertexLock(BaseMesh* mesh, uint32_t flags, const std::string& what) : mesh_(mesh) {
    Check(mesh->LockVertices(flags, &data_), what);
  }
  ~VertexLock() { mesh_->UnlockVertices(); }
  VertexLock(const VertexLock&) = delete;
  VertexLock& operator=(const VertexLock&) = delete;
  void* data() const { return data_; }

 private:
  BaseMesh* mesh_;
  void* data_ = nullptr;
};

std::string NameOf(const MeshContainer* c) {
  if (!c->name || !*c->name) return "(unnamed)";
  std::string quoted(1, '\'');
  quoted.append(c->name).push_back('\'');
  return quoted;
}

// Mean and farthest distance of a point cloud (the library's bounding-sphere rule).
class SphereBuilder {
 public:
  void Take(const Vector3& p) { points_.push_back(p); }
  Sphere Finish() const {
    Sphere s;
    if (points_.empty()) return s;
    Vector3 sum{0, 0, 0};
    for (const Vector3& p : points_) sum = Add(sum, p);
    s.centre = Scale(sum, 1.0f / static_cast<float>(points_.size()));
    float far2 = 0;
    for (const Vector3& p : points_) far2 = std::max(far2, Dot(Sub(p, s.centre), Sub(p, s.centre)));
    s.radius = std::sqrt(far2);
    s.empty = false;
    return s;
  }

 private:
  std::vector<Vector3> points_;
};

}  // namespace

Sphere Merge(const Sphere& a, const Sphere& b) {
  if (a.empty) return b;
  if (b.empty) return a;
  const Vector3 d = Sub(b.centre, a.centre);
  const float dist = std::sqrt(Dot(d, d));
  if (dist + b.radius <= a.radius) return a;
  if (dist + a.radius <= b.radius) return b;
  Sphere s;
  s.empty = false;
  s.radius = (dist + a.radius + b.radius) / 2;
  s.centre = Add(a.centre, Scale(d, (s.radius - a.radius) / dist));
  return s;
}

const std::vector<std::pair<std::string, CameraView>>& CameraViews() {
  static const std::vector<std::pair<std::string, CameraView>> views = {
      {"auto", CameraView::Auto}, {"front", CameraView::Front}, {"back", CameraView::Back},
      {"side", CameraView::Side}, {"top", CameraView::Top},
  };
  return views;
}

// What one mesh container draws with. `mesh` is the container's own mesh, or the renderer's copy
// that receives the skinned vertices, or a patch mesh's tessellation.
struct SceneRenderer::Drawable {
  const Frame* frame = nullptr;
  const MeshContainer* container = nullptr;
  BaseMesh* mesh = nullptr;  // one reference held
  bool worldSpace = false;   // vertices are already in world space (skinned)
  bool ownGeometry = false;  // geometry the library's bounding sphere does not see
  Mesh* skinSource = nullptr;
  std::vector<const Frame*> bones;  // per bone: the frame whose world matrix moves it
  std::vector<Matrix> boneMatrices;
  std::vector<AttributeRange> groups;

  Drawable() = default;
  Drawable(const Drawable&) = delete;
  Drawable& operator=(const Drawable&) = delete;
  ~Drawable() { SafeRelease(mesh); }
};

SceneRenderer::SceneRenderer(Scene& scene, std::string folder)
    : scene_(scene), folder_(std::move(folder)) {
  // Every frame's containers, parents before children.
  std::vector<Frame*> pending;
  if (scene_.root) pending.push_back(scene_.root);
  while (!pending.empty()) {
    Frame* f = pending.back();
    pending.pop_back();
    for (MeshContainer* c = f->meshContainers; c; c = c->next) Prepare(f, c);
    if (f->nextSibling) pending.push_back(f->nextSibling);
    if (f->firstChild) pending.push_back(f->firstChild);
  }
  ComputeWorldMatrices();
  // Last, so that a failure above leaves no reference behind.
  Check(Device()->QueryInterface(RefDeviceControl::kIid, reinterpret_cast<void**>(&control_)),
        "the graphics device cannot draw pictures");
}

SceneRenderer::~SceneRenderer() {
  drawables_.clear();
  SafeRelease(control_);
}

void SceneRenderer::Prepare(Frame* frame, MeshContainer* container) {
  auto d = std::make_unique<Drawable>();
  d->frame = frame;
  d->container = container;
  const std::string name = NameOf(container);
  if (container->meshType == MeshTypeMesh && container->mesh) {
    Mesh* mesh = container->mesh;
    SkinInfo* skin = container->skinInfo;
    bool skinned = skin && skin->GetBoneCount() > 0;
    if (skinned) {
      VertexElement layout[MaxElementEntries];
      Check(skin->GetSkinDeclaration(layout), "reading the skin of mesh " + name);
      if (skin->GetSkinVertexCount() != mesh->GetVertexCount() ||
          StreamVertexSize(layout, 0) != mesh->GetVertexStride()) {
        Warn("the skin of mesh " + name + " does not match its vertices; drawn unskinned");
        skinned = false;
      }
    }
    if (skinned) {
      Mesh* copy = nullptr;
      const uint32_t options = (mesh->GetOptionBits() & MeshOptions::Index32) |
                               MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory;
      Check(mesh->CloneWithDeclaration(options, nullptr, Device(), &copy),
            "copying the skinned mesh " + name);
      d->mesh = copy;
      d->skinSource = mesh;
      d->worldSpace = true;
      d->ownGeometry = true;
      const uint32_t boneCount = skin->GetBoneCount();
      d->boneMatrices.resize(boneCount);
      for (uint32_t b = 0; b < boneCount; ++b) {
        const char* label = skin->GetBoneLabel(b);
        const Frame* bone = label ? LyrFrameFind(scene_.root, label) : nullptr;
        if (!bone) {
          Warn("bone '" + std::string(label ? label : "") + "' of mesh " + name +
               " names no frame; it follows the mesh's frame");
          bone = frame;
        }
        d->bones.push_back(bone);
      }
    } else {
      mesh->AddRef();
      d->mesh = mesh;
    }
  } else if (container->meshType == MeshTypeProgressiveMesh && container->progressiveMesh) {
    container->progressiveMesh->AddRef();
    d->mesh = container->progressiveMesh;
    d->ownGeometry = true;
    if (container->skinInfo) Warn("the progressive mesh " + name + " is drawn unskinned");
  } else if (container->meshType == MeshTypePatchMesh && container->patchMesh) {
    PatchMesh* patches = container->patchMesh;
    const PatchMeshInternal* internal = GetPatchMeshInternal(patches);
    if (!internal) {
      Warn("the patch mesh " + name + " is not one of this library's; not drawn");
      return;
    }
    const VertexElement* layout = internal->TessellationLayout();
    const double perPatch = kPatchTriangleBudget / std::max(1u, patches->GetPatchCount()) / 2;
    const float level = std::max(1.0f, std::min(kPatchLevel, float(std::sqrt(perPatch))));
    uint32_t faces = 0, vertices = 0;
    Held<Mesh> out;
    LyrResult r = patches->TessellatedSize(level, 0, &faces, &vertices);
    if (Succeeded(r) && faces && vertices)
      r = CreateMesh(faces, vertices,
                     MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory |
                         (vertices > 0xFFFF ? MeshOptions::Index32 : 0),
                     layout, Device(), &out.p);
    if (Succeeded(r) && out.p) r = patches->TessellateUniform(level, out.p);
    if (Failed(r) || !out.p) {
      // One patch form the tessellation does not take need not cost the whole picture.
      Warn("cannot tessellate the patch mesh " + name +
           (Failed(r) ? " (" + DescribeResult(r) + ")" : std::string(" (no patches)")) +
           "; not drawn");
      return;
    }
    d->mesh = out.release();
    d->ownGeometry = true;
  } else {
    return;  // a container without a mesh draws nothing
  }
  uint32_t count = 0;
  Check(d->mesh->CopyAttributeTable(nullptr, &count), "reading the subsets of mesh " + name);
  d->groups.resize(count);
  if (count) Check(d->mesh->CopyAttributeTable(d->groups.data(), &count), "reading subsets");
  d->groups.resize(count);
  if (d->groups.empty()) {
    // No table: one draw per material's attribute id (a Mesh then walks its faces itself).
    for (uint32_t id = 0; id < std::max(1u, container->materialCount); ++id)
      d->groups.push_back({id, 0, 0, 0, 0});
  }
  drawables_.push_back(std::move(d));
}

std::vector<std::string> SceneRenderer::SetNames() const {
  std::vector<std::string> names;
  if (!scene_.controller) return names;
  for (uint32_t i = 0; i < scene_.controller->SetCount(); ++i) {
    Held<AnimationSet> set;
    if (Failed(scene_.controller->SetAt(i, &set.p)) || !set.p) continue;
    names.push_back(set.p->Name() ? set.p->Name() : "");
  }
  return names;
}

std::string SceneRenderer::PlayingSet() const {
  if (!scene_.controller) return "";
  Held<AnimationSet> set;
  if (Failed(scene_.controller->GetTrackSet(0, &set.p)) || !set.p || !set.p->Name()) return "";
  return set.p->Name();
}

void SceneRenderer::PlaySet(const std::string& name) {
  const std::vector<std::string> names = SetNames();
  if (names.empty()) throw Failure("the scene has no animation sets, so none named '" + name + "'");
  for (uint32_t i = 0; i < scene_.controller->SetCount(); ++i) {
    Held<AnimationSet> set;
    if (Failed(scene_.controller->SetAt(i, &set.p)) || !set.p || !set.p->Name() ||
        name != set.p->Name())
      continue;
    Check(scene_.controller->SetTrackSet(0, set.p), "playing the set '" + name + "'");
    Check(scene_.controller->SetTrackPosition(0, 0), "playing the set '" + name + "'");
    return;
  }
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + ("'" + n + "'");
  throw Failure("no animation set named '" + name + "' (the scene has " + list + ")");
}

void SceneRenderer::ComputeWorldMatrices() {
  world_.clear();
  std::vector<std::pair<const Frame*, Matrix>> pending;
  if (scene_.root) pending.push_back({scene_.root, Identity()});
  while (!pending.empty()) {
    auto [f, parent] = pending.back();
    pending.pop_back();
    Matrix world;
    MultiplyMatrix(&world, &f->matrix, &parent);
    world_.push_back({f, world});
    if (f->nextSibling) pending.push_back({f->nextSibling, parent});
    if (f->firstChild) pending.push_back({f->firstChild, world});
  }
  std::sort(world_.begin(), world_.end(), [](const auto& a, const auto& b) {
    return std::less<const Frame*>()(a.first, b.first);
  });
}

const Matrix& SceneRenderer::WorldOf(const Frame* frame) const {
  static const Matrix identity = Identity();
  auto it = std::lower_bound(
      world_.begin(), world_.end(), frame,
      [](const auto& entry, const Frame* f) { return std::less<const Frame*>()(entry.first, f); });
  return it != world_.end() && it->first == frame ? it->second : identity;
}

void SceneRenderer::Pose(double time) {
  if (scene_.controller) Check(scene_.controller->SetTime(time), "playing the animation");
  ComputeWorldMatrices();
  for (const auto& d : drawables_) {
    if (!d->skinSource) continue;
    SkinInfo* skin = d->container->skinInfo;
    for (size_t b = 0; b < d->bones.size(); ++b) {
      const Matrix* offset = skin->GetBoneOffset(static_cast<uint32_t>(b));
      MultiplyMatrix(&d->boneMatrices[b], offset ? offset : &WorldOf(nullptr),
                     &WorldOf(d->bones[b]));
    }
    const std::string name = NameOf(d->container);
    LyrResult r;
    {
      VertexLock source(d->skinSource, kLockReadOnly, "reading the vertices of mesh " + name);
      VertexLock target(d->mesh, 0, "writing the skinned vertices of mesh " + name);
      r = skin->UpdateSkinnedVertices(d->boneMatrices.data(), nullptr, source.data(),
                                      target.data());
    }
    if (Failed(r)) {
      // A layout the skinning cannot read: the copy keeps the rest pose, placed by its frame.
      Warn("cannot skin mesh " + name + " (" + DescribeResult(r) + "); drawn in its rest pose");
      d->skinSource = nullptr;
      d->worldSpace = false;
    }
  }
}

Sphere SceneRenderer::Bounds() {
  Sphere library;
  Vector3 centre{0, 0, 0};
  float radius = 0;
  if (scene_.root && Succeeded(LyrFrameCalculateBoundingSphere(scene_.root, &centre, &radius)) &&
      (radius > 0 || centre.x != 0 || centre.y != 0 || centre.z != 0)) {
    library.centre = centre;
    library.radius = radius;
    library.empty = false;
  }
  SphereBuilder own;
  for (const auto& d : drawables_) {
    if (!d->ownGeometry) continue;
    VertexElement layout[MaxElementEntries];
    Check(d->mesh->CopyDeclaration(layout), "reading a vertex layout");
    const VertexElement* position = FindElement(layout, ElementUsage::Position, 0);
    if (!position || position->type != ElementType::F32x3 || position->stream != 0) continue;
    const uint32_t stride = d->mesh->GetVertexStride(), count = d->mesh->GetVertexCount();
    VertexLock lock(d->mesh, kLockReadOnly, "reading vertices");
    const auto* bytes = static_cast<const unsigned char*>(lock.data());
    const Matrix& world = d->worldSpace ? Identity() : WorldOf(d->frame);
    for (uint32_t v = 0; v < count; ++v) {
      Vector3 p;
      std::memcpy(&p, bytes + size_t{v} * stride + position->offset, sizeof p);
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
      if (!d->worldSpace) TransformPoint3(&p, &p, &world);
      own.Take(p);
    }
  }
  return Merge(library, own.Finish());
}

void SceneRenderer::Draw(const Sphere& bounds, CameraView view, bool zUp, uint32_t width,
                         uint32_t height) {
  if (width != width_ || height != height_) {
    Check(control_->SetRenderTarget(width, height), "making the picture");
    width_ = width;
    height_ = height;
  }
  Check(control_->Clear(kBackground, 1.0f), "clearing the picture");

  // The camera: on a line from the sphere's centre, far enough for the sphere to fit the narrower
  // field of view, upright (looking down, the scene's front is at the bottom).
  const Vector3 centre = bounds.empty ? Vector3{0, 0, 0} : bounds.centre;
  const float radius = bounds.empty || !(bounds.radius > 0) ? 1.0f : bounds.radius;
  Vector3 toEye{0.42f, 0.38f, -0.82f}, up{0, 1, 0};
  switch (view) {
    case CameraView::Auto:
      break;
    case CameraView::Front:
      toEye = {0, 0, -1};
      break;
    case CameraView::Back:
      toEye = {0, 0, 1};
      break;
    case CameraView::Side:
      toEye = {1, 0, 0};
      break;
    case CameraView::Top:
      toEye = {0, 1, 0}, up = {0, 0, 1};
      break;
  }
  if (zUp) {
    // The same places around a scene standing on z: only the camera moves, nothing is mirrored.
    std::swap(toEye.y, toEye.z);
    std::swap(up.y, up.z);
  }
  constexpr float kHalfFov = 0.35f;  // radians, vertical
  const float aspect = float(width) / float(height);
  const float halfX = std::atan(std::tan(kHalfFov) * aspect);
  const float distance = radius / std::sin(std::min(kHalfFov, halfX)) * 1.04f;
  const Vector3 eye = Add(centre, Scale(Unit(toEye), distance));
  const Vector3 zAxis = Unit(Sub(centre, eye));
  const Vector3 xAxis = Unit(Cross(up, zAxis));
  const Vector3 yAxis = Cross(zAxis, xAxis);
  const float viewMatrix[16] = {
      xAxis.x, yAxis.x, zAxis.x, 0, xAxis.y,          yAxis.y,          zAxis.y,          0,
      xAxis.z, yAxis.z, zAxis.z, 0, -Dot(xAxis, eye), -Dot(yAxis, eye), -Dot(zAxis, eye), 1};
  const float zn = std::max(distance - 1.5f * radius, distance * 0.01f);
  const float zf = distance + 1.5f * radius;
  const float ys = 1 / std::tan(kHalfFov), xs = ys / aspect, q = zf / (zf - zn);
  const float projection[16] = {xs, 0, 0, 0, 0, ys, 0, 0, 0, 0, q, 1, 0, 0, -q * zn, 0};
  Check(control_->SetTransform(kRefView, viewMatrix), "setting the camera");
  Check(control_->SetTransform(kRefProjection, projection), "setting the camera");
  // Light from above the viewer's left shoulder.
  const Vector3 towards = Unit(Add(Add(Scale(xAxis, 0.45f), Scale(yAxis, -0.75f)), zAxis));
  const RefLight light = {
      {towards.x, towards.y, towards.z}, {0.85f, 0.85f, 0.82f, 1}, {0.22f, 0.23f, 0.27f, 1}, 1};
  Check(control_->SetLight(&light), "setting the light");
  // Both sides: files do not agree on winding, and the depth test hides what is behind.
  Check(control_->SetCullMode(kRefCullNone), "setting the cull mode");

  for (const auto& d : drawables_) {
    const Matrix world = d->worldSpace ? Identity() : WorldOf(d->frame);
    Check(control_->SetTransform(kRefWorld, &world.m[0][0]), "placing a mesh");
    for (const AttributeRange& group : d->groups) {
      const Material* material =
          d->container->materials && group.attributeId < d->container->materialCount
              ? &d->container->materials[group.attributeId]
              : nullptr;
      const float colour[4] = {material ? material->diffuse.red : kDefaultColour[0],
                               material ? material->diffuse.green : kDefaultColour[1],
                               material ? material->diffuse.blue : kDefaultColour[2], 1.0f};
      Check(control_->SetMaterialColor(colour), "setting a material");
      std::string texture;
      if (material && material->textureFilename && *material->textureFilename) {
        texture = material->textureFilename;
        std::replace(texture.begin(), texture.end(), '\\', '/');  // names written on Windows
        if (texture[0] != '/' && !folder_.empty()) texture = folder_ + "/" + texture;
      }
      Check(control_->SetTextureFile(texture.empty() ? nullptr : texture.c_str()),
            "setting a texture");
      Check(d->mesh->DrawAttributeGroup(group.attributeId), "drawing mesh " + NameOf(d->container));
    }
  }
  Check(control_->SetTextureFile(nullptr), "setting a texture");
}

Image SceneRenderer::ReadImage() {
  Image image;
  image.width = width_;
  image.height = height_;
  image.pixels.resize(size_t{width_} * height_);
  Check(control_->ReadPixels(image.pixels.data(), static_cast<uint32_t>(image.pixels.size())),
        "reading the picture");
  return image;
}

void SceneRenderer::WritePng(const std::string& path) {
  const LyrResult r = control_->WritePng(path.c_str());
  if (r == ErrNotAvailable) throw Failure("this build cannot write PNG files (no PNG library)");
  if (r == ErrFileOpenFailed) throw Failure("cannot write '" + path + "'");
  Check(r, "writing '" + path + "'");
}

ContactSheet::ContactSheet(uint32_t count, uint32_t width, uint32_t height, uint32_t maxSide) {
  columns_ = std::max(1u, static_cast<uint32_t>(std::ceil(std::sqrt(double(count)))));
  const uint32_t rows = std::max(1u, (count + columns_ - 1) / columns_);
  auto side = [](uint32_t cells, uint32_t cell) { return cells * cell + (cells + 1) * kGap; };
  while ((width / shrink_ > 1 && side(columns_, width / shrink_) > maxSide) ||
         (height / shrink_ > 1 && side(rows, height / shrink_) > maxSide))
    ++shrink_;
  cellWidth_ = std::max(1u, width / shrink_);
  cellHeight_ = std::max(1u, height / shrink_);
  sheet_.width = side(columns_, cellWidth_);
  sheet_.height = side(rows, cellHeight_);
  sheet_.pixels.assign(size_t{sheet_.width} * sheet_.height, kSheetBackground);
}

void ContactSheet::Place(uint32_t index, const Image& f) {
  const uint32_t x0 = kGap + (index % columns_) * (cellWidth_ + kGap);
  const uint32_t y0 = kGap + (index / columns_) * (cellHeight_ + kGap);
  if (x0 + cellWidth_ > sheet_.width || y0 + cellHeight_ > sheet_.height) return;
  for (uint32_t y = 0; y < cellHeight_; ++y)
    for (uint32_t x = 0; x < cellWidth_; ++x) {
      // Box filter over the shrink x shrink source pixels, per channel.
      uint32_t sum[4] = {}, taken = 0;
      for (uint32_t sy = y * shrink_; sy < std::min(f.height, (y + 1) * shrink_); ++sy)
        for (uint32_t sx = x * shrink_; sx < std::min(f.width, (x + 1) * shrink_); ++sx) {
          const uint32_t p = f.pixels[size_t{sy} * f.width + sx];
          for (int k = 0; k < 4; ++k) sum[k] += (p >> (8 * k)) & 0xFF;
          ++taken;
        }
      uint32_t p = kSheetBackground;
      if (taken) {
        p = 0;
        for (int k = 0; k < 4; ++k) p |= ((sum[k] + taken / 2) / taken) << (8 * k);
      }
      sheet_.pixels[size_t{y0 + y} * sheet_.width + x0 + x] = p;
    }
}

void WritePngFile(const std::string& path, const Image& image) {
#if LYR_TOOL_PNG
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = image.width;
  png.height = image.height;
  png.format = PNG_FORMAT_BGRA;  // 0xAARRGGBB stored little-endian
  if (!png_image_write_to_file(&png, path.c_str(), 0, image.pixels.data(), 0, nullptr)) {
    const std::string why = png.message;
    png_image_free(&png);
    throw Failure("cannot write '" + path + "': " + why);
  }
#else
  (void)image;
  throw Failure("this build cannot write '" + path + "' (no PNG library)");
#endif
}

}  // namespace lyr::tool
