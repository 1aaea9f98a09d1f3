/// \file
/// Callbacks: a free function or an object's member function as a reference-counted callable
/// with a printable identity, so that callables can be kept in lists, compared, found again and
/// removed.
///
/// \code
/// void onTick(unsigned int elapsed);
/// vemo::CallbackHandler<void, unsigned int> a(&onTick);
/// vemo::CallbackHandler<void, unsigned int> b(&widget, &Widget::onTick);
/// a(16);                       // calls onTick(16)
/// a == vemo::CallbackHandler<void, unsigned int>(&onTick);   // true: same identity
/// \endcode
///
/// The identity of a function is its address formatted with "%p"; that of an object and member
/// function is "%p@%p", the object first. Two callables made separately from the same function
/// (or the same object and member) are equal; callables of the two kinds never are. A callable
/// makes its identity when it is made and never changes it, so copies of one handler may be
/// compared on several threads at once. A handler made from a null function (or a null object
/// or member) is null.
///
/// Any other callable (a lambda, with or without captures, a std::function, a function object)
/// becomes a callable of its own whose identity is a number drawn when it is made, printed as
/// "#" and the number: copies of that handler share it and are equal, a second handler made from
/// the same lambda is not. Keep the handler to remove it again:
///
/// \code
/// vemo::CallbackHandler<void, unsigned int> c([this](unsigned int ms) { _elapsed += ms; });
/// tick->addTickHandler(c);
/// ...
/// tick->removeTickHandler(c);
/// \endcode
#pragma once

#include <cstring>
#include <functional>
#include <type_traits>
#include <utility>

#include "vemo/core/Export.h"
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

// "#" and a number that no other callable object of the process has (one counter for the
// library and every module using it): the identity of a callable object.
VEMO_CORE_API String nextCallableIdentity();

}  // namespace detail

/// The callable: invoked with one A, returns an R.
template <class R, class A>
class CallbackBase : public virtual Unknown {
 public:
  /// Calls the callable with `argument`.
  virtual R operator()(A argument) = 0;
  /// The text by which callables are compared.
  virtual String getIdentity() = 0;

 protected:
  CallbackBase() = default;
};

/// A free function R (*)(A), whose identity is its address.
template <class R, class A, class F>
class CallbackFunction : public CallbackBase<R, A> {
 public:
  using Function = R (*)(F);  ///< The function's type.

  /// The callable of `function` (not null).
  explicit CallbackFunction(Function function)
      : _function(function), _identity(identify(function)) {}

  R operator()(A argument) override { return _function(argument); }
  String getIdentity() override { return _identity; }

 private:
  static String identify(Function function) {
    String text;
    text.format(L"%p", detail::leadingWord(function));
    return text;
  }

  const Function _function;
  const String _identity;
};

/// A member function of an object, R (T::*)(P), called on that object; the object is not owned.
template <class R, class A, class T, class P>
class CallbackClassReference : public CallbackBase<R, A> {
 public:
  using Member = R (T::*)(P);  ///< The member function's type.

  /// The callable of `member` on `object` (neither null); the object must outlive it.
  CallbackClassReference(T* object, Member member)
      : _identity(identify(object, member)), _object(object), _member(member) {}

  R operator()(A argument) override { return (_object->*_member)(argument); }
  String getIdentity() override { return _identity; }

 private:
  static String identify(T* object, Member member) {
    String text;
    text.format(L"%p@%p", static_cast<const void*>(object), detail::leadingWord(member));
    return text;
  }

  const String _identity;
  T* const _object;
  const Member _member;
};

/// Any other callable object, kept by value; its identity is "#" and a number drawn when it is
/// made.
template <class R, class A, class F>
class CallbackFunctor : public CallbackBase<R, A> {
 public:
  /// Keeps a copy of `callable` (moved in when it is an rvalue).
  template <class G>
  explicit CallbackFunctor(G&& callable)
      : _callable(std::forward<G>(callable)), _identity(detail::nextCallableIdentity()) {}

  R operator()(A argument) override { return static_cast<R>(_callable(std::forward<A>(argument))); }
  String getIdentity() override { return _identity; }

 private:
  F _callable;
  const String _identity;
};

namespace detail {
// A callable that CallbackHandler takes by value: anything invocable with A giving something
// convertible to R, other than the pointers and handlers it has constructors of its own for.
template <class R, class A, class F, class Self>
using IfCallableObject = std::enable_if_t<!std::is_same<std::decay_t<F>, Self>::value &&
                                          !std::is_pointer<std::decay_t<F>>::value &&
                                          !std::is_member_pointer<std::decay_t<F>>::value &&
                                          !std::is_same<std::decay_t<F>, std::nullptr_t>::value &&
                                          std::is_invocable_r<R, std::decay_t<F>&, A>::value>;

template <class F>
bool isEmptyCallable(const F&) {
  return false;
}
template <class Signature>
bool isEmptyCallable(const std::function<Signature>& function) {
  return !function;
}
}  // namespace detail

/// A shared callable, or null. Copies share the callable; comparisons go by identity text (the
/// empty text for null), ordinal by character, a prefix being less.
template <class R, class A>
class CallbackHandler {
 public:
  /// A null handler.
  CallbackHandler() = default;
  /// Shares `callback` (null gives a null handler).
  explicit CallbackHandler(CallbackBase<R, A>* callback) : _callback(callback) {}
  /// From a free function; null when the function is.
  template <class F>
  CallbackHandler(R (*function)(F))
      : _callback(function ? new CallbackFunction<R, A, F>(function) : nullptr) {}
  /// From an object and one of its member functions; null when either is.
  template <class T, class P>
  CallbackHandler(T* object, R (T::*member)(P))
      : _callback(object && member ? new CallbackClassReference<R, A, T, P>(object, member)
                                   : nullptr) {}

  /// From any other callable (a lambda, a std::function, a function object), copied or moved in;
  /// an empty std::function gives a null handler.
  template <class F, class = detail::IfCallableObject<R, A, F, CallbackHandler>>
  CallbackHandler(F&& callable)
      : _callback(detail::isEmptyCallable(callable)
                      ? nullptr
                      : new CallbackFunctor<R, A, std::decay_t<F>>(std::forward<F>(callable))) {}

  /// Calls the callable; the handler must not be null.
  R operator()(A argument) const { return (*_callback)(std::forward<A>(argument)); }

  /// Lets go of the callable: null afterwards.
  void setNull() { _callback = nullptr; }
  /// True without a callable.
  bool isNull() const { return _callback.isNull(); }
  /// The callable, or null.
  CallbackBase<R, A>* get() const { return _callback.get(); }
  /// The callable's identity text; empty for null.
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
