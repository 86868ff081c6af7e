// Processor-specific forms installed by the selection.
#include "math/fast_functions.h"

namespace lyr {

void InstallScalarForms(FastFunctionSet*) {}
void InstallSseForms(FastFunctionSet*) {}
void InstallSse2Forms(FastFunctionSet*) {}
void InstallTunedSseArrayForms(FastFunctionSet*) {}

}  // namespace lyr
