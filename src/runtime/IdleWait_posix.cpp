// The idle wait on POSIX systems: the system's semaphore, registered as the thread's sleeping
// semaphore so that a message posted to the thread signals it.
#include "IdleWait.h"
#include "ThreadMessageQueue.h"

namespace vemo {
namespace detail {
namespace {

class SemaphoreIdleEvent final : public IdleEvent {
 public:
  explicit SemaphoreIdleEvent(Semaphore* semaphore) : _semaphore(semaphore) {}
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

Unknown::Handle_T<IdleEvent> createIdleEvent(Semaphore* semaphore) {
  return Unknown::Handle_T<IdleEvent>(new SemaphoreIdleEvent(semaphore));
}

}  // namespace detail
}  // namespace vemo
