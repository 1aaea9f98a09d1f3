// vemo-ctl on Windows: the console shows the UTF-8 that the tool prints (a redirected output
// gets the bytes as they are).
#include <windows.h>

void useUtf8Output() {
  SetConsoleOutputCP(CP_UTF8);
}
