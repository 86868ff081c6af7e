#include <cstring>

#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace lyr::platform {
namespace {

constexpr size_t kPathMax = 4096;

// Writes the platform file name of module `name` into out: "x.dll" becomes "libx.so" on
// systems whose shared libraries follow that pattern.
bool PlatformFileName(const char* name, char* out, size_t capacity) {
  size_t n = std::strlen(name);
#if defined(_WIN32)
  if (n + 1 > capacity) return false;
  std::memcpy(out, name, n + 1);
#else
  const char* ext = ".dll";
  size_t stem = n;
  if (n >= 4) {
    bool dll = true;
    for (size_t i = 0; i < 4; ++i) {
      char c = name[n - 4 + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != ext[i]) dll = false;
    }
    if (dll) stem = n - 4;
  }
  if (stem + 7 > capacity) return false;  // "lib" + stem + ".so" + terminator
  std::memcpy(out, "lib", 3);
  std::memcpy(out + 3, name, stem);
  std::memcpy(out + 3 + stem, ".so", 4);
#endif
  return true;
}

bool Join(const char* dir, const char* file, char* out, size_t capacity) {
  size_t a = std::strlen(dir), b = std::strlen(file);
  if (a + b + 1 > capacity) return false;
  std::memcpy(out, dir, a);
  std::memcpy(out + a, file, b + 1);
  return true;
}

char g_ownDir[kPathMax];
bool g_ownDirKnown = false;

void FindOwnDirectory() {
  g_ownDir[0] = '\0';
#if defined(_WIN32)
  HMODULE self = nullptr;
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&FindOwnDirectory), &self)) {
    DWORD n = GetModuleFileNameA(self, g_ownDir, kPathMax);
    if (n == 0 || n >= kPathMax) n = 0;
    g_ownDir[n] = '\0';
  }
  char* slash = std::strrchr(g_ownDir, '\\');
  char* fwd = std::strrchr(g_ownDir, '/');
  if (fwd && (!slash || fwd > slash)) slash = fwd;
#else
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&FindOwnDirectory), &info) && info.dli_fname) {
    size_t n = std::strlen(info.dli_fname);
    if (n < kPathMax) std::memcpy(g_ownDir, info.dli_fname, n + 1);
  }
  char* slash = std::strrchr(g_ownDir, '/');
#endif
  if (slash)
    slash[1] = '\0';
  else
    g_ownDir[0] = '\0';
}

}  // namespace

const char* OwnDirectory() noexcept {
  // Computed on first use; racing first calls write the same bytes.
  if (!g_ownDirKnown) {
    FindOwnDirectory();
    g_ownDirKnown = true;
  }
  return g_ownDir;
}

ModuleHandle LoadModule(const char* name) noexcept {
  char file[kPathMax], path[kPathMax];
  if (!name || !PlatformFileName(name, file, sizeof file)) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  ModuleHandle h = nullptr;
  if (Join(OwnDirectory(), file, path, sizeof path)) {
#if defined(_WIN32)
    h = LoadLibraryA(path);
#else
    h = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
#endif
  }
  if (!h) {
#if defined(_WIN32)
    h = LoadLibraryA(file);
#else
    h = dlopen(file, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
#endif
  }
  if (!h) SetLastError(kErrorModNotFound);
  return h;
}

ModuleHandle FindLoadedModule(const char* name) noexcept {
  char file[kPathMax], path[kPathMax];
  if (!name || !PlatformFileName(name, file, sizeof file)) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  ModuleHandle h = nullptr;
#if defined(_WIN32)
  h = GetModuleHandleA(file);
#else
  if (Join(OwnDirectory(), file, path, sizeof path))
    h = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD | RTLD_NODELETE);
  if (!h) h = dlopen(file, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD | RTLD_NODELETE);
  // A no-load open still takes a reference; modules are never unloaded, so it is kept.
#endif
  (void)path;
  if (!h) SetLastError(kErrorModNotFound);
  return h;
}

void* FindProcedure(ModuleHandle module, const char* procName) noexcept {
  void* p = nullptr;
  if (module && procName) {
#if defined(_WIN32)
    p = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), procName));
#else
    p = dlsym(module, procName);
#endif
  }
  if (!p) SetLastError(kErrorProcNotFound);
  return p;
}

}  // namespace lyr::platform
