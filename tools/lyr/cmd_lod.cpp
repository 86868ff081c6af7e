// lyr lod: builds a progressive mesh from the first mesh of a Vek file and saves it.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "commands.h"
#include "common.h"
#include "lyr/lyr.h"

namespace {

// Writes what the progressive mesh saver hands it into an open file.
class FileStream final : public lyr::OutputStream {
 public:
  explicit FileStream(std::FILE* f) : file_(f) {}
  LyrResult LYR_CALL QueryInterface(const lyr::Guid&, void** out) override {
    *out = nullptr;
    return lyr::ErrNoInterface;
  }
  uint32_t LYR_CALL AddRef() override { return 1; }  // lives on the command's stack
  uint32_t LYR_CALL Release() override { return 1; }
  LyrResult LYR_CALL Write(const void* bytes, uint32_t count, uint32_t* written) override {
    *written = uint32_t(std::fwrite(bytes, 1, count, file_));
    return *written == count ? lyr::Ok : lyr::ErrFail;
  }

 private:
  std::FILE* file_;
};

template <class T>
struct Held {  // one reference, released at the end of the command
  T* p = nullptr;
  ~Held() {
    if (p) p->Release();
  }
};

int RunLod(const std::string& in, const std::string& out, uint32_t faces, double ratio) {
  using namespace lyr;
  Held<Buffer> adjacency, materials, effects;
  Held<Mesh> mesh;
  uint32_t materialCount = 0;
  tool::Check(LoadMeshFromVekFile(in.c_str(), tool::Device(), &adjacency.p, &materials.p,
                                  &effects.p, &materialCount, nullptr, &mesh.p),
              "cannot load a mesh from " + in);
  const uint32_t total = mesh.p->GetFaceCount();
  PMeshGenerateOptions options;
  options.minFaces = ratio > 0 ? uint32_t(std::lround(ratio * total)) : faces;
  Held<ProgressiveMesh> pm;
  tool::Check(
      GeneratePMesh(mesh.p, static_cast<const uint32_t*>(adjacency.p->GetBytes()), options, &pm.p),
      "cannot simplify the mesh");
  std::FILE* f = std::fopen(out.c_str(), "wb");
  if (!f) throw tool::Failure("cannot create " + out);
  FileStream stream(f);
  const LyrResult r = pm.p->SaveToStream(
      &stream, materials.p ? static_cast<const Material*>(materials.p->GetBytes()) : nullptr,
      effects.p ? static_cast<const EffectInstance*>(effects.p->GetBytes()) : nullptr,
      materials.p || effects.p ? materialCount : 0);
  const bool closed = std::fclose(f) == 0;
  if (Failed(r) || !closed) {
    // A half-written file is no use; anything but a plain file (a device) is left alone.
    std::error_code ec;
    if (std::filesystem::is_regular_file(out, ec)) std::filesystem::remove(out, ec);
    tool::Check(Failed(r) ? r : ErrFail, "cannot write " + out);
  }
  std::printf("%s: %u faces, %u vertices; base level %u faces, %u vertices (%u vertex splits)\n",
              out.c_str(), total, mesh.p->GetVertexCount(), pm.p->GetMinFaceCount(),
              pm.p->GetMinVertexCount(), pm.p->GetMaxVertexCount() - pm.p->GetMinVertexCount());
  if (pm.p->GetMinFaceCount() > options.minFaces + 1)
    tool::Warn("the mesh could not be simplified below " + std::to_string(pm.p->GetMinFaceCount()) +
               " faces");
  return 0;
}

}  // namespace

namespace lyr::tool {

Command AddLodCommand(CLI::App& app) {
  CLI::App* sub = app.add_subcommand(
      "lod", "Build a progressive mesh from the first mesh of a Vek file and save it");
  struct Args {
    std::string in, out;
    uint32_t faces = 0;
    double ratio = 0;
  };
  auto args = std::make_shared<Args>();
  sub->add_option("IN", args->in, "Vek file holding the mesh")
      ->required()
      ->check(CLI::ExistingFile);
  sub->add_option("OUT", args->out, "Vek file to write the progressive mesh to")->required();
  CLI::Option* faces =
      sub->add_option("--faces", args->faces, "faces the base level keeps at least");
  CLI::Option* ratio = sub->add_option("--ratio", args->ratio,
                                       "the base level's share of the faces, above 0, at most 1")
                           ->check(CLI::Range(1e-9, 1.0));
  faces->excludes(ratio);
  return {sub, [args, faces, ratio] {
            if (faces->count() == 0 && ratio->count() == 0) {
              std::fprintf(stderr, "lyr lod: give the base level's size: --faces N or --ratio R\n");
              return 2;  // a usage error, as the parser's own
            }
            return RunLod(args->in, args->out, args->faces, args->ratio);
          }};
}

}  // namespace lyr::tool
