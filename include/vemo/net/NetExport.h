/// \file
/// Export macro of vemo_net.
#pragma once

#if defined(_WIN32)
#if defined(VEMO_NET_BUILD)
#define VEMO_NET_API __declspec(dllexport)
#else
#define VEMO_NET_API __declspec(dllimport)
#endif
#else
/// Marks a class or function that vemo_net exports.
#define VEMO_NET_API __attribute__((visibility("default")))
#endif
