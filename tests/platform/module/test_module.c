/* A tiny module that the platform tests load at run time as "lyrtestmod.dll". */
__attribute__((visibility("default"))) int LyrTestModuleAnswer(void) { return 42; }
