// DllModule: loading a module built beside this program, calling into it, the log lines for a
// missing file and a missing procedure (against the system's own error texts), and unloading.
#include <gtest/gtest.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <string>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/DllModule.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Process.h"
#include "vemo/core/StringHelper.h"

using namespace vemo;
using Lines = std::vector<std::wstring>;

namespace {

// The module's path: built into this program's directory.
String modulePath() {
  String path = getAppPath() + StringHelper::utf8ToWide(VEMO_TEST_MODULE_NAME);
#if defined(_WIN32)
  path.replace(L'/', L'\\');
#endif
  return path;
}

// The system's own texts for the failures, asked for directly.
#if defined(_WIN32)
std::wstring loadError(const String& file) {
  HMODULE module = LoadLibraryW(file.getBuffer());
  EXPECT_EQ(module, nullptr);
  return getLastErrorString().getBuffer();
}
std::wstring symbolError(const String& file, const char* name) {
  HMODULE module = LoadLibraryW(file.getBuffer());
  EXPECT_EQ(GetProcAddress(module, name), nullptr);
  const std::wstring text = getLastErrorString().getBuffer();
  FreeLibrary(module);
  return text;
}
bool isLoaded(const String& file) {
  return GetModuleHandleW(file.getBuffer()) != nullptr;
}
#else
std::wstring dlText() {
  return StringHelper::utf8ToWide(dlerror()).getBuffer();
}
std::wstring loadError(const String& file) {
  EXPECT_EQ(dlopen(StringHelper::wideToUtf8(file).getBuffer(), RTLD_NOW), nullptr);
  return dlText();
}
std::wstring symbolError(const String& file, const char* name) {
  void* module = dlopen(StringHelper::wideToUtf8(file).getBuffer(), RTLD_NOW);
  EXPECT_EQ(dlsym(module, name), nullptr);
  const std::wstring text = dlText();
  dlclose(module);
  return text;
}
bool isLoaded(const String& file) {
  void* module = dlopen(StringHelper::wideToUtf8(file).getBuffer(), RTLD_NOW | RTLD_NOLOAD);
  if (module) dlclose(module);
  return module != nullptr;
}
#endif

}  // namespace

TEST(DllModule, LoadCallFailuresAndUnload) {
  const String path = modulePath();
  tests::LogCapture log;
  auto module = DllModule::createInstance();
  EXPECT_STREQ(module->getClassName().getBuffer(), L"DllModule");
  EXPECT_EQ(module->getProcAddress(L"testModuleAnswer"), nullptr);  // nothing loaded: no word
  EXPECT_EQ(log.lines, Lines{});
  EXPECT_FALSE(isLoaded(path));

  ASSERT_TRUE(module->load(path)) << (log.lines.empty() ? L"" : log.lines[0]);
  EXPECT_STREQ(module->getFileName().getBuffer(), path.getBuffer());
  EXPECT_TRUE(isLoaded(path));
  auto answer = reinterpret_cast<int (*)()>(module->getProcAddress(L"testModuleAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  auto* counter = static_cast<int*>(module->getProcAddress(L"testModuleCounter"));
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(*counter, 7);
  EXPECT_EQ(log.lines, Lines{});

  EXPECT_EQ(module->getProcAddress(L"testModuleMissing"), nullptr);
  EXPECT_EQ(module->getProcAddress(L"testModule\u00C4"), nullptr);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0],
            L"error: The procedure entry point testModuleMissing could not be located in the "
            L"dynamic link library " +
                std::wstring(path.getBuffer()) + L". " + symbolError(path, "testModuleMissing"));
  EXPECT_EQ(log.lines[1],
            L"error: The procedure entry point testModule\u00C4 could not be located in the "
            L"dynamic link library " +
                std::wstring(path.getBuffer()) + L". " + symbolError(path, "testModule\xC3\x84"));

  // A failed load keeps what was loaded.
  const String missing = getAppPath() + L"no-such-module.bin";
  log.lines.clear();
  EXPECT_FALSE(module->load(missing));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], L"error: Unable to load " + std::wstring(missing.getBuffer()) + L".  " +
                              loadError(missing));
  EXPECT_STREQ(module->getFileName().getBuffer(), path.getBuffer());
  EXPECT_EQ(reinterpret_cast<int (*)()>(module->getProcAddress(L"testModuleAnswer"))(), 42);

  module->unload();
  EXPECT_STREQ(module->getFileName().getBuffer(), L"");
  EXPECT_FALSE(isLoaded(path));
  log.lines.clear();
  EXPECT_EQ(module->getProcAddress(L"testModuleAnswer"), nullptr);
  module->unload();  // twice: nothing
  EXPECT_EQ(log.lines, Lines{});

  // A fresh module that fails to load has nothing; loading again replaces the module, holding
  // it once; the last handle frees it.
  module = DllModule::createInstance();
  EXPECT_FALSE(module->load(String()));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].rfind(L"error: Unable to load .  ", 0), 0u) << log.lines[0];
  EXPECT_STREQ(module->getFileName().getBuffer(), L"");
  EXPECT_EQ(module->getProcAddress(L"testModuleAnswer"), nullptr);
  ASSERT_TRUE(module->load(path));
  ASSERT_TRUE(module->load(path));
  EXPECT_TRUE(isLoaded(path));
  module = nullptr;
  EXPECT_FALSE(isLoaded(path));
}
