// Processor identification through cpuid. The operating-system feature answers are taken from the
// same registers: every system this builds for saves the SSE state across task switches.
#include "math/fast_functions.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#define LYR_X86 1
#elif defined(_M_IX86) || defined(_M_X64)
#include <intrin.h>
#define LYR_X86 1
#endif

namespace lyr {
namespace {

#if defined(LYR_X86)
void Cpuid(uint32_t leaf, uint32_t regs[4]) {
#if defined(_MSC_VER)
  int r[4];
  __cpuid(r, static_cast<int>(leaf));
  for (int i = 0; i < 4; ++i) regs[i] = static_cast<uint32_t>(r[i]);
#else
  __cpuid(leaf, regs[0], regs[1], regs[2], regs[3]);
#endif
}

bool CpuidAvailable() {
#if defined(__i386__) && !defined(_MSC_VER)
  return __get_cpuid_max(0, nullptr) != 0;  // probes the ID flag of EFLAGS first
#else
  return true;
#endif
}
#endif

}  // namespace

ProcessorInfo QueryProcessor() {
  ProcessorInfo info;
#if defined(LYR_X86)
  if (!CpuidAvailable()) return info;
  uint32_t r[4];
  Cpuid(0, r);
  info.cpuid = true;
  info.maxLeaf = r[0];
  if (info.maxLeaf >= 1) {
    Cpuid(1, r);
    info.leaf1Edx = r[3];
  }
  Cpuid(0x80000000u, r);
  info.maxExtLeaf = r[0];
  if (info.maxExtLeaf > 0x80000000u) {
    Cpuid(0x80000001u, r);
    info.ext1Edx = r[3];
  }
  uint32_t word = FeatureWord(info);
  info.osSse = (word & kFeatureSse) != 0;
  info.os3DNow = (word & kFeature3DNow) != 0;
#endif
  return info;
}

uint32_t FeatureWord(const ProcessorInfo& info) {
  uint32_t word = kFeatureBase;
  if (!info.cpuid || info.maxLeaf == 0) return word;
  word |= kFeatureLeaf1;
  if (info.leaf1Edx & (1u << 23)) word |= kFeatureMmx;
  if (info.leaf1Edx & (1u << 25)) word |= kFeatureSse;
  if (info.maxExtLeaf > 0x80000000u) {
    word |= kFeatureExtended;
    if (info.ext1Edx & (1u << 31)) word |= kFeature3DNow;
    if (info.ext1Edx & (1u << 30)) word |= kFeature3DNowExt;
    if (info.ext1Edx & (1u << 22)) word |= kFeatureMmxExt;
  }
  return word;
}

bool HasSse2(const ProcessorInfo& info) {
  return info.cpuid && info.maxLeaf >= 1 && (info.leaf1Edx & (1u << 26)) != 0;
}

}  // namespace lyr
