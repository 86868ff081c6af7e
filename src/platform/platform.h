// The operating-system layer: module loading, the last-error value, registry switches, debug
// output, files and mappings, and the numeric locale. Everything above it is portable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lyr/result.h"

namespace lyr::platform {

// ---- Last error ----------------------------------------------------------------------------
// The calling thread's last-error value, as the module and file functions below leave it.
uint32_t GetLastError() noexcept;
void SetLastError(uint32_t e) noexcept;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorModNotFound = 126;
inline constexpr uint32_t kErrorProcNotFound = 127;
// The result code for the current last-error value (0x80070000 | (e & 0xFFFF) for e > 0).
LyrResult LastErrorResult() noexcept;

// ---- Modules ---------------------------------------------------------------------------------
// A module named "x.dll" is the shared library "libx.so" (or "x.dll" on Windows). It is looked
// for beside the library's own file first, then on the loader's search path. Modules are never
// unloaded, so returned handles and procedures stay valid for the process's life.
using ModuleHandle = void*;
// Loads the module (or takes one more reference on a loaded one). Null with the last error 126
// when it cannot be found or loaded.
ModuleHandle LoadModule(const char* name) noexcept;
// The module when it is already loaded in the process, without loading it; null (last error 126)
// otherwise.
ModuleHandle FindLoadedModule(const char* name) noexcept;
// An exported procedure of a loaded module; null with the last error 127 when it is missing.
void* FindProcedure(ModuleHandle module, const char* procName) noexcept;
// The folder holding the library's own file (the shared library, or the program it is linked
// into), with a trailing separator; empty when unknown. Valid for the process's life.
const char* OwnDirectory() noexcept;

// ---- Registry switches ------------------------------------------------------------------------
// 32-bit values under "Software\Corvane\Tessaly" of HKEY_LOCAL_MACHINE. Where the platform has
// no registry, an environment variable named exactly after the value stands in: decimal or
// 0x-hexadecimal text that fits 32 bits is a 32-bit value; any other text is a value of another
// type.
enum class RegistryValueKind { kMissing, kDword, kOther };
RegistryValueKind ReadRegistryValue(const char* name, uint32_t* value) noexcept;
// Reads a 32-bit value: true and *value set only for a value of 32-bit type.
bool ReadRegistryDword(const char* name, uint32_t* value) noexcept;
// Test hook: stands in a value for `name` ahead of the real source (kind kMissing hides a real
// value). Overrides are process-wide until cleared.
void SetRegistryOverride(const char* name, RegistryValueKind kind, uint32_t value) noexcept;
void ClearRegistryOverride(const char* name) noexcept;
void ClearRegistryOverrides() noexcept;

// ---- Debug output ------------------------------------------------------------------------------
// Debug strings are silent by default; LYR_DEBUG_OUTPUT=1 sends them to standard error, and a
// host-set sink receives them instead when one is set.
using DebugSink = void (*)(const char* text, void* context);
void DebugOutput(const char* text) noexcept;
void SetDebugSink(DebugSink sink, void* context) noexcept;

// ---- Memory ------------------------------------------------------------------------------------
// Blocks of at least kLargeBlockBytes are worth placing on kLargePageBytes boundaries and the
// advice below.
inline constexpr size_t kLargePageBytes = size_t(2) << 20;
inline constexpr size_t kLargeBlockBytes = size_t(4) << 20;
// Asks the system to back a freshly allocated block with large pages where it can: the block's
// first touch then takes one fault per large page instead of one per small page, which is most
// of the cost of filling a fresh block of many megabytes. Only a hint; no effect elsewhere.
void AdviseLargeBlock(void* block, size_t size) noexcept;

// ---- Threads -----------------------------------------------------------------------------------
// A thread that runs one function once. Starting it takes nothing from the library's allocator:
// the system makes the thread and its stack.
class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread() { Join(); }
  // Runs fn(arg) on a new thread. False, with nothing started, when the system cannot make one;
  // the caller then does the work itself.
  bool Start(void (*fn)(void*), void* arg) noexcept;
  // Waits until the function has returned; nothing when no thread runs.
  void Join() noexcept;

 private:
  void (*fn_)(void*) = nullptr;
  void* arg_ = nullptr;
  bool running_ = false;
  alignas(8) unsigned char handle_[16] = {};  // the system's handle
#if defined(_WIN32)
  static unsigned long __stdcall Entry(void* self);
#else
  static void* Entry(void* self);
#endif
};
// How many threads the process can run at once (at least 1).
uint32_t ProcessorCount() noexcept;

// ---- Files -------------------------------------------------------------------------------------
// A read-only view of a whole file. An empty file maps to a null view of size 0.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() { Close(); }
  // Opens and maps path (UTF-8). ErrFileOpenFailed when it cannot be opened or mapped.
  LyrResult Open(const char* path) noexcept;
  // The same with a UTF-16 path: opened by the platform's 16-bit file functions where it has
  // them, else converted to UTF-8. A null or ill-formed path gives ErrFileOpenFailed; a path too
  // long for the stack buffer that cannot be converted for lack of memory, ErrOutOfMemory.
  LyrResult OpenUtf16(const char16_t* path) noexcept;
  void Close() noexcept;
  const void* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const void* data_ = nullptr;
  size_t size_ = 0;
#if defined(_WIN32)
  LyrResult MapOpened(void* file) noexcept;
  void* file_ = nullptr;
  void* mapping_ = nullptr;
#endif
};

// Creates (or truncates) path and writes size bytes. ErrFileOpenFailed when it cannot be
// created, ErrFail when the write falls short.
LyrResult WriteWholeFile(const char* path, const void* data, size_t size) noexcept;
// Deletes path; false when it cannot.
bool DeleteFile(const char* path) noexcept;
// The size in bytes of the file at path; false when it cannot be read.
bool FileSize(const char* path, uint64_t* size) noexcept;
// Writes the temporary-file folder, with a trailing separator, into out (capacity bytes); false
// when it does not fit.
bool TempDirectory(char* out, size_t capacity) noexcept;
// Creates a new, empty file in dir whose name starts with prefix and writes its full path into
// out (capacity bytes). False when no name could be made.
bool MakeTempFile(const char* dir, const char* prefix, char* out, size_t capacity) noexcept;

// Converts a zero-terminated UTF-16 name to UTF-8 in out (capacity bytes, terminator included).
// Returns false for ill-formed UTF-16 (an unpaired surrogate) or when out is too small.
bool Utf16ToUtf8(const char16_t* in, char* out, size_t capacity) noexcept;
// The UTF-8 length (without terminator) of a UTF-16 name, or SIZE_MAX when it is ill-formed.
size_t Utf8LengthOfUtf16(const char16_t* in) noexcept;

// ---- Locale ------------------------------------------------------------------------------------
// Switches numeric formatting to "C" for the lifetime of the object and restores the previous
// setting afterwards; on platforms that allow it the switch affects only the calling thread.
class ScopedCLocale {
 public:
  ScopedCLocale() noexcept;
  ~ScopedCLocale();
  ScopedCLocale(const ScopedCLocale&) = delete;
  ScopedCLocale& operator=(const ScopedCLocale&) = delete;

 private:
  void* saved_ = nullptr;
  int mode_ = 0;
};

}  // namespace lyr::platform
