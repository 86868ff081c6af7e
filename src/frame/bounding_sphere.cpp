#include <cmath>
#include <cstring>

#include "core/object_impl.h"
#include "lyr/bounds.h"
#include "lyr/mesh.h"
#include "mesh/adjacency.h"

namespace lyr {
namespace {

// Calls take(position) for every vertex of the container's Mesh, transformed by `world`, except
// those at the model-space origin.
template <class Take>
LyrResult VisitContainer(const MeshContainer* container, const Matrix& world, Take& take) {
  if (container->meshType != MeshTypeMesh || !container->mesh) return Ok;
  Mesh* mesh = container->mesh;
  VertexElement declaration[MaxElementEntries];
  if (LyrResult r = mesh->CopyDeclaration(declaration); Failed(r)) return r;
  const VertexElement* position = FindFloat3Position(declaration);
  if (!position) return Ok;
  const uint32_t stride = StreamVertexSize(declaration, 0);
  const uint32_t count = mesh->GetVertexCount();
  VertexBuffer* buffer = nullptr;
  if (LyrResult r = mesh->GetVertexBufferRef(&buffer); Failed(r)) return r;
  if (!buffer) return Ok;  // a Mesh without vertices has nothing to add
  Ref<VertexBuffer> hold(buffer);
  void* bytes = nullptr;
  if (LyrResult r = buffer->LockBuffer(0, 0, &bytes, kLockNoSystemLock); Failed(r)) return r;
  const uint8_t* base = static_cast<const uint8_t*>(bytes) + position->offset;
  for (uint32_t v = 0; v < count; ++v) {
    Vector3 p;
    std::memcpy(&p, base + size_t(v) * stride, sizeof p);
    if (p.x == 0.0f && p.y == 0.0f && p.z == 0.0f) continue;
    TransformPoint3(&p, &p, &world);
    take(p);
  }
  buffer->UnlockBuffer();  // a read lock: nothing to lose if releasing it fails
  return Ok;
}

// Visits `frame` under its parent's world matrix: its containers in list order, then its
// children. Siblings of `frame` itself are the caller's business.
template <class Take>
LyrResult VisitFrame(const Frame* frame, const Matrix& parentWorld, Take& take) {
  Matrix world;
  MultiplyMatrix(&world, &frame->matrix, &parentWorld);
  for (const MeshContainer* c = frame->meshContainers; c; c = c->next) {
    if (LyrResult r = VisitContainer(c, world, take); Failed(r)) return r;
  }
  for (const Frame* child = frame->firstChild; child; child = child->nextSibling) {
    if (LyrResult r = VisitFrame(child, world, take); Failed(r)) return r;
  }
  return Ok;
}

LyrResult CalculateBoundingSphere(const Frame* root, Vector3* center, float* radius) {
  const Matrix identity{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
  Vector3 sum{0, 0, 0};
  uint32_t count = 0;
  auto add = [&](const Vector3& p) {
    sum.x += p.x;
    sum.y += p.y;
    sum.z += p.z;
    ++count;
  };
  if (LyrResult r = VisitFrame(root, identity, add); Failed(r)) return r;
  Vector3 c{0, 0, 0};
  float farthest = 0.0f;
  if (count > 0) {
    const float reciprocal = 1.0f / float(count);
    c = {sum.x * reciprocal, sum.y * reciprocal, sum.z * reciprocal};
    auto reach = [&](const Vector3& p) {
      const float dx = p.x - c.x, dy = p.y - c.y, dz = p.z - c.z;
      const float d2 = dx * dx + dy * dy + dz * dz;
      if (d2 > farthest) farthest = d2;
    };
    if (LyrResult r = VisitFrame(root, identity, reach); Failed(r)) return r;
  }
  if (radius) *radius = std::sqrt(farthest);
  if (center) *center = c;
  return Ok;
}

}  // namespace
}  // namespace lyr

extern "C" LYR_API LyrResult LYR_CALL LyrFrameCalculateBoundingSphere(const lyr::Frame* root,
                                                                      lyr::Vector3* center,
                                                                      float* radius) {
  if (!root) return lyr::ErrInvalidCall;
  return lyr::Guard([&] { return lyr::CalculateBoundingSphere(root, center, radius); });
}
