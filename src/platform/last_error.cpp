#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace lyr::platform {

#if defined(_WIN32)
uint32_t GetLastError() noexcept { return ::GetLastError(); }
void SetLastError(uint32_t e) noexcept { ::SetLastError(e); }
#else
namespace {
thread_local uint32_t t_lastError = 0;
}
uint32_t GetLastError() noexcept { return t_lastError; }
void SetLastError(uint32_t e) noexcept { t_lastError = e; }
#endif

LyrResult LastErrorResult() noexcept {
  return ResultFromSystemError(static_cast<int32_t>(GetLastError()));
}

}  // namespace lyr::platform
