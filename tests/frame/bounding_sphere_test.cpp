// The bounding sphere of a frame tree's plain meshes, on meshes made on the reference device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "lyr/bounds.h"
#include "lyr/mesh.h"
#include "ref_device.h"

namespace lyr {
namespace {

constexpr VertexElement kPosition = {
    0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0};

Matrix Identity() {
  return {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
}
Matrix Translation(float x, float y, float z) {
  Matrix m = Identity();
  m.m[3][0] = x;
  m.m[3][1] = y;
  m.m[3][2] = z;
  return m;
}

// A Mesh of one face whose vertices hold `points` at `element` (stride: the element's end, or
// `stride` when larger).
Ref<Mesh> MakeMesh(GraphicsDevice* device, const std::vector<Vector3>& points,
                   VertexElement element = kPosition, uint32_t stride = 0) {
  VertexElement decl[3] = {element, kEndElement, kEndElement};
  if (stride > element.offset + ElementTypeSize(element.type)) {
    // Pad the vertex with a colour after the element so the stride is what was asked for.
    decl[1] = {0,
               uint16_t(stride - 4),
               ElementType::ColorArgb8,
               ElementMethod::Default,
               ElementUsage::Color,
               0};
    decl[2] = kEndElement;
  }
  Mesh* mesh = nullptr;
  EXPECT_EQ(CreateMesh(1, uint32_t(points.size()), 0x1, decl, device, &mesh), Ok);
  if (!mesh) return Ref<Mesh>();
  const uint32_t vstride = mesh->GetVertexStride();
  uint8_t* bytes = nullptr;
  EXPECT_EQ(mesh->LockVertices(0, reinterpret_cast<void**>(&bytes)), Ok);
  for (size_t i = 0; i < points.size(); ++i) {
    float v[4] = {points[i].x, points[i].y, points[i].z, 1.0f};
    std::memcpy(bytes + i * vstride + element.offset, v, ElementTypeSize(element.type));
  }
  EXPECT_EQ(mesh->UnlockVertices(), Ok);
  return Ref<Mesh>(mesh);
}

struct Node {
  Frame frame{};
  MeshContainer container{};
  explicit Node(const Matrix& m, Mesh* mesh = nullptr, uint32_t type = MeshTypeMesh) {
    frame.matrix = m;
    if (mesh || type != MeshTypeMesh) {
      container.meshType = type;
      container.mesh = mesh;
      frame.meshContainers = &container;
    }
  }
};

struct Sphere {
  LyrResult result;
  Vector3 c;
  float r;
};

Sphere Bound(const Frame* root) {
  Sphere s{0, {-7, -7, -7}, -7};
  s.result = LyrFrameCalculateBoundingSphere(root, &s.c, &s.r);
  return s;
}

TEST(BoundingSphere, MeanCentreAndFarthestVertex) {
  Ref<GraphicsDevice> device = test::MakeRefDevice();
  Ref<Mesh> pair = MakeMesh(device.get(), {{-1, 0, 0}, {1, 0, 0}});
  Node root(Translation(10, 0, 0), pair.get());
  Sphere s = Bound(&root.frame);
  EXPECT_EQ(s.result, Ok);
  EXPECT_FLOAT_EQ(s.c.x, 10);
  EXPECT_FLOAT_EQ(s.c.y, 0);
  EXPECT_FLOAT_EQ(s.r, 1);

  // The centre is the mean, not the middle of the extremes; the position may sit anywhere in a
  // wider vertex.
  VertexElement at12 = kPosition;
  at12.offset = 12;
  Ref<Mesh> skewed = MakeMesh(device.get(), {{0, 1, 0}, {0, 2, 0}, {0, 6, 0}}, at12, 32);
  Node other(Identity(), skewed.get());
  s = Bound(&other.frame);
  EXPECT_FLOAT_EQ(s.c.y, 3);
  EXPECT_FLOAT_EQ(s.r, 3);

  // Both outputs null still walks and succeeds; a null root is refused and writes nothing.
  EXPECT_EQ(LyrFrameCalculateBoundingSphere(&root.frame, nullptr, nullptr), Ok);
  s = Bound(nullptr);
  EXPECT_EQ(s.result, ErrInvalidCall);
  EXPECT_EQ(s.r, -7);
  EXPECT_EQ(s.c.x, -7);
}

TEST(BoundingSphere, OriginVerticesAreLeftOut) {
  Ref<GraphicsDevice> device = test::MakeRefDevice();
  // (0, 0, 0) and (-0, 0, -0) are ignored even though the frame moves them; a NaN is not zero.
  Ref<Mesh> mesh = MakeMesh(device.get(), {{0, 0, 0}, {2, 0, 0}, {-0.0f, 0, -0.0f}, {4, 0, 0}});
  Node root(Translation(5, 0, 0), mesh.get());
  Sphere s = Bound(&root.frame);
  EXPECT_FLOAT_EQ(s.c.x, 8);
  EXPECT_FLOAT_EQ(s.r, 1);

  // Only origin vertices: centre (0, 0, 0), radius 0.
  Ref<Mesh> zeros = MakeMesh(device.get(), {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  Node z(Translation(5, 5, 5), zeros.get());
  s = Bound(&z.frame);
  EXPECT_EQ(s.result, Ok);
  EXPECT_EQ(s.c.x, 0);
  EXPECT_EQ(s.c.y, 0);
  EXPECT_EQ(s.r, 0);
}

TEST(BoundingSphere, WorldMatricesSiblingsAndMeshKinds) {
  Ref<GraphicsDevice> device = test::MakeRefDevice();
  Ref<Mesh> unit = MakeMesh(device.get(), {{1, 0, 0}});
  Ref<Mesh> far = MakeMesh(device.get(), {{1000, 0, 0}});
  // Root translates by (10, 0, 0); its child turns a quarter about z. The child's own turn comes
  // first: (1, 0, 0) -> (0, 1, 0) -> (10, 1, 0).
  Matrix turn{{{0, 1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
  Node root(Translation(10, 0, 0));
  Node child(turn, unit.get());
  Node rootSibling(Identity(), far.get());
  root.frame.firstChild = &child.frame;
  root.frame.nextSibling = &rootSibling.frame;
  // Children's siblings do count: a second child with the same vertex untransformed.
  Node child2(Identity(), unit.get());
  child.frame.nextSibling = &child2.frame;
  // Progressive and patch meshes, and meshes without a usable position, add nothing.
  Node prog(Identity(), nullptr, MeshTypeProgressiveMesh);
  Node patch(Identity(), nullptr, MeshTypePatchMesh);
  VertexElement index1 = kPosition, four = kPosition;
  index1.usageIndex = 1;
  four.type = ElementType::F32x4;
  Ref<Mesh> m1 = MakeMesh(device.get(), {{500, 0, 0}}, index1);
  Ref<Mesh> m4 = MakeMesh(device.get(), {{500, 0, 0}}, four);
  Node n1(Identity(), m1.get()), n4(Identity(), m4.get());
  child2.frame.firstChild = &prog.frame;
  prog.frame.nextSibling = &patch.frame;
  patch.frame.nextSibling = &n1.frame;
  n1.frame.nextSibling = &n4.frame;
  // A second container on the child, in list order after the first.
  MeshContainer second{};
  second.meshType = MeshTypeMesh;
  second.mesh = unit.get();
  child.container.next = &second;

  const Sphere s = Bound(&root.frame);
  ASSERT_EQ(s.result, Ok);
  // (10, 1, 0) twice and (11, 0, 0) once.
  EXPECT_FLOAT_EQ(s.c.x, 31.0f / 3);
  EXPECT_FLOAT_EQ(s.c.y, 2.0f / 3);
  EXPECT_NEAR(s.r, std::sqrt((2.0f / 3) * (2.0f / 3) * 2), 1e-5f);

  // Every buffer lock was released.
  EXPECT_EQ(test::ControlOf(device.get())->OutstandingLocks(), 0u);
}

// Builds the same two-mesh tree on a fresh device whose n-th lock fails (0: none) and bounds it.
struct LockRun {
  LyrResult result;
  Sphere s;
  uint32_t locks;  // locks taken by the bounding call
  uint32_t setup;  // locks taken while building the meshes
  uint32_t outstanding;
  uint32_t bufferRefs;  // references left on the first mesh's vertex buffer
};

LockRun RunWithFailingLock(uint32_t n) {
  RefDeviceDesc desc;
  desc.failLock = n;
  Ref<GraphicsDevice> device = test::MakeRefDevice(desc);
  Ref<RefDeviceControl> control = test::ControlOf(device.get());
  Ref<Mesh> a = MakeMesh(device.get(), {{1, 0, 0}, {3, 0, 0}});
  Ref<Mesh> b = MakeMesh(device.get(), {{5, 0, 0}});
  Node root(Identity(), a.get()), child(Identity(), b.get());
  root.frame.firstChild = &child.frame;
  LockRun run{};
  run.setup = control->CallCount(kRefCallLock);
  run.s = Bound(&root.frame);
  run.result = run.s.result;
  run.locks = control->CallCount(kRefCallLock) - run.setup;
  run.outstanding = control->OutstandingLocks();
  VertexBuffer* vb = nullptr;
  a->GetVertexBufferRef(&vb);
  run.bufferRefs = vb->Release();
  return run;
}

TEST(BoundingSphere, LockFailuresStopTheWalkAndWriteNothing) {
  const LockRun clean = RunWithFailingLock(0);
  ASSERT_EQ(clean.result, Ok);
  EXPECT_EQ(clean.locks, 4u);  // each buffer twice
  EXPECT_FLOAT_EQ(clean.s.c.x, 3);
  EXPECT_FLOAT_EQ(clean.s.r, 2);
  for (uint32_t k = 1; k <= 4; ++k) {
    SCOPED_TRACE(k);
    const LockRun run = RunWithFailingLock(clean.setup + k);
    EXPECT_EQ(run.result, RefDeviceDesc{}.failureCode);
    EXPECT_EQ(run.locks, k);  // nothing more was locked after the failure
    EXPECT_EQ(run.s.c.x, -7);
    EXPECT_EQ(run.s.r, -7);
    EXPECT_EQ(run.outstanding, 0u);
    EXPECT_EQ(run.bufferRefs, clean.bufferRefs);
  }
}

}  // namespace
}  // namespace lyr
