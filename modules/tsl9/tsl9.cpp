// The reference graphics device: buffers, declaration objects, queries, the root object and
// textures held in ordinary memory; draw calls validated against what is bound, appended to a log
// and, once a render target exists, rasterized. Every argument that names a range is checked
// before anything is read.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "lyr/refdevice.h"
#include "raster.h"

#if LYR_TSL9_PNG
#include <png.h>
#endif

#if defined(_WIN32)
#define TSL_EXPORT extern "C" __declspec(dllexport)
#else
#define TSL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace lyr {
namespace {

// ---- Debug output
// --------------------------------------------------------------------------------

RefDebugState g_debug = {0, 0, 0};

void Message(const char* text) {
  if (g_debug.muted) {
    ++g_debug.suppressed;
    return;
  }
  ++g_debug.written;
  const char* env = std::getenv("LYR_DEBUG_OUTPUT");
  if (env && env[0] == '1') std::fprintf(stderr, "tsl9: %s\n", text);
}

LyrResult Refuse(const char* why) {
  Message(why);
  return ErrInvalidCall;
}

// ---- Shared device state -----------------------------------------------------------------------

// State shared by a device and every object it made; it lives while any of them does.
struct Core {
  RefDeviceDesc desc;
  uint32_t refs = 1;
  uint32_t buffersMade = 0;
  uint32_t locks = 0;
  uint32_t declarationsMade = 0;
  uint32_t draws = 0;
  uint32_t live = 0;
  uint32_t outstandingLocks = 0;
  uint32_t readOnlyViolations = 0;
  uint32_t calls[kRefCallCount] = {};

  void Retain() { ++refs; }
  void Drop() {
    if (--refs == 0) delete this;
  }
  // True when the n-th event (1-based) counted by counter is the one to fail.
  static bool Hits(uint32_t& counter, uint32_t failAt) { return ++counter == failAt; }
  // Counts a lock; returns the injected failure when this lock is the one to fail.
  LyrResult CountLock() {
    ++calls[kRefCallLock];
    return Hits(locks, desc.failLock) ? desc.failureCode : Ok;
  }
};

// Answers the module's own objects with their address, so that objects handed back to the
// device can be told from foreign ones.
constexpr Guid kIidInternal = {
    0x2CB62E3E, 0x068D, 0x4FF0, {0x93, 0x59, 0xFC, 0xD6, 0x4C, 0x18, 0x0C, 0x41}};

// A fingerprint of a locked range, taken at a read-only lock and compared at its unlock. Four
// independent lanes of eight bytes: readers lock whole buffers, and a byte-wise hash would cost
// more than their reads.
uint64_t Hash(const uint8_t* p, size_t n) {
  constexpr uint64_t kPrime = 1099511628211ull;
  uint64_t h[4] = {1469598103934665603ull ^ n, 0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full,
                   0x165667B19E3779F9ull};
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    for (int k = 0; k < 4; ++k) {
      uint64_t w;
      std::memcpy(&w, p + i + 8 * k, 8);
      h[k] = (h[k] ^ w) * kPrime;
      h[k] ^= h[k] >> 29;
    }
  }
  for (; i < n; ++i) h[0] = (h[0] ^ p[i]) * kPrime;
  return h[0] ^ (h[1] * 3) ^ (h[2] * 5) ^ (h[3] * 7);
}

// Reference count, query-interface and the live count for an object of the device.
template <class Derived, class Iface>
class DeviceObject : public Iface {
 public:
  explicit DeviceObject(Core* core) : core_(core) {
    core_->Retain();
    ++core_->live;
  }
  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    if (!out) return ErrInvalidCall;
    if (iid == kIidInternal) {
      *out = static_cast<Derived*>(this);
    } else if (iid == kIidUnknown || iid == Iface::kIid) {
      *out = static_cast<Iface*>(this);
    } else {
      *out = nullptr;
      return ErrNoInterface;
    }
    ++refs_;
    return Ok;
  }
  uint32_t LYR_CALL AddRef() override { return ++refs_; }
  uint32_t LYR_CALL Release() override {
    uint32_t n = --refs_;
    if (n == 0) delete static_cast<Derived*>(this);
    return n;
  }
  Core* core() const { return core_; }

 protected:
  // Runs last, also when a derived constructor throws, so the core is always let go.
  ~DeviceObject() {
    --core_->live;
    core_->Drop();
  }
  Core* core_;

 private:
  uint32_t refs_ = 1;
};

// The module's object behind an interface pointer, or null for a foreign object or one made by
// another device.
template <class T>
T* Own(Unknown* p, Core* core) {
  if (!p) return nullptr;
  void* q = nullptr;
  if (p->QueryInterface(kIidInternal, &q) != Ok) return nullptr;
  p->Release();
  T* t = static_cast<T*>(q);
  return t->core() == core ? t : nullptr;
}

// ---- Buffers
// -------------------------------------------------------------------------------------

