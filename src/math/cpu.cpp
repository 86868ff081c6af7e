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

// The instruction exists when the ID flag (bit 21) of EFLAGS can be toggled; every x86-64
// processor has it.
bool CpuidAvailable() {
#if defined(__i386__) && !defined(_MSC_VER)
  uint32_t changed, original;
  __asm__ volatile(
      "pushfl\n\t"
      "pushfl\n\t"
      "popl %0\n\t"
      "movl %0, %1\n\t"
      "xorl $0x200000, %0\n\t"
      "pushl %0\n\t"
      "popfl\n\t"
      "pushfl\n\t"
      "popl %0\n\t"
      "popfl\n\t"
      : "=&r"(changed), "=&r"(original)
      :
      : "cc");
  return ((changed ^ original) & 0x200000u) != 0;
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
  if (!info.cpuid) return word;
  if (info.maxLeaf >= 1) {
    word |= kFeatureLeaf1;
    if (info.leaf1Edx & (1u << 23)) word |= kFeatureMmx;
    if (info.leaf1Edx & (1u << 25)) word |= kFeatureSse;
  }
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
