// Process helpers on Windows: the module file name, the current directory calls, and
// directory listings from FindFirstFileW/FindNextFileW with their attribute bits.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Process.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"

namespace vemo {
namespace detail {
namespace {

unsigned entryKinds(DWORD attributes) {
  unsigned kinds = 0;
  if (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY))
    kinds |= kEntryHidden;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    kinds |= kEntryDirectory;
  else if (attributes & FILE_ATTRIBUTE_ARCHIVE)
    kinds |= kEntryFile;
  return kinds;
}

}  // namespace

void enumerateDirectory(const String& directory, DirectoryVisitor& visitor) {
  const String pattern = directory + L"*";
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(pattern.getBuffer(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!visitor.visit(entry.cFileName, entryKinds(entry.dwFileAttributes))) break;
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

void makeDirectory(const String& path) {
  CreateDirectoryW(path.getBuffer(), nullptr);
}

}  // namespace detail

std::vector<String> getProgramArguments(int argc, char** argv) {
  std::vector<String> arguments;
  wchar_t** wide = nullptr;
  int count = 0;
  parseArguments(GetCommandLineW(), wide, count);
  if (wide && count == argc) {
    for (int i = 0; i < count; ++i)
      arguments.emplace_back(wide[i]);
  } else {
    for (int i = 0; i < argc && argv && argv[i]; ++i) {
      const int size = MultiByteToWideChar(CP_ACP, 0, argv[i], -1, nullptr, 0);
      std::wstring text(size > 0 ? static_cast<std::size_t>(size) : 1, L'\0');
      if (size > 0) MultiByteToWideChar(CP_ACP, 0, argv[i], -1, &text[0], size);
      text.resize(text.size() - 1);
      arguments.emplace_back(text.c_str());
    }
  }
  std::free(wide);
  return arguments;
}

String getAppName() {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (length == 0) return String();
  String name(buffer, static_cast<int>(length < MAX_PATH ? length : MAX_PATH - 1));
  name.replace(L'\\', L'/');
  // A network path keeps its leading pair of backslashes.
  if (name[0] == L'/' && name[1] == L'/') {
    name.erase(0, 2);
    name.insert(0, L"\\\\");
  }
  return name;
}

String getCurrentDirectory() {
  std::vector<wchar_t> buffer(1024);
  DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length >= buffer.size()) {
    // Longer than the usual buffer: the call told the size it needs.
    buffer.resize(length);
    length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length >= buffer.size()) length = 0;
  }
  if (length == 0) {
    Log::error(L"GetCurrentDirectory : %s", getLastErrorString().getBuffer());
    return String();
  }
  return String(buffer.data(), static_cast<int>(length));
}

bool setCurrentDirectory(const wchar_t* directory) {
  if (SetCurrentDirectoryW(directory)) return true;
  Log::error(L"SetCurrentDirectory : %s", getLastErrorString().getBuffer());
  return false;
}

}  // namespace vemo
