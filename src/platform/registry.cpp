#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace lyr::platform {
namespace {

struct Override {
  char name[32];
  RegistryValueKind kind;
  uint32_t value;
  bool used;
};
constexpr int kMaxOverrides = 16;
Override g_overrides[kMaxOverrides];
std::mutex g_overrideMutex;

bool FindOverride(const char* name, RegistryValueKind* kind, uint32_t* value) {
  std::lock_guard<std::mutex> lock(g_overrideMutex);
  for (const Override& o : g_overrides) {
    if (o.used && std::strcmp(o.name, name) == 0) {
      *kind = o.kind;
      *value = o.value;
      return true;
    }
  }
  return false;
}

#if !defined(_WIN32)
// Decimal or 0x-hexadecimal text that fits 32 bits, nothing else.
bool ParseDword(const char* s, uint32_t* out) {
  if (!s || !*s) return false;
  uint64_t v = 0;
  int base = 10;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s += 2;
    if (!*s) return false;
  }
  for (; *s; ++s) {
    int d;
    if (*s >= '0' && *s <= '9')
      d = *s - '0';
    else if (base == 16 && *s >= 'a' && *s <= 'f')
      d = *s - 'a' + 10;
    else if (base == 16 && *s >= 'A' && *s <= 'F')
      d = *s - 'A' + 10;
    else
      return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}
#endif

}  // namespace

RegistryValueKind ReadRegistryValue(const char* name, uint32_t* value) noexcept {
  if (!name || !value) return RegistryValueKind::kMissing;
  RegistryValueKind kind;
  uint32_t v;
  if (FindOverride(name, &kind, &v)) {
    if (kind == RegistryValueKind::kDword) *value = v;
    return kind;
  }
#if defined(_WIN32)
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Tessaly", &key) != ERROR_SUCCESS)
    return RegistryValueKind::kMissing;
  DWORD type = 0, data = 0, size = sizeof data;
  LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  RegCloseKey(key);
  if (rc == ERROR_MORE_DATA) return RegistryValueKind::kOther;
  if (rc != ERROR_SUCCESS) return RegistryValueKind::kMissing;
  if (type != REG_DWORD) return RegistryValueKind::kOther;
  *value = data;
  return RegistryValueKind::kDword;
#else
  const char* text = std::getenv(name);
  if (!text) return RegistryValueKind::kMissing;
  if (!ParseDword(text, &v)) return RegistryValueKind::kOther;
  *value = v;
  return RegistryValueKind::kDword;
#endif
}

bool ReadRegistryDword(const char* name, uint32_t* value) noexcept {
  uint32_t v = 0;
  if (ReadRegistryValue(name, &v) != RegistryValueKind::kDword) return false;
  *value = v;
  return true;
}

void SetRegistryOverride(const char* name, RegistryValueKind kind, uint32_t value) noexcept {
  if (!name || std::strlen(name) >= sizeof(Override::name)) return;
  std::lock_guard<std::mutex> lock(g_overrideMutex);
  Override* slot = nullptr;
  for (Override& o : g_overrides) {
    if (o.used && std::strcmp(o.name, name) == 0) {
      slot = &o;
      break;
    }
    if (!o.used && !slot) slot = &o;
  }
  if (!slot) return;
  std::strcpy(slot->name, name);
  slot->kind = kind;
  slot->value = value;
  slot->used = true;
}

void ClearRegistryOverride(const char* name) noexcept {
  if (!name) return;
  std::lock_guard<std::mutex> lock(g_overrideMutex);
  for (Override& o : g_overrides)
    if (o.used && std::strcmp(o.name, name) == 0) o.used = false;
}

void ClearRegistryOverrides() noexcept {
  std::lock_guard<std::mutex> lock(g_overrideMutex);
  for (Override& o : g_overrides) o.used = false;
}

}  // namespace lyr::platform
