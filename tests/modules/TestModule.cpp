// A tiny loadable module for DllModuleTest: one exported function and one exported variable.
#if defined(_WIN32)
#define TEST_MODULE_VISIBLE __declspec(dllexport)
#else
#define TEST_MODULE_VISIBLE __attribute__((visibility("default")))
#endif
#define TEST_MODULE_EXPORT extern "C" TEST_MODULE_VISIBLE

TEST_MODULE_EXPORT int testModuleAnswer() {
  return 42;
}

extern "C" {
TEST_MODULE_VISIBLE int testModuleCounter = 7;
}
