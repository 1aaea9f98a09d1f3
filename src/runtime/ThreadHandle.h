// The platform's threads behind Thread (Thread_posix.cpp, Thread_win32.cpp). A handle stands for
// one thread and stays valid, even after the thread has ended, until it is closed.
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {
namespace detail {

using ThreadEntry = unsigned int(VEMO_STDCALL*)(void* param);

// Starts `entry(param)` on a new thread with the default stack; null when it could not be made.
void* beginThread(ThreadEntry entry, void* param);
// Another handle of the same thread, for a waiter that does not own the first.
void* duplicateThreadHandle(void* handle);
// Waits until the thread has ended; returns at once when called on that thread itself.
void waitForThread(void* handle);
void closeThreadHandle(void* handle);
// Names the calling thread, as far as the platform can.
void setCurrentThreadName(const String& name);

}  // namespace detail
}  // namespace vemo
