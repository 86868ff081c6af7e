// The reference graphics device of the stand-in platform module "tsl9.dll": a complete software
// device (no pixels) whose capabilities, adapter, vertex-cache answer and failures are all set
// from a description record, and which logs every draw for inspection.
//
// Provided by: the static library (CMake target Lyr9abAnim::lyr), the C++ API: the functions that
// load the device; the shared library does not export them. The device itself is the module.
#pragma once

#include "lyr/device.h"

namespace lyr {

// Everything that tells one device from another. Defaults describe a hardware device that blends
// four matrices with indexed blending and answers the vertex-cache query.
struct RefDeviceDesc {
  uint32_t size = sizeof(RefDeviceDesc);  // must be sizeof(RefDeviceDesc)

  // Capabilities.
  uint32_t adapterOrdinal = 0;
  uint32_t maxVertexIndex = 0xFFFFFF;
  uint32_t maxPrimitiveCount = 0xFFFFF;
  uint32_t vertexProcessingCaps = 0x7B;
  uint32_t maxVertexBlendMatrices = 4;
  uint32_t maxVertexBlendMatrixIndex = 255;
  uint32_t vertexShaderVersion = 0xFFFE0300;
  uint32_t creationFlags = 0x40;  // kCreate... bits
  int32_t softwareMode = 0;       // initial software mode (only mixed devices can change it)

  // Adapter.
  uint32_t vendorId = 0x10DE;
  uint32_t deviceId = 0x0100;
  uint32_t subSystemId = 0;
  uint32_t revision = 0;

  // Vertex-cache query.
  int32_t vertexCacheSupported = 1;
  VertexCacheInfo vertexCache = {0x4D434143, 1, 24, 7};
  uint32_t pollsBeforeReady = 2;  // PollQuery answers kQueryNotReady this many times first

  // Fault injection. Counts are 1-based over the device's life (0 = never).
  uint32_t failBufferCreation = 0;       // the n-th vertex or index buffer creation fails
  uint32_t failLock = 0;                 // the n-th lock (buffer or texture level) fails
  uint32_t failDeclarationCreation = 0;  // the n-th declaration-object creation fails
  uint32_t failDraw = 0;                 // the n-th draw call fails
  uint32_t failQueryStep = 0;            // see RefQueryStep
  int32_t failPlatformRoot = 0;          // GetPlatformRoot fails
  LyrResult failureCode = static_cast<LyrResult>(0x8876017Cu);  // what an injected failure returns
};

// Which step of the vertex-cache detection an injected query failure hits.
enum RefQueryStep : uint32_t {
  kRefQueryNone = 0,
  kRefQuerySupportTest = 1,  // MakeQuery with a null out
  kRefQueryCreate = 2,       // MakeQuery
  kRefQueryStart = 3,        // StartQuery
  kRefQueryPoll = 4,         // PollQuery
};

// One entry of the draw log.
struct RefDrawRecord {
  uint32_t fromMemory;  // 0 DrawIndexedTriangles, 1 DrawTrianglesFromMemory
  uint32_t primitiveType;
  int32_t baseVertex;
  uint32_t minVertexIndex;
  uint32_t vertexCount;
  uint32_t firstIndex;
  uint32_t primitiveCount;
  uint32_t stride;          // stream 0 stride, or the stride passed with memory data
  uint32_t streamOffset;    // stream 0 offset
  uint32_t indexFormat;     // of the bound index buffer (0 from memory)
  const void* declaration;  // bound objects at the time of the draw (identity only)
  const void* vertexBuffer;
  const void* indexBuffer;
  uint32_t dataSize;  // bytes captured: the indices drawn, or the vertices from memory
};

// Counters of the calls made on a device and its objects.
enum RefCall : uint32_t {
  kRefCallMakeVertexBuffer,
  kRefCallMakeIndexBuffer,
  kRefCallMakeDeclaration,
  kRefCallBindDeclaration,
  kRefCallBindVertexStream,
  kRefCallBindIndexBuffer,
  kRefCallDraw,
  kRefCallReadCapabilities,
  kRefCallReadCreationFlags,
  kRefCallReadSoftwareMode,
  kRefCallWriteSoftwareMode,
  kRefCallGetPlatformRoot,
  kRefCallMakeQuery,
  kRefCallReadAdapterIds,
  kRefCallLock,
  kRefCallUnlock,
  kRefCallCount
};

// Test-side control of a reference device, obtained with QueryInterface on the device.
struct RefDeviceControl : Unknown {
  static constexpr Guid kIid = {
      0x76341814, 0x1288, 0x457D, {0x8A, 0xF5, 0x39, 0xF5, 0xDC, 0xBE, 0x7F, 0xFF}};

