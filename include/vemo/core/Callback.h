// Callbacks: a free function or an object's member function as a reference-counted callable
// with a printable identity, so that callables can be kept in lists, compared, found again and
// removed.
//
//   void onTick(unsigned int elapsed);
//   vemo::CallbackHandler<void, unsigned int> a(&onTick);
//   vemo::CallbackHandler<void, unsigned int> b(&widget, &Widget::onTick);
//   a(16);                       // calls onTick(16)
//   a == vemo::CallbackHandler<void, unsigned int>(&onTick);   // true: same identity
//
// The identity of a function is its address formatted with "%p"; that of an object and member
// function is "%p@%p", the object first. Two callables made separately from the same function
// (or the same object and member) are equal; callables of the two kinds never are.
#pragma once

#include <cstring>
#include <type_traits>

#include "vemo/core/String.h"
#include "vemo/core/Unknown.h"

namespace vemo {
namespace detail {

// The first pointer-sized word of a function or member-function pointer, printed as an address.
// Function pointers are not object pointers; a member-function pointer starts with the function's
// address (or its virtual-table slot), which tells the members of one class apart.
template <class Pointer>
const void* leadingWord(const Pointer& pointer) {
  const void* word = nullptr;
  std::memcpy(&word, &pointer, sizeof(word) < sizeof(pointer) ? sizeof(word) : sizeof(pointer));
  return word;
}

}  // namespace detail

// The callable: invoked with one A, returns an R.
template <class R, class A>
class CallbackBase : public virtual Unknown {
 public:
  virtual R operator()(A argument) = 0;
  // The text by which callables are compared.
  virtual String getIdentity() = 0;

 protected:
  CallbackBase() = default;
};

// A free function R (*)(A), whose identity is its address.
template <class R, class A, class F>
class CallbackFunction : public CallbackBase<R, A> {
 public:
  using Function = R (*)(F);

  explicit CallbackFunction(Function function) : _function(function) {}

  R operator()(A argument) override { return _function(argument); }
  String getIdentity() override {
    if (_identity.isEmpty()) _identity.format(L"%p", detail::leadingWord(_function));
    return _identity;
  }

 private:
  Function _function;
  String _identity;
};

// A member function of an object, R (T::*)(P), called on that object; the object is not owned.
template <class R, class A, class T, class P>
class CallbackClassReference : public CallbackBase<R, A> {
 public:
  using Member = R (T::*)(P);

  CallbackClassReference(T* object, Member member) : _object(object), _member(member) {}

  R operator()(A argument) override { return (_object->*_member)(argument); }
  String getIdentity() override {
    if (_identity.isEmpty())
      _identity.format(L"%p@%p", static_cast<const void*>(_object), detail::leadingWord(_member));
    return _identity;
  }

 private:
  String _identity;
  T* _object;
  Member _member;
};

// A shared callable, or null. Copies share the callable; comparisons go by identity text (the
// empty text for null), ordinal by character, a prefix being less.
template <class R, class A>
class CallbackHandler {
 public:
  CallbackHandler() = default;
  explicit CallbackHandler(CallbackBase<R, A>* callback) : _callback(callback) {}
  // From a free function.
  template <class F>
  CallbackHandler(R (*function)(F)) : _callback(new CallbackFunction<R, A, F>(function)) {}
  // From an object and one of its member functions.
  template <class T, class P>
  CallbackHandler(T* object, R (T::*member)(P))
      : _callback(new CallbackClassReference<R, A, T, P>(object, member)) {}

  R operator()(A argument) const { return (*_callback)(argument); }

  void setNull() { _callback = nullptr; }
  bool isNull() const { return _callback.isNull(); }
  CallbackBase<R, A>* get() const { return _callback.get(); }
  String getIdentity() const { return _callback ? _callback->getIdentity() : String(); }

  friend bool operator==(const CallbackHandler& a, const CallbackHandler& b) {
    return a._callback == b._callback || a.getIdentity() == b.getIdentity();
  }
  friend bool operator!=(const CallbackHandler& a, const CallbackHandler& b) { return !(a == b); }
  friend bool operator<(const CallbackHandler& a, const CallbackHandler& b) {
    return compare(a, b) < 0;
  }
  friend bool operator>(const CallbackHandler& a, const CallbackHandler& b) {
    return compare(a, b) > 0;
  }
  friend bool operator<=(const CallbackHandler& a, const CallbackHandler& b) {
    return compare(a, b) <= 0;
  }
  friend bool operator>=(const CallbackHandler& a, const CallbackHandler& b) {
    return compare(a, b) >= 0;
  }

 private:
  // Ordinal by code unit, a text that is a prefix of the other being less.
  static int compare(const CallbackHandler& a, const CallbackHandler& b) {
    if (a._callback == b._callback) return 0;
    return a.getIdentity().compare(b.getIdentity());
  }

  Unknown::Handle_T<CallbackBase<R, A>> _callback;
};

}  // namespace vemo
