#include "vekio/mesh_write_parts.h"

#include <cstring>

#include "core/object_impl.h"
#include "platform/platform.h"
#include "vekio/vek_component.h"

namespace lyr::vekio {

namespace {

// Packs a data block front to back, into the caller's working memory when given (so that large
// blocks reuse one allocation) or its own. The bytes are not zeroed first: every builder writes
// each byte it hands on.
class BlockBuilder {
 public:
  explicit BlockBuilder(uint64_t size, WorkVector<uint8_t>* storage = nullptr)
      : bytes_(storage ? *storage : own_) {
    bytes_.resize(static_cast<size_t>(size));
  }
  BlockBuilder(const BlockBuilder&) = delete;
  BlockBuilder& operator=(const BlockBuilder&) = delete;
  void U32(uint32_t v) { Put(&v, 4); }
  void Ptr(const char* s) { Put(&s, sizeof s); }
  void Put(const void* p, size_t n) {
    std::memcpy(bytes_.data() + at_, p, n);
    at_ += n;
  }
  uint8_t* Take(size_t n) {
    uint8_t* p = bytes_.data() + at_;
    at_ += n;
    return p;
  }
  const uint8_t* data() const { return bytes_.data(); }
  uint64_t size() const { return bytes_.size(); }

 private:
  WorkVector<uint8_t> own_;
  WorkVector<uint8_t>& bytes_;
  size_t at_ = 0;
};

// A block larger than the component's 32-bit sizes cannot be written.
bool FitsBlock(uint64_t size) {
  return size <= UINT32_MAX;
}

const VertexElement* Typed(const VertexElement* declaration, ElementUsage usage,
                           std::initializer_list<ElementType> types) {
  const VertexElement* e = FindElement(declaration, usage, 0);
  if (!e) return nullptr;
  for (ElementType t : types)
    if (e->type == t) return e;
  return nullptr;
}

// Each face as its corner count and its indices (the layout of MeshFace), for `corners` indices of
// type Index per face.
template <class Index>
void PutFacesOf(BlockBuilder& b, const Index* indices, uint32_t faces, uint32_t corners) {
  uint8_t* out = b.Take(size_t(faces) * (corners + 1) * 4);
  if (corners == 3) {
    for (uint32_t f = 0; f < faces; ++f, indices += 3, out += 16) {
      const uint32_t face[4] = {3, indices[0], indices[1], indices[2]};
      std::memcpy(out, face, 16);
    }
    return;
  }
  for (uint32_t f = 0; f < faces; ++f) {
    std::memcpy(out, &corners, 4);
    out += 4;
    for (uint32_t k = 0; k < corners; ++k, out += 4) {
      const uint32_t v = *indices++;
      std::memcpy(out, &v, 4);
    }
  }
}

}  // namespace

void FindWellKnownElements(GeometryView* view, const VertexElement* declaration) {
  view->declaration = declaration;
  view->position = Typed(declaration, ElementUsage::Position, {ElementType::F32x3});
  // A normal the tessellator makes from the derivatives has no data of its own to write.
  view->normal = Typed(declaration, ElementUsage::Normal, {ElementType::F32x3});
  if (view->normal && view->normal->method != ElementMethod::Default) view->normal = nullptr;
  view->color =
      Typed(declaration, ElementUsage::Color, {ElementType::F32x4, ElementType::ColorArgb8});
  view->texture = FindElement(declaration, ElementUsage::TexCoord, 0);
}

LyrResult MakeChild(VekSaveObject* save, const Guid& templateId, const void* block, uint64_t size,
                    VekDataObject** child) {
  if (!FitsBlock(size)) return ErrInvalidCall;
  Ref<VekDataObject> made;
  LyrResult r = save->NewDataObject(templateId, nullptr, nullptr, static_cast<uint32_t>(size),
                                    block, made.put());
  if (Failed(r) || !made) {
    platform::DebugOutput(kMsgCreateFailed);
    return Failed(r) ? r : ErrFail;
  }
  *child = made.detach();
  return Ok;
}

LyrResult AttachChild(VekDataObject* parent, VekDataObject* child) {
  LyrResult r = parent->AddChild(child);
  if (Failed(r)) platform::DebugOutput(kMsgAddFailed);
  return r;
}

LyrResult AddNewChild(VekSaveObject* save, VekDataObject* parent, const Guid& templateId,
                      const void* block, uint64_t size) {
  Ref<VekDataObject> child;
  LyrResult r = MakeChild(save, templateId, block, size, child.put());
  return Failed(r) ? r : AttachChild(parent, child.get());
}

// ---- Geometry and per-vertex children -----------------------------------------------------------

namespace {

// nFaces and the faces.
uint64_t FaceBlockBytes(const GeometryView& view) {
  return 4 + uint64_t(view.faceCount) * (uint64_t(view.corners) + 1) * 4;
}

void PutFaces(BlockBuilder& b, const GeometryView& view) {
  b.U32(view.faceCount);
  if (view.wideIndices)
    PutFacesOf(b, static_cast<const uint32_t*>(view.indices), view.faceCount, view.corners);
  else
    PutFacesOf(b, static_cast<const uint16_t*>(view.indices), view.faceCount, view.corners);
}

// The count, then `bytes` bytes of one element of every vertex.
void PutVertexColumn(BlockBuilder& b, const GeometryView& view, const VertexElement* e,
                     uint32_t bytes) {
  b.U32(view.vertexCount);
  uint8_t* out = b.Take(size_t(view.vertexCount) * bytes);
  const uint8_t* in = view.vertices + e->offset;
  for (uint32_t i = 0; i < view.vertexCount; ++i, in += view.stride, out += bytes)
    std::memcpy(out, in, bytes);
}

LyrResult WriteNormals(const SaveContext& context, const GeometryView& view,
                       VekDataObject* parent) {
  const uint64_t size = 4 + 12 * uint64_t(view.vertexCount) + FaceBlockBytes(view);
  if (!FitsBlock(size)) return ErrInvalidCall;
  // A geometry block without header words has its faces where this block has them: when the
  // scratch still holds one, only the normals are written over its positions.
  const bool facesKept = view.facesInScratch && view.scratch && view.scratch->size() == size;
  BlockBuilder b(size, view.scratch);
  PutVertexColumn(b, view, view.normal, 12);
  if (facesKept)
    b.Take(static_cast<size_t>(FaceBlockBytes(view)));
  else
    PutFaces(b, view);
  return AddNewChild(context.save, parent, tid::kMeshNormals, b.data(), b.size());
}

LyrResult WriteTextureCoords(const SaveContext& context, const GeometryView& view,
                             VekDataObject* parent) {
  const uint64_t size = 4 + 8 * uint64_t(view.vertexCount);
  if (!FitsBlock(size)) return ErrInvalidCall;
  BlockBuilder b(size, view.scratch);
  PutVertexColumn(b, view, view.texture, 8);
  return AddNewChild(context.save, parent, tid::kMeshTextureCoords, b.data(), b.size());
}

LyrResult WriteColors(const SaveContext& context, const GeometryView& view, VekDataObject* parent) {
  const uint64_t size = 4 + 20 * uint64_t(view.vertexCount);
  if (!FitsBlock(size)) return ErrInvalidCall;
  BlockBuilder b(size, view.scratch);
  b.U32(view.vertexCount);
  const bool packed = view.color->type == ElementType::ColorArgb8;
  const uint8_t* in = view.vertices + view.color->offset;
  for (uint32_t i = 0; i < view.vertexCount; ++i, in += view.stride) {
    b.U32(i);
    float rgba[4];
    if (packed) {
      uint32_t c;
      std::memcpy(&c, in, 4);
      constexpr float kScale = 1.0f / 255.0f;
      rgba[0] = float((c >> 16) & 0xFF) * kScale;
      rgba[1] = float((c >> 8) & 0xFF) * kScale;
      rgba[2] = float(c & 0xFF) * kScale;
      rgba[3] = float(c >> 24) * kScale;
    } else {
      std::memcpy(rgba, in, 16);
    }
    b.Put(rgba, 16);
  }
  return AddNewChild(context.save, parent, tid::kMeshVertexColors, b.data(), b.size());
}

}  // namespace

bool GeometryFits(const GeometryView& view, uint32_t headerWords) {
  return FitsBlock(4 * uint64_t(headerWords) + 4 + 12 * uint64_t(view.vertexCount) +
                   FaceBlockBytes(view));
}

LyrResult MakeGeometryObject(VekSaveObject* save, const Guid& templateId, const char* name,
                             const uint32_t* header, uint32_t headerWords, const GeometryView& view,
                             VekDataObject** out) {
  if (!GeometryFits(view, headerWords)) return ErrInvalidCall;
  BlockBuilder b(
      4 * uint64_t(headerWords) + 4 + 12 * uint64_t(view.vertexCount) + FaceBlockBytes(view),
      view.scratch);
  if (headerWords) b.Put(header, size_t(headerWords) * 4);
  PutVertexColumn(b, view, view.position, 12);
  PutFaces(b, view);
  Ref<VekDataObject> made;
  LyrResult r = save->NewDataObject(templateId, name, nullptr, static_cast<uint32_t>(b.size()),
                                    b.data(), made.put());
  if (Failed(r)) return r;
  if (!made) return ErrFail;
  *out = made.detach();
  return Ok;
}

LyrResult WriteVertexChildren(const SaveContext& context, const GeometryView& view,
                              VekDataObject* parent) {
  LyrResult r = Ok;
  if (view.normal && Failed(r = WriteNormals(context, view, parent))) return r;
  if (view.TextureChildWritten() && Failed(r = WriteTextureCoords(context, view, parent))) return r;
  if (view.color && Failed(r = WriteColors(context, view, parent))) return r;
  return Ok;
}

// ---- Materials ----------------------------------------------------------------------------------

namespace {

bool NameIs(const char* name, const char* expected) {
  return name && std::strcmp(name, expected) == 0;
}

// The material an effect instance without a file name describes through its defaults; an instance
// with a file name describes none (the record stays zero). The texture name is taken from a
// string default named "Texture0@Name" (the name the loader gives it) or "Texture1", and only when
// the value is terminated within its byte count.
Material DeriveMaterial(const EffectInstance& e) {
  Material m{};
  if (e.effectFilename || !e.defaults) return m;
  for (uint32_t k = 0; k < e.defaultCount; ++k) {
    const EffectDefault& d = e.defaults[k];
    if (!d.parameterName || !d.value) continue;
    if (d.type == EffectDefaultFloats && d.byteCount == 16) {
      ColorValue* target = NameIs(d.parameterName, "Diffuse")    ? &m.diffuse
                           : NameIs(d.parameterName, "Ambient")  ? &m.ambient
                           : NameIs(d.parameterName, "Specular") ? &m.specular
                           : NameIs(d.parameterName, "Emissive") ? &m.emissive
                                                                 : nullptr;
      if (target) std::memcpy(target, d.value, 16);
    } else if (d.type == EffectDefaultFloats && d.byteCount == 4 &&
               NameIs(d.parameterName, "Power")) {
      std::memcpy(&m.power, d.value, 4);
    } else if (d.type == EffectDefaultString &&
               (NameIs(d.parameterName, "Texture0@Name") || NameIs(d.parameterName, "Texture1")) &&
               std::memchr(d.value, 0, d.byteCount)) {
      m.textureFilename = static_cast<char*>(d.value);
    }
  }
  return m;
}

LyrResult WriteEffectDefault(const SaveContext& context, VekDataObject* instance,
                             const EffectDefault& d) {
  const char* name = d.parameterName;
  // A default's value is read only within its byte count.
  const uint32_t bytes = d.value ? d.byteCount : 0;
  switch (d.type) {
    case EffectDefaultString: {
      const char* copy = nullptr;
      LyrResult r =
          bytes ? context.strings->Copy(static_cast<const char*>(d.value), bytes, &copy) : Ok;
      if (Failed(r)) return r;
      const char* block[2] = {name, copy};
      return AddNewChild(context.save, instance, tid::kEffectParamString, block, sizeof block);
    }
    case EffectDefaultFloats: {
      const uint32_t n = bytes / 4;
      const uint64_t size = sizeof(char*) + 4 + uint64_t(n) * 4;
      if (!FitsBlock(size)) return ErrInvalidCall;
      BlockBuilder b(size);
      b.Ptr(name);
      b.U32(n);
      if (n) b.Put(d.value, size_t(n) * 4);
      return AddNewChild(context.save, instance, tid::kEffectParamFloats, b.data(), b.size());
    }
    case EffectDefaultDWord: {
      uint32_t value = 0;
      if (bytes) std::memcpy(&value, d.value, bytes < 4 ? bytes : 4);
      uint8_t block[sizeof(char*) + 4];
      std::memcpy(block, &name, sizeof name);
      std::memcpy(block + sizeof name, &value, 4);
      return AddNewChild(context.save, instance, tid::kEffectParamDWord, block, sizeof block);
    }
    default:
      return Ok;  // other types have no child
  }
}

LyrResult WriteEffectInstance(const SaveContext& context, VekDataObject* material,
                              const EffectInstance& e) {
  const char* file = nullptr;
  LyrResult r = context.strings->Copy(e.effectFilename, &file);
  if (Failed(r)) return r;
  Ref<VekDataObject> instance;
  if (Failed(r = MakeChild(context.save, tid::kEffectInstance, &file, sizeof file, instance.put())))
    return r;
  if (e.defaults) {
    for (uint32_t k = 0; k < e.defaultCount; ++k)
      if (Failed(r = WriteEffectDefault(context, instance.get(), e.defaults[k]))) return r;
  }
  return AttachChild(material, instance.get());
}

constexpr uint32_t kMaterialBlockBytes = 44;

LyrResult WriteMaterial(const SaveContext& context, VekDataObject* list, const Material& m,
                        const EffectInstance* effect) {
  Block<uint8_t> block(static_cast<uint8_t*>(Alloc(kMaterialBlockBytes)));
  if (!block) {
    platform::DebugOutput(kMsgOutOfMemory);
    return ErrOutOfMemory;
  }
  // faceColor = diffuse (four floats), power, specular and emissive without their alpha.
  const float values[11] = {m.diffuse.red,  m.diffuse.green,  m.diffuse.blue,   m.diffuse.alpha,
                            m.power,        m.specular.red,   m.specular.green, m.specular.blue,
                            m.emissive.red, m.emissive.green, m.emissive.blue};
  std::memcpy(block.get(), values, kMaterialBlockBytes);
  Ref<VekDataObject> material;
  LyrResult r =
      MakeChild(context.save, tid::kMaterial, block.get(), kMaterialBlockBytes, material.put());
  if (Failed(r) || Failed(r = AttachChild(list, material.get()))) return r;
  if (m.textureFilename) {
    const char* copy = nullptr;
    if (Failed(r = context.strings->Copy(m.textureFilename, &copy))) return r;
    r = AddNewChild(context.save, material.get(), tid::kTextureFilename, &copy, sizeof copy);
    if (Failed(r)) return r;
  }
  if (effect && effect->effectFilename)
    return WriteEffectInstance(context, material.get(), *effect);
  return Ok;
}

}  // namespace

LyrResult WriteMaterialList(const SaveContext& context, const GeometryView& view,
                            const Material* materials, const EffectInstance* effects,
                            uint32_t count, VekDataObject* parent) {
  if (count == 0) return Ok;
  const uint64_t size = 8 + 4 * uint64_t(view.faceCount);
  if (!FitsBlock(size)) return ErrInvalidCall;
  Ref<VekDataObject> list;
  {
    BlockBuilder b(size, view.scratch);
    b.U32(count);
    b.U32(view.faceCount);
    b.Put(view.attributes, size_t(view.faceCount) * 4);
    LyrResult r = MakeChild(context.save, tid::kMeshMaterialList, b.data(), b.size(), list.put());
    if (Failed(r) || Failed(r = AttachChild(parent, list.get()))) return r;
  }
  Vector<Material> derived;
  if (!materials) {
    derived.resize(count);
    for (uint32_t i = 0; i < count; ++i) derived[i] = DeriveMaterial(effects[i]);
    materials = derived.data();
  }
  // Each material is written with its own effect instance, when that instance names an effect
  // file; an instance without one is what the loader derives from the material itself.
  for (uint32_t i = 0; i < count; ++i) {
    LyrResult r = WriteMaterial(context, list.get(), materials[i], effects ? &effects[i] : nullptr);
    if (Failed(r)) return r;
  }
  return Ok;
}

// ---- Remaining vertex data ----------------------------------------------------------------------

namespace {

// A byte range of the source vertex copied to the next bytes of the row.
struct Run {
  uint32_t from;
  uint32_t size;
};

// FVFData: the components of the format code that no other child carries, in the code's order.
LyrResult WriteFormatData(const SaveContext& context, const GeometryView& view, FormatCode code,
                          VekDataObject* parent) {
  const FormatLayout from = DecodeFormatCode(code);
  FormatCode next = code & ~(kFormatNormal | kFormatDiffuse);
  const bool dropSet0 = from.texSetCount > 0 && ((code >> 16) & 3) == kTexSize2;
  // Removing set 0 moves every later set's size bits down one set.
  if (dropSet0) next = ((next & 0xFFAF) - 0x100) | ((next >> 16) << 14);
  const uint32_t vertexSize = FormatCodeVertexSize(next);
  if (vertexSize < 12) return ErrInvalidCall;  // no position: never the code of a written mesh
  const uint32_t rowBytes = vertexSize - 12;
  if (rowBytes == 0) return Ok;
  if (rowBytes % 4) return ErrInvalidCall;

  Run runs[4 + kMaxTextureSets];
  uint32_t runCount = 0, total = 0;
  auto add = [&](uint32_t offset, uint32_t size) {
    if (!size) return;
    total += size;
    if (runCount && runs[runCount - 1].from + runs[runCount - 1].size == offset)
      runs[runCount - 1].size += size;
    else
      runs[runCount++] = {offset, size};
  };
  add(12, 4 * from.blendWeightCount);
  // The point size is kept too: it counts in the row size, and leaving it out would shift every
  // later value of the row.
  if (code & kFormatPointSize) add(from.pointSizeOffset, 4);
  if (code & kFormatSpecular) add(from.specularOffset, 4);
  for (uint32_t set = dropSet0 ? 1 : 0; set < from.texSetCount; ++set)
    add(from.texOffset[set], TextureSetSize(from, set));
  if (total != rowBytes) return ErrInvalidCall;

  const uint64_t dataBytes = uint64_t(rowBytes) * view.vertexCount;
  if (!FitsBlock(8 + dataBytes)) return ErrInvalidCall;
  BlockBuilder b(8 + dataBytes, view.scratch);
  b.U32(next);
  b.U32(static_cast<uint32_t>(dataBytes / 4));
  uint8_t* out = b.Take(static_cast<size_t>(dataBytes));
  const uint8_t* in = view.vertices;
  for (uint32_t i = 0; i < view.vertexCount; ++i, in += view.stride) {
    for (uint32_t k = 0; k < runCount; ++k) {
      std::memcpy(out, in + runs[k].from, runs[k].size);
      out += runs[k].size;
    }
  }
  return AddNewChild(context.save, parent, tid::kFVFData, b.data(), b.size());
}

// DeclData: the elements no other child carries, packed in declaration order as the loader lays
// them out, each vertex's bytes copied unchanged (a conversion through floats would round signed
// integer values).
LyrResult WriteDeclarationData(const SaveContext& context, const GeometryView& view,
                               VekDataObject* parent) {
  const VertexElement* kept[kMaxElements];
  uint32_t keptCount = 0, rowBytes = 0;
  const VertexElement* texture = view.TextureChildWritten() ? view.texture : nullptr;
  for (const VertexElement* e = view.declaration; !IsEndElement(*e) && keptCount < kMaxElements;
       ++e) {
    if (e->stream != 0 || e == view.position || e == view.normal || e == view.color ||
        e == texture || e->method == ElementMethod::CrossUV)
      continue;
    kept[keptCount++] = e;
    rowBytes += ElementTypeSize(e->type);
  }
  if (keptCount == 0) return Ok;
  const uint64_t dataBytes = (uint64_t(rowBytes) * view.vertexCount + 3) / 4 * 4;
  const uint64_t size = 8 + 16 * uint64_t(keptCount) + dataBytes;
  if (!FitsBlock(size)) return ErrInvalidCall;
  BlockBuilder b(size, view.scratch);
  b.U32(keptCount);
  for (uint32_t k = 0; k < keptCount; ++k) {
    const VertexElement* e = kept[k];
    const uint32_t fields[4] = {uint32_t(e->type), uint32_t(e->method), uint32_t(e->usage),
                                e->usageIndex};
    b.Put(fields, 16);
  }
  b.U32(static_cast<uint32_t>(dataBytes / 4));
  uint8_t* out = b.Take(static_cast<size_t>(dataBytes));
  std::memset(out + uint64_t(rowBytes) * view.vertexCount, 0,
              static_cast<size_t>(dataBytes - uint64_t(rowBytes) * view.vertexCount));
  const uint8_t* in = view.vertices;
  for (uint32_t i = 0; i < view.vertexCount; ++i, in += view.stride) {
    for (uint32_t k = 0; k < keptCount; ++k) {
      const uint32_t n = ElementTypeSize(kept[k]->type);
      // Elements the tessellator generates occupy no bytes in the vertex.
      if (kept[k]->method == ElementMethod::UV)
        std::memset(out, 0, n);
      else
        std::memcpy(out, in + kept[k]->offset, n);
      out += n;
    }
  }
  return AddNewChild(context.save, parent, tid::kDeclData, b.data(), b.size());
}

}  // namespace

LyrResult WriteRemainingVertexData(const SaveContext& context, const GeometryView& view,
                                   VekDataObject* parent) {
  FormatCode code = 0;
  if (Failed(ElementsToFormatCode(view.declaration, &code))) code = 0;
  if (code) return WriteFormatData(context, view, code, parent);
  return WriteDeclarationData(context, view, parent);
}

}  // namespace lyr::vekio
