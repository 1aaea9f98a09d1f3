// A module that CrashTest loads after the crash handler was installed, and crashes in: the
// report must name its functions although the handler never prepared it.
#if defined(_WIN32)
#define CRASH_MODULE_VISIBLE __declspec(dllexport)
#else
#define CRASH_MODULE_VISIBLE __attribute__((visibility("default")))
#endif

namespace crash_module {

volatile int* volatile g_target = nullptr;

CRASH_MODULE_VISIBLE void crashInside() {
  *g_target = 1;
}

}  // namespace crash_module

// Called through a volatile pointer, so that both functions keep frames of their own.
extern "C" CRASH_MODULE_VISIBLE int crashModuleRun() {
  void (*volatile crash)() = crash_module::crashInside;
  crash();
  return 1;
}
