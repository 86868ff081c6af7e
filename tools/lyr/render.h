// Pictures of a loaded scene: the scene posed at a time (animation played, skinned meshes skinned
// in software, patch meshes tessellated), framed by a camera that looks at its bounding sphere, and
// drawn by the reference device's rasterizer with one directional light.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "lyr/lyr.h"

namespace lyr::tool {

// A picture: width x height pixels 0xAARRGGBB, rows top to bottom.
struct Image {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;
};

// A sphere that may hold nothing yet (an empty scene has no bounds).
struct Sphere {
  Vector3 centre{0, 0, 0};
  float radius = 0;
  bool empty = true;
};
// The smallest sphere holding both.
Sphere Merge(const Sphere& a, const Sphere& b);

// Where the camera stands, seen from the scene's centre (y is up, the scene faces -z).
enum class CameraView { Auto, Front, Back, Side, Top };
// The names --camera accepts, in the order --help lists them.
const std::vector<std::pair<std::string, CameraView>>& CameraViews();

// One scene prepared for drawing. Construction makes the drawing copies (skinned vertices, patch
// tessellations) on the tool's device; everything it makes is released with it. Throws Failure.
class SceneRenderer {
 public:
  // `scene` must outlive the renderer; texture file names are taken relative to `folder`.
  SceneRenderer(Scene& scene, std::string folder);
  ~SceneRenderer();
  SceneRenderer(const SceneRenderer&) = delete;
  SceneRenderer& operator=(const SceneRenderer&) = delete;

  // Names of the scene's animation sets in the controller's order (empty without animation).
  std::vector<std::string> SetNames() const;
  // The set playing on track 0, or "" without animation.
  std::string PlayingSet() const;
  // Plays the named set on track 0 from position 0. Throws Failure for an unknown name.
  void PlaySet(const std::string& name);

  // Advances the animation to `time` seconds, recomputes every frame's world matrix and skins the
  // skinned meshes.
  void Pose(double time);
  // The sphere around everything drawn in the current pose: the library's bounding sphere of the
  // plain meshes merged with the geometry only the renderer sees (skinned vertices, tessellated
  // patches, progressive meshes).
  Sphere Bounds();
  // Draws the current pose, seen by `view` framing `bounds`, into a fresh width x height picture.
  // zUp: the scene's up axis is z (its front faces -y) instead of y.
  void Draw(const Sphere& bounds, CameraView view, bool zUp, uint32_t width, uint32_t height);
  // The picture last drawn.
  Image ReadImage();
  // Writes the picture last drawn as a PNG file.
  void WritePng(const std::string& path);

 private:
  struct Drawable;
  void Prepare(Frame* frame, MeshContainer* container);
  void ComputeWorldMatrices();
  const Matrix& WorldOf(const Frame* frame) const;

  Scene& scene_;
  std::string folder_;
  RefDeviceControl* control_ = nullptr;
  std::vector<std::unique_ptr<Drawable>> drawables_;
  std::vector<std::pair<const Frame*, Matrix>> world_;  // every frame, sorted by address
  uint32_t width_ = 0, height_ = 0;
};

// A contact sheet: `count` pictures of one size laid out in a grid (as square as the count
// allows) with 4-pixel gaps on a dark background, each scaled down by a whole factor (box filter)
// when the sheet would otherwise be more than maxSide pixels across or high. Pictures are placed
// as they come, so a long run keeps only the sheet in memory.
class ContactSheet {
 public:
  ContactSheet(uint32_t count, uint32_t width, uint32_t height, uint32_t maxSide = 2048);
  // Copies picture `index` (of the size given) into its cell; an index past the grid is ignored.
  void Place(uint32_t index, const Image& picture);
  const Image& image() const { return sheet_; }

 private:
  static constexpr uint32_t kGap = 4;
  uint32_t columns_ = 1, shrink_ = 1, cellWidth_ = 1, cellHeight_ = 1;
  Image sheet_;
};
// Writes a picture as an 8-bit RGBA PNG file. Throws Failure where the tool was built without
// the PNG library or the file cannot be written.
void WritePngFile(const std::string& path, const Image& image);

}  // namespace lyr::tool
