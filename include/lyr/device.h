// The graphics device as the library sees it: the operations meshes, skinning and patches call
// on the host's device and on the buffers, declaration objects, queries, root object and
// textures it makes. A host supplies its own device by implementing these interfaces.
//
// Provided by: no library; types and constants only, shared by both libraries' interfaces.
#pragma once

#include "lyr/object.h"
#include "lyr/vertex.h"

namespace lyr {

// ---- Codes -------------------------------------------------------------------------------------

// Index formats of index buffers (also the first field of their BufferInfo).
inline constexpr uint32_t kIndexFormat16 = 101;
inline constexpr uint32_t kIndexFormat32 = 102;
// The BufferInfo format of vertex buffers.
inline constexpr uint32_t kVertexDataFormat = 100;

// Memory pools.
inline constexpr uint32_t kPoolDefault = 0;
inline constexpr uint32_t kPoolManaged = 1;
inline constexpr uint32_t kPoolSystemMemory = 2;
inline constexpr uint32_t kPoolScratch = 3;

// Buffer usage bits.
inline constexpr uint32_t kUsageWriteOnly = 0x8;
inline constexpr uint32_t kUsageSoftwareProcessing = 0x10;
inline constexpr uint32_t kUsageNoClipping = 0x20;
inline constexpr uint32_t kUsagePoints = 0x40;
inline constexpr uint32_t kUsageHighOrderPatches = 0x80;
inline constexpr uint32_t kUsageNPatches = 0x100;
inline constexpr uint32_t kUsageDynamic = 0x200;
inline constexpr uint32_t kBufferUsageMask = 0x3F8;

// Lock flags.
inline constexpr uint32_t kLockReadOnly = 0x10;
inline constexpr uint32_t kLockNoSystemLock = 0x800;

// Primitive types.
inline constexpr uint32_t kPointList = 1;
inline constexpr uint32_t kLineList = 2;
inline constexpr uint32_t kLineStrip = 3;
inline constexpr uint32_t kTriangleList = 4;
inline constexpr uint32_t kTriangleStrip = 5;
inline constexpr uint32_t kTriangleFan = 6;

// Creation (behaviour) flags.
inline constexpr uint32_t kCreatePureDevice = 0x10;
inline constexpr uint32_t kCreateSoftwareProcessing = 0x20;
inline constexpr uint32_t kCreateHardwareProcessing = 0x40;
inline constexpr uint32_t kCreateMixedProcessing = 0x80;

// Query types and the not-ready result of PollQuery.
inline constexpr uint32_t kQueryVertexCache = 4;
inline constexpr uint32_t kQueryIssueEnd = 1;
inline constexpr uint32_t kQueryFlush = 1;
inline constexpr LyrResult kQueryNotReady = 1;
// A device's answer for a feature it does not have (for instance an unsupported query type).
inline constexpr LyrResult ErrNotAvailable = static_cast<LyrResult>(0x8876086Au);

// Pixel formats of textures.
inline constexpr uint32_t kFormatA8R8G8B8 = 21;
inline constexpr uint32_t kFormatX8R8G8B8 = 22;
inline constexpr uint32_t kFormatR5G6B5 = 23;
inline constexpr uint32_t kFormatA8 = 28;
inline constexpr uint32_t kFormatL8 = 50;  // 8-bit luminance, the only format displacement samples
inline constexpr uint32_t kFormatA8L8 = 51;
inline constexpr uint32_t kFormatL16 = 81;
inline constexpr uint32_t kFormatR32F = 114;
inline constexpr uint32_t kFormatA32B32G32R32F = 116;

// ---- Records -----------------------------------------------------------------------------------

struct DeviceCapabilities {
  uint32_t adapterOrdinal;
  uint32_t maxVertexIndex;
  uint32_t maxPrimitiveCount;
  uint32_t vertexProcessingCaps;
  uint32_t maxVertexBlendMatrices;     // matrices blended per vertex
  uint32_t maxVertexBlendMatrixIndex;  // non-zero: indexed blending
  uint32_t vertexShaderVersion;        // 0xFFFE0000 | major << 8 | minor
  uint32_t maxStreams;
  uint32_t maxTextureWidth;
  uint32_t maxTextureHeight;
};
static_assert(sizeof(DeviceCapabilities) == 40);

struct DeviceCreationParameters {
  uint32_t adapterOrdinal;
  uint32_t deviceType;
  uint32_t behaviorFlags;  // kCreate... bits
};
static_assert(sizeof(DeviceCreationParameters) == 12);

struct AdapterIds {
  uint32_t vendorId;
  uint32_t deviceId;
  uint32_t subSystemId;
  uint32_t revision;
};
static_assert(sizeof(AdapterIds) == 16);

// What ReadBufferInfo reports. format is kVertexDataFormat for vertex buffers and the index
// format for index buffers; formatCode is the vertex format code (0 for index buffers).
struct BufferInfo {
  uint32_t format;
  uint32_t resourceType;
  uint32_t usage;
  uint32_t pool;
  uint32_t size;
  uint32_t formatCode;
};
static_assert(sizeof(BufferInfo) == 24);
inline constexpr uint32_t kResourceVertexBuffer = 6;
inline constexpr uint32_t kResourceIndexBuffer = 7;
inline constexpr uint32_t kResourceTexture = 3;

// The record a vertex-cache query delivers.
struct VertexCacheInfo {
  uint32_t pattern;
  uint32_t method;  // 0: no vertex cache to optimise for
  uint32_t cacheSize;
  uint32_t magicNumber;
};
static_assert(sizeof(VertexCacheInfo) == 16);

struct TextureLevelDesc {
  uint32_t format;
  uint32_t resourceType;
  uint32_t usage;
  uint32_t pool;
  uint32_t width;
  uint32_t height;
};
static_assert(sizeof(TextureLevelDesc) == 24);

struct LockedRect {
  int32_t pitch;  // bytes from one row to the next
  void* bits;
};
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(LockedRect) == 8);
#else
static_assert(sizeof(LockedRect) == 16);
#endif

