// A process-wide object made by its first user and freed when the library unloads; after that
// it reads as null, so late callers (other modules unloading) find nothing instead of a freed
// object.
#pragma once

#include <atomic>

namespace vemo {
namespace detail {

// It holds nothing but an atomic pointer, so that it is initialised as a constant before any
// code runs: a load-time initialiser of another source file may make it first, whatever order
// the platform runs the files' initialisers in. (A std::mutex member would make it dynamically
// initialised on platforms whose mutex has no constant initialiser, e.g. MinGW's, and that late
// initialisation would forget an object made before it.)
template <class T>
class LazyGlobal {
 public:
  constexpr LazyGlobal() noexcept = default;
  LazyGlobal(const LazyGlobal&) = delete;
  LazyGlobal& operator=(const LazyGlobal&) = delete;
  ~LazyGlobal() { delete _object.exchange(nullptr); }

  // The object, or null before the first make() and after unloading.
  T* get() const noexcept { return _object.load(std::memory_order_acquire); }
  // The object, made now if there is none yet. Threads that race here may each make one; the
  // first stored is kept and the others are deleted unused.
  T* make() {
    if (T* existing = get()) return existing;
    T* made = new T;
    T* expected = nullptr;
    if (_object.compare_exchange_strong(expected, made, std::memory_order_acq_rel,
                                        std::memory_order_acquire))
      return made;
    delete made;
    return expected;
  }

 private:
  std::atomic<T*> _object{nullptr};
};

}  // namespace detail
}  // namespace vemo
