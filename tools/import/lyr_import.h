// Importing foreign scene files into the library's own objects: a frame tree made through the
// host's HierarchyAllocator, one Mesh per source mesh (one attribute id per primitive, with its
// own material), skin information and animation sets.
//
// This library sits beside the core library, not in it: it depends on the scene-file parsers
// and uses the standard containers freely, which the core library does not.
#pragma once

#include <string>
#include <vector>

#include "lyr/anim.h"
#include "lyr/device.h"
#include "lyr/frame.h"

namespace lyr::import {

// An image stored inside the imported file, as the bytes of a file of its own (PNG or JPEG as
// the file holds it). Materials name it by `fileName`, relative to the scene, so a caller that
// writes the bytes to that name beside the saved scene keeps the textures.
struct ImportedImage {
  std::string fileName;
  std::vector<unsigned char> bytes;
};

// What an import hands to the caller. The caller owns the tree (free it with LyrFrameDestroy and
// the same allocator) and one reference on each set.
struct ImportedScene {
  Frame* root = nullptr;
  std::vector<AnimationSet*> animationSets;
  // Images stored inside the file that a material uses.
  std::vector<ImportedImage> images;
  // Warnings, each once, in the order first met: every unsupported feature met in the file as
  // "<feature> skipped" (morph targets, cameras, extension <name>, ...) and, for OBJ, each line
  // of the parser's own warnings.
  std::vector<std::string> warnings;
  // Largest extent of the bounding box of every vertex position, for tolerance scaling.
  float modelSize = 0;

  ImportedScene() = default;
  ImportedScene(const ImportedScene&) = delete;
  ImportedScene& operator=(const ImportedScene&) = delete;
  ~ImportedScene();  // releases the sets (not the tree: that needs the allocator)
};

// Tick rate of every imported interpolator.
inline constexpr double kImportTicksPerSecond = 4800.0;

// Imports a glTF 2.0 file (.gltf with embedded or external buffers, or .glb). Meshes are made
// with `meshOptions` (MeshOptions bits; 32-bit indices are added when a mesh needs them) on
// `device`. On failure nothing is left allocated, `out` holds no tree and no sets, and
// `message` (when not null) tells what was wrong: ErrFileOpenFailed for a file that cannot be
// read, ErrFail for a malformed one (an index or accessor out of range included), device
// and allocator failures unchanged.
LyrResult ImportGltf(const char* path, uint32_t meshOptions, GraphicsDevice* device,
                     HierarchyAllocator* allocator, ImportedScene* out, std::string* message);

// The same from a file's bytes in memory; external buffers and images are looked up relative
// to `baseDir` (which may be empty: then only embedded data and .glb chunks are usable).
LyrResult ImportGltfFromMemory(const void* data, size_t size, const std::string& baseDir,
                               uint32_t meshOptions, GraphicsDevice* device,
                               HierarchyAllocator* allocator, ImportedScene* out,
                               std::string* message);

}  // namespace lyr::import

namespace lyr::import {

// Imports an OBJ file with its MTL materials: one frame, named after the file (without folder
// and extension), holding one Mesh with one attribute id per material used (faces without a
// material share one plain white material). Polygons are split into triangles. OBJ has no skin
// and no animation. Failures as for ImportGltf.
LyrResult ImportObj(const char* path, uint32_t meshOptions, GraphicsDevice* device,
                    HierarchyAllocator* allocator, ImportedScene* out, std::string* message);

}  // namespace lyr::import