template <class Derived, class Iface>
class BufferObject : public DeviceObject<Derived, Iface> {
 public:
  using DeviceObject<Derived, Iface>::core_;
  BufferObject(Core* core, uint32_t length, uint32_t usage, uint32_t pool, uint32_t format,
               uint32_t formatCode)
      : DeviceObject<Derived, Iface>(core), bytes(length), info_{} {
    info_.format = format;
    info_.resourceType = format == kVertexDataFormat ? kResourceVertexBuffer : kResourceIndexBuffer;
    info_.usage = usage;
    info_.pool = pool;
    info_.size = length;
    info_.formatCode = formatCode;
  }
  ~BufferObject() { core_->outstandingLocks -= static_cast<uint32_t>(locks_.size()); }

  LyrResult LYR_CALL LockBuffer(uint32_t offset, uint32_t size, void** out,
                                uint32_t flags) override {
    try {
      if (!out) return Refuse("LockBuffer: null out pointer");
      const uint64_t length = bytes.size();
      if (offset > length || (size == 0 && offset == length && length != 0))
        return Refuse("LockBuffer: offset beyond the buffer");
      const uint64_t n = size ? size : length - offset;
      if (offset + n > length) return Refuse("LockBuffer: range beyond the buffer");
      if (LyrResult r = core_->CountLock(); r != Ok) return r;
      Lock lock{offset, static_cast<uint32_t>(n), (flags & kLockReadOnly) != 0, 0};
      if (lock.readOnly) lock.hash = Hash(bytes.data() + offset, lock.size);
      locks_.push_back(lock);
      ++core_->outstandingLocks;
      *out = bytes.data() + offset;
      return Ok;
    } catch (const std::bad_alloc&) {
      return ErrOutOfMemory;
    }
  }
  LyrResult LYR_CALL UnlockBuffer() override {
    ++core_->calls[kRefCallUnlock];
    if (locks_.empty()) return Refuse("UnlockBuffer: the buffer is not locked");
    const Lock lock = locks_.back();
    locks_.pop_back();
    --core_->outstandingLocks;
    if (lock.readOnly && Hash(bytes.data() + lock.offset, lock.size) != lock.hash) {
      ++core_->readOnlyViolations;
      Message("UnlockBuffer: bytes changed under a read-only lock");
    }
    return Ok;
  }
  LyrResult LYR_CALL ReadBufferInfo(BufferInfo* out) override {
    if (!out) return Refuse("ReadBufferInfo: null out pointer");
    *out = info_;
    return Ok;
  }

  bool Locked() const { return !locks_.empty(); }
  uint32_t Format() const { return info_.format; }

  std::vector<uint8_t> bytes;

 private:
  struct Lock {
    uint32_t offset;
    uint32_t size;
    bool readOnly;
    uint64_t hash;
  };
  BufferInfo info_;
  std::vector<Lock> locks_;
};

class RefVertexBuffer final : public BufferObject<RefVertexBuffer, VertexBuffer> {
 public:
  using BufferObject::BufferObject;
};

class RefIndexBuffer final : public BufferObject<RefIndexBuffer, IndexBuffer> {
 public:
  using BufferObject::BufferObject;
  uint32_t IndexSize() const { return Format() == kIndexFormat32 ? 4 : 2; }
  uint32_t IndexAt(uint64_t i) const {
    if (IndexSize() == 2) {
      uint16_t v;
      std::memcpy(&v, bytes.data() + i * 2, 2);
      return v;
    }
    uint32_t v;
    std::memcpy(&v, bytes.data() + i * 4, 4);
    return v;
  }
};

// ---- Declarations ----------------------------------------------------------------------------

constexpr uint8_t kTypeBytes[17] = {4, 8, 12, 16, 4, 4, 4, 8, 4, 4, 8, 4, 8, 4, 4, 4, 8};

class RefDeclaration final : public DeviceObject<RefDeclaration, DeclarationObject> {
 public:
  RefDeclaration(Core* core, const VertexElement* elements, uint32_t count)
      : DeviceObject(core), elements_(elements, elements + count) {}

  void Read(VertexElement* out, uint32_t* count) const {
    if (out) std::memcpy(out, elements_.data(), elements_.size() * sizeof(VertexElement));
    *count = static_cast<uint32_t>(elements_.size());
  }

  // Bytes a vertex of stream 0 needs under this declaration.
  uint32_t Stream0Extent() const {
    uint32_t end = 0;
    for (const VertexElement& e : elements_) {
      if (e.stream != 0 || e.method == ElementMethod::UV) continue;
      uint32_t t = static_cast<uint32_t>(e.type);
      uint32_t x = e.offset + (t < 17 ? kTypeBytes[t] : 0);
      if (x > end) end = x;
    }
    return end;
  }

  const std::vector<VertexElement>& Elements() const { return elements_; }

 private:
  std::vector<VertexElement> elements_;
};

// Checks a declaration; the number of entries with the end marker, or 0 when it is refused.
uint32_t CheckDeclaration(const VertexElement* e) {
  for (uint32_t i = 0; i < MaxElementEntries; ++i) {
    if (IsEndElement(e[i])) return i + 1;
    if (e[i].stream >= kMaxStreams || static_cast<uint8_t>(e[i].type) > 16 ||
        static_cast<uint8_t>(e[i].method) > 6 || static_cast<uint8_t>(e[i].usage) > 13 ||
        e[i].usageIndex >= 16 || (e[i].offset & 3) != 0)
      return 0;
    for (uint32_t j = 0; j < i; ++j)
      if (e[j].usage == e[i].usage && e[j].usageIndex == e[i].usageIndex) return 0;
  }
  return 0;
}

