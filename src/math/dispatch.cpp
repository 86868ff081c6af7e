// The fast-function table, its lazy stubs and the public entry points, and the selection that
// fills the table with the best forms for the processor on the first call.
#include <atomic>
#include <mutex>

#include "math/fast_functions.h"
#include "platform/platform.h"

namespace lyr {
namespace {

// One atomic pointer per entry: the selection publishes while other threads may already be
// calling through the table. Loads are acquire (a plain load on x86), so one indirect jump.
struct FastFunctionTable {
#define LYR_X(index, Name, Ret, Params, Args) std::atomic<Ret(*) Params> Name;
  LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X
};

extern FastFunctionTable g_table;

// Lazy stubs: select once, then complete the call through the freshly filled entry.
namespace stub {
#define LYR_X(index, Name, Ret, Params, Args)                 \
  Ret Name Params {                                           \
    SelectFastFunctions(1);                                   \
    return g_table.Name.load(std::memory_order_acquire) Args; \
  }
LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X
}  // namespace stub

constexpr FastFunctionSet kLazyStubs = {
#define LYR_X(index, Name, Ret, Params, Args) &stub::Name,
    LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X
};

constinit FastFunctionTable g_table = {
#define LYR_X(index, Name, Ret, Params, Args) {kLazyStubs.Name},
    LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X
};

constinit std::atomic<uint32_t> g_state{kSelectionPending};
constinit std::atomic<uint32_t> g_selectionCount{0};
constinit std::mutex g_selectMutex;
constinit std::atomic<const ProcessorInfo*> g_processorOverride{nullptr};
ProcessorInfo g_processorOverrideValue;

void Publish(const FastFunctionSet& set) {
#define LYR_X(index, Name, Ret, Params, Args) \
  g_table.Name.store(set.Name, std::memory_order_release);
  LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X
}

// "DisableLyrPSGP", when present as a 32-bit value, overrides "DisablePSGP"; anything else
// counts as missing.
uint32_t DisableSwitch() {
  uint32_t v = 0, value = 0;
  if (platform::ReadRegistryValue("DisablePSGP", &value) == platform::RegistryValueKind::kDword)
    v = value;
  if (platform::ReadRegistryValue("DisableLyrPSGP", &value) == platform::RegistryValueKind::kDword)
    v = value;
  return v;
}

uint32_t RunSelection() {
  g_selectionCount.fetch_add(1, std::memory_order_relaxed);
  FastFunctionSet set = kPlainFastFunctions;
  InstallScalarForms(&set);
  uint32_t state = kSelectionPlain;
  uint32_t v = DisableSwitch();
  if (v != 1) {
    const ProcessorInfo* o = g_processorOverride.load(std::memory_order_acquire);
    ProcessorInfo info = o ? *o : QueryProcessor();
    if (v != 2 && info.os3DNow) {
      // No 3DNow! forms are built; the tuned SSE array forms still come with this path.
      if (FeatureWord(info) & kFeatureSse) InstallTunedSseArrayForms(&set);
      state = kSelection3DNow;
    } else if (HasSse2(info)) {
      InstallSse2Forms(&set);
      state = kSelectionSse2;
    } else if (info.osSse) {
      InstallSseForms(&set);
      state = kSelectionSse;
    }
  }
  Publish(set);
  return state;
}

}  // namespace

uint32_t SelectFastFunctions(int enable) {
  if (enable == 0) {
    std::lock_guard<std::mutex> lock(g_selectMutex);
    Publish(kPlainFastFunctions);
    g_state.store(kSelectionPending, std::memory_order_release);
    return kSelectionPending;
  }
  uint32_t s = g_state.load(std::memory_order_acquire);
  if (s != kSelectionPending) return s;
  std::lock_guard<std::mutex> lock(g_selectMutex);
  s = g_state.load(std::memory_order_acquire);
  if (s != kSelectionPending) return s;
  s = RunSelection();
  g_state.store(s, std::memory_order_release);
  return s;
}

FastFunctionSet CurrentFastFunctions() {
  FastFunctionSet set;
#define LYR_X(index, Name, Ret, Params, Args) \
  set.Name = g_table.Name.load(std::memory_order_acquire);
  LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X
  return set;
}

namespace dispatch_test {
void SetProcessorInfo(const ProcessorInfo* info) {
  std::lock_guard<std::mutex> lock(g_selectMutex);
  if (info) {
    g_processorOverrideValue = *info;
    g_processorOverride.store(&g_processorOverrideValue, std::memory_order_release);
  } else {
    g_processorOverride.store(nullptr, std::memory_order_release);
  }
}
void RestoreLazyStubs() {
  std::lock_guard<std::mutex> lock(g_selectMutex);
  Publish(kLazyStubs);
  g_state.store(kSelectionPending, std::memory_order_release);
}
uint32_t SelectionCount() {
  return g_selectionCount.load(std::memory_order_relaxed);
}
}  // namespace dispatch_test

// The public entry points: nothing but a jump through the entry, arguments untouched.
#define LYR_X(index, Name, Ret, Params, Args)                 \
  Ret Name Params {                                           \
    return g_table.Name.load(std::memory_order_acquire) Args; \
  }
LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X

}  // namespace lyr