// ---- Interfaces --------------------------------------------------------------------------------

// Operations shared by vertex and index buffers.
struct DeviceBuffer : Unknown {
  // Locks size bytes from offset (size 0: to the end of the buffer) and stores their address in
  // *out. Locks nest; each needs its UnlockBuffer.
  virtual LyrResult LYR_CALL LockBuffer(uint32_t offset, uint32_t size, void** out,
                                        uint32_t flags) = 0;
  virtual LyrResult LYR_CALL UnlockBuffer() = 0;
  virtual LyrResult LYR_CALL ReadBufferInfo(BufferInfo* out) = 0;

 protected:
  ~DeviceBuffer() = default;
};

struct VertexBuffer : DeviceBuffer {
  static constexpr Guid kIid = {
      0xFA3AFBAE, 0xB736, 0x4397, {0xAA, 0x41, 0xD2, 0x57, 0x93, 0x45, 0x57, 0x7E}};

 protected:
  ~VertexBuffer() = default;
};

struct IndexBuffer : DeviceBuffer {
  static constexpr Guid kIid = {
      0x5E8A31C9, 0xDE64, 0x4DB6, {0xAB, 0xA9, 0x6A, 0xD8, 0xA1, 0x9B, 0x26, 0x49}};

 protected:
  ~IndexBuffer() = default;
};

// The device's own form of a declaration; the library only makes, binds and releases it.
struct DeclarationObject : Unknown {
  static constexpr Guid kIid = {
      0xF79951EC, 0x5003, 0x4119, {0x88, 0x16, 0xB2, 0xA7, 0x8B, 0x3C, 0xFB, 0x66}};

 protected:
  ~DeclarationObject() = default;
};

struct Query : Unknown {
  static constexpr Guid kIid = {
      0x2D591573, 0x068D, 0x489B, {0xA8, 0xCB, 0x2E, 0xB5, 0x4D, 0xCA, 0xED, 0x2A}};
  virtual LyrResult LYR_CALL StartQuery(uint32_t flags) = 0;
  // kQueryNotReady while the answer is pending, Ok once size bytes of it are stored in data.
  virtual LyrResult LYR_CALL PollQuery(void* data, uint32_t size, uint32_t flags) = 0;