// ---- Queries and the root
// ------------------------------------------------------------------------

class RefQuery final : public DeviceObject<RefQuery, Query> {
 public:
  using DeviceObject::DeviceObject;
  LyrResult LYR_CALL StartQuery(uint32_t flags) override {
    if (core_->desc.failQueryStep == kRefQueryStart) return core_->desc.failureCode;
    if (!(flags & kQueryIssueEnd)) return Refuse("StartQuery: flags must issue the end");
    started_ = true;
    pending_ = core_->desc.pollsBeforeReady;
    return Ok;
  }
  LyrResult LYR_CALL PollQuery(void* data, uint32_t size, uint32_t) override {
    if (!started_) return Refuse("PollQuery: the query was not started");
    if (core_->desc.failQueryStep == kRefQueryPoll) return core_->desc.failureCode;
    if (pending_ > 0) {
      --pending_;
      return kQueryNotReady;
    }
    if (data) {
      if (size < sizeof(VertexCacheInfo)) return Refuse("PollQuery: record too small");
      std::memcpy(data, &core_->desc.vertexCache, sizeof(VertexCacheInfo));
    }
    return Ok;
  }

 private:
  bool started_ = false;
  uint32_t pending_ = 0;
};

class RefRoot final : public DeviceObject<RefRoot, PlatformRoot> {
 public:
  using DeviceObject::DeviceObject;
  LyrResult LYR_CALL ReadAdapterIds(uint32_t adapter, uint32_t, AdapterIds* out) override {
    ++core_->calls[kRefCallReadAdapterIds];
    if (!out) return Refuse("ReadAdapterIds: null out pointer");
    if (adapter != core_->desc.adapterOrdinal) return Refuse("ReadAdapterIds: no such adapter");
    const RefDeviceDesc& d = core_->desc;
    *out = {d.vendorId, d.deviceId, d.subSystemId, d.revision};
    return Ok;
  }
};

// ---- Textures
// ------------------------------------------------------------------------------------

uint32_t PixelBytes(uint32_t format) {
  switch (format) {
    case kFormatL8:
    case kFormatA8:
      return 1;
    case kFormatR5G6B5:
    case kFormatA8L8:
    case kFormatL16:
      return 2;
    case kFormatA8R8G8B8:
    case kFormatX8R8G8B8:
    case kFormatR32F:
      return 4;
    case kFormatA32B32G32R32F:
      return 16;
    default:
      return 0;
  }
}

class RefTexture final : public DeviceObject<RefTexture, Texture> {
 public:
  RefTexture(Core* core, uint32_t width, uint32_t height, uint32_t levels, uint32_t format)
      : DeviceObject(core), format_(format), bpp_(PixelBytes(format)) {
    for (uint32_t l = 0; l < levels; ++l) {
      Level level;
      level.width = width >> l ? width >> l : 1;
      level.height = height >> l ? height >> l : 1;
      level.bytes.resize(size_t{level.width} * level.height * bpp_);
      levels_.push_back(std::move(level));
    }
  }
  ~RefTexture() {
    for (const Level& l : levels_)
      if (l.locked) --core_->outstandingLocks;
  }

  uint32_t LYR_CALL GetLevelCount() override { return static_cast<uint32_t>(levels_.size()); }
  LyrResult LYR_CALL ReadLevelDesc(uint32_t level, TextureLevelDesc* out) override {
    if (!out || level >= levels_.size()) return Refuse("ReadLevelDesc: bad level or out");
    *out = {format_,      kResourceTexture,     0,
            kPoolManaged, levels_[level].width, levels_[level].height};
    return Ok;
  }
  LyrResult LYR_CALL LockLevel(uint32_t level, LockedRect* out, const void* rect,
                               uint32_t) override {
    if (!out || level >= levels_.size() || rect) return Refuse("LockLevel: bad arguments");
    Level& l = levels_[level];
    if (l.locked) return Refuse("LockLevel: the level is already locked");
    if (LyrResult r = core_->CountLock(); r != Ok) return r;
    l.locked = true;
    ++core_->outstandingLocks;
    out->pitch = static_cast<int32_t>(l.width * bpp_);
    out->bits = l.bytes.data();
    return Ok;
  }
  LyrResult LYR_CALL UnlockLevel(uint32_t level) override {
    ++core_->calls[kRefCallUnlock];
    if (level >= levels_.size() || !levels_[level].locked)
      return Refuse("UnlockLevel: the level is not locked");
    levels_[level].locked = false;
    --core_->outstandingLocks;
    return Ok;
  }

 private:
  struct Level {
    uint32_t width = 0, height = 0;
    bool locked = false;
    std::vector<uint8_t> bytes;
  };
  uint32_t format_;
  uint32_t bpp_;
  std::vector<Level> levels_;
};

// ---- The device ------------------------------------------------------------------------------

// Indices (or vertices) a primitive count needs; 0 for an unknown primitive type.
uint64_t ElementsFor(uint32_t type, uint32_t count) {
  switch (type) {
    case kPointList:
      return count;
    case kLineList:
      return 2ull * count;
    case kLineStrip:
      return count + 1ull;
    case kTriangleList:
      return 3ull * count;
    case kTriangleStrip:
    case kTriangleFan:
      return count + 2ull;
    default:
      return 0;
  }
}

