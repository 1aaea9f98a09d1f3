// vemo-ctl on Windows: the console shows the UTF-8 that the tool prints (a redirected output
// gets the bytes as they are). A key file's access list is left to the user.
#include <windows.h>

#include <string>

void useUtf8Output() {
  SetConsoleOutputCP(CP_UTF8);
}

bool ownerOnly(const std::string&, std::string&) {
  return true;
}
