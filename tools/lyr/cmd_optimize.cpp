// lyr optimize: runs the mesh optimiser over every plain mesh of a scene (faces grouped by
// material, ordered for the vertex cache or into strips, unused faces and vertices dropped), keeps
// each container's adjacency and skin in step with the new numbering, and saves the scene.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "core/object_impl.h"
#include "mesh/optimize_core.h"
#include "scene_info.h"

namespace lyr::tool {

namespace {

// The cache the figures are measured with: the size the device-independent ordering assumes.
constexpr uint32_t kFigureCacheSize = 12;

struct Figures {
  uint32_t vertices = 0, faces = 0, groups = 0;
  uint64_t misses = 0;
};

Figures Measure(Mesh* mesh) {
  Figures f;
  f.vertices = mesh->GetVertexCount();
  f.faces = mesh->GetFaceCount();
  mesh->CopyAttributeTable(nullptr, &f.groups);
  void* data = nullptr;
  Check(mesh->LockIndices(kLockReadOnly, &data), "reading the indices");
  std::vector<uint32_t> indices(size_t{3} * f.faces);
  const bool wide = (mesh->GetOptionBits() & MeshOptions::Index32) != 0;
  for (size_t i = 0; i < indices.size(); ++i) {
    if (wide) {
      indices[i] = static_cast<const uint32_t*>(data)[i];
    } else {
      const uint16_t v = static_cast<const uint16_t*>(data)[i];
      indices[i] = v == 0xFFFF ? 0xFFFFFFFFu : v;
    }
  }
  mesh->UnlockIndices();
  f.misses = meshopt::CountCacheMisses(indices.data(), f.faces, f.vertices, kFigureCacheSize);
  return f;
}

double MissRatio(const Figures& f) {
  return f.faces ? static_cast<double>(f.misses) / f.faces : 0.0;
}

std::string Label(const MeshContainer& c) {
  return c.name ? "mesh \"" + std::string(c.name) + "\"" : std::string("unnamed mesh");
}

// Optimises one container's mesh in place and renumbers what follows its faces and vertices.
void OptimizeContainer(MeshContainer& c, uint32_t flags) {
  Mesh* mesh = c.mesh;
  if (!c.adjacency) {
    // Reordering walks the adjacency; a container without one gets it from the indices.
    c.adjacency = new uint32_t[size_t{3} * mesh->GetFaceCount()];
    Check(mesh->AdjacencyFromPointReps(nullptr, c.adjacency), Label(c) + ": adjacency");
  }
  Ref<Buffer> vertexRemap;
  Check(mesh->OptimizeSelf(flags, c.adjacency, c.adjacency, nullptr, vertexRemap.put()),
        Label(c) + ": optimising");
  if (c.skinInfo && vertexRemap) {
    // Each new vertex keeps the bone influences of the old vertex it came from.
    const uint32_t count = mesh->GetVertexCount();
    if (vertexRemap->GetByteCount() < count * sizeof(uint32_t))
      throw Failure(Label(c) + ": the optimiser's vertex remap is shorter than the mesh");
    const auto* oldIndex = static_cast<const uint32_t*>(vertexRemap->GetBytes());
    // A renumbering pads every vertex to the largest influence count with zero weights of bone
    // 0; when nothing moved, the skin is left as it is rather than grown for nothing.
    bool moved = count != c.skinInfo->GetSkinVertexCount();
    for (uint32_t v = 0; v < count && !moved; ++v) moved = oldIndex[v] != v;
    if (moved)
      Check(c.skinInfo->RemapSkinVertices(count, oldIndex),
            Label(c) + ": renumbering the skin's vertices");
  }
}

}  // namespace

Command AddOptimizeCommand(CLI::App& app) {
  struct Options {
    std::string in, out, format, order = "cache";
    bool noSplit = false, keepVertices = false, quiet = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand(
      "optimize",
      "Optimise every mesh of a Vek scene for drawing and save it: faces grouped by material and "
      "ordered for the vertex cache, unused faces and vertices dropped");
  sub->add_option("IN", options->in, "the Vek file to read")->required();
  sub->add_option("OUT", options->out, "the Vek file to write (may be IN)")->required();
  AddFormatOption(sub, options->format,
                  "the format to write: text, binary, text-zip or binary-zip (default: IN's)");
  sub->add_option("--order", options->order,
                  "face order within each material group: cache (for a 12-entry vertex cache, any "
                  "device), strips (long strips of neighbouring faces) or none")
      ->check(CLI::IsMember({"cache", "strips", "none"}))
      ->capture_default_str();
  sub->add_flag("--no-split", options->noSplit,
                "never copy a vertex that faces of two materials share (their groups may then "
                "overlap in vertices)");
  sub->add_flag(
      "--keep-vertices", options->keepVertices,
      "keep the vertices and their numbering (implies --no-split); only the faces are reordered");
  sub->add_flag("-q,--quiet", options->quiet, "print nothing on success");
  sub->footer(
      "Progressive meshes and patch meshes are left as they are. Skinned meshes keep their bone "
      "influences on the renumbered vertices, and every mesh its adjacency. The figures printed "
      "per mesh are vertices, faces, material groups and vertex-cache misses per triangle, "
      "measured through a 12-entry first-in first-out cache.");
  return {sub, [options] {
            uint32_t flags = OptimizeFlags::Compact | OptimizeFlags::AttributeSort;
            if (options->order == "cache")
              flags |= OptimizeFlags::VertexCache | OptimizeFlags::DeviceIndependent;
            else if (options->order == "strips")
              flags |= OptimizeFlags::StripReorder;
            if (options->noSplit) flags |= OptimizeFlags::DoNotSplit;
            // Kept vertices cannot be split either.
            if (options->keepVertices)
              flags |= OptimizeFlags::KeepVertices | OptimizeFlags::DoNotSplit;

            Scene scene;
            scene.Load(options->in);
            std::vector<MeshContainer*> meshes;
            uint32_t skipped = 0;
            ForEachContainer(scene.root, [&](MeshContainer& c) {
              if (c.meshType == MeshTypeMesh && c.mesh)
                meshes.push_back(&c);
              else
                ++skipped;
            });
            if (meshes.empty())
              throw Failure("'" + options->in + "' holds no plain meshes: nothing to optimise");

            std::vector<std::string> lines;
            Figures total[2];
            {
              Progress progress("optimising", meshes.size());
              for (MeshContainer* c : meshes) {
                const Figures before = Measure(c->mesh);
                OptimizeContainer(*c, flags);
                const Figures after = Measure(c->mesh);
                char line[256];
                std::snprintf(line, sizeof line,
                              "  %s: vertices %u -> %u, faces %u -> %u, groups %u -> %u, cache "
                              "misses per triangle %.3f -> %.3f",
                              Label(*c).c_str(), before.vertices, after.vertices, before.faces,
                              after.faces, before.groups, after.groups, MissRatio(before),
                              MissRatio(after));
                lines.push_back(line);
                for (int k = 0; k < 2; ++k) {
                  const Figures& f = k ? after : before;
                  total[k].vertices += f.vertices;
                  total[k].faces += f.faces;
                  total[k].misses += f.misses;
                }
                progress.Advance();
              }
            }
            const uint32_t format = options->format.empty() ? FormatOfFile(options->in)
                                                            : VekFormats().at(options->format);
            scene.Save(options->out, format);
            WarnPassedOver(scene, options->in, options->out);
            if (options->quiet) return 0;
            std::printf("optimised %zu %s", meshes.size(), meshes.size() == 1 ? "mesh" : "meshes");
            if (skipped) std::printf(" (%u other containers left as they are)", skipped);
            std::printf(" into '%s':\n", options->out.c_str());
            for (const std::string& line : lines) std::printf("%s\n", line.c_str());
            std::printf(
                "  total: vertices %u -> %u, faces %u -> %u, cache misses per triangle "
                "%.3f -> %.3f\n",
                total[0].vertices, total[1].vertices, total[0].faces, total[1].faces,
                MissRatio(total[0]), MissRatio(total[1]));
            return 0;
          }};
}

}  // namespace lyr::tool
