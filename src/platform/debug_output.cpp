#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace lyr::platform {
namespace {
std::mutex g_sinkMutex;
DebugSink g_sink = nullptr;
void* g_sinkContext = nullptr;

bool StderrEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("LYR_DEBUG_OUTPUT");
    return v && std::strcmp(v, "1") == 0;
  }();
  return enabled;
}
}  // namespace

void DebugOutput(const char* text) noexcept {
  if (!text) return;
  DebugSink sink;
  void* context;
  {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    sink = g_sink;
    context = g_sinkContext;
  }
  if (sink) {
    sink(text, context);
    return;
  }
  if (StderrEnabled()) {
    std::fputs(text, stderr);
#if defined(_WIN32)
    OutputDebugStringA(text);
#endif
  }
}

void SetDebugSink(DebugSink sink, void* context) noexcept {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_sink = sink;
  g_sinkContext = context;
}

}  // namespace lyr::platform
