#include "vemo/core/Callback.h"

#include <atomic>

namespace vemo {
namespace detail {

String nextCallableIdentity() {
  static std::atomic<unsigned long long> last{0};
  unsigned long long id = last.fetch_add(1, std::memory_order_relaxed) + 1;
  wchar_t text[24];
  wchar_t* first = text + 23;
  *first = L'\0';
  do {
    *--first = static_cast<wchar_t>(L'0' + id % 10);
    id /= 10;
  } while (id != 0);
  *--first = L'#';
  return String(first);
}

}  // namespace detail
}  // namespace vemo
