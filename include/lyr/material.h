// Material and effect-instance records: what a loaded mesh hands to the host for each of its
// attribute ids. Both arrive packed in one Buffer each, every pointer pointing into that Buffer.
//
// Provided by: no library; types and constants only, shared by both libraries' interfaces.
#pragma once

#include <cstddef>

#include "lyr/config.h"

namespace lyr {

struct ColorValue {
  float red;
  float green;
  float blue;
  float alpha;
};
static_assert(sizeof(ColorValue) == 16);

struct Material {
  ColorValue diffuse;
  ColorValue ambient;
  ColorValue specular;
  ColorValue emissive;
  float power;
  char* textureFilename;  // null when the material has no texture
};

// Types of an effect default's value.
inline constexpr uint32_t EffectDefaultString = 1;  // zero-terminated 8-bit string
inline constexpr uint32_t EffectDefaultFloats = 2;  // byteCount / 4 floats
inline constexpr uint32_t EffectDefaultDWord = 3;   // one 32-bit integer

// One named parameter value of an effect.
struct EffectDefault {
  char* parameterName;
  uint32_t type;
  uint32_t byteCount;
  void* value;
};

struct EffectInstance {
  char* effectFilename;  // may be null
  uint32_t defaultCount;
  EffectDefault* defaults;
};

#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(Material) == 72 && offsetof(Material, ambient) == 16 &&
              offsetof(Material, specular) == 32 && offsetof(Material, emissive) == 48 &&
              offsetof(Material, power) == 64 && offsetof(Material, textureFilename) == 68);
static_assert(sizeof(EffectDefault) == 16 && offsetof(EffectDefault, type) == 4 &&
              offsetof(EffectDefault, byteCount) == 8 && offsetof(EffectDefault, value) == 12);
static_assert(sizeof(EffectInstance) == 12 && offsetof(EffectInstance, defaultCount) == 4 &&
              offsetof(EffectInstance, defaults) == 8);
#else
static_assert(sizeof(Material) == 80 && offsetof(Material, textureFilename) == 72);
static_assert(sizeof(EffectDefault) == 24 && offsetof(EffectDefault, value) == 16);
static_assert(sizeof(EffectInstance) == 24 && offsetof(EffectInstance, defaults) == 16);
#endif

}  // namespace lyr
