// Plain records and bit constants of the Mesh: attribute ranges, creation options and the
// optimiser's flags.
//
// Provided by: no library; types and constants only, shared by both libraries' interfaces.
#pragma once

#include "lyr/config.h"

namespace lyr {

// One entry of a Mesh's attribute table: the contiguous faces and vertices of one attribute id.
struct AttributeRange {
  uint32_t attributeId;
  uint32_t firstFace;
  uint32_t faceCount;
  uint32_t firstVertex;
  uint32_t vertexCount;
};
static_assert(sizeof(AttributeRange) == 20);

// MeshOptions: creation options of a Mesh.
namespace MeshOptions {
inline constexpr uint32_t Index32 = 0x1;
inline constexpr uint32_t NoClip = 0x2;
inline constexpr uint32_t Points = 0x4;
inline constexpr uint32_t HighOrder = 0x8;
inline constexpr uint32_t VertexSystemMemory = 0x10;
inline constexpr uint32_t VertexManaged = 0x20;
inline constexpr uint32_t VertexWriteOnly = 0x40;
inline constexpr uint32_t VertexDynamic = 0x80;
inline constexpr uint32_t IndexSystemMemory = 0x100;
inline constexpr uint32_t IndexManaged = 0x200;
inline constexpr uint32_t IndexWriteOnly = 0x400;
inline constexpr uint32_t IndexDynamic = 0x800;
inline constexpr uint32_t ShareVertexBuffer = 0x1000;
inline constexpr uint32_t NPatches = 0x4000;
inline constexpr uint32_t VertexSoftware = 0x8000;
inline constexpr uint32_t IndexSoftware = 0x10000;
// Bits accepted by CreateMesh and by CloneWithDeclaration.
inline constexpr uint32_t CreateMask = 0x1CFFF;
inline constexpr uint32_t CloneMask = 0x1DFFF;
}  // namespace MeshOptions

// OptimizeFlags: the optimiser's bits, combined with option bits in one word.
namespace OptimizeFlags {
inline constexpr uint32_t DeviceIndependent = 0x00400000;
inline constexpr uint32_t KeepTableOrder = 0x00800000;
inline constexpr uint32_t Compact = 0x01000000;
inline constexpr uint32_t AttributeSort = 0x02000000;
inline constexpr uint32_t VertexCache = 0x04000000;
inline constexpr uint32_t StripReorder = 0x08000000;
inline constexpr uint32_t KeepVertices = 0x10000000;
inline constexpr uint32_t DoNotSplit = 0x20000000;
inline constexpr uint32_t KeepAll = 0x40000000;
inline constexpr uint32_t FaceRemapOldToNew = 0x80000000;
}  // namespace OptimizeFlags

}  // namespace lyr
