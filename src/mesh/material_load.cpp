#include "mesh/material_load.h"

#include <cstring>

#include "mesh/load_block.h"
#include "vekio/vek_component.h"

namespace lyr::meshload {

namespace {

namespace tid = vekio::tid;

constexpr uint32_t kMaterialBlockBytes = 44;  // face colour, power, specular, emissive

void SetString(const char* text, String* out, bool* has) {
  *has = text != nullptr;
  if (text) out->assign(text);
}

LyrResult ReadMaterialBlock(VekDataObject* object, Material* m) {
  BlockReader b(nullptr, 0);
  LyrResult r = ReadBlock(object, &b);
  if (Failed(r)) return r;
  if (!b.Has(kMaterialBlockBytes)) return Ok;  // too short to describe anything: stays zero
  float v[11];
  std::memcpy(v, b.here(), sizeof v);
  m->diffuse = {v[0], v[1], v[2], v[3]};
  m->power = v[4];
  m->specular = {v[5], v[6], v[7], 1.0f};
  m->emissive = {v[8], v[9], v[10], 1.0f};
  m->ambient = {0.0f, 0.0f, 0.0f, 1.0f};
  return Ok;
}

LyrResult ReadTexture(VekDataObject* object, LoadedMaterial* m) {
  BlockReader b(nullptr, 0);
  LyrResult r = ReadBlock(object, &b);
  if (Failed(r)) return r;
  const char* name = nullptr;
  if (!b.Str(&name)) return ErrFail;
  SetString(name, &m->texture, &m->hasTexture);
  return Ok;
}

// The object's own name; false for an unnamed object.
LyrResult ObjectName(VekDataObject* object, String* out, bool* named) {
  uint32_t size = 0;
  LyrResult r = object->ReadName(nullptr, &size);
  if (Failed(r)) return r;
  *named = size > 0;
  if (!*named) return Ok;
  out->assign(size, '\0');
  r = object->ReadName(out->data(), &size);
  if (Failed(r)) return r;
  out->resize(std::strlen(out->c_str()));
  return Ok;
}

void SetValue(LoadedDefault* d, uint32_t type, const void* bytes, size_t count) {
  d->type = type;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  d->value.assign(p, p + count);
}

void SetStringValue(LoadedDefault* d, const char* text) {
  if (!text) text = "";
  SetValue(d, EffectDefaultString, text, std::strlen(text) + 1);
}

// Reads one child of an EffectInstance into d; *keep is false for a child that gives no default.
LyrResult ReadDefault(VekDataObject* child, LoadedDefault* d, bool* keep) {
  *keep = false;
  const bool param = TemplateIs(child, tid::kEffectParamFloats) ||
                     TemplateIs(child, tid::kEffectParamString) ||
                     TemplateIs(child, tid::kEffectParamDWord);
  const bool plain = TemplateIs(child, tid::kEffectFloats) ||
                     TemplateIs(child, tid::kEffectString) || TemplateIs(child, tid::kEffectDWord);
  if (!param && !plain) return Ok;
  BlockReader b(nullptr, 0);
  LyrResult r = ReadBlock(child, &b);
  if (Failed(r)) return r;
  if (param) {
    const char* name = nullptr;
    if (!b.Str(&name)) return ErrFail;
    SetString(name, &d->name, &d->hasName);
  } else {
    bool named = false;
    if (Failed(r = ObjectName(child, &d->name, &named))) return r;
    if (!named) return Ok;  // a plain value needs the object's name
    d->hasName = true;
  }
  if (TemplateIs(child, tid::kEffectParamFloats) || TemplateIs(child, tid::kEffectFloats)) {
    uint32_t n = 0;
    const uint8_t* floats = nullptr;
    if (!b.U32(&n) || !(floats = b.Take(n, 4))) return ErrFail;
    SetValue(d, EffectDefaultFloats, floats, size_t(n) * 4);
  } else if (TemplateIs(child, tid::kEffectParamString) || TemplateIs(child, tid::kEffectString)) {
    const char* text = nullptr;
    if (!b.Str(&text)) return ErrFail;
    SetStringValue(d, text);
  } else {
    uint32_t value = 0;
    if (!b.U32(&value)) return ErrFail;
    SetValue(d, EffectDefaultDWord, &value, 4);
  }
  *keep = true;
  return Ok;
}

void AddFloats(LoadedEffect* e, const char* name, const float* values, uint32_t count) {
  LoadedDefault& d = e->defaults.emplace_back();
  d.name.assign(name);
  d.hasName = true;
  SetValue(&d, EffectDefaultFloats, values, size_t(count) * 4);
}

constexpr size_t kAlign = alignof(void*);
constexpr uint64_t AlignUp(uint64_t n) {
  return (n + kAlign - 1) & ~uint64_t(kAlign - 1);
}

// Lays out the effects Buffer; with a null base it only measures. Returns the byte size.
uint64_t LayOutEffects(const Vector<LoadedMaterial>& materials, uint8_t* base) {
  uint64_t at = AlignUp(materials.size() * sizeof(EffectInstance));
  auto place = [&](const void* bytes, size_t n) -> uint8_t* {
    uint8_t* p = base ? base + at : nullptr;
    if (base && bytes && n) std::memcpy(p, bytes, n);
    at = AlignUp(at + n);
    return p;
  };
  for (size_t i = 0; i < materials.size(); ++i) {
    const LoadedEffect& e = materials[i].effect;
    EffectInstance rec{};
    if (e.hasFilename)
      rec.effectFilename =
          reinterpret_cast<char*>(place(e.filename.c_str(), e.filename.size() + 1));
    rec.defaultCount = static_cast<uint32_t>(e.defaults.size());
    EffectDefault* defaults =
        reinterpret_cast<EffectDefault*>(place(nullptr, e.defaults.size() * sizeof(EffectDefault)));
    if (!e.defaults.empty()) rec.defaults = defaults;
    for (size_t k = 0; k < e.defaults.size(); ++k) {
      const LoadedDefault& d = e.defaults[k];
      EffectDefault dr{};
      if (d.hasName)
        dr.parameterName = reinterpret_cast<char*>(place(d.name.c_str(), d.name.size() + 1));
      dr.type = d.type;
      dr.byteCount = static_cast<uint32_t>(d.value.size());
      dr.value = place(d.value.data(), d.value.size());
      if (base) std::memcpy(defaults + k, &dr, sizeof dr);
    }
    if (base) std::memcpy(base + i * sizeof(EffectInstance), &rec, sizeof rec);
  }
  return at;
}

}  // namespace

LyrResult ReadEffectInstance(VekDataObject* object, LoadedEffect* out) {
  BlockReader b(nullptr, 0);
  LyrResult r = ReadBlock(object, &b);
  if (Failed(r)) return r;
  const char* filename = nullptr;
  if (!b.Str(&filename)) return ErrFail;
  SetString(filename, &out->filename, &out->hasFilename);
  out->defaults.clear();
  return ForEachDataChild(object, [&](VekDataObject* child) -> LyrResult {
    LoadedDefault d;
    bool keep = false;
    LyrResult rr = ReadDefault(child, &d, &keep);
    if (Succeeded(rr) && keep) out->defaults.push_back(std::move(d));
    return rr;
  });
}

void MakeDefaultEffect(const LoadedMaterial& m, LoadedEffect* out) {
  out->hasFilename = false;
  out->filename.clear();
  out->defaults.clear();
  out->defaults.reserve(6);
  AddFloats(out, "Diffuse", &m.record.diffuse.red, 4);
  AddFloats(out, "Power", &m.record.power, 1);
  AddFloats(out, "Specular", &m.record.specular.red, 4);
  AddFloats(out, "Emissive", &m.record.emissive.red, 4);
  AddFloats(out, "Ambient", &m.record.ambient.red, 4);
  if (m.hasTexture) {
    LoadedDefault& d = out->defaults.emplace_back();
    d.name.assign("Texture0@Name");
    d.hasName = true;
    SetStringValue(&d, m.texture.c_str());
  }
}

LyrResult ReadMaterials(VekDataObject* list, uint32_t count, bool readEffects,
                        Vector<LoadedMaterial>& materials) {
  materials.clear();
  LyrResult r = ForEachDataChild(list, [&](VekDataObject* child) -> LyrResult {
    if (!TemplateIs(child, tid::kMaterial)) return Ok;
    if (materials.size() >= count) return ErrInvalidCall;
    LoadedMaterial& m = materials.emplace_back();
    LyrResult rr = ReadMaterialBlock(child, &m.record);
    if (Failed(rr)) return rr;
    return ForEachDataChild(child, [&](VekDataObject* part) -> LyrResult {
      if (TemplateIs(part, tid::kTextureFilename)) return ReadTexture(part, &m);
      if (readEffects && TemplateIs(part, tid::kEffectInstance)) {
        m.hasEffect = true;
        return ReadEffectInstance(part, &m.effect);
      }
      return Ok;
    });
  });
  if (Failed(r)) return r;
  if (materials.size() != count) return ErrFail;
  if (readEffects) {
    for (LoadedMaterial& m : materials)
      if (!m.hasEffect) MakeDefaultEffect(m, &m.effect);
  }
  return Ok;
}

LyrResult PackMaterials(const Vector<LoadedMaterial>& materials, Buffer** out) {
  *out = nullptr;
  if (materials.empty()) return Ok;
  uint64_t size = materials.size() * sizeof(Material);
  for (const LoadedMaterial& m : materials)
    if (m.hasTexture) size += m.texture.size() + 1;
  if (size > UINT32_MAX) return ErrOutOfMemory;
  Ref<Buffer> buffer;
  LyrResult r = CreateBuffer(static_cast<uint32_t>(size), buffer.put());
  if (Failed(r)) return r;
  uint8_t* base = static_cast<uint8_t*>(buffer->GetBytes());
  char* names = reinterpret_cast<char*>(base + materials.size() * sizeof(Material));
  for (size_t i = 0; i < materials.size(); ++i) {
    Material rec = materials[i].record;
    rec.textureFilename = nullptr;
    if (materials[i].hasTexture) {
      const String& t = materials[i].texture;
      std::memcpy(names, t.c_str(), t.size() + 1);
      rec.textureFilename = names;
      names += t.size() + 1;
    }
    std::memcpy(base + i * sizeof(Material), &rec, sizeof rec);
  }
  *out = buffer.detach();
  return Ok;
}

LyrResult PackEffects(const Vector<LoadedMaterial>& materials, Buffer** out) {
  *out = nullptr;
  if (materials.empty()) return Ok;
  const uint64_t size = LayOutEffects(materials, nullptr);
  if (size > UINT32_MAX) return ErrOutOfMemory;
  Ref<Buffer> buffer;
  LyrResult r = CreateBuffer(static_cast<uint32_t>(size), buffer.put());
  if (Failed(r)) return r;
  LayOutEffects(materials, static_cast<uint8_t*>(buffer->GetBytes()));
  *out = buffer.detach();
  return Ok;
}

}  // namespace lyr::meshload