 protected:
  ~Query() = default;
};

// The root object of the graphics platform.
struct PlatformRoot : Unknown {
  static constexpr Guid kIid = {
      0xA11BBB4F, 0x8651, 0x4623, {0x8D, 0x9E, 0x92, 0x09, 0xBA, 0x57, 0x1D, 0xE9}};
  virtual LyrResult LYR_CALL ReadAdapterIds(uint32_t adapter, uint32_t flags, AdapterIds* out) = 0;

 protected:
  ~PlatformRoot() = default;
};

// The platform texture interface a host texture answers to.
struct Texture : Unknown {
  static constexpr Guid kIid = {
      0x85C31227, 0x3DE5, 0x4F00, {0x9B, 0x3A, 0xF1, 0x1A, 0xC3, 0x8C, 0x18, 0xB5}};
  virtual uint32_t LYR_CALL GetLevelCount() = 0;
  virtual LyrResult LYR_CALL ReadLevelDesc(uint32_t level, TextureLevelDesc* out) = 0;
  // rect is reserved (null: the whole level).
  virtual LyrResult LYR_CALL LockLevel(uint32_t level, LockedRect* out, const void* rect,
                                       uint32_t flags) = 0;
  virtual LyrResult LYR_CALL UnlockLevel(uint32_t level) = 0;

 protected:
  ~Texture() = default;
};

struct GraphicsDevice : Unknown {
  static constexpr Guid kIid = {
      0xD40140B5, 0x7D2F, 0x49CC, {0x8D, 0xEB, 0x08, 0xF4, 0x02, 0x99, 0xAB, 0x42}};

  virtual LyrResult LYR_CALL MakeVertexBuffer(uint32_t length, uint32_t usage,
                                              FormatCode formatCode, uint32_t pool,
                                              VertexBuffer** out, void* reserved) = 0;
  virtual LyrResult LYR_CALL MakeIndexBuffer(uint32_t length, uint32_t usage, uint32_t indexFormat,
                                             uint32_t pool, IndexBuffer** out, void* reserved) = 0;
  virtual LyrResult LYR_CALL MakeDeclarationObject(const VertexElement* elements,
                                                   DeclarationObject** out) = 0;
  // Null unbinds.
  virtual LyrResult LYR_CALL BindDeclaration(DeclarationObject* declaration) = 0;
  virtual LyrResult LYR_CALL BindVertexStream(uint32_t stream, VertexBuffer* buffer,
                                              uint32_t offset, uint32_t stride) = 0;
  virtual LyrResult LYR_CALL BindIndexBuffer(IndexBuffer* buffer) = 0;
  virtual LyrResult LYR_CALL DrawIndexedTriangles(uint32_t primitiveType, int32_t baseVertex,
                                                  uint32_t minVertexIndex, uint32_t vertexCount,
                                                  uint32_t firstIndex, uint32_t primitiveCount) = 0;
  virtual LyrResult LYR_CALL DrawTrianglesFromMemory(uint32_t primitiveType,
                                                     uint32_t primitiveCount,
                                                     const void* vertexData, uint32_t stride) = 0;
  virtual LyrResult LYR_CALL ReadCapabilities(DeviceCapabilities* out) = 0;
  virtual LyrResult LYR_CALL ReadCreationFlags(DeviceCreationParameters* out) = 0;
  // Non-zero while software vertex processing is selected.
  virtual int32_t LYR_CALL ReadSoftwareMode() = 0;
  virtual LyrResult LYR_CALL WriteSoftwareMode(int32_t on) = 0;
  virtual LyrResult LYR_CALL GetPlatformRoot(PlatformRoot** out) = 0;
  // A null out only tests whether the query type is supported.
  virtual LyrResult LYR_CALL MakeQuery(uint32_t type, Query** out) = 0;

 protected:
  ~GraphicsDevice() = default;
};

}  // namespace lyr