template <class T>
void Rebind(T*& slot, T* p) {
  if (p) p->AddRef();
  if (slot) slot->Release();
  slot = p;
}

class RefDevice final : public GraphicsDevice, public RefDeviceControl {
 public:
  explicit RefDevice(const RefDeviceDesc& desc) : core_(new Core) {
    core_->desc = desc;
    softwareMode_ = desc.softwareMode;
  }
  ~RefDevice() {
    Rebind<RefDeclaration>(declaration_, nullptr);
    for (Stream& s : streams_) Rebind<RefVertexBuffer>(s.buffer, nullptr);
    Rebind<RefIndexBuffer>(indices_, nullptr);
    core_->Drop();
  }

  // -- Unknown (shared by both interfaces)
  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    if (!out) return ErrInvalidCall;
    if (iid == kIidUnknown || iid == GraphicsDevice::kIid) {
      *out = static_cast<GraphicsDevice*>(this);
    } else if (iid == RefDeviceControl::kIid) {
      *out = static_cast<RefDeviceControl*>(this);
    } else {
      *out = nullptr;
      return ErrNoInterface;
    }
    ++refs_;
    return Ok;
  }
  uint32_t LYR_CALL AddRef() override { return ++refs_; }
  uint32_t LYR_CALL Release() override {
    uint32_t n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  // -- GraphicsDevice
  LyrResult LYR_CALL MakeVertexBuffer(uint32_t length, uint32_t usage, FormatCode formatCode,
                                      uint32_t pool, VertexBuffer** out, void* reserved) override {
    ++core_->calls[kRefCallMakeVertexBuffer];
    return MakeBuffer<RefVertexBuffer>(length, usage, kVertexDataFormat, formatCode, pool, out,
                                       reserved);
  }
  LyrResult LYR_CALL MakeIndexBuffer(uint32_t length, uint32_t usage, uint32_t indexFormat,
                                     uint32_t pool, IndexBuffer** out, void* reserved) override {
    ++core_->calls[kRefCallMakeIndexBuffer];
    if (indexFormat != kIndexFormat16 && indexFormat != kIndexFormat32)
      return Refuse("MakeIndexBuffer: index format must be 101 or 102");
    return MakeBuffer<RefIndexBuffer>(length, usage, indexFormat, 0, pool, out, reserved);
  }
  LyrResult LYR_CALL MakeDeclarationObject(const VertexElement* elements,
                                           DeclarationObject** out) override {
    ++core_->calls[kRefCallMakeDeclaration];
    if (!elements || !out) return Refuse("MakeDeclarationObject: null argument");
    const uint32_t count = CheckDeclaration(elements);
    if (!count) return Refuse("MakeDeclarationObject: invalid declaration");
    if (Core::Hits(core_->declarationsMade, core_->desc.failDeclarationCreation))
      return core_->desc.failureCode;
    return Make<RefDeclaration>(out, elements, count);
  }
  LyrResult LYR_CALL BindDeclaration(DeclarationObject* declaration) override {
    ++core_->calls[kRefCallBindDeclaration];
    RefDeclaration* d = Own<RefDeclaration>(declaration, core_);
    if (declaration && !d) return Refuse("BindDeclaration: not a declaration of this device");
    Rebind(declaration_, d);
    return Ok;
  }
  LyrResult LYR_CALL BindVertexStream(uint32_t stream, VertexBuffer* buffer, uint32_t offset,
                                      uint32_t stride) override {
    ++core_->calls[kRefCallBindVertexStream];
    if (stream >= kMaxStreams) return Refuse("BindVertexStream: no such stream");
    RefVertexBuffer* b = Own<RefVertexBuffer>(buffer, core_);
    if (buffer && !b) return Refuse("BindVertexStream: not a vertex buffer of this device");
    if (b && offset > b->bytes.size()) return Refuse("BindVertexStream: offset beyond buffer");
    Rebind(streams_[stream].buffer, b);
    streams_[stream].offset = b ? offset : 0;
    streams_[stream].stride = b ? stride : 0;
    return Ok;
  }
  LyrResult LYR_CALL BindIndexBuffer(IndexBuffer* buffer) override {
    ++core_->calls[kRefCallBindIndexBuffer];
    RefIndexBuffer* b = Own<RefIndexBuffer>(buffer, core_);
    if (buffer && !b) return Refuse("BindIndexBuffer: not an index buffer of this device");
    Rebind(indices_, b);
    return Ok;
  }

  LyrResult LYR_CALL DrawIndexedTriangles(uint32_t type, int32_t baseVertex,
                                          uint32_t minVertexIndex, uint32_t vertexCount,
                                          uint32_t firstIndex, uint32_t primitiveCount) override {
    try {
      ++core_->calls[kRefCallDraw];
      const uint64_t indexCount = ElementsFor(type, primitiveCount);
      if (indexCount == 0) return Refuse("DrawIndexedTriangles: bad type or primitive count");
      if (!indices_ || !streams_[0].buffer)
        return Refuse("DrawIndexedTriangles: no index buffer or no stream 0");
      const Stream& s = streams_[0];
      if (indices_->Locked() || s.buffer->Locked())
        return Refuse("DrawIndexedTriangles: a bound buffer is locked");
      if (s.stride == 0 || vertexCount == 0)
        return Refuse("DrawIndexedTriangles: zero stride or vertex count");
      if (declaration_ && s.stride < declaration_->Stream0Extent())
        return Refuse("DrawIndexedTriangles: stride shorter than the declaration's vertex");
      const uint64_t isz = indices_->IndexSize();
      if ((uint64_t{firstIndex} + indexCount) * isz > indices_->bytes.size())
        return Refuse("DrawIndexedTriangles: index range outside the index buffer");
      const int64_t first = int64_t{baseVertex} + minVertexIndex;
      const int64_t end = first + vertexCount;
      if (first < 0 || uint64_t{s.offset} + uint64_t(end) * s.stride > s.buffer->bytes.size())
        return Refuse("DrawIndexedTriangles: vertex range outside the vertex buffer");
      for (uint64_t i = 0; i < indexCount; ++i) {
        const uint32_t v = indices_->IndexAt(firstIndex + i);
        if (v < minVertexIndex || v - minVertexIndex >= vertexCount)
          return Refuse("DrawIndexedTriangles: an index lies outside the vertex range");
      }
      if (Core::Hits(core_->draws, core_->desc.failDraw)) return core_->desc.failureCode;
      RefDrawRecord r{};
      r.primitiveType = type;
      r.baseVertex = baseVertex;
      r.minVertexIndex = minVertexIndex;
      r.vertexCount = vertexCount;
      r.firstIndex = firstIndex;
      r.primitiveCount = primitiveCount;
      r.stride = s.stride;
      r.streamOffset = s.offset;
      r.indexFormat = indices_->Format();
      r.vertexBuffer = static_cast<VertexBuffer*>(s.buffer);
      r.indexBuffer = static_cast<IndexBuffer*>(indices_);
      if (LyrResult result = Log(r, indices_->bytes.data() + firstIndex * isz, indexCount * isz);
          result != Ok)
        return result;
      if (type == kTriangleList && raster_.HasTarget()) {
        // The validation above put base + index inside the buffer for every index drawn.
        RenderList(s.buffer->bytes.data() + s.offset, s.stride, primitiveCount, [&](uint64_t i) {
          return static_cast<uint64_t>(int64_t{baseVertex} + indices_->IndexAt(firstIndex + i));
        });
      }
      return Ok;
    } catch (const std::bad_alloc&) {
      return ErrOutOfMemory;
    }
  }

  // Leaves stream 0 unbound afterwards, as drawing from memory replaces its binding.
  LyrResult LYR_CALL DrawTrianglesFromMemory(uint32_t type, uint32_t primitiveCount,
                                             const void* vertexData, uint32_t stride) override {
    try {
      ++core_->calls[kRefCallDraw];
      const uint64_t vertices = ElementsFor(type, primitiveCount);
      if (vertices == 0) return Refuse("DrawTrianglesFromMemory: bad type or primitive count");
      if (!vertexData || stride == 0) return Refuse("DrawTrianglesFromMemory: no vertex data");
      if (declaration_ && stride < declaration_->Stream0Extent())
        return Refuse("DrawTrianglesFromMemory: stride shorter than the declaration's vertex");
      if (vertices * stride > UINT32_MAX) return Refuse("DrawTrianglesFromMemory: too large");
      if (Core::Hits(core_->draws, core_->desc.failDraw)) return core_->desc.failureCode;
      RefDrawRecord r{};
      r.fromMemory = 1;
      r.primitiveType = type;
      r.vertexCount = static_cast<uint32_t>(vertices);
      r.primitiveCount = primitiveCount;
      r.stride = stride;
      LyrResult result = Log(r, static_cast<const uint8_t*>(vertexData), vertices * stride);
      if (result == Ok && type == kTriangleList && raster_.HasTarget())
        RenderList(static_cast<const uint8_t*>(vertexData), stride, primitiveCount,
                   [](uint64_t i) { return i; });
      Rebind<RefVertexBuffer>(streams_[0].buffer, nullptr);
      streams_[0].offset = streams_[0].stride = 0;
      return result;
    } catch (const std::bad_alloc&) {
      return ErrOutOfMemory;
    }
  }

  LyrResult LYR_CALL ReadCapabilities(DeviceCapabilities* out) override {
    ++core_->calls[kRefCallReadCapabilities];
    if (!out) return Refuse("ReadCapabilities: null out pointer");
    const RefDeviceDesc& d = core_->desc;
    *out = {d.adapterOrdinal,
            d.maxVertexIndex,
            d.maxPrimitiveCount,
            d.vertexProcessingCaps,
            d.maxVertexBlendMatrices,
            d.maxVertexBlendMatrixIndex,
            d.vertexShaderVersion,
            kMaxStreams,
            4096,
            4096};
    return Ok;
  }
  LyrResult LYR_CALL ReadCreationFlags(DeviceCreationParameters* out) override {
    ++core_->calls[kRefCallReadCreationFlags];
    if (!out) return Refuse("ReadCreationFlags: null out pointer");
    *out = {core_->desc.adapterOrdinal, 1, core_->desc.creationFlags};
    return Ok;
  }
  int32_t LYR_CALL ReadSoftwareMode() override {
    ++core_->calls[kRefCallReadSoftwareMode];
    return softwareMode_;
  }
  LyrResult LYR_CALL WriteSoftwareMode(int32_t on) override {
    ++core_->calls[kRefCallWriteSoftwareMode];
    if (!(core_->desc.creationFlags & kCreateMixedProcessing))
      return Refuse("WriteSoftwareMode: only a mixed-processing device can switch");
    softwareMode_ = on ? 1 : 0;
    return Ok;
  }
  LyrResult LYR_CALL GetPlatformRoot(PlatformRoot** out) override {
    ++core_->calls[kRefCallGetPlatformRoot];
    if (!out) return Refuse("GetPlatformRoot: null out pointer");
    if (core_->desc.failPlatformRoot) return core_->desc.failureCode;
    return Make<RefRoot>(out);
  }
  LyrResult LYR_CALL MakeQuery(uint32_t type, Query** out) override {
    ++core_->calls[kRefCallMakeQuery];
    const RefDeviceDesc& d = core_->desc;
    if (d.failQueryStep == (out ? kRefQueryCreate : kRefQuerySupportTest)) return d.failureCode;
    if (type != kQueryVertexCache || !d.vertexCacheSupported) return ErrNotAvailable;
    if (!out) return Ok;
    return Make<RefQuery>(out);
  }

  // -- RefDeviceControl
  LyrResult LYR_CALL MakeTexture(uint32_t width, uint32_t height, uint32_t levels, uint32_t format,
                                 Texture** out) override {
    if (!out || width == 0 || height == 0 || width > 4096 || height > 4096 || !PixelBytes(format))
      return Refuse("MakeTexture: bad arguments");
    uint32_t full = 1;
    while ((width >> full) || (height >> full)) ++full;
    if (levels == 0) levels = full;
    if (levels > full) return Refuse("MakeTexture: more levels than the chain has");
    return Make<RefTexture>(out, width, height, levels, format);
  }
  LyrResult LYR_CALL ReadDeclaration(DeclarationObject* declaration, VertexElement* out,
                                     uint32_t* count) override {
    RefDeclaration* d = Own<RefDeclaration>(declaration, core_);
    if (!d || !count) return ErrInvalidCall;
    d->Read(out, count);
    return Ok;
  }
  uint32_t LYR_CALL DrawCount() override { return static_cast<uint32_t>(log_.size()); }
  LyrResult LYR_CALL ReadDraw(uint32_t index, RefDrawRecord* out) override {
    if (!out || index >= log_.size()) return ErrInvalidCall;
    *out = log_[index].record;
    return Ok;
  }
  LyrResult LYR_CALL ReadDrawData(uint32_t index, void* out, uint32_t capacity) override {
    if (index >= log_.size() || (!out && capacity)) return ErrInvalidCall;
    const Entry& e = log_[index];
    const uint32_t n = capacity < e.record.dataSize ? capacity : e.record.dataSize;
    if (n) std::memcpy(out, data_.data() + e.dataOffset, n);
    return Ok;
  }
  void LYR_CALL ClearDrawLog() override {
    log_.clear();
    data_.clear();
  }
  uint32_t LYR_CALL CallCount(RefCall call) override {
    return call < kRefCallCount ? core_->calls[call] : 0;
  }
  uint32_t LYR_CALL LiveObjects() override { return core_->live; }
  uint32_t LYR_CALL OutstandingLocks() override { return core_->outstandingLocks; }
  uint32_t LYR_CALL ReadOnlyViolations() override { return core_->readOnlyViolations; }

  LyrResult LYR_CALL SetRenderTarget(uint32_t width, uint32_t height) override {
    if (width == 0 || height == 0 || width > raster::Rasterizer::kMaxSide ||
        height > raster::Rasterizer::kMaxSide)
      return Refuse("SetRenderTarget: bad size");
    try {
      raster_.Resize(width, height);
      return Ok;
    } catch (const std::bad_alloc&) {
      return ErrOutOfMemory;
    }
  }
  LyrResult LYR_CALL Clear(uint32_t argb, float depth) override {
    if (!raster_.HasTarget()) return Refuse("Clear: no render target");
    raster_.Clear(argb, depth);
    return Ok;
  }
  LyrResult LYR_CALL SetTransform(RefTransform which, const float* matrix) override {
    if (which > kRefProjection || !matrix) return Refuse("SetTransform: bad arguments");
    std::memcpy(transforms_[which], matrix, sizeof(transforms_[which]));
    return Ok;
  }
  LyrResult LYR_CALL SetLight(const RefLight* light) override {
    if (!light) return Refuse("SetLight: null light");
    light_ = *light;
    return Ok;
  }
  LyrResult LYR_CALL SetMaterialColor(const float* rgba) override {
    if (!rgba) return Refuse("SetMaterialColor: null colour");
    std::memcpy(material_, rgba, sizeof(material_));
    return Ok;
  }
  LyrResult LYR_CALL SetCullMode(RefCullMode mode) override {
    if (mode > kRefCullBack) return Refuse("SetCullMode: unknown mode");
    raster_.cull = mode;
    return Ok;
  }
  LyrResult LYR_CALL SetTextureFile(const char* path) override {
    try {
      if (!path) {
        texture_.texels.clear();
        raster_.texture = nullptr;
        return Ok;
      }
      raster::Image image;
      if (!ReadPng(path, image)) {
        Message("SetTextureFile: unreadable image, showing a checker");
        raster::MakeChecker(image);
      }
      texture_ = std::move(image);
      raster_.texture = &texture_;
      return Ok;
    } catch (const std::bad_alloc&) {
      return ErrOutOfMemory;
    }
  }
  LyrResult LYR_CALL ReadPixels(uint32_t* out, uint32_t capacity) override {
    if (!raster_.HasTarget() || (!out && capacity)) return Refuse("ReadPixels: bad arguments");
    const size_t n = std::min<size_t>(capacity, raster_.Pixels().size());
    if (n) std::memcpy(out, raster_.Pixels().data(), n * sizeof(uint32_t));
    return Ok;
  }
  LyrResult LYR_CALL WritePng(const char* path) override {
#if LYR_TSL9_PNG
    if (!path || !raster_.HasTarget()) return Refuse("WritePng: no path or no render target");
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = raster_.Width();
    image.height = raster_.Height();
    image.format = PNG_FORMAT_BGRA;
    // Pixels are 0xAARRGGBB words; spell them out as b, g, r, a bytes whatever the byte order.
    std::vector<uint8_t> bytes;
    try {
      bytes.resize(raster_.Pixels().size() * 4);
    } catch (const std::bad_alloc&) {
      return ErrOutOfMemory;
    }
    for (size_t i = 0; i < raster_.Pixels().size(); ++i) {
      const uint32_t p = raster_.Pixels()[i];
      bytes[4 * i] = static_cast<uint8_t>(p);
      bytes[4 * i + 1] = static_cast<uint8_t>(p >> 8);
      bytes[4 * i + 2] = static_cast<uint8_t>(p >> 16);
      bytes[4 * i + 3] = static_cast<uint8_t>(p >> 24);
    }
    if (!png_image_write_to_file(&image, path, 0, bytes.data(), 0, nullptr)) {
      Message("WritePng: the file cannot be written");
      return ErrFileOpenFailed;
    }
    return Ok;
#else
    (void)path;
    return ErrNotAvailable;
#endif
  }

 private:
  struct Stream {
    RefVertexBuffer* buffer = nullptr;
    uint32_t offset = 0;
    uint32_t stride = 0;
  };
  struct Entry {
    RefDrawRecord record;
    size_t dataOffset;
  };

  template <class T, class Out, class... A>
  LyrResult Make(Out** out, A... args) {
    try {
      *out = new T(core_, args...);
      return Ok;
    } catch (const std::bad_alloc&) {
      return ErrOutOfMemory;
    }
  }

  template <class T, class Out>
  LyrResult MakeBuffer(uint32_t length, uint32_t usage, uint32_t format, FormatCode formatCode,
                       uint32_t pool, Out** out, void* reserved) {
    if (!out || reserved) return Refuse("Make...Buffer: null out or reserved argument set");
    if (length == 0) return Refuse("Make...Buffer: zero length");
    if (usage & ~kBufferUsageMask) return Refuse("Make...Buffer: unknown usage bits");
    if (pool > kPoolScratch) return Refuse("Make...Buffer: unknown pool");
    if (Core::Hits(core_->buffersMade, core_->desc.failBufferCreation))
      return core_->desc.failureCode;
    return Make<T>(out, length, usage, pool, format, formatCode);
  }

  // Where the vertex stage finds its inputs in a stream-0 vertex; -1 for an absent element.
  struct Layout {
    int32_t position = 0, normal = -1, colour = -1, texcoord = -1;
  };
  Layout CurrentLayout() const {
    Layout l;
    if (!declaration_) return l;
    l.position = -1;
    for (const VertexElement& e : declaration_->Elements()) {
      if (e.stream != 0 || e.method == ElementMethod::UV || e.usageIndex != 0) continue;
      if (e.usage == ElementUsage::Position &&
          (e.type == ElementType::F32x3 || e.type == ElementType::F32x4))
        l.position = e.offset;
      else if (e.usage == ElementUsage::Normal && e.type == ElementType::F32x3)
        l.normal = e.offset;
      else if (e.usage == ElementUsage::Color && e.type == ElementType::ColorArgb8)
        l.colour = e.offset;
      else if (e.usage == ElementUsage::TexCoord && e.type == ElementType::F32x2)
        l.texcoord = e.offset;
    }
    return l;
  }

  static void Floats(const uint8_t* p, float* out, int n) {
    std::memcpy(out, p, 4 * size_t(n));
  }

  // Transforms, lights and rasterizes count triangles whose i-th corner is vertex indexOf(i) of
  // the block at vertices. The caller has checked every vertex lies inside its buffer.
  template <class IndexOf>
  void RenderList(const uint8_t* vertices, uint32_t stride, uint32_t count, IndexOf indexOf) {
    const Layout l = CurrentLayout();
    if (l.position < 0) return;
    float wv[16], wvp[16];
    raster::Multiply(transforms_[kRefWorld], transforms_[kRefView], wv);
    raster::Multiply(wv, transforms_[kRefProjection], wvp);
    float toLight[3] = {-light_.direction[0], -light_.direction[1], -light_.direction[2]};
    const float len =
        std::sqrt(toLight[0] * toLight[0] + toLight[1] * toLight[1] + toLight[2] * toLight[2]);
    const bool lit = light_.enabled && l.normal >= 0 && len > 0;
    if (lit)
      for (float& c : toLight) c /= len;
    const float* w = transforms_[kRefWorld];
    auto shadeVertex = [&](uint64_t index, raster::ClipVertex& out) {
      const uint8_t* v = vertices + static_cast<size_t>(index) * stride;
      float p[3];
      Floats(v + l.position, p, 3);
      float* o = &out.x;
      for (int j = 0; j < 4; ++j)
        o[j] = p[0] * wvp[j] + p[1] * wvp[4 + j] + p[2] * wvp[8 + j] + wvp[12 + j];
      float base[4] = {material_[0], material_[1], material_[2], material_[3]};
      if (l.colour >= 0) {
        uint32_t c;
        std::memcpy(&c, v + l.colour, 4);
        base[0] = static_cast<float>((c >> 16) & 0xFF) / 255.0f;
        base[1] = static_cast<float>((c >> 8) & 0xFF) / 255.0f;
        base[2] = static_cast<float>(c & 0xFF) / 255.0f;
        base[3] = static_cast<float>(c >> 24) / 255.0f;
      }
      if (lit) {
        float n[3], wn[3];
        Floats(v + l.normal, n, 3);
        for (int j = 0; j < 3; ++j) wn[j] = n[0] * w[j] + n[1] * w[4 + j] + n[2] * w[8 + j];
        const float nl = std::sqrt(wn[0] * wn[0] + wn[1] * wn[1] + wn[2] * wn[2]);
        float d = nl > 0 ? (wn[0] * toLight[0] + wn[1] * toLight[1] + wn[2] * toLight[2]) / nl : 0;
        if (d < 0) d = 0;
        for (int j = 0; j < 3; ++j) base[j] *= light_.ambient[j] + light_.diffuse[j] * d;
      }
      out.r = base[0];
      out.g = base[1];
      out.b = base[2];
      out.a = base[3];
      float uv[2] = {0, 0};
      if (l.texcoord >= 0) Floats(v + l.texcoord, uv, 2);
      out.u = uv[0];
      out.v = uv[1];
    };
    raster::ClipVertex c[3];
    for (uint64_t t = 0; t < count; ++t) {
      for (int k = 0; k < 3; ++k) shadeVertex(indexOf(3 * t + k), c[k]);
      raster_.Triangle(c[0], c[1], c[2]);
    }
  }

  // Reads a PNG file into image; false when it cannot be read or is larger than 4096 a side.
  static bool ReadPng(const char* path, raster::Image& out) {
#if LYR_TSL9_PNG
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path)) return false;
    if (image.width == 0 || image.height == 0 || image.width > 4096 || image.height > 4096) {
      png_image_free(&image);
      return false;
    }
    image.format = PNG_FORMAT_BGRA;
    std::vector<uint8_t> bytes(size_t{image.width} * image.height * 4);
    if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) {
      png_image_free(&image);
      return false;
    }
    out.width = image.width;
    out.height = image.height;
    out.texels.resize(size_t{out.width} * out.height);
    for (size_t i = 0; i < out.texels.size(); ++i)
      out.texels[i] = uint32_t{bytes[4 * i]} | uint32_t{bytes[4 * i + 1]} << 8 |
                      uint32_t{bytes[4 * i + 2]} << 16 | uint32_t{bytes[4 * i + 3]} << 24;
    return true;
