#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/alloc.h"
#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lyr::platform {

// ---- Mapping -----------------------------------------------------------------------------------

LyrResult MappedFile::Open(const char* path) noexcept {
  Close();
  if (!path) return ErrFileOpenFailed;
#if defined(_WIN32)
  return MapOpened(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_RANDOM_ACCESS, nullptr));
#else
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrFileOpenFailed;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > SIZE_MAX) {
    ::close(fd);
    return ErrFileOpenFailed;
  }
  if (st.st_size == 0) {
    ::close(fd);
    return Ok;
  }
  void* v = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (v == MAP_FAILED) return ErrFileOpenFailed;
  data_ = v;
  size_ = static_cast<size_t>(st.st_size);
  return Ok;
#endif
}

#if defined(_WIN32)
// Maps a file opened for reading (or INVALID_HANDLE_VALUE), taking ownership of the handle.
LyrResult MappedFile::MapOpened(void* handle) noexcept {
  HANDLE f = static_cast<HANDLE>(handle);
  if (f == INVALID_HANDLE_VALUE) return ErrFileOpenFailed;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(f, &size) || static_cast<uint64_t>(size.QuadPart) > SIZE_MAX) {
    CloseHandle(f);
    return ErrFileOpenFailed;
  }
  if (size.QuadPart == 0) {
    CloseHandle(f);
    return Ok;
  }
  HANDLE m = CreateFileMappingA(f, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!m) {
    CloseHandle(f);
    return ErrFileOpenFailed;
  }
  void* v = MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0);
  if (!v) {
    CloseHandle(m);
    CloseHandle(f);
    return ErrFileOpenFailed;
  }
  file_ = f;
  mapping_ = m;
  data_ = v;
  size_ = static_cast<size_t>(size.QuadPart);
  return Ok;
}
#endif

LyrResult MappedFile::OpenUtf16(const char16_t* path) noexcept {
  Close();
  if (!path) return ErrFileOpenFailed;
#if defined(_WIN32)
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  return MapOpened(CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS,
                               nullptr));
#else
  const size_t length = Utf8LengthOfUtf16(path);
  if (length == SIZE_MAX) return ErrFileOpenFailed;  // no file can have that name
  char local[1024];
  char* name = local;
  if (length >= sizeof local) {
    name = static_cast<char*>(Alloc(length + 1));
    if (!name) return ErrOutOfMemory;
  }
  const LyrResult r = Utf16ToUtf8(path, name, length + 1) ? Open(name) : ErrFileOpenFailed;
  if (name != local) Free(name);
  return r;
#endif
}

void MappedFile::Close() noexcept {
#if defined(_WIN32)
  if (data_) UnmapViewOfFile(data_);
  if (mapping_) CloseHandle(mapping_);
  if (file_) CloseHandle(file_);
  mapping_ = nullptr;
  file_ = nullptr;
#else
  if (data_) munmap(const_cast<void*>(data_), size_);
#endif
  data_ = nullptr;
  size_ = 0;
}

// ---- Whole files -----------------------------------------------------------------------------

LyrResult WriteWholeFile(const char* path, const void* data, size_t size) noexcept {
  if (!path || (size && !data)) return ErrInvalidCall;
#if defined(_WIN32)
  HANDLE f =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return ErrFileOpenFailed;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size), written = 0;
    if (!WriteFile(f, p, chunk, &written, nullptr) || written != chunk) {
      CloseHandle(f);
      return ErrFail;
    }
    p += chunk;
    size -= chunk;
  }
  CloseHandle(f);
  return Ok;
#else
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return ErrFileOpenFailed;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n <= 0) {
      ::close(fd);
      return ErrFail;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  if (::close(fd) != 0) return ErrFail;
  return Ok;
#endif
}

bool DeleteFile(const char* path) noexcept {
  if (!path) return false;
#if defined(_WIN32)
  return ::DeleteFileA(path) != 0;
#else
  return ::unlink(path) == 0;
#endif
}

bool FileSize(const char* path, uint64_t* size) noexcept {
  if (!path || !size) return false;
#if defined(_WIN32)
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &a)) return false;
  *size = (static_cast<uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  return true;
#else
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
#endif
}

bool TempDirectory(char* out, size_t capacity) noexcept {
  if (!out || capacity == 0) return false;
#if defined(_WIN32)
  DWORD n = GetTempPathA(static_cast<DWORD>(capacity), out);
  return n > 0 && n < capacity;
#else
  const char* dir = std::getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  size_t n = std::strlen(dir);
  bool slash = dir[n - 1] == '/';
  if (n + (slash ? 0 : 1) + 1 > capacity) return false;
  std::memcpy(out, dir, n);
  if (!slash) out[n++] = '/';
  out[n] = '\0';
  return true;
#endif
}

bool MakeTempFile(const char* dir, const char* prefix, char* out, size_t capacity) noexcept {
  if (!dir || !prefix || !out) return false;
#if defined(_WIN32)
  if (capacity < MAX_PATH) return false;
  return GetTempFileNameA(dir, prefix, 0, out) != 0;
#else
  size_t d = std::strlen(dir), p = std::strlen(prefix);
  bool slash = d > 0 && dir[d - 1] == '/';
  size_t need = d + (slash ? 0 : 1) + p + 6 + 1;
  if (need > capacity) return false;
  std::memcpy(out, dir, d);
  size_t n = d;
  if (!slash) out[n++] = '/';
  std::memcpy(out + n, prefix, p);
  n += p;
  std::memcpy(out + n, "XXXXXX", 7);
  int fd = mkstemp(out);
  if (fd < 0) return false;
  ::close(fd);
  return true;
#endif
}

// ---- Names -------------------------------------------------------------------------------------

namespace {
// Decodes one code point at in[*i], advancing *i; -1 for an unpaired surrogate.
int32_t NextCodePoint(const char16_t* in, size_t* i) {
  uint32_t c = in[*i];
  ++*i;
  if (c >= 0xD800 && c <= 0xDBFF) {
    uint32_t d = in[*i];
    if (d < 0xDC00 || d > 0xDFFF) return -1;
    ++*i;
    return static_cast<int32_t>(0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00));
  }
  if (c >= 0xDC00 && c <= 0xDFFF) return -1;
  return static_cast<int32_t>(c);
}
size_t Utf8Size(int32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}
}  // namespace

size_t Utf8LengthOfUtf16(const char16_t* in) noexcept {
  if (!in) return SIZE_MAX;
  size_t len = 0;
  for (size_t i = 0; in[i];) {
    int32_t cp = NextCodePoint(in, &i);
    if (cp < 0) return SIZE_MAX;
    len += Utf8Size(cp);
  }
  return len;
}

bool Utf16ToUtf8(const char16_t* in, char* out, size_t capacity) noexcept {
  size_t len = Utf8LengthOfUtf16(in);
  if (len == SIZE_MAX || !out || len + 1 > capacity) return false;
  size_t o = 0;
  for (size_t i = 0; in[i];) {
    uint32_t cp = static_cast<uint32_t>(NextCodePoint(in, &i));
    if (cp < 0x80) {
      out[o++] = static_cast<char>(cp);
    } else if (cp < 0x800) {
      out[o++] = static_cast<char>(0xC0 | (cp >> 6));
      out[o++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out[o++] = static_cast<char>(0xE0 | (cp >> 12));
      out[o++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[o++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out[o++] = static_cast<char>(0xF0 | (cp >> 18));
      out[o++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out[o++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[o++] = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  out[o] = '\0';
  return true;
}

}  // namespace lyr::platform
