#include "common.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <utility>

#include "commands.h"
#include "core/object_impl.h"

namespace lyr::tool {

namespace {

std::string g_command = "lyr";

char* CopyString(const char* s) {
  if (!s) return nullptr;
  const size_t n = std::strlen(s) + 1;
  char* out = new char[n];
  std::memcpy(out, s, n);
  return out;
}

void AddRefMesh(const MeshData& data) {
  if (data.meshType == MeshTypeMesh && data.mesh) data.mesh->AddRef();
  if (data.meshType == MeshTypeProgressiveMesh && data.progressiveMesh)
    data.progressiveMesh->AddRef();
  if (data.meshType == MeshTypePatchMesh && data.patchMesh) data.patchMesh->AddRef();
}

void ReleaseMesh(MeshContainer& c) {
  if (c.meshType == MeshTypeMesh && c.mesh) c.mesh->Release();
  if (c.meshType == MeshTypeProgressiveMesh && c.progressiveMesh) c.progressiveMesh->Release();
  if (c.meshType == MeshTypePatchMesh && c.patchMesh) c.patchMesh->Release();
}

void FreeEffects(EffectInstance* effects, uint32_t count) {
  if (!effects) return;
  for (uint32_t i = 0; i < count; ++i) {
    delete[] effects[i].effectFilename;
    for (uint32_t d = 0; d < effects[i].defaultCount; ++d) {
      delete[] effects[i].defaults[d].parameterName;
      delete[] static_cast<unsigned char*>(effects[i].defaults[d].value);
    }
    delete[] effects[i].defaults;
  }
  delete[] effects;
}

void FreeContainer(MeshContainer* c) {
  ReleaseMesh(*c);
  if (c->skinInfo) c->skinInfo->Release();
  if (c->materials) {
    for (uint32_t i = 0; i < c->materialCount; ++i) delete[] c->materials[i].textureFilename;
    delete[] c->materials;
  }
  FreeEffects(c->effectInstances, c->materialCount);
  delete[] c->adjacency;
  delete[] c->name;
  delete c;
}

// Copies the loader's temporary records into `c`. Throws std::bad_alloc; `c` stays freeable.
void CopyInto(MeshContainer* c, const Material* materials, const EffectInstance* effects,
              uint32_t count, const uint32_t* adjacency) {
  if (materials && count) {
    c->materials = new Material[count]{};
    c->materialCount = count;
    for (uint32_t i = 0; i < count; ++i) {
      c->materials[i] = materials[i];
      c->materials[i].textureFilename = nullptr;
      c->materials[i].textureFilename = CopyString(materials[i].textureFilename);
    }
  }
  if (effects && count) {
    c->materialCount = count;
    c->effectInstances = new EffectInstance[count]{};
    for (uint32_t i = 0; i < count; ++i) {
      EffectInstance& e = c->effectInstances[i];
      e.effectFilename = CopyString(effects[i].effectFilename);
      if (effects[i].defaultCount == 0 || !effects[i].defaults) continue;
      e.defaults = new EffectDefault[effects[i].defaultCount]{};
      e.defaultCount = effects[i].defaultCount;
      for (uint32_t d = 0; d < e.defaultCount; ++d) {
        const EffectDefault& from = effects[i].defaults[d];
        EffectDefault& to = e.defaults[d];
        to.parameterName = CopyString(from.parameterName);
        to.type = from.type;
        to.byteCount = from.byteCount;
        if (from.value && from.byteCount) {
          auto* bytes = new unsigned char[from.byteCount];
          std::memcpy(bytes, from.value, from.byteCount);
          to.value = bytes;
        }
      }
    }
  }
  if (adjacency && c->meshType == MeshTypeMesh && c->mesh) {
    const size_t n = size_t{3} * c->mesh->GetFaceCount();
    c->adjacency = new uint32_t[n];
    std::memcpy(c->adjacency, adjacency, n * sizeof(uint32_t));
  } else if (adjacency && c->meshType == MeshTypeProgressiveMesh && c->progressiveMesh) {
    const size_t n = size_t{3} * c->progressiveMesh->GetMaxFaceCount();
    c->adjacency = new uint32_t[n];
    std::memcpy(c->adjacency, adjacency, n * sizeof(uint32_t));
  }
}

// Counts the distinct data objects a load hands to the host as unknown, holding a reference on
// each until the load is over so that no address is counted twice.
class PassedOverCounter final : public UserDataLoader {
 public:
  ~PassedOverCounter() {
    for (VekDataObject* o : seen_) o->Release();
  }
  LyrResult LYR_CALL OnTopLevelObject(VekDataObject* object) override { return Keep(object); }
  LyrResult LYR_CALL OnFrameChild(Frame*, VekDataObject* object) override { return Keep(object); }
  LyrResult LYR_CALL OnMeshChild(MeshContainer*, VekDataObject* object) override {
    return Keep(object);  // children shared by the containers of one patch mesh come once each
  }
  uint32_t Count() const { return static_cast<uint32_t>(seen_.size()); }

