#include "math_support.h"

namespace lyr::mathtest {

std::vector<NamedSet> AllForms() {
  std::vector<NamedSet> sets;
  sets.push_back({"plain", kPlainFastFunctions});
  ProcessorInfo info = QueryProcessor();
  FastFunctionSet scalar = kPlainFastFunctions;
  InstallScalarForms(&scalar);
  sets.push_back({"scalar", scalar});
  if (info.osSse) {
    FastFunctionSet s = scalar;
    InstallSseForms(&s);
    sets.push_back({"sse", s});
    FastFunctionSet tuned = scalar;
    InstallTunedSseArrayForms(&tuned);
    sets.push_back({"tuned-sse-arrays", tuned});
  }
  if (HasSse2(info)) {
    FastFunctionSet s = scalar;
    InstallSse2Forms(&s);
    sets.push_back({"sse2", s});
  }
  return sets;
}

}  // namespace lyr::mathtest
