// The SSE and SSE2 forms and the overlays that install them. Each form is compiled for its own
// instruction set through a target attribute; the selection installs them only when the
// processor reports that set.
#include <cmath>
#include <cstring>

#include "math/fast_functions.h"
#include "math/kernels.h"
#include "math/math_util.h"
#include "skin/skin_blend.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>

#define LYR_SIMD_NS sse
#define LYR_SIMD_TARGET "sse"
#define LYR_SIMD_SSE2 0
#include "math/forms_simd.inc"
#undef LYR_SIMD_NS
#undef LYR_SIMD_TARGET
#undef LYR_SIMD_SSE2

#define LYR_SIMD_NS sse2
#define LYR_SIMD_TARGET "sse2"
#define LYR_SIMD_SSE2 1
#include "math/forms_simd.inc"
#undef LYR_SIMD_NS
#undef LYR_SIMD_TARGET
#undef LYR_SIMD_SSE2

namespace lyr {

// The strided transform arrays of one instruction set (entries 59 to 65 and 68).
#define LYR_INSTALL_ARRAYS(ns)                                     \
  do {                                                             \
    set->TransformVector2Array = &ns::TransformVector2Array;       \
    set->TransformPoint2Array = &ns::TransformPoint2Array;         \
    set->TransformDirection2Array = &ns::TransformDirection2Array; \
    set->TransformVector3Array = &ns::TransformVector3Array;       \
    set->TransformPoint3Array = &ns::TransformPoint3Array;         \
    set->TransformDirection3Array = &ns::TransformDirection3Array; \
    set->TransformVector4Array = &ns::TransformVector4Array;       \
    set->TransformPlaneArray = &ns::TransformPlaneArray;           \
  } while (0)

void InstallSseForms(FastFunctionSet* set) {
  set->TransformVector2 = &sse::TransformVector2;
  set->TransformVector3 = &sse::TransformVector3;
  set->TransformVector4 = &sse::TransformVector4;
  set->MultiplyMatrix = &sse::MultiplyMatrix;
  set->MultiplyMatrixTransposed = &sse::MultiplyMatrixTransposed;
  set->TransformDirection2 = &sse::TransformDirection2;
  set->TransformDirection3 = &sse::TransformDirection3;
  set->NormalizeVector3 = &sse::NormalizeVector3;
  set->NormalizeVector4 = &sse::NormalizeVector4;
  set->TransformPoint2 = &sse::TransformPoint2;
  set->TransformPoint3 = &sse::TransformPoint3;
  set->Determinant4x4 = &sse::Determinant4x4;
  set->PlaneThroughPoints = &sse::PlaneThroughPoints;
  set->CrossVector4 = &sse::CrossVector4;
  set->HermiteVector2 = &sse::HermiteVector2;
  set->InvertMatrix = &sse::InvertMatrix;
  set->MultiplyQuaternion = &sse::MultiplyQuaternion;
  set->NormalizeQuaternion = &sse::NormalizeQuaternion;
  set->NormalizePlane = &sse::NormalizePlane;
  set->IntersectPlaneLine = &sse::IntersectPlaneLine;
  set->QuaternionFromMatrix = &sse::QuaternionFromMatrix;
  set->QuaternionFromYawPitchRoll = &sse::QuaternionFromYawPitchRoll;
  set->BuildShadow = &sse::BuildShadow;
  set->BuildReflection = &sse::BuildReflection;
  set->TransformPlane = &sse::TransformPlane;
  set->InvertQuaternion = &sse::InvertQuaternion;
  set->CatmullRomVector2 = &sse::CatmullRomVector2;
  set->BarycentricVector2 = &sse::BarycentricVector2;
  set->HermiteVector3 = &sse::HermiteVector3;
  set->CatmullRomVector3 = &sse::CatmullRomVector3;
  set->BarycentricVector3 = &sse::BarycentricVector3;
  set->HermiteVector4 = &sse::HermiteVector4;
  set->CatmullRomVector4 = &sse::CatmullRomVector4;
  set->BarycentricVector4 = &sse::BarycentricVector4;
  set->HalfToFloatArray = &sse::HalfToFloatArray;
  LYR_INSTALL_ARRAYS(sse);
  set->BlendSkinnedVertices = &sse::BlendSkinnedVertices;
  set->EvaluateNPatchPoints = &sse::EvaluateNPatchPoints;
}

// The SSE forms, then SSE2's own forms over them; InvertQuaternion stays plain.
void InstallSse2Forms(FastFunctionSet* set) {
  InstallSseForms(set);
  set->PlaneThroughPoints = &sse2::PlaneThroughPoints;
  set->CrossVector4 = &sse2::CrossVector4;
  set->QuaternionFromMatrix = &sse2::QuaternionFromMatrix;
  set->QuaternionFromYawPitchRoll = &sse2::QuaternionFromYawPitchRoll;
  set->BuildShadow = &sse2::BuildShadow;
  set->BuildReflection = &sse2::BuildReflection;
  set->HalfToFloatArray = &sse2::HalfToFloatArray;
  LYR_INSTALL_ARRAYS(sse2);
  set->InvertQuaternion = kPlainFastFunctions.InvertQuaternion;
}

// The array forms that come with the 3DNow! path on processors that also have SSE.
void InstallTunedSseArrayForms(FastFunctionSet* set) {
  LYR_INSTALL_ARRAYS(sse);
}

#undef LYR_INSTALL_ARRAYS

}  // namespace lyr

#else

namespace lyr {
void InstallSseForms(FastFunctionSet*) {}
void InstallSse2Forms(FastFunctionSet*) {}
void InstallTunedSseArrayForms(FastFunctionSet*) {}
}  // namespace lyr

#endif
