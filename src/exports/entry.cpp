// The module entry of the shared library. Start-up does nothing of the library's own: the
// fast-function table fills itself on the first math call, and the Vek component is loaded by
// the first load or save that needs it.
#include "lyr/config.h"

#if defined(_WIN32)
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
