/* Stand-in for a graphics platform library: records the calls of its debug-mute export. Built
   twice, as "lyrmute1.dll" and "lyrmute2.dll". */
static int g_calls;
static int g_last = -1;
__attribute__((visibility("default"))) void DebugSetMute(int mute) {
  ++g_calls;
  g_last = mute;
}
__attribute__((visibility("default"))) int MuteTestCalls(void) { return g_calls; }
__attribute__((visibility("default"))) int MuteTestLast(void) { return g_last; }
