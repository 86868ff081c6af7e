#include "mesh_write_util.h"

#include <locale.h>

#include "platform/platform.h"

namespace lyr::test {

using namespace vekio::tid;

WriteInput InputOf(const Loaded& l) {
  WriteInput in;
  in.mesh = l.mesh.get();
  in.adjacency = l.adjacency ? l.Adjacency() : nullptr;
  in.materials = l.materials ? l.Materials() : nullptr;
  in.effects = l.effects ? l.Effects() : nullptr;
  in.materialCount = l.materialCount;
  in.skin = l.skin.get();
  in.pm = l.pm;
  in.pmSize = l.pmSize;
  return in;
}

LyrResult WriteInputObject(const vekio::SaveContext& context, const WriteInput& in,
                           VekDataObject** out) {
  static char name[] = "Written";
  if (!in.skin) {
    return vekio::WriteMeshData(context, in.mesh, name, in.adjacency, in.materials, in.effects,
                                in.materialCount, in.pm, in.pmSize, out);
  }
  MeshContainer c{};
  c.name = name;
  c.meshType = MeshTypeMesh;
  c.mesh = in.mesh;
  c.materials = const_cast<Material*>(in.materials);
  c.effectInstances = const_cast<EffectInstance*>(in.effects);
  c.materialCount = in.materialCount;
  c.adjacency = const_cast<uint32_t*>(in.adjacency);
  c.skinInfo = in.skin;
  Ref<VekDataObject> frame;
  LyrResult r = context.save->NewDataObject(kFrame, "Holder", nullptr, 0, nullptr, frame.put());
  if (Failed(r) || Failed(r = vekio::WriteSkinnedMesh(context, &c, frame.get()))) return r;
  *out = frame.detach();
  return Ok;
}

LyrResult WriteInputTo(VekSaveObject* save, uint32_t format, const WriteInput& in) {
  vekio::SaveStrings strings;
  Ref<VekDataObject> object;
  LyrResult r = WriteInputObject({save, format, &strings}, in, object.put());
  return Failed(r) ? r : save->WriteObject(object.get());
}

std::string WriteToBytes(const WriteInput& in, uint32_t format, LyrResult* result) {
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  {
    Ref<VekSaveObject> save;
    *result = file->OpenSave(tmp.path(), format, save.put());
    if (Failed(*result)) return std::string();
    *result = WriteInputTo(save.get(), format, in);
  }
  return ReadBytes(tmp.path());
}

LyrResult LoadWritten(GraphicsDevice* device, const std::string& bytes, Loaded* out) {
  out->Reset();
  Ref<VekFile> file = NewVekFile();
  Ref<VekEnumeration> e;
  LyrResult r = OpenBytes(file.get(), bytes, e.put());
  if (Failed(r)) return r;
  for (Ref<VekDataObject>& top : TopLevel(e.get())) {
    Ref<VekDataObject> mesh;
    if (TemplateOf(top.get()) == kMesh) {
      mesh = top;
    } else {
      for (Ref<VekDataObject>& child : DataChildren(top.get()))
        if (TemplateOf(child.get()) == kMesh) mesh = child;
    }
    if (!mesh) continue;
    return LoadMeshData(mesh.get(), 0, device, out->adjacency.put(), out->materials.put(),
                        out->effects.put(), &out->materialCount, out->skin.put(), out->mesh.put(),
                        &out->pm, &out->pmSize, &out->unknown, &out->unknownCount);
  }
  return ErrFail;
}

namespace {

std::string Text(const char* s) {
  return s ? std::string(s) : std::string("<null>");
}

std::vector<uint8_t> Bytes(const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  return std::vector<uint8_t>(b, b + (p ? n : 0));
}

void ExpectSameEffects(const EffectInstance& a, const EffectInstance& b) {
  EXPECT_EQ(Text(a.effectFilename), Text(b.effectFilename));
  ASSERT_EQ(a.defaultCount, b.defaultCount);
  for (uint32_t k = 0; k < a.defaultCount; ++k) {
    SCOPED_TRACE(k);
    const EffectDefault& x = a.defaults[k];
    const EffectDefault& y = b.defaults[k];
    EXPECT_EQ(Text(x.parameterName), Text(y.parameterName));
    EXPECT_EQ(x.type, y.type);
    EXPECT_EQ(Bytes(x.value, x.byteCount), Bytes(y.value, y.byteCount));
  }
}

void ExpectSameSkin(SkinInfo* a, SkinInfo* b) {
  ASSERT_EQ(a == nullptr, b == nullptr);
  if (!a) return;
  ASSERT_EQ(a->GetBoneCount(), b->GetBoneCount());
  EXPECT_EQ(a->GetSkinVertexCount(), b->GetSkinVertexCount());
  for (uint32_t bone = 0; bone < a->GetBoneCount(); ++bone) {
    SCOPED_TRACE(bone);
    EXPECT_EQ(Text(a->GetBoneLabel(bone)), Text(b->GetBoneLabel(bone)));
    EXPECT_EQ(Bytes(a->GetBoneOffset(bone), 64), Bytes(b->GetBoneOffset(bone), 64));
    const uint32_t n = a->GetBoneWeightCount(bone);
    ASSERT_EQ(n, b->GetBoneWeightCount(bone));
    std::vector<uint32_t> va(n), vb(n);
    std::vector<float> wa(n), wb(n);
    if (!n) continue;
    ASSERT_EQ(a->GetBoneWeights(bone, va.data(), wa.data()), Ok);
    ASSERT_EQ(b->GetBoneWeights(bone, vb.data(), wb.data()), Ok);
    EXPECT_EQ(va, vb);
    EXPECT_EQ(Bytes(wa.data(), 4 * n), Bytes(wb.data(), 4 * n));
  }
}

}  // namespace

void ExpectSameLoad(const Loaded& a, const Loaded& b) {
  ASSERT_TRUE(a.mesh && b.mesh);
  MeshContents ca = ReadBack(a.mesh.get()), cb = ReadBack(b.mesh.get());
  EXPECT_TRUE(ElementsEqual(ca.decl, cb.decl));
  EXPECT_EQ(a.mesh->GetOptionBits(), b.mesh->GetOptionBits());
  EXPECT_EQ(ca.vertices, cb.vertices);
  EXPECT_EQ(ca.indices, cb.indices);
  EXPECT_EQ(ca.attributes, cb.attributes);
  ASSERT_EQ(a.adjacency.get() == nullptr, b.adjacency.get() == nullptr);
  if (a.adjacency) {
    EXPECT_EQ(Bytes(a.adjacency->GetBytes(), a.adjacency->GetByteCount()),
              Bytes(b.adjacency->GetBytes(), b.adjacency->GetByteCount()));
  }
  ASSERT_EQ(a.materialCount, b.materialCount);
  for (uint32_t i = 0; i < a.materialCount; ++i) {
    SCOPED_TRACE(i);
    const Material& x = a.Materials()[i];
    const Material& y = b.Materials()[i];
    EXPECT_EQ(Bytes(&x, offsetof(Material, textureFilename)),
              Bytes(&y, offsetof(Material, textureFilename)));
    EXPECT_EQ(Text(x.textureFilename), Text(y.textureFilename));
    ExpectSameEffects(a.Effects()[i], b.Effects()[i]);
  }
  ExpectSameSkin(a.skin.get(), b.skin.get());
  EXPECT_EQ(Bytes(a.pm, a.pmSize), Bytes(b.pm, b.pmSize));
}

std::vector<ChildBlock> ChildBlocks(VekDataObject* object) {
  std::vector<ChildBlock> out;
  for (Ref<VekDataObject>& c : DataChildren(object)) {
    uint32_t size = 0;
    const void* data = nullptr;
    EXPECT_EQ(c->ReadData(nullptr, &size, &data), Ok);
    out.push_back({TemplateOf(c.get()), Bytes(data, size), c});
  }
  return out;
}

// ---- Failing save objects -----------------------------------------------------------------------

namespace {

// Answered by the wrappers only, to find the wrapped object again.
constexpr Guid kWrapperIid = {
    0x0B5E33A1, 0x7C20, 0x4F0D, {0x9E, 0x31, 0x55, 0x20, 0x6A, 0x10, 0xC3, 0x7B}};

bool Refuse(FaultPlan* plan, bool create, const Guid& t) {
  if (plan->calls++ != plan->failAt) return false;
  plan->failed = true;
  plan->failedCreate = create;
  plan->failedTemplate = t;
  return true;
}

// Reference counting of the test's own wrappers (plain heap objects, outside the library's
// allocator so that its leak accounting sees only the writer).
template <class Derived, class Iface>
class Counted : public Iface {
 public:
  uint32_t LYR_CALL AddRef() override { return ++refs_; }
  uint32_t LYR_CALL Release() override {
    const uint32_t n = --refs_;
    if (!n) delete static_cast<Derived*>(this);
    return n;
  }

