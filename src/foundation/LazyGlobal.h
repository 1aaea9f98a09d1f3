// A process-wide object made by its first user and freed when the library unloads; after that
// it reads as null, so late callers (other modules unloading) find nothing instead of a freed
// object.
#pragma once

#include <atomic>
#include <mutex>

namespace vemo {
namespace detail {

template <class T>
class LazyGlobal {
 public:
  constexpr LazyGlobal() noexcept = default;
  LazyGlobal(const LazyGlobal&) = delete;
  LazyGlobal& operator=(const LazyGlobal&) = delete;
  ~LazyGlobal() { delete _object.exchange(nullptr); }

  // The object, or null before the first make() and after unloading.
  T* get() const noexcept { return _object.load(std::memory_order_acquire); }
  // The object, made now if there is none yet.
  T* make() {
    if (T* existing = get()) return existing;
    std::lock_guard<std::mutex> creation(_creation);
    if (T* existing = get()) return existing;
    T* made = new T;
    _object.store(made, std::memory_order_release);
    return made;
  }

 private:
  std::atomic<T*> _object{nullptr};
  std::mutex _creation;
};

}  // namespace detail
}  // namespace vemo
