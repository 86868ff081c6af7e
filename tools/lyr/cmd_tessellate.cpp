// lyr tessellate: turns every patch mesh of a scene into a triangle mesh, uniformly or with
// levels that fall with the distance from a viewer, and saves the scene.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "core/object_impl.h"
#include "patch/patch_impl.h"

namespace lyr::tool {

namespace {

// Rectangle patches whose control points meet within this distance share their edge vertices
// (where the surface's tangents mirror each other; creases stay split so normals stay sharp).
constexpr float kWeldTolerance = 1e-3f;

struct Settings {
  bool adaptive = false;
  float level = 8.0f;  // uniform
  Vector4 view{};      // adaptive: distance of point p = view.xyz . p + view.w
  float maxLevel = 16.0f, minLevel = 1.0f;
  bool weld = true;
};

std::string Label(const MeshContainer& c) {
  return c.name ? "patch mesh \"" + std::string(c.name) + "\"" : std::string("unnamed patch mesh");
}

// Tessellates the container's patch mesh and puts the triangle mesh in its place.
void TessellateContainer(MeshContainer& c, const Settings& s, uint32_t* faces, uint32_t* vertices) {
  PatchMesh* patches = c.patchMesh;
  PatchMeshInternal* internal = GetPatchMeshInternal(patches);
  if (!internal) throw Failure(Label(c) + ": not a patch mesh of this library");
  PatchInfo info{};
  Check(patches->GetPatchDescription(&info), Label(c));
  if (s.weld && !s.adaptive && info.type == kPatchRectangle)
    Check(patches->BuildPatchAdjacency(kWeldTolerance), Label(c) + ": finding shared edges");
  uint32_t triangles = 0, points = 0;
  Check(
      patches->TessellatedSize(s.adaptive ? s.maxLevel : s.level, s.adaptive, &triangles, &points),
      Label(c) + ": size of the tessellation");
  if (triangles == 0 || points == 0) throw Failure(Label(c) + ": the tessellation is empty");
  const bool wide = triangles > 0xFFFE || points > 0xFFFE;
  Ref<Mesh> mesh;
  Check(CreateMesh(triangles, points, wide ? MeshOptions::Index32 : 0,
                   internal->TessellationLayout(), Device(), mesh.put()),
        Label(c) + ": making the triangle mesh");
  Check(s.adaptive ? patches->TessellateByDistance(&s.view, s.maxLevel, s.minLevel, mesh.get())
                   : patches->TessellateUniform(s.level, mesh.get()),
        Label(c) + ": tessellating");
  *faces = mesh->GetFaceCount();
  *vertices = mesh->GetVertexCount();
  patches->Release();
  c.meshType = MeshTypeMesh;
  c.mesh = mesh.detach();
}

}  // namespace

Command AddTessellateCommand(CLI::App& app) {
  struct Options {
    std::string in, out, format;
    unsigned segments = 8;
    std::vector<float> view;
    float maxLevel = 16.0f, minLevel = 1.0f;
    bool noWeld = false, quiet = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand(
      "tessellate", "Turn every patch mesh of a Vek scene into a triangle mesh and save the scene");
  sub->add_option("IN", options->in, "the Vek file to read")->required();
  sub->add_option("OUT", options->out, "the Vek file to write (may be IN)")->required();
  AddFormatOption(sub, options->format,
                  "the format to write: text, binary, text-zip or binary-zip (default: IN's)");
  CLI::Option* segments =
      sub->add_option("--segments", options->segments,
                      "segments along every patch edge, 1 to 32 (uniform tessellation)")
          ->check(CLI::Range(1u, 32u))
          ->capture_default_str();
  CLI::Option* adaptive =
      sub->add_option("--adaptive", options->view,
                      "A,B,C,D: tessellate by distance, where the distance of a point (x, y, z) "
                      "is A*x + B*y + C*z + D; levels fall from --max-level as the distance grows")
          ->delimiter(',')
          ->expected(4);
  adaptive->excludes(segments);
  sub->add_option("--max-level", options->maxLevel,
                  "the finest level of adaptive tessellation, 1 to 32")
      ->check(CLI::Range(1.0f, 32.0f))
      ->needs(adaptive)
      ->capture_default_str();
  sub->add_option("--min-level", options->minLevel,
                  "the coarsest level of adaptive tessellation, 1 to --max-level")
      ->check(CLI::Range(1.0f, 32.0f))
      ->needs(adaptive)
      ->capture_default_str();
  // Checked while parsing, so that it is a usage error like the other option checks.
  sub->parse_complete_callback([options] {
    if (options->minLevel > options->maxLevel)
      throw CLI::ValidationError("--min-level", "must not exceed --max-level");
  });
  sub->add_flag("--no-weld", options->noWeld,
                "let every patch write its own edge vertices (by default neighbouring rectangle "
                "patches share theirs in uniform tessellation)");
  sub->add_flag("-q,--quiet", options->quiet, "print nothing on success");
  sub->footer(
      "Each patch mesh's container keeps its name and materials; every triangle keeps the "
      "material of its patch. The output vertices carry what the patch layout asks for "
      "(normals from the surface's derivatives when the file gives none). A scene without patch "
      "meshes is an error.");
  return {sub, [options] {
            Settings s;
            s.level = static_cast<float>(options->segments);
            s.weld = !options->noWeld;
            if (!options->view.empty()) {
              s.adaptive = true;
              s.view = {options->view[0], options->view[1], options->view[2], options->view[3]};
              s.maxLevel = options->maxLevel;
              s.minLevel = options->minLevel;
            }
            Scene scene;
            scene.Load(options->in);
            std::vector<MeshContainer*> containers;
            ForEachContainer(scene.root, [&](MeshContainer& c) {
              if (c.meshType == MeshTypePatchMesh && c.patchMesh) containers.push_back(&c);
            });
            if (containers.empty())
              throw Failure("'" + options->in + "' holds no patch meshes: nothing to tessellate");
            uint64_t patches = 0, faces = 0, vertices = 0;
            {
              Progress progress("tessellating", containers.size());
              for (MeshContainer* c : containers) {
                patches += c->patchMesh->GetPatchCount();
                uint32_t f = 0, v = 0;
                TessellateContainer(*c, s, &f, &v);
                faces += f;
                vertices += v;
                progress.Advance();
              }
            }
            const uint32_t format = options->format.empty() ? FormatOfFile(options->in)
                                                            : VekFormats().at(options->format);
            scene.Save(options->out, format);
            WarnPassedOver(scene, options->in, options->out);
            if (!options->quiet)
              std::printf(
                  "tessellated %zu patch %s (%llu patches) into %llu triangles and %llu vertices "
                  "in '%s'\n",
                  containers.size(), containers.size() == 1 ? "mesh" : "meshes",
                  static_cast<unsigned long long>(patches), static_cast<unsigned long long>(faces),
                  static_cast<unsigned long long>(vertices), options->out.c_str());
            return 0;
          }};
}

}  // namespace lyr::tool
