#include "scene_info.h"

#include <cstdio>

#include "core/object_impl.h"
#include "json.h"

namespace lyr::tool {

namespace {

std::optional<std::string> Name(const char* s) {
  if (!s) return std::nullopt;
  return std::string(s);
}

ContainerSummary SummarizeContainer(const MeshContainer& c) {
  ContainerSummary s{};
  s.name = Name(c.name);
  s.meshType = c.meshType;
  if (c.meshType == MeshTypeMesh && c.mesh) {
    s.vertices = c.mesh->GetVertexCount();
    s.faces = c.mesh->GetFaceCount();
  } else if (c.meshType == MeshTypeProgressiveMesh && c.progressiveMesh) {
    ProgressiveMesh* pm = c.progressiveMesh;
    s.vertices = pm->GetVertexCount();
    s.faces = pm->GetFaceCount();
    s.minFaces = pm->GetMinFaceCount();
    s.maxFaces = pm->GetMaxFaceCount();
    s.minVertices = pm->GetMinVertexCount();
    s.maxVertices = pm->GetMaxVertexCount();
  } else if (c.meshType == MeshTypePatchMesh && c.patchMesh) {
    s.vertices = c.patchMesh->GetVertexCount();
    s.faces = c.patchMesh->GetPatchCount();
    c.patchMesh->GetPatchDescription(&s.patch);
  }
  for (uint32_t i = 0; c.materials && i < c.materialCount; ++i) {
    const ColorValue& d = c.materials[i].diffuse;
    s.materials.push_back(
        {{d.red, d.green, d.blue, d.alpha}, Name(c.materials[i].textureFilename)});
  }
  if (c.skinInfo) {
    s.skinned = true;
    for (uint32_t b = 0; b < c.skinInfo->GetBoneCount(); ++b)
      s.bones.push_back(Name(c.skinInfo->GetBoneLabel(b)));
  }
  return s;
}

void SummarizeFrames(const Frame* f, std::vector<FrameSummary>& out) {
  for (; f; f = f->nextSibling) {
    FrameSummary s;
    s.name = Name(f->name);
    for (const MeshContainer* c = f->meshContainers; c; c = c->next)
      s.containers.push_back(SummarizeContainer(*c));
    SummarizeFrames(f->firstChild, s.children);
    out.push_back(std::move(s));
  }
}

SetSummary SummarizeSet(AnimationSet* set) {
  SetSummary s{Name(set->Name()), set->Period(), set->InterpolatorCount(), 4800.0};
  if (s.interpolators > 0) {
    Ref<KeyFrameInterpolator> first;
    if (Succeeded(set->InterpolatorAt(0, first.put())) && first)
      s.ticksPerSecond = first->TicksPerSecond();
  }
  return s;
}

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c, d);
  return text;
}

std::string Shown(const std::optional<std::string>& name, const char* unnamed) {
  return name ? "\"" + *name + "\"" : unnamed;
}

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

const char* PatchTypeName(uint32_t type) {
  switch (type) {
    case kPatchRectangle:
      return "rectangle";
    case kPatchTriangle:
      return "triangle";
    case kPatchNPatch:
      return "N-patch";
  }
  return "unknown";
}

const char* BasisName(uint32_t basis) {
  switch (basis) {
    case kPatchBezier:
      return "Bezier";
    case kPatchBSpline:
      return "B-spline";
    case kPatchInterpolating:
      return "interpolating";
  }
  return "unknown";
}

void ContainerText(const ContainerSummary& c, const std::string& indent, std::string& out) {
  out += indent + "mesh " + Shown(c.name, "(unnamed)") + ": " + MeshKindName(c.meshType) + ", " +
         Plural(c.vertices, c.meshType == MeshTypePatchMesh ? "control vertex" : "vertex",
                c.meshType == MeshTypePatchMesh ? "control vertices" : "vertices") +
         ", " +
         Plural(c.faces, c.meshType == MeshTypePatchMesh ? "patch" : "face",
                c.meshType == MeshTypePatchMesh ? "patches" : "faces");
  if (c.meshType == MeshTypeProgressiveMesh)
    out +=
        " (levels " + std::to_string(c.minFaces) + " to " + std::to_string(c.maxFaces) + " faces)";
  if (c.meshType == MeshTypePatchMesh)
    out += std::string(" (") + PatchTypeName(c.patch.type) + ", degree " +
           std::to_string(c.patch.degree) + ", " + BasisName(c.patch.basis) + ")";
  out += "\n";
  for (size_t i = 0; i < c.materials.size(); ++i) {
    const MaterialSummary& m = c.materials[i];
    out += indent + "  material " + std::to_string(i) + ": diffuse " +
           Format("%g %g %g %g", m.diffuse[0], m.diffuse[1], m.diffuse[2], m.diffuse[3]) +
           (m.texture ? ", texture \"" + *m.texture + "\"" : "") + "\n";
  }
  if (c.skinned) {
    out += indent + "  skinned by " + Plural(c.bones.size(), "bone", "bones");
    for (size_t b = 0; b < c.bones.size(); ++b)
      out += (b ? ", " : ": ") + (c.bones[b] ? *c.bones[b] : std::string("(unnamed)"));
    out += "\n";
  }
}

