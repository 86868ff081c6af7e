// Reading the materials of a mesh or patch mesh (the Material children of a MeshMaterialList,
// with their texture names and effect instances) and packing them into the Buffers a loader
// hands out.
#pragma once

#include "core/alloc.h"
#include "lyr/buffer.h"
#include "lyr/material.h"
#include "lyr/vekfile.h"

namespace lyr::meshload {

struct LoadedDefault {
  String name;
  bool hasName = false;
  uint32_t type = 0;
  Vector<uint8_t> value;
};

struct LoadedEffect {
  String filename;
  bool hasFilename = false;
  Vector<LoadedDefault> defaults;
};

struct LoadedMaterial {
  Material record{};  // textureFilename stays null; the name is kept in `texture`
  String texture;
  bool hasTexture = false;
  bool hasEffect = false;
  LoadedEffect effect;
};

// Reads the Material children of a MeshMaterialList object (references resolved) and appends them
// to `materials` (which starts empty). More Material children than count: ErrInvalidCall; fewer:
// ErrFail. With readEffects, an EffectInstance child gives that material's
// effect instance and every material left without one gets the default instance.
LyrResult ReadMaterials(VekDataObject* list, uint32_t count, bool readEffects,
                        Vector<LoadedMaterial>& materials);

// Reads an EffectInstance object.
LyrResult ReadEffectInstance(VekDataObject* object, LoadedEffect* out);

// The effect instance a material without one gets: no file name and the defaults "Diffuse",
// "Power", "Specular", "Emissive", "Ambient" (floats), then "Texture0@Name" (the texture name)
// when the material has a texture.
void MakeDefaultEffect(const LoadedMaterial& material, LoadedEffect* out);

// A Buffer of the material records followed by their texture names, every name pointer pointing
// into the Buffer. *out is null when there are no materials.
LyrResult PackMaterials(const Vector<LoadedMaterial>& materials, Buffer** out);
// A Buffer of the effect-instance records, then per instance its file name, its default records
// and each default's name and value bytes; every pointer points into the Buffer. *out is null when
// there are no materials.
LyrResult PackEffects(const Vector<LoadedMaterial>& materials, Buffer** out);

}  // namespace lyr::meshload
