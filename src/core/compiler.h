// Compiler-specific markers used across the library.
#pragma once

// Inlines a function the compiler would otherwise call: for small hot helpers whose callers need
// the results in registers (a call would pass them through memory).
#if defined(__GNUC__)
#define LYR_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define LYR_ALWAYS_INLINE __forceinline
#endif
