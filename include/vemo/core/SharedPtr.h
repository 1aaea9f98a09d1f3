/// \file
/// SharedPtr: shared ownership of an object that is not an Unknown (a Mutex, a list ...).
///
/// The pointer travels with a handle to a small reference-counted holder; when the last copy
/// lets go, the holder deletes the object.
#pragma once

#include <utility>

#include "vemo/core/Unknown.h"

namespace vemo {

/// An owning pointer shared by its copies: the object is deleted with the last one. The count
/// changes atomically, so copies may live on different threads.
template <class T>
class SharedPtr {
 public:
  /// The holder of the shared object.
  template <class U>
  class Reference : public Unknown {
   public:
    /// Owns `object`.
    explicit Reference(U* object) : _object(object) {}
    ~Reference() override { delete _object; }

   private:
    U* _object;
  };

  /// An empty pointer.
  SharedPtr() noexcept : _object(nullptr) {}
  /// Takes ownership of a new object.
  explicit SharedPtr(T* object)
      : _object(object), _reference(object ? new Reference<T>(object) : nullptr) {}
  ///@{
  /// Shares the other's object.
  SharedPtr(const SharedPtr&) = default;
  SharedPtr& operator=(const SharedPtr&) = default;
  ///@}
  ///@{
  /// A moved-from SharedPtr is empty.
  SharedPtr(SharedPtr&& other) noexcept
      : _object(other._object), _reference(std::move(other._reference)) {
    other._object = nullptr;
  }
  SharedPtr& operator=(SharedPtr&& other) noexcept {
    if (this != &other) {
      _reference = std::move(other._reference);
      _object = other._object;
      other._object = nullptr;
    }
    return *this;
  }
  ///@}

  /// The object, or null.
  T* get() const noexcept { return _object; }
  ///@{
  /// The object, which must not be null.
  T* operator->() const noexcept { return _object; }
  T& operator*() const noexcept { return *_object; }
  ///@}
  /// True when the pointer holds an object.
  explicit operator bool() const noexcept { return _object != nullptr; }
  /// How many SharedPtr share the object (0 for an empty one).
  unsigned int useCount() const noexcept {
    return _reference ? _reference->getReferenceCount() : 0;
  }

 private:
  T* _object;
  Unknown::Handle_T<Reference<T>> _reference;
};

}  // namespace vemo
