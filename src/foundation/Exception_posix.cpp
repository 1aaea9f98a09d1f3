// System error texts on POSIX systems: the strerror text of an errno value.
#include <errno.h>
#include <string.h>

#include "vemo/core/Exception.h"
#include "vemo/core/StringHelper.h"

namespace vemo {

String getErrorString(unsigned long code) {
  if (code > 0x7FFFFFFF) return String();
  const int number = static_cast<int>(code);
  if (!strerrorname_np(number)) return String();  // a number the system does not know
  char buffer[256];
  const char* text = strerror_r(number, buffer, sizeof buffer);
  std::size_t length = strlen(text);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
    --length;
  String_T<char> utf8;
  utf8.setBuffer(text, static_cast<int>(length));
  return StringHelper::utf8ToWide(utf8);
}

String getLastErrorString() {
  return getErrorString(static_cast<unsigned long>(errno));
}

}  // namespace vemo
