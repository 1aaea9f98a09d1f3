// The idle wait on POSIX systems: a semaphore of its own (the system's belongs to
// System::sleep and waken, whose wake-ups it must not take), registered as the thread's
// sleeping semaphore so that a message posted to the thread signals it.
#include "IdleWait.h"
#include "ThreadMessageQueue.h"

namespace vemo {
namespace detail {
namespace {

class SemaphoreIdleEvent final : public IdleEvent {
 public:
  SemaphoreIdleEvent() : _semaphore(Semaphore::createInstance()) {}
  void signal() override { _semaphore->signal(); }
  void wait(unsigned int ms) override {
    setSleepingSemaphore(_semaphore);
    // A message posted before the registration found no sleeper to wake.
    if (!hasThreadMessage()) _semaphore->wait(ms, true);
    setSleepingSemaphore(nullptr);
  }

 private:
  const Handle_T<Semaphore> _semaphore;
};

}  // namespace

Unknown::Handle_T<IdleEvent> createIdleEvent() {
  return Unknown::Handle_T<IdleEvent>(new SemaphoreIdleEvent());
}

}  // namespace detail
}  // namespace vemo
