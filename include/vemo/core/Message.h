/// \file
/// Message: the base of every message that travels through the messaging layer.
///
/// A message is a reflectable object (Property) with a registered class name and id. On a stream
/// it travels as a Handle_T<Message>: "O", the class id of its dynamic class and its body (what
/// exportTo writes), or "o" for a null handle; the receiving side recreates it from the class id
/// through the class registry. The base class has no members and an empty body, so a bare
/// Message takes five bytes.
///
/// Applications derive their messages and give them a body:
///
/// \code
/// class Chat : public vemo::Message {
///   VEMO_DECLARE_PROPERTY(Chat, vemo::Message)
///  public:
///   vemo::String text;
///   void importFrom(vemo::InputStream& is) override { is >> text; }
///   void exportTo(vemo::OutputStream& os) const override { os << text; }
///  protected:
///   Chat() = default;
/// };
/// VEMO_IMPLEMENT_PROPERTY(Chat, VEMO_PROPERTY(text, L"What was said"))
/// \endcode
///
/// or name the fields of the body once, in the order they travel, and let the class write and
/// read them with the stream operators (Stream.h):
///
/// \code
/// class Chat : public vemo::Message {
///   VEMO_DECLARE_PROPERTY(Chat, vemo::Message)
///   VEMO_MESSAGE_FIELDS(text, number, values)
///  public:
///   vemo::String text;
///   int number = 0;
///   std::vector<int> values;
///   ...
/// \endcode
///
/// A field whose type has no stream operators does not compile. The listed fields are the whole
/// body: a message derived from another message with a body lists the base's fields too.
///
/// There is no length before a body: a reader that does not know the class cannot skip it, so
/// importFrom must consume exactly what exportTo produced.
#pragma once

#include <cstddef>
#include <new>

#include "vemo/core/Export.h"
#include "vemo/core/Property.h"
#include "vemo/core/Stream.h"

/// In the body of a message class: importFrom and exportTo that read and write the named fields
/// in order (leaves the body in public access).
#define VEMO_MESSAGE_FIELDS(...)                            \
 public:                                                    \
  void importFrom(::vemo::InputStream& is_) override {      \
    ::vemo::detail::readMessageFields(is_, __VA_ARGS__);    \
  }                                                         \
  void exportTo(::vemo::OutputStream& os_) const override { \
    ::vemo::detail::writeMessageFields(os_, __VA_ARGS__);   \
  }

namespace vemo {

namespace detail {
template <class... Fields>
void readMessageFields(InputStream& is, Fields&... fields) {
  static_assert((IsStreamable<Fields>::value && ...),
                "VEMO_MESSAGE_FIELDS: a field's type has no stream operators");
  if constexpr ((IsStreamable<Fields>::value && ...)) (is >> ... >> fields);
}

template <class... Fields>
void writeMessageFields(OutputStream& os, const Fields&... fields) {
  static_assert((IsStreamable<Fields>::value && ...),
                "VEMO_MESSAGE_FIELDS: a field's type has no stream operators");
  if constexpr ((IsStreamable<Fields>::value && ...)) (os << ... << fields);
}
}  // namespace detail

/// The base of every message: a reflectable object with a class id that travels through ports
/// and message packages (see Message.h).
class VEMO_CORE_API Message : public Property {
  VEMO_DECLARE_PROPERTY(Message, Property)

 public:
  /// A new empty message: the creator that message parsers take. Subclasses read by a
  /// MessageReader declare their own (this one, inherited, makes a bare Message).
  static Handle_T<Message> createMessage_();

  /// The generic copy through the stored form (Unknown::clone) as a message; null when the copy
  /// is not a Message.
  Handle_T<Message> clone() const;

  /// The base class reads and writes nothing.
  void importFrom(InputStream& input) override;
  void exportTo(OutputStream& output) const override;

  ///@{
  /// Messages copy and move as plain values.
  Message(const Message&) = default;
  Message(Message&&) = default;
  Message& operator=(const Message&) = default;
  Message& operator=(Message&&) = default;
  ///@}
  ~Message() override;

  ///@{
  /// Messages of up to 256 bytes are made in blocks that a thread keeps for reuse once messages
  /// it destroys are gone (a bounded number of each size per thread, released when the thread
  /// ends): a receiver that makes a message for every one that arrives and destroys them on
  /// the same thread reuses their memory without the heap. Larger and over-aligned ones use the
  /// global allocation functions.
  static void* operator new(std::size_t size);
  static void* operator new(std::size_t size, std::align_val_t alignment);
  static void* operator new(std::size_t, void* where) noexcept { return where; }
  static void operator delete(void* block, std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size, std::align_val_t alignment) noexcept;
  static void operator delete(void*, void*) noexcept {}
  ///@}

 protected:
  Message() = default;
};

}  // namespace vemo
