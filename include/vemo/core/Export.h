/// \file
/// Export macro and the few basic types shared by every public header.
#pragma once

#if defined(_WIN32)
#if defined(VEMO_CORE_BUILD)
#define VEMO_CORE_API __declspec(dllexport)
#else
#define VEMO_CORE_API __declspec(dllimport)
#endif
#define VEMO_CORE_LOCAL
#else
/// Marks a class or function that the library exports.
#define VEMO_CORE_API __attribute__((visibility("default")))
/// Marks a name that stays inside the library.
#define VEMO_CORE_LOCAL __attribute__((visibility("hidden")))
#endif

// The calling convention of the library's thread entries and clock on Windows.
#if defined(_WIN32)
#define VEMO_STDCALL __stdcall
#else
/// The calling convention of the library's thread entries and clock (nothing outside Windows).
#define VEMO_STDCALL
#endif

namespace vemo {

// 64-bit integers keep their Windows spelling on every platform (Windows compilers know
// `__int64` already). `long` is 64 bits wide on Linux and keeps overloads of its own beside these.
#if !defined(_WIN32)
using __int64 = long long;  ///< A signed 64-bit integer.
#endif
using __uint64 = unsigned long long;  ///< An unsigned 64-bit integer.

}  // namespace vemo