 private:
  std::atomic<uint32_t> refs_{1};
};

class FailingObject final : public Counted<FailingObject, VekDataObject> {
 public:
  FailingObject(VekDataObject* real, FaultPlan* plan) : real_(real), plan_(plan) {}
  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    if (iid == kWrapperIid || iid == VekDataObject::kIid || iid == kIidUnknown) {
      AddRef();
      *out = this;
      return Ok;
    }
    return real_->QueryInterface(iid, out);
  }
  LyrResult LYR_CALL ReadName(char* b, uint32_t* s) override { return real_->ReadName(b, s); }
  LyrResult LYR_CALL ReadId(Guid* out) override { return real_->ReadId(out); }
  LyrResult LYR_CALL ReadData(const char* m, uint32_t* s, const void** d) override {
    return real_->ReadData(m, s, d);
  }
  LyrResult LYR_CALL ReadTemplateId(const Guid** out) override {
    return real_->ReadTemplateId(out);
  }
  LyrResult LYR_CALL NextChild(Unknown** out) override { return real_->NextChild(out); }
  LyrResult LYR_CALL AddChild(VekDataObject* child) override {
    void* p = nullptr;
    if (Failed(child->QueryInterface(kWrapperIid, &p))) return ErrInvalidCall;
    Ref<FailingObject> wrapped(static_cast<FailingObject*>(p));
    if (Refuse(plan_, false, TemplateOf(child))) return plan_->code;
    return real_->AddChild(wrapped->real_.get());
  }
  LyrResult LYR_CALL AddReference(const char* n, const Guid* id) override {
    return real_->AddReference(n, id);
  }
  VekDataObject* real() const { return real_.get(); }

