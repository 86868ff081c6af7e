#include <clocale>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

#if !defined(_WIN32)
#include <locale.h>
#endif

namespace lyr::platform {

#if defined(_WIN32)
// Windows: make the locale per-thread for this thread, then set LC_NUMERIC to "C" there.
ScopedCLocale::ScopedCLocale() noexcept {
  mode_ = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
  const char* cur = std::setlocale(LC_NUMERIC, nullptr);
  if (cur) {
    size_t n = std::strlen(cur) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy) std::memcpy(copy, cur, n);
    saved_ = copy;
  }
  std::setlocale(LC_NUMERIC, "C");
}
ScopedCLocale::~ScopedCLocale() {
  if (saved_) {
    std::setlocale(LC_NUMERIC, static_cast<const char*>(saved_));
    std::free(saved_);
  }
  if (mode_ != -1) _configthreadlocale(mode_);
}
#else
namespace {
// One "C" numeric locale object for the process, made on first use and never freed.
locale_t CNumericLocale() {
  static locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}
}  // namespace

ScopedCLocale::ScopedCLocale() noexcept {
  locale_t c = CNumericLocale();
  if (c) {
    saved_ = static_cast<void*>(uselocale(c));
    mode_ = 1;
  }
}
ScopedCLocale::~ScopedCLocale() {
  if (mode_ == 1) uselocale(static_cast<locale_t>(saved_));
}
#endif

}  // namespace lyr::platform