 private:
  LyrResult Keep(VekDataObject* object) {
    try {
      if (object && seen_.insert(object).second) object->AddRef();
      return Ok;
    } catch (...) {
      return ErrOutOfMemory;
    }
  }
  std::set<VekDataObject*> seen_;
};

}  // namespace

void SetCommandName(const std::string& name) {
  g_command = "lyr " + name;
}
const std::string& CommandName() {
  return g_command;
}

int ReportFailure(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", g_command.c_str(), message.c_str());
  return 1;
}

void Warn(const std::string& message) {
  std::fprintf(stderr, "%s: warning: %s\n", g_command.c_str(), message.c_str());
}

std::string DescribeResult(LyrResult r) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(r));
  const char* name = ResultName(r);
  return std::string(name ? name : "result") + " (" + code + "): " + ResultMessage(r);
}

void Check(LyrResult r, const std::string& what) {
  if (Failed(r)) throw Failure(what + ": " + DescribeResult(r));
}

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total ? total : 1) {
  const char* forced = std::getenv("LYR_PROGRESS");
  enabled_ = forced ? std::strcmp(forced, "1") == 0 : isatty(STDERR_FILENO) != 0;
}

Progress::~Progress() {
  if (enabled_ && shownPercent_ >= 0) std::fprintf(stderr, "\n");
}

void Progress::Advance(uint64_t steps) {
  done_ = done_ + steps > total_ ? total_ : done_ + steps;
  if (enabled_) Draw();
}

void Progress::Draw() {
  const int percent = static_cast<int>(done_ * 100 / total_);
  if (percent == shownPercent_) return;
  shownPercent_ = percent;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kWidth - filled), '.');
  std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(), percent);
  std::fflush(stderr);
}

const std::map<std::string, uint32_t>& VekFormats() {
  static const std::map<std::string, uint32_t> formats = {
      {"text", kVekFormatText},
      {"binary", kVekFormatBinary},
      {"text-zip", kVekFormatTextCompressed},
      {"binary-zip", kVekFormatBinaryCompressed},
  };
  return formats;
}

CLI::Option* AddFormatOption(CLI::App* sub, std::string& format, const std::string& help) {
  std::vector<std::string> names;
  for (const auto& entry : VekFormats()) names.push_back(entry.first);
  return sub->add_option("--format", format, help)->check(CLI::IsMember(names));
}

uint32_t FormatOfFile(const std::string& path) {
  // "vkf " and a four-character version, then the format: "txt ", "bin ", "tzip" or "bzip".
  char header[12] = {};
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    const size_t n = std::fread(header, 1, sizeof header, f);
    std::fclose(f);
    if (n == sizeof header) {
      const std::string kind(header + 8, 4);
      if (kind == "bin ") return kVekFormatBinary;
      if (kind == "tzip") return kVekFormatTextCompressed;
      if (kind == "bzip") return kVekFormatBinaryCompressed;
    }
  }
  return kVekFormatText;
}

// Host callbacks: no exception may cross back into the library.
LyrResult SceneHost::NewFrame(const char* name, Frame** out) {
  try {
    auto* f = new Frame{};
    f->name = nullptr;
    try {
      f->name = CopyString(name);
    } catch (...) {
      delete f;
      throw;
    }
    *out = f;
    return Ok;
  } catch (...) {
    *out = nullptr;
    return ErrOutOfMemory;
  }
}

