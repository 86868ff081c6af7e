// Processor dispatch: the fast-function table's selection, the processor-feature query and the
// platform debug-mute switch. Library-internal.
#pragma once

#include <cstdint>

#include "math/fast_table.h"

namespace lyr {

// Selection states.
inline constexpr uint32_t kSelectionPending = 0xFFFF;
inline constexpr uint32_t kSelectionPlain = 0;
inline constexpr uint32_t kSelection3DNow = 1;
inline constexpr uint32_t kSelectionSse2 = 2;
inline constexpr uint32_t kSelectionSse = 3;

// enable = 0: resets (state pending, every entry the plain form) and returns kSelectionPending.
// enable != 0: selects the forms for this processor once and returns the state; later calls only
// return it. Safe against concurrent first calls: one thread selects, the others wait for it.
uint32_t SelectFastFunctions(int enable);

// Mutes (1) or unmutes (0) the graphics platform's debug output, when the platform library is
// loaded in the process and the "LyrDoNotMute" switch does not forbid it.
void SetPlatformDebugQuiet(int mute);

// The raw processor identification the selection works from.
struct ProcessorInfo {
  bool cpuid = false;       // the cpuid instruction is available
  uint32_t maxLeaf = 0;     // leaf 0 EAX
  uint32_t leaf1Edx = 0;    // leaf 1 EDX
  uint32_t maxExtLeaf = 0;  // leaf 0x80000000 EAX
  uint32_t ext1Edx = 0;     // leaf 0x80000001 EDX
  bool osSse = false;       // the operating system reports SSE
  bool os3DNow = false;     // the operating system reports 3DNow!
};

// Feature-word bits of the 3DNow! overlay.
inline constexpr uint32_t kFeatureBase = 0x01, kFeatureLeaf1 = 0x02, kFeatureExtended = 0x04,
                          kFeatureMmx = 0x20, kFeatureSse = 0x40, kFeature3DNow = 0x80,
                          kFeature3DNowExt = 0x100, kFeatureMmxExt = 0x200;

// What this processor reports (operating-system answers are derived from cpuid); all-false on
// processors without cpuid.
ProcessorInfo QueryProcessor();
uint32_t FeatureWord(const ProcessorInfo& info);
bool HasSse2(const ProcessorInfo& info);

// The forms installed over a set by each step of the selection. Without a processor-specific
// build these leave the set unchanged.
void InstallScalarForms(FastFunctionSet* set);
void InstallSseForms(FastFunctionSet* set);
void InstallSse2Forms(FastFunctionSet* set);
void InstallTunedSseArrayForms(FastFunctionSet* set);

// The table's current contents.
FastFunctionSet CurrentFastFunctions();

namespace dispatch_test {
// Stands in the processor identification for later selections (null restores the real one).
void SetProcessorInfo(const ProcessorInfo* info);
// Puts the lazy stubs back, as at process start.
void RestoreLazyStubs();
// How many times the selection has run in this process.
uint32_t SelectionCount();
// Forgets the debug-mute entry points and the "LyrDoNotMute" flag, and looks the mute export up
// in the given modules instead of the platform's (null restores the platform's).
void ResetDebugQuiet(const char* firstModule, const char* secondModule);
}  // namespace dispatch_test

}  // namespace lyr
