// What the subcommands of `lyr` share: failures reported as one line, result codes in words,
// a progress bar, Vek format names, and scenes loaded through the exported loader onto the
// reference device.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

#include "lyr/lyr.h"

namespace lyr::tool {

// Ends a command: main prints "lyr <command>: <what>" on standard error and exits with 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The running subcommand's name, for messages.
void SetCommandName(const std::string& name);
const std::string& CommandName();
// Prints "lyr <command>: <message>" on standard error; returns 1, the failure exit code.
int ReportFailure(const std::string& message);
// Prints "lyr <command>: warning: <message>" on standard error.
void Warn(const std::string& message);

// "ErrName (0xXXXXXXXX): what the code means".
std::string DescribeResult(LyrResult r);
// Throws Failure("<what>: <DescribeResult(r)>") unless r succeeded.
void Check(LyrResult r, const std::string& what);

// A progress bar on standard error for work of `total` steps. It draws only when standard error
// is a terminal (or LYR_PROGRESS=1 is set), so scripts and logs stay clean; it redraws at most
// once per percent.
class Progress {
 public:
  Progress(std::string label, uint64_t total);
  ~Progress();  // finishes the line if anything was drawn
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Advance(uint64_t steps = 1);

 private:
  void Draw();
  std::string label_;
  uint64_t total_, done_ = 0;
  int shownPercent_ = -1;
  bool enabled_;
};

// The Vek save formats by name: text, binary, text-zip, binary-zip.
const std::map<std::string, uint32_t>& VekFormats();
// The format code a Vek file's header names; text when the header names none of the four.
uint32_t FormatOfFile(const std::string& path);
// Throws Failure("cannot open '<path>': <reason>") unless the file can be opened for reading, so
// a missing file is named as such before any parser reports it in its own words.
void RequireReadable(const std::string& path);

// The frames and mesh containers of a scene the tool loaded: plain heap records, freed by
// LyrFrameDestroy through this allocator. Containers deep-copy what the loader lends them
// (materials with their texture names, effect instances, adjacency) and hold one reference on the
// mesh and the skin information.
class SceneHost final : public HierarchyAllocator {
 public:
  LyrResult LYR_CALL NewFrame(const char* name, Frame** out) override;
  LyrResult LYR_CALL NewMeshContainer(const char* name, const MeshData* meshData,
                                      const Material* materials,
                                      const EffectInstance* effectInstances, uint32_t materialCount,
                                      const uint32_t* adjacency, SkinInfo* skinInfo,
                                      MeshContainer** out) override;
  LyrResult LYR_CALL DeleteFrame(Frame* frame) override;
  LyrResult LYR_CALL DeleteMeshContainer(MeshContainer* container) override;
};

// Calls `visit` for every mesh container of the tree at `root` (its siblings and descendants
// included), frames in depth-first order, containers in list order.
void ForEachContainer(Frame* root, const std::function<void(MeshContainer&)>& visit);

// The reference device every tool command makes its meshes on, loaded on first use and kept for
// the process's life. Throws Failure when the device module cannot be loaded.
GraphicsDevice* Device();

// A scene loaded from a Vek file: the tree and, when the file holds animation sets, the
// controller bound to it (track 0 playing the file's last set).
class Scene {
 public:
  Scene() = default;
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  // Loads `path` with `meshOptions` (MeshOptions bits). Throws Failure with a clear message:
  // a missing file, a file that is not a Vek file, a broken one.
  void Load(const std::string& path, uint32_t meshOptions = 0);

  // Saves the tree and the animation sets to `path` in a Vek format code (VekFormats()). The sets
  // keep the order they had in the loaded file, so the same set plays first after a reload. The
  // file is written beside `path` under a temporary name and renamed over it only once complete:
  // a failed save leaves no partial file and an existing `path` untouched. Throws Failure.
  void Save(const std::string& path, uint32_t format) const;

  Frame* root = nullptr;
  AnimationController* controller = nullptr;
  SceneHost host;
  // Data objects the loader handed over as unknown to it (objects of the file's own templates, a
  // top-level Header or Material, ...): they are not part of the scene, so a save leaves them out.
  uint32_t passedOver = 0;
};

// Warns that the `passedOver` data objects of the scene loaded from `in` are not in `out`.
void WarnPassedOver(const Scene& scene, const std::string& in, const std::string& out);

}  // namespace lyr::tool
