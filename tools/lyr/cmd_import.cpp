// lyr import IN OUT [--format F]: a glTF 2.0 (.gltf, .glb) or OBJ (.obj) file turned into a Vek
// scene file: frames, meshes with their materials, skins and animation sets.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "commands.h"
#include "common.h"
#if LYR_TOOL_HAS_IMPORT
#include "lyr_import.h"
#endif

namespace lyr::tool {
namespace {

struct ImportOptions {
  std::string in, out, format = "binary";
};

#if LYR_TOOL_HAS_IMPORT
// The lower-case extension of a path's file name, with its dot; empty when it has none.
std::string Extension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

int RunImport(const ImportOptions& o) {
  const std::string ext = Extension(o.in);
  const bool gltf = ext == ".gltf" || ext == ".glb";
  if (!gltf && ext != ".obj")
    throw Failure("cannot tell the kind of '" + o.in + "': .gltf, .glb and .obj are imported");
  RequireReadable(o.in);
  SceneHost host;
  import::ImportedScene scene;
  std::string message;
  const LyrResult r = gltf ? import::ImportGltf(o.in.c_str(), 0, Device(), &host, &scene, &message)
                           : import::ImportObj(o.in.c_str(), 0, Device(), &host, &scene, &message);
  if (Failed(r)) throw Failure("cannot import '" + o.in + "': " + message);
  // The tree goes back to the host on every path from here.
  const auto destroy = [&host](Frame* root) { LyrFrameDestroy(root, &host); };
  const std::unique_ptr<Frame, decltype(destroy)> tree(scene.root, destroy);
  for (const std::string& w : scene.warnings) Warn(w);

  // The saver writes the sets a controller holds.
  const auto release = [](AnimationController* c) { c->Release(); };
  std::unique_ptr<AnimationController, decltype(release)> sets(nullptr, release);
  if (!scene.animationSets.empty()) {
    AnimationController* made = nullptr;
    Check(LyrCreateAnimationController(1, static_cast<uint32_t>(scene.animationSets.size()), 1, 1,
                                       &made),
          "cannot hold the animation sets");
    sets.reset(made);
    for (AnimationSet* set : scene.animationSets)
      Check(sets->RegisterSet(set), "cannot hold the animation sets");
  }
  const LyrResult saved = LyrSaveMeshHierarchyToFileA(o.out.c_str(), VekFormats().at(o.format),
                                                      scene.root, sets.get(), nullptr);
  // A save that fails part-way leaves what it wrote; a partial scene file is no use to anyone.
  if (Failed(saved)) std::remove(o.out.c_str());
  Check(saved, "cannot write '" + o.out + "'");
  // Textures stored inside the file become files beside the scene, where its materials name them.
  const std::filesystem::path folder = std::filesystem::path(o.out).parent_path();
  for (const import::ImportedImage& image : scene.images) {
    const std::string path = (folder / image.fileName).string();
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(image.bytes.data()),
               static_cast<std::streamsize>(image.bytes.size()));
    if (!file.flush()) Warn("cannot write the texture '" + path + "'; the scene names it");
  }
  return 0;
}
#else
int RunImport(const ImportOptions&) {
  throw Failure("not available: this build of lyr has no glTF and OBJ importer");
}
#endif

}  // namespace

Command AddImportCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand(
      "import",
      "Import a glTF 2.0 (.gltf, .glb) or OBJ (.obj) file into a Vek scene file: frames, meshes "
      "with their materials, skins and animation sets. Unsupported features are skipped with a "
      "warning.");
  auto o = std::make_shared<ImportOptions>();
  cmd->add_option("IN", o->in, "the file to import (.gltf, .glb or .obj)")->required();
  cmd->add_option("OUT", o->out, "the Vek file to write")->required();
  cmd->add_option("--format", o->format, "the Vek form to write (default binary)")
      ->check(CLI::IsMember(VekFormats()));
  return {cmd, [o] { return RunImport(*o); }};
}

}  // namespace lyr::tool
