// Threads on Windows: _beginthreadex and the kernel's thread handles.
#include <windows.h>

#include <process.h>

#include "ThreadHandle.h"
#include "vemo/core/Thread.h"

namespace vemo {
namespace detail {

void* beginThread(ThreadEntry entry, void* param) {
  return reinterpret_cast<void*>(_beginthreadex(nullptr, 0, entry, param, 0, nullptr));
}

// The running thread closes its own handle when it ends: a waiter waits on a handle of its own.
void* duplicateThreadHandle(void* handle) {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), static_cast<HANDLE>(handle), GetCurrentProcess(),
                       &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return nullptr;
  return duplicate;
}

void waitForThread(void* handle) {
  if (GetThreadId(static_cast<HANDLE>(handle)) == GetCurrentThreadId()) return;
  WaitForSingleObject(static_cast<HANDLE>(handle), INFINITE);
}

void closeThreadHandle(void* handle) {
  if (handle) CloseHandle(static_cast<HANDLE>(handle));
}

void setCurrentThreadName(const String& name) {
  // Windows 10 1607 and later; looked up once, since older systems lack it.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const SetDescription setDescription = [] {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<SetDescription>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")))
                  : nullptr;
  }();
  if (setDescription) setDescription(GetCurrentThread(), name.getBuffer() ? name.getBuffer() : L"");
}

}  // namespace detail

unsigned long Thread::getCurrentThreadId() {
  return ::GetCurrentThreadId();
}

}  // namespace vemo
