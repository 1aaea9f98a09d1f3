// Low-level input hooks on Windows. The three hook functions are looked up in user32.dll when
// the library loads, so that the library itself does not import user32; without them the hooks
// are not offered.
#include <windows.h>

#include "Library.h"
#include "vemo/core/InputHook.h"

namespace vemo {
namespace {

using SetWindowsHookExFunction = HHOOK(WINAPI*)(int, HOOKPROC, HINSTANCE, DWORD);
using UnhookWindowsHookExFunction = BOOL(WINAPI*)(HHOOK);
using CallNextHookExFunction = LRESULT(WINAPI*)(HHOOK, int, WPARAM, LPARAM);

HMODULE g_user32 = nullptr;
SetWindowsHookExFunction g_setWindowsHookEx = nullptr;
UnhookWindowsHookExFunction g_unhookWindowsHookEx = nullptr;
CallNextHookExFunction g_callNextHookEx = nullptr;
HHOOK g_keyboardHook = nullptr;
HHOOK g_mouseHook = nullptr;

// Software-made events are swallowed; the flags are read whatever the hook code is.
LRESULT CALLBACK keyboardHookProcedure(int code, WPARAM wParam, LPARAM lParam) {
  const auto* event = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
  if (event->flags & LLKHF_INJECTED) return 1;
  return g_callNextHookEx ? g_callNextHookEx(g_keyboardHook, code, wParam, lParam) : 0;
}

LRESULT CALLBACK mouseHookProcedure(int code, WPARAM wParam, LPARAM lParam) {
  const auto* event = reinterpret_cast<const MSLLHOOKSTRUCT*>(lParam);
  if (event->flags & LLMHF_INJECTED) return 1;
  return g_callNextHookEx ? g_callNextHookEx(g_mouseHook, code, wParam, lParam) : 0;
}

void clearFunctions() {
  g_setWindowsHookEx = nullptr;
  g_unhookWindowsHookEx = nullptr;
  g_callNextHookEx = nullptr;
}

// Looks the functions up at load and lets user32.dll go at exit.
struct HookFunctions {
  HookFunctions() {
    g_user32 = LoadLibraryW(L"user32.dll");
    if (!g_user32) return;
    detail::lookUpProcedure(g_user32, "SetWindowsHookExW", g_setWindowsHookEx);
    detail::lookUpProcedure(g_user32, "UnhookWindowsHookEx", g_unhookWindowsHookEx);
    detail::lookUpProcedure(g_user32, "CallNextHookEx", g_callNextHookEx);
    if (!g_setWindowsHookEx || !g_unhookWindowsHookEx || !g_callNextHookEx) {
      clearFunctions();
      FreeLibrary(g_user32);
      g_user32 = nullptr;
    }
  }
  ~HookFunctions() {
    if (!g_user32) return;
    FreeLibrary(g_user32);
    g_user32 = nullptr;
    clearFunctions();
  }
  HookFunctions(const HookFunctions&) = delete;
  HookFunctions& operator=(const HookFunctions&) = delete;
} g_hookFunctions;

}  // namespace

bool setUpWindowsHook() {
  if (!g_setWindowsHookEx) return true;
  const HINSTANCE module = static_cast<HINSTANCE>(detail::libraryModule());
  if (!g_keyboardHook)
    g_keyboardHook = g_setWindowsHookEx(WH_KEYBOARD_LL, keyboardHookProcedure, module, 0);
  if (!g_mouseHook) g_mouseHook = g_setWindowsHookEx(WH_MOUSE_LL, mouseHookProcedure, module, 0);
  return true;
}

void tearDownWindowsHook() {
  if (!g_unhookWindowsHookEx) return;
  if (g_keyboardHook) {
    g_unhookWindowsHookEx(g_keyboardHook);
    g_keyboardHook = nullptr;
  }
  if (g_mouseHook) {
    g_unhookWindowsHookEx(g_mouseHook);
    g_mouseHook = nullptr;
  }
}

}  // namespace vemo
