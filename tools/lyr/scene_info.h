// What `lyr info` reports about a loaded scene, gathered once and printed as a readable tree or
// as JSON. `lyr convert` compares the JSON of a scene with that of the file it wrote.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common.h"

namespace lyr::tool {

struct MaterialSummary {
  float diffuse[4];
  std::optional<std::string> texture;
};

struct ContainerSummary {
  std::optional<std::string> name;
  uint32_t meshType;
  uint32_t vertices;  // control vertices for a patch mesh
  uint32_t faces;     // patches for a patch mesh
  // Progressive meshes: the range of their levels of detail.
  uint32_t minFaces = 0, maxFaces = 0, minVertices = 0, maxVertices = 0;
  PatchInfo patch{};  // patch meshes
  std::vector<MaterialSummary> materials;
  bool skinned = false;
  std::vector<std::optional<std::string>> bones;
};

struct FrameSummary {
  std::optional<std::string> name;
  std::vector<ContainerSummary> containers;
  std::vector<FrameSummary> children;
};

struct SetSummary {
  std::optional<std::string> name;
  double period;  // seconds
  uint32_t interpolators;
  double ticksPerSecond;  // of its first interpolator (4800 when it has none)
};

struct SceneSummary {
  std::vector<FrameSummary> frames;    // the root and its siblings
  std::vector<SetSummary> sets;        // in the order of the file
  std::optional<std::string> playing;  // the set track 0 plays
  bool hasPlaying = false;
};

// "mesh", "progressive mesh" or "patch mesh".
const char* MeshKindName(uint32_t meshType);

SceneSummary Summarize(const Scene& scene);
std::string SummaryText(const SceneSummary& summary);
std::string SummaryJson(const SceneSummary& summary);

}  // namespace lyr::tool