#else
    (void)path;
    (void)out;
    return false;
#endif
  }

  LyrResult Log(RefDrawRecord r, const uint8_t* bytes, uint64_t size) {
    r.declaration = static_cast<DeclarationObject*>(declaration_);
    r.dataSize = static_cast<uint32_t>(size);
    const size_t at = data_.size();
    data_.insert(data_.end(), bytes, bytes + size);
    log_.push_back({r, at});
    return Ok;
  }

  uint32_t refs_ = 1;
  Core* core_;
  int32_t softwareMode_ = 0;
  RefDeclaration* declaration_ = nullptr;
  Stream streams_[kMaxStreams];
  RefIndexBuffer* indices_ = nullptr;
  std::vector<Entry> log_;
  std::vector<uint8_t> data_;
  raster::Rasterizer raster_;
  raster::Image texture_;
  float transforms_[3][16] = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
                              {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
                              {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
  RefLight light_ = {{0, 0, 1}, {1, 1, 1, 1}, {0, 0, 0, 0}, 0};
  float material_[4] = {1, 1, 1, 1};
};

}  // namespace
}  // namespace lyr

TSL_EXPORT LyrResult TslCreateReferenceDevice(const lyr::RefDeviceDesc* desc,
                                              lyr::GraphicsDevice** out) {
  using namespace lyr;
  if (!desc || !out || desc->size != sizeof(RefDeviceDesc)) return ErrInvalidCall;
  try {
    *out = new RefDevice(*desc);
    return Ok;
  } catch (const std::bad_alloc&) {
    return ErrOutOfMemory;
  }
}

TSL_EXPORT void DebugSetMute(int mute) {
  lyr::g_debug.muted = mute ? 1 : 0;
}

TSL_EXPORT void TslDebugState(lyr::RefDebugState* out) {
  if (out) *out = lyr::g_debug;
}