 private:
  Ref<VekDataObject> real_;
  FaultPlan* plan_;
};

class FailingSave final : public Counted<FailingSave, VekSaveObject> {
 public:
  FailingSave(VekSaveObject* real, FaultPlan* plan) : real_(real), plan_(plan) { real->AddRef(); }
  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    return real_->QueryInterface(iid, out);
  }
  LyrResult LYR_CALL WriteTemplates(uint32_t count, const Guid* const* ids) override {
    return real_->WriteTemplates(count, ids);
  }
  LyrResult LYR_CALL NewDataObject(const Guid& t, const char* name, const Guid* id, uint32_t size,
                                   const void* data, VekDataObject** out) override {
    *out = nullptr;
    if (plan_->foreignLocale && !(t == kFrame) &&
        uselocale(locale_t(nullptr)) == plan_->foreignLocale)
      plan_->localeSwitched = false;
    if (Refuse(plan_, true, t)) return plan_->code;
    Ref<VekDataObject> made;
    LyrResult r = real_->NewDataObject(t, name, id, size, data, made.put());
    if (Failed(r)) return r;
    *out = new FailingObject(made.detach(), plan_);
    return Ok;
  }
  LyrResult LYR_CALL WriteObject(VekDataObject* object) override {
    void* p = nullptr;
    if (Failed(object->QueryInterface(kWrapperIid, &p))) return ErrInvalidCall;
    Ref<FailingObject> wrapped(static_cast<FailingObject*>(p));
    return real_->WriteObject(wrapped->real());
  }

 private:
  Ref<VekSaveObject> real_;
  FaultPlan* plan_;
};

void Collect(const char* text, void* context) {
  static_cast<DebugMessages*>(context)->messages.emplace_back(text);
}

}  // namespace

Ref<VekSaveObject> MakeFailingSave(VekSaveObject* real, FaultPlan* plan) {
  return Ref<VekSaveObject>(new FailingSave(real, plan));
}

DebugMessages::DebugMessages() {
  platform::SetDebugSink(&Collect, this);
}
DebugMessages::~DebugMessages() {
  platform::SetDebugSink(nullptr, nullptr);
}

}  // namespace lyr::test
