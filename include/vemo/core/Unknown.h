/// \file
/// Unknown: the root of every framework object, its handle and the process-wide class registry.
///
/// Objects are reference-counted from the inside: an object is born with count 0, handed to a
/// Handle_T (count 1) and destroyed when the last handle lets go. Every registrable class has a
/// short name and a 32-bit class id computed from it (ClassType::computeId); the registry
/// creates objects from either, which is how objects are read back from bytes.
///
/// A registrable class declares itself with two macros:
///
/// \code
/// // Widget.h
/// class Widget : public virtual vemo::Unknown {
///   VEMO_DECLARE_CLASS(Widget)
///  protected:
///   Widget() = default;
///   explicit Widget(int size);
/// };
///
/// // Widget.cpp
/// VEMO_IMPLEMENT_CLASS(Widget)
/// \endcode
///
/// which give it its name and id statics, the virtual identity operations, a creator registered
/// when the module loads (and unregistered when it unloads) and
/// `static Handle_T<Widget> createInstance(args...)`.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

class InputStream;
class OutputStream;

/// The root of every framework object: an intrusive reference count, the class's identity
/// (name, id, time stamp) and the object's stored form.
///
/// Objects are made by their class's createInstance (or by RtFactory) and live as long as a
/// Handle_T refers to them. The count changes atomically, so handles may cross threads; the
/// object itself is used by one thread at a time unless its class says otherwise.
class VEMO_CORE_API Unknown {
 public:
  template <class T>
  class Handle_T;
  class ClassType;
  class RtFactory;
  class Unregistration;
  /// A class's creator: a new default-constructed object in a handle.
  using Creator = Handle_T<Unknown> (*)();

  /// The compile time stamp of the class, for example "Fri May  7 18:34:45 2021".
  virtual const wchar_t* getClassTimestamp() const;
  /// The class's short name, for example "MemoryStream".
  virtual const String& getClassName() const;
  /// The class id: ClassType::computeId of the class name.
  virtual unsigned int getClassId() const;
  /// A new default-constructed object of the same class.
  virtual Handle_T<Unknown> rtCreateInstance() const;
  virtual ~Unknown();
  ///@{
  /// Reading and writing the object's stored form; Unknown itself stores nothing.
  /// \throws Exception when the data is malformed or a transfer fails.
  virtual void importFrom(InputStream& input);
  virtual void exportTo(OutputStream& output) const;
  ///@}

  /// The number of handles that hold the object now (a snapshot when other threads hold some).
  unsigned int getReferenceCount() const noexcept {
    return _referenceCount.load(std::memory_order_relaxed);
  }
  /// The name and id of the object's class.
  ClassType getClassType() const;
  /// A copy made by writing this object's stored form into a MemoryStream and reading it into a
  /// new object of the same class: exactly as deep as exportTo/importFrom. Null (after logging)
  /// for a class that does not create objects of its own type.
  Handle_T<Unknown> clone() const;

  static const String g_className_;      ///< The class name, "Unknown".
  static const unsigned int g_classId_;  ///< The class id of the name.
  static const bool g_setUpCreator_;     ///< Whether the class was registered when loading.
  /// The class name, without an object.
  static const String& getClassName_() { return g_className_; }
  /// The class id, without an object.
  static unsigned int getClassId_() { return g_classId_; }
  /// A new Unknown, which holds and stores nothing.
  static Handle_T<Unknown> createInstance();

  /// The time stamp text of a compilation, from the compiler's __DATE__ and __TIME__ texts; the
  /// returned text lives as long as the process.
  static const wchar_t* makeClassTimestamp(const char* date, const char* time);

 protected:
  Unknown() noexcept : _referenceCount(0) {}
  /// A copy is a new object: it starts without references.
  Unknown(const Unknown&) noexcept : _referenceCount(0) {}
  /// Assignment copies nothing of the base and keeps the target's references.
  Unknown& operator=(const Unknown&) noexcept { return *this; }

 private:
  static Handle_T<Unknown> rtCreateInstance_();

