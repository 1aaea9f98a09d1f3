// Must compile without warnings under -Wall -Wextra -Wpedantic: a reflectable class without
// members, a log listener that overrides only what it counts, and make.
#include <atomic>

#include "vemo/core/Log.h"
#include "vemo/core/Message.h"

namespace demo {

class Ping : public vemo::Message {
  VEMO_DECLARE_PROPERTY(Ping, vemo::Message)

 protected:
  Ping() = default;
};
VEMO_IMPLEMENT_PROPERTY(Ping)

struct Errors : vemo::LogListener {
  std::atomic<int> count{0};
  void error(const wchar_t*) override { ++count; }
};

struct Counter : vemo::Unknown {
  explicit Counter(int first) : value(first) {}
  int value;
};

}  // namespace demo

int use() {
  demo::Errors errors;
  vemo::Log::addListener(&errors);
  vemo::Log::error(L"counted");
  vemo::Log::removeListener(&errors);
  const vemo::Handle<demo::Counter> counter = vemo::make<demo::Counter>(errors.count.load());
  return counter->value + static_cast<int>(demo::Ping::createInstance()->getClassId() != 0);
}
