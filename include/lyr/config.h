// Build-wide macros shared by every public header: calling convention and export marking.
//
// Provided by: no library; types and constants only, shared by both libraries' interfaces.
#pragma once

#include <cstddef>
#include <cstdint>

// Calling convention of exported functions and of every interface operation. Hosts on 32-bit
// Windows expect the callee to clean the stack; everywhere else the platform default is used.
#if defined(_WIN32) && !defined(_WIN64)
#define LYR_CALL __stdcall
#else
#define LYR_CALL
#endif

// Marks one of the library's exported functions. Everything else in the shared library is hidden.
#if defined(_WIN32)
#if defined(LYR_BUILDING_LIBRARY)
#define LYR_API __declspec(dllexport)
#else
#define LYR_API __declspec(dllimport)
#endif
#else
#define LYR_API __attribute__((visibility("default")))
#endif

#define LYR_VERSION_MAJOR 0
#define LYR_VERSION_MINOR 1
#define LYR_VERSION_STRING "0.1.0"