LyrResult SceneHost::NewMeshContainer(const char* name, const MeshData* meshData,
                                      const Material* materials,
                                      const EffectInstance* effectInstances, uint32_t materialCount,
                                      const uint32_t* adjacency, SkinInfo* skinInfo,
                                      MeshContainer** out) {
  *out = nullptr;
  MeshContainer* c = nullptr;
  try {
    c = new MeshContainer{};
    c->meshType = meshData->meshType;
    c->mesh = meshData->mesh;  // the union's members share one pointer
    AddRefMesh(*meshData);
    c->skinInfo = skinInfo;
    if (skinInfo) skinInfo->AddRef();
    c->name = CopyString(name);
    CopyInto(c, materials, effectInstances, materialCount, adjacency);
    *out = c;
    return Ok;
  } catch (...) {
    if (c) FreeContainer(c);
    return ErrOutOfMemory;
  }
}

LyrResult SceneHost::DeleteFrame(Frame* frame) {
  delete[] frame->name;
  delete frame;
  return Ok;
}

LyrResult SceneHost::DeleteMeshContainer(MeshContainer* container) {
  FreeContainer(container);
  return Ok;
}

void WarnPassedOver(const Scene& scene, const std::string& in, const std::string& out) {
  if (scene.passedOver == 0) return;
  Warn(std::to_string(scene.passedOver) + " data " +
       (scene.passedOver == 1 ? "object" : "objects") + " of '" + in +
       "' that the scene loader passes over (of templates it does not read, or top-level "
       "materials and headers) " +
       (scene.passedOver == 1 ? "is" : "are") + " not in '" + out + "'");
}

void ForEachContainer(Frame* root, const std::function<void(MeshContainer&)>& visit) {
  for (Frame* f = root; f; f = f->nextSibling) {
    for (MeshContainer* c = f->meshContainers; c; c = c->next) visit(*c);
    ForEachContainer(f->firstChild, visit);
  }
}

GraphicsDevice* Device() {
  static GraphicsDevice* device = nullptr;
  if (!device) {
    const LyrResult r = LoadReferenceDevice(RefDeviceDesc{}, &device);
    if (Failed(r)) {
      device = nullptr;
      throw Failure("cannot load the reference graphics device (" + std::string(kRefModuleName) +
                    "): " + DescribeResult(r));
    }
  }
  return device;
}

Scene::~Scene() {
  if (controller) controller->Release();
  if (root) LyrFrameDestroy(root, &host);
}

void RequireReadable(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
  std::fclose(f);
}

void Scene::Load(const std::string& path, uint32_t meshOptions) {
  RequireReadable(path);
  PassedOverCounter counter;
  const LyrResult r = LyrLoadMeshHierarchyFromVekA(path.c_str(), meshOptions, Device(), &host,
                                                   &counter, &root, &controller);
  passedOver = counter.Count();
  if (Failed(r)) {
    root = nullptr;
    controller = nullptr;
    std::string why = DescribeResult(r);
    if (r == ErrVekBadFileHeader) why = "not a Vek file (" + why + ")";
    throw Failure("cannot load '" + path + "': " + why);
  }
}

void Scene::Save(const std::string& path, uint32_t format) const {
  const std::string temporary = path + ".lyr-" + std::to_string(getpid()) + ".tmp";
  if (FILE* f = std::fopen(temporary.c_str(), "wb")) {
    std::fclose(f);
  } else {
    throw Failure("cannot write '" + path + "': " + std::strerror(errno));
  }
  // The loader registers the sets newest first and the saver writes them in registration order;
  // a controller holding them oldest first keeps the file's order through a save.
  Ref<AnimationController> ordered;
  LyrResult r = Ok;
  if (controller && controller->SetCount() > 0) {
    const uint32_t count = controller->SetCount();
    r = LyrCreateAnimationController(1, count, 1, 1, ordered.put());
    for (uint32_t i = count; Succeeded(r) && i-- > 0;) {
      Ref<AnimationSet> set;
      r = controller->SetAt(i, set.put());
      if (Succeeded(r)) r = ordered->RegisterSet(set.get());
    }
  }
  if (Succeeded(r))
    r = LyrSaveMeshHierarchyToFileA(temporary.c_str(), format, root, ordered.get(), nullptr);
  if (Failed(r)) {
    std::remove(temporary.c_str());
    throw Failure("cannot save '" + path + "': " + DescribeResult(r));
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    std::remove(temporary.c_str());
    throw Failure("cannot write '" + path + "': " + std::strerror(error));
  }
}

}  // namespace lyr::tool
