// Muting the graphics platform's debug output around device calls that are expected to fail.
#include <mutex>

#include "math/fast_functions.h"
#include "platform/platform.h"

namespace lyr {
namespace {

// The platform's export: one int (1 = mute, 0 = unmute), the caller cleans the stack.
#if defined(_WIN32) && !defined(_WIN64)
using MuteProc = void(__cdecl*)(int);
#else
using MuteProc = void (*)(int);
#endif

struct DebugQuietState {
  const char* modules[2] = {"tsl9.dll", "tsl9d.dll"};
  MuteProc procs[2] = {nullptr, nullptr};
  int doNotMute = -1;  // -1 not read yet, 0 muting allowed, 1 never mute
};

constinit std::mutex g_quietMutex;
DebugQuietState g_quiet;

}  // namespace

void SetPlatformDebugQuiet(int mute) {
  MuteProc procs[2];
  {
    std::lock_guard<std::mutex> lock(g_quietMutex);
    // Only a platform library the process has already loaded is used; the extra reference taken
    // here is kept so that the entry point stays valid.
    if (!g_quiet.procs[0] && !g_quiet.procs[1]) {
      for (int i = 0; i < 2; ++i) {
        if (!platform::FindLoadedModule(g_quiet.modules[i])) continue;
        platform::ModuleHandle m = platform::LoadModule(g_quiet.modules[i]);
        if (m)
          g_quiet.procs[i] = reinterpret_cast<MuteProc>(platform::FindProcedure(m, "DebugSetMute"));
      }
    }
    if (g_quiet.doNotMute == -1) {
      uint32_t v = 0;
      g_quiet.doNotMute = platform::ReadRegistryDword("LyrDoNotMute", &v) && v != 0 ? 1 : 0;
    }
    if (g_quiet.doNotMute != 0) return;
    procs[0] = g_quiet.procs[0];
    procs[1] = g_quiet.procs[1];
  }
  for (MuteProc p : procs)
    if (p) p(mute);
}

namespace dispatch_test {
void ResetDebugQuiet(const char* firstModule, const char* secondModule) {
  std::lock_guard<std::mutex> lock(g_quietMutex);
  g_quiet = DebugQuietState();
  if (firstModule) g_quiet.modules[0] = firstModule;
  if (secondModule) g_quiet.modules[1] = secondModule;
}
}  // namespace dispatch_test

}  // namespace lyr