  // A texture of levels mip levels (0: down to 1x1), each level max(1, size >> level) wide and
  // high. ErrInvalidCall for a zero size, an unknown format or too many levels.
  virtual LyrResult LYR_CALL MakeTexture(uint32_t width, uint32_t height, uint32_t levels,
                                         uint32_t format, Texture** out) = 0;
  // Copies the elements a declaration object of this device keeps, end marker included, into out
  // (null: only the count) and stores the number of entries in *count.
  virtual LyrResult LYR_CALL ReadDeclaration(DeclarationObject* declaration, VertexElement* out,
                                             uint32_t* count) = 0;
  virtual uint32_t LYR_CALL DrawCount() = 0;
  virtual LyrResult LYR_CALL ReadDraw(uint32_t index, RefDrawRecord* out) = 0;
  // Copies min(capacity, dataSize) captured bytes of draw index.
  virtual LyrResult LYR_CALL ReadDrawData(uint32_t index, void* out, uint32_t capacity) = 0;
  virtual void LYR_CALL ClearDrawLog() = 0;
  virtual uint32_t LYR_CALL CallCount(RefCall call) = 0;
  // Objects made by the device (buffers, declarations, queries, roots, textures) still alive.
  virtual uint32_t LYR_CALL LiveObjects() = 0;
  // Locks not yet unlocked, over every buffer and texture level of the device.
  virtual uint32_t LYR_CALL OutstandingLocks() = 0;
  // Read-only locks whose bytes had changed by the time of the unlock.
  virtual uint32_t LYR_CALL ReadOnlyViolations() = 0;

 protected:
  ~RefDeviceControl() = default;
};

// Exported by the module.
inline constexpr const char* kRefModuleName = "tsl9.dll";
inline constexpr const char* kRefCreateDeviceName = "TslCreateReferenceDevice";
inline constexpr const char* kRefDebugSetMuteName = "DebugSetMute";
inline constexpr const char* kRefDebugStateName = "TslDebugState";

// Makes a device from desc. ErrInvalidCall for a null argument or a record of another size. The
// module's exports use the C calling convention, so that their names stay undecorated.
using RefCreateDeviceFn = LyrResult (*)(const RefDeviceDesc* desc, GraphicsDevice** out);
// Mutes (non-zero) or unmutes (0) the platform's debug output; called with the caller cleaning
// the stack.
using RefDebugSetMuteFn = void (*)(int mute);
// The mute state and the numbers of debug messages written and suppressed so far.
struct RefDebugState {
  int32_t muted;
  uint32_t written;
  uint32_t suppressed;
};
using RefDebugStateFn = void (*)(RefDebugState* out);

// Loads "tsl9.dll" (kept loaded for the process's life) and makes a device from desc; pass
// RefDeviceDesc{} for a default hardware-like device. The module's missing file or export gives
// the code of the last error; the device's own failures are passed on.
LyrResult LoadReferenceDevice(const RefDeviceDesc& desc, GraphicsDevice** out);

// The module's debug-output state; false when the module cannot be loaded.
bool ReadReferenceDebugState(RefDebugState* out);

}  // namespace lyr