void FrameText(const FrameSummary& f, const std::string& indent, std::string& out) {
  out += indent + "frame " + Shown(f.name, "(unnamed)") + "\n";
  for (const ContainerSummary& c : f.containers) ContainerText(c, indent + "  ", out);
  for (const FrameSummary& child : f.children) FrameText(child, indent + "  ", out);
}

void ContainerJson(const ContainerSummary& c, JsonWriter& j) {
  j.BeginObject();
  j.Key("name");
  j.StringOrNull(c.name ? c.name->c_str() : nullptr);
  j.Key("kind");
  j.String(MeshKindName(c.meshType));
  j.Key("vertices");
  j.Integer(c.vertices);
  j.Key(c.meshType == MeshTypePatchMesh ? "patches" : "faces");
  j.Integer(c.faces);
  if (c.meshType == MeshTypeProgressiveMesh) {
    j.Key("minFaces");
    j.Integer(c.minFaces);
    j.Key("maxFaces");
    j.Integer(c.maxFaces);
    j.Key("minVertices");
    j.Integer(c.minVertices);
    j.Key("maxVertices");
    j.Integer(c.maxVertices);
  }
  if (c.meshType == MeshTypePatchMesh) {
    j.Key("patchType");
    j.String(PatchTypeName(c.patch.type));
    j.Key("degree");
    j.Integer(c.patch.degree);
    j.Key("basis");
    j.String(BasisName(c.patch.basis));
  }
  j.Key("materials");
  j.BeginArray();
  for (const MaterialSummary& m : c.materials) {
    j.BeginObject();
    j.Key("diffuse");
    j.BeginArray();
    for (float v : m.diffuse) j.Number(v);
    j.EndArray();
    j.Key("texture");
    j.StringOrNull(m.texture ? m.texture->c_str() : nullptr);
    j.EndObject();
  }
  j.EndArray();
  j.Key("skinned");
  j.Bool(c.skinned);
  j.Key("bones");
  j.BeginArray();
  for (const auto& b : c.bones) j.StringOrNull(b ? b->c_str() : nullptr);
  j.EndArray();
  j.EndObject();
}

void FrameJson(const FrameSummary& f, JsonWriter& j) {
  j.BeginObject();
  j.Key("name");
  j.StringOrNull(f.name ? f.name->c_str() : nullptr);
  j.Key("meshContainers");
  j.BeginArray();
  for (const ContainerSummary& c : f.containers) ContainerJson(c, j);
  j.EndArray();
  j.Key("children");
  j.BeginArray();
  for (const FrameSummary& child : f.children) FrameJson(child, j);
  j.EndArray();
  j.EndObject();
}

}  // namespace

const char* MeshKindName(uint32_t meshType) {
  switch (meshType) {
    case MeshTypeMesh:
      return "mesh";
    case MeshTypeProgressiveMesh:
      return "progressive mesh";
    case MeshTypePatchMesh:
      return "patch mesh";
  }
  return "unknown";
}

SceneSummary Summarize(const Scene& scene) {
  SceneSummary s;
  SummarizeFrames(scene.root, s.frames);
  if (AnimationController* controller = scene.controller) {
    // The loader registers the sets newest first: walk them backwards for the file's order.
    for (uint32_t i = controller->SetCount(); i-- > 0;) {
      Ref<AnimationSet> set;
      Check(controller->SetAt(i, set.put()), "reading animation set " + std::to_string(i));
      if (set) s.sets.push_back(SummarizeSet(set.get()));
    }
    Ref<AnimationSet> playing;
    if (Succeeded(controller->GetTrackSet(0, playing.put())) && playing) {
      s.hasPlaying = true;
      s.playing = Name(playing->Name());
    }
  }
  return s;
}

std::string SummaryText(const SceneSummary& s) {
  std::string out = "frames:\n";
  for (const FrameSummary& f : s.frames) FrameText(f, "  ", out);
  if (s.sets.empty()) return out + "animation sets: none\n";
  out += "animation sets (" + std::to_string(s.sets.size()) + "):\n";
  for (const SetSummary& set : s.sets) {
    out += "  " + Shown(set.name, "(unnamed set)") + ": period " + Format("%g", set.period) +
           " s, " + Plural(set.interpolators, "interpolator", "interpolators") + ", " +
           Format("%g", set.ticksPerSecond) + " ticks per second\n";
  }
  if (s.hasPlaying) out += "track 0 plays " + Shown(s.playing, "(unnamed set)") + "\n";
  return out;
}

std::string SummaryJson(const SceneSummary& s) {
  JsonWriter j;
  j.BeginObject();
  j.Key("frames");
  j.BeginArray();
  for (const FrameSummary& f : s.frames) FrameJson(f, j);
  j.EndArray();
  j.Key("animationSets");
  j.BeginArray();
  for (const SetSummary& set : s.sets) {
    j.BeginObject();
    j.Key("name");
    j.StringOrNull(set.name ? set.name->c_str() : nullptr);
    j.Key("period");
    j.Number(set.period);
    j.Key("interpolators");
    j.Integer(set.interpolators);
    j.Key("ticksPerSecond");
    j.Number(set.ticksPerSecond);
    j.EndObject();
  }
  j.EndArray();
  j.Key("track0");
  if (s.hasPlaying)
    j.StringOrNull(s.playing ? s.playing->c_str() : nullptr);
  else
    j.Null();
  j.EndObject();
  return j.Text();
}

}  // namespace lyr::tool