  void addRef() const noexcept { _referenceCount.fetch_add(1, std::memory_order_relaxed); }
  void release() const noexcept {
    if (_referenceCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  mutable std::atomic<unsigned int> _referenceCount;
};

/// An intrusive handle: holds one reference to an object (or nothing).
template <class T>
class Unknown::Handle_T {
 public:
  ///@{
  /// A null handle.
  Handle_T() noexcept : _object(nullptr) {}
  Handle_T(std::nullptr_t) noexcept : _object(nullptr) {}
  ///@}
  /// Holds a reference to `object` (may be null); a newly made object is then owned by handles.
  Handle_T(T* object) noexcept : _object(object) { acquire(_object); }
  /// Holds another reference to the other's object.
  Handle_T(const Handle_T& other) noexcept : _object(other._object) { acquire(_object); }
  /// Takes over the other's reference; the other is null afterwards.
  Handle_T(Handle_T&& other) noexcept : _object(other._object) { other._object = nullptr; }
  /// From a handle to a derived class.
  template <class U, class = std::enable_if_t<std::is_convertible<U*, T*>::value>>
  Handle_T(const Handle_T<U>& other) noexcept : _object(other.get()) {
    acquire(_object);
  }
  /// Lets go of the reference; the last one destroys the object.
  ~Handle_T() { drop(_object); }

  /// The new object gains its reference before the old one loses its own, so assigning a
  /// handle to itself is safe.
  Handle_T& operator=(const Handle_T& other) noexcept { return reset(other._object); }
  /// Takes over the other handle's reference and lets go of its own, even when both hold the
  /// same object; moving a handle onto itself changes nothing.
  Handle_T& operator=(Handle_T&& other) noexcept {
    if (this != &other) {
      T* old = _object;
      _object = other._object;
      other._object = nullptr;
      drop(old);
    }
    return *this;
  }
  /// Holds `object` (may be null) instead; assigning the object already held is safe.
  Handle_T& operator=(T* object) noexcept { return reset(object); }
  /// From a handle to a derived class.
  template <class U, class = std::enable_if_t<std::is_convertible<U*, T*>::value>>
  Handle_T& operator=(const Handle_T<U>& other) noexcept {
    return reset(other.get());
  }

  ///@{
  /// The object, or null; no reference is added.
  T* get() const noexcept { return _object; }
  operator T*() const noexcept { return _object; }
  ///@}
  ///@{
  /// The object, which must not be null.
  T* operator->() const noexcept { return _object; }
  T& operator*() const noexcept { return *_object; }
  ///@}
  /// True when the handle holds nothing.
  bool isNull() const noexcept { return _object == nullptr; }

  /// The handle as one to a derived class, or null when the object is not one.
  template <class U>
  static Handle_T dynamicCast(const Handle_T<U>& other) noexcept {
    return Handle_T(dynamic_cast<T*>(other.get()));
  }

  ///@{
  /// Moving a reference between a handle and a plain pointer without counting it up and down,
  /// for code that must pass through a pointer of another type (a cast to a base at an offset
  /// found at run time) on a hot path. adopt() makes a handle that takes over one reference the
  /// caller holds of `object` (may be null); disown() gives the handle's reference to the
  /// caller, who must hand it to adopt() or the object is never destroyed, and leaves the
  /// handle null.
  static Handle_T adopt(T* object) noexcept {
    Handle_T handle;
    handle._object = object;
    return handle;
  }
  T* disown() noexcept {
    T* const object = _object;
    _object = nullptr;
    return object;
  }
  ///@}

 private:
  Handle_T& reset(T* object) noexcept {
    acquire(object);
    T* old = _object;
    _object = object;
    drop(old);
    return *this;
  }
  static void acquire(T* object) noexcept {
    if (object) static_cast<const Unknown*>(object)->addRef();
  }
  static void drop(T* object) noexcept {
    if (object) static_cast<const Unknown*>(object)->release();
  }

  T* _object;
};

/// A class's name and id.
class VEMO_CORE_API Unknown::ClassType {
 public:
  /// No class: an empty name and id 0.
  ClassType() : _id(0) {}
  /// The class of that name, with the id computed from it (registered or not).
  explicit ClassType(const String& name) : _name(name), _id(computeId(name)) {}
  /// The class of the object; no class for null.
  explicit ClassType(const Unknown* object) { setClass(object); }

  /// Name and id of the object's class; an empty name and id 0 for null.
  void setClass(const Unknown* object);
  /// The class name.
  const String& getClassName() const { return _name; }
  /// The class id.
  unsigned int getClassId() const { return _id; }
  /// A new object of the class by its name (RtFactory::createClassInstance), or null.
  Handle_T<Unknown> createInstance() const;

  /// The class id of a name: over the name's UTF-8 bytes, the sum of byte i shifted left by
  /// 5 * (i mod 6) bits, in 32-bit arithmetic; a sum of 0 gives 0xFFFFFFFF.
  static unsigned int computeId(const String& name);

 private:
  String _name;
  unsigned int _id;
};

/// The process-wide registry of creators, by class name and by class id.
class VEMO_CORE_API Unknown::RtFactory {
 public:
  RtFactory() = delete;

  /// Registers a class: false (with a log line) when its name or id is taken. A refusal before
  /// any log listener exists reaches the first listener added.
  static bool setupCreator(Creator creator);
  /// Withdraws the class of that name (and its id); an unknown name changes nothing.
  static void unsetupCreator(const String& name);
  ///@{
  /// A new object of the class, or null when the class is unknown.
  static Handle_T<Unknown> createClassInstance(const String& name);
  static Handle_T<Unknown> createClassInstance(unsigned int id);
  ///@}
  /// Every registered name, in ascending order.
  static void getRtClassNames(std::vector<String>& names);
  /// The report of every registration refused so far (a taken name, or an id that another name
  /// hashes to), in order: the same texts as the log lines. A program or its tests can check at
  /// start-up that none of its classes was refused while loading.
  static void getSetupFailures(std::vector<String>& reports);
};

/// Undoes a load-time registration when the module unloads (see VEMO_IMPLEMENT_CLASS).
class VEMO_CORE_API Unknown::Unregistration {
 public:
  /// Remembers the class name and whether its registration succeeded.
  Unregistration(const String& name, bool registered) : _name(name), _registered(registered) {}
  /// Withdraws the class when it was registered.
  ~Unregistration();
  Unregistration(const Unregistration&) = delete;
  Unregistration& operator=(const Unregistration&) = delete;

 private:
  String _name;
  bool _registered;
};

/// The handle of an object of class T, for use outside Unknown's subclasses:
/// `vemo::Handle<Widget> widget = Widget::createInstance();`.
template <class T>
using Handle = Unknown::Handle_T<T>;

/// A new T made with these arguments, in a handle: `auto port = vemo::make<Worker>(settings);`
/// is Handle<Worker>(new Worker(settings)). For classes whose constructor make may reach
/// (public, or a friend); registered classes have createInstance.
template <class T, class... Args>
Unknown::Handle_T<T> make(Args&&... args) {
  return Unknown::Handle_T<T>(new T(std::forward<Args>(args)...));
}

inline Unknown::ClassType Unknown::getClassType() const {
  return ClassType(this);
}

namespace detail {
// The platform's readable name of a class (the run-time type name), as wide text.
VEMO_CORE_API String typeName(const std::type_info& type);
// A number that changes with every change of the class registry (a class registered or
// withdrawn, as when a module unloads): what a cache learnt from objects the registry made holds
// while it stays the same. Read it before the look-up whose result is cached.
VEMO_CORE_API std::uint64_t classRegistryVersion() noexcept;
}  // namespace detail

}  // namespace vemo

// Classes of this library share the library's time stamp; other modules stamp theirs when
// they are compiled.
#if defined(VEMO_CORE_BUILD)
#define VEMO_CLASS_TIMESTAMP_ ::vemo::Unknown::getClassTimestamp()
#else
#define VEMO_CLASS_TIMESTAMP_ ::vemo::Unknown::makeClassTimestamp(__DATE__, __TIME__)
#endif

/// In the class body (leaves the body in private access).
#define VEMO_DECLARE_CLASS(X)                                                    \
 public:                                                                         \
  static const ::vemo::String g_className_;                                      \
  static const unsigned int g_classId_;                                          \
  static const bool g_setUpCreator_;                                             \
  static const ::vemo::String& getClassName_() {                                 \
    return g_className_;                                                         \
  }                                                                              \
  static unsigned int getClassId_() {                                            \
    return g_classId_;                                                           \
  }                                                                              \
  const wchar_t* getClassTimestamp() const override;                             \
  const ::vemo::String& getClassName() const override {                          \
    return g_className_;                                                         \
  }                                                                              \
  unsigned int getClassId() const override {                                     \
    return g_classId_;                                                           \
  }                                                                              \
  ::vemo::Unknown::Handle_T<::vemo::Unknown> rtCreateInstance() const override { \
    return rtCreateInstance_();                                                  \
  }                                                                              \
  template <class... Args>                                                       \
  static ::vemo::Unknown::Handle_T<X> createInstance(Args&&... args) {           \
    return ::vemo::Unknown::Handle_T<X>(new X(std::forward<Args>(args)...));     \
  }                                                                              \
                                                                                 \
 private:                                                                        \
  static ::vemo::Unknown::Handle_T<::vemo::Unknown> rtCreateInstance_() {        \
    return ::vemo::Unknown::Handle_T<::vemo::Unknown>(new X());                  \
  }

/// In one source file, in the namespace of the class. Name, id and registration are made in
/// this order when the module loads.
#define VEMO_IMPLEMENT_CLASS(X)                                                                    \
  const ::vemo::String X::g_className_(L## #X);                                                    \
  const unsigned int X::g_classId_ = ::vemo::Unknown::ClassType::computeId(X::g_className_);       \
  const bool X::g_setUpCreator_ = ::vemo::Unknown::RtFactory::setupCreator(&X::rtCreateInstance_); \
  static const ::vemo::Unknown::Unregistration g_unregistration_##X##_(X::g_className_,            \
                                                                       X::g_setUpCreator_);        \
  const wchar_t* X::getClassTimestamp() const {                                                    \
    static const wchar_t* const stamp = VEMO_CLASS_TIMESTAMP_;                                     \
    return stamp;                                                                                  \
  }
