// Processor-specific forms installed by the selection.
#include "math/fast_functions.h"
#include "skin/skin_blend.h"

namespace lyr {

void InstallScalarForms(FastFunctionSet*) {}
void InstallSseForms(FastFunctionSet* set) {
  InstallSkinnedVertexSseForm(set);
}
void InstallSse2Forms(FastFunctionSet* set) {
  InstallSkinnedVertexSseForm(set);
}
void InstallTunedSseArrayForms(FastFunctionSet*) {}

}  // namespace lyr
