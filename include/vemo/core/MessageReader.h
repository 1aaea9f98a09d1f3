/// \file
/// MessageReader: turns a byte stream of message packages into calls of application handlers.
///
/// A package is a class id (4 bytes, least significant first) followed by the message body,
/// exactly as the message's exportTo wrote it; packages follow one another with nothing between
/// them (unlike a Handle_T<Message> on a stream, there is no "O" marker). The reader keeps one
/// MessageParser per class id, which makes an empty message of its class, fills it from the
/// stream and hands it to its handler:
///
/// \code
/// void onChat(vemo::Message* message);
/// vemo::MessageReader reader;
/// reader += vemo::MessageParser(Chat::getClassId_(), &Chat::createMessage_, &onChat);
/// reader.analyse(input);   // onChat for every Chat package on the input
/// \endcode
///
/// A package whose class id has no parser goes to the unknown package handler, which may read
/// its body and return true; otherwise reading stops there with "Unknown message(<id>)." logged,
/// leaving the rest of the stream unread (an unknown body cannot be skipped).
///
/// Exceptions of the stream (a short class id), of a message's importFrom and of handlers pass
/// through unchanged. A reader has no lock: one thread at a time.
#pragma once

#include <map>
#include <type_traits>
#include <utility>

#include "vemo/core/Callback.h"
#include "vemo/core/Export.h"
#include "vemo/core/Message.h"
#include "vemo/core/Stream.h"

namespace vemo {

/// How to read and deliver the messages of one class.
struct VEMO_CORE_API MessageParser {
  /// Makes a new empty message of the class (a class's createMessage_).
  using Creator = Unknown::Handle_T<Message> (*)();
  /// Takes each message read (a function, member function or callable).
  using Handler = CallbackHandler<void, Message*>;
  /// A creator of any other kind, called with the parser's class id.
  using Factory = CallbackHandler<Unknown::Handle_T<Message>, unsigned int>;

  /// No creator and no handler; the class id means nothing.
  MessageParser() : classId(0), creator(nullptr) {}
  /// The parser of class `id`: `make` creates its messages, `call` takes each one read.
  MessageParser(unsigned int id, Creator make, const Handler& call)
      : classId(id), creator(make), handler(call) {}
  /// With any other callable as the creator (a lambda with captures, a std::function, a function
  /// object) that gives a handle to a message; it goes into `factory`. An empty std::function
  /// gives a parser without creator.
  template <class F, class = std::enable_if_t<
                         !std::is_convertible<F&&, Creator>::value &&
                         std::is_invocable_r<Unknown::Handle_T<Message>, std::decay_t<F>&>::value>>
  MessageParser(unsigned int id, F&& make, const Handler& call)
      : classId(id),
        creator(nullptr),
        handler(call),
        factory(detail::isEmptyCallable(make) ? Factory() : makeFactory(std::forward<F>(make))) {}

  ///@{
  /// Same class id, same creator function, equal factories and equal handlers (by identity
  /// text; null is "").
  bool operator==(const MessageParser& other) const;
  bool operator!=(const MessageParser& other) const { return !(*this == other); }
  ///@}

  /// Makes a message with the creator (or the factory), fills it from the stream and calls the
  /// handler with it; without a handler the message is read and dropped. Without a creator (or
  /// when it gives null) the body is read into a message made by the class registry and dropped,
  /// so that the stream stays in step; a class the registry does not know either is logged
  /// ("Unknown message(<id>).") and its body left unread.
  void parser(InputStream& is) const;

  unsigned int classId;  ///< The class id of the messages it reads.
  Creator creator;       ///< Makes a new message; null: the factory, if any.
  Handler handler;       ///< Takes each message read; null: messages are read and dropped.
  /// Used when there is no creator function.
  Factory factory;

 private:
  template <class F>
  static Factory makeFactory(F&& make) {
    return Factory([make = std::forward<F>(make)](unsigned int) mutable {
      return Unknown::Handle_T<Message>(make());
    });
  }
};

/// Reads message packages from a stream and hands each message to the parser installed for its
/// class id. One thread at a time; copies have parser tables of their own.
class VEMO_CORE_API MessageReader {
 public:
  /// A package whose class id has been read; `stream` is at the start of its body.
  struct MessagePackage {
    unsigned int classId;  ///< The package's class id.
    InputStream* stream;   ///< The stream, at the start of the body.
  };
  /// Returns true when it has consumed the package's body.
  using UnknownPackageHandler = CallbackHandler<bool, const MessagePackage&>;

  /// No parsers.
  MessageReader() = default;
  ///@{
  /// Copies or takes over the parsers and the unknown package handler.
  MessageReader(const MessageReader&) = default;
  MessageReader(MessageReader&&) = default;
  MessageReader& operator=(const MessageReader&) = default;
  MessageReader& operator=(MessageReader&&) = default;
  ///@}
  ~MessageReader() = default;

  /// Installs a copy of the parser under its class id, replacing the one there; true.
  bool installMessageParser(const MessageParser& parser);
  /// installMessageParser; returns this reader.
  MessageReader& operator+=(const MessageParser& parser) {
    installMessageParser(parser);
    return *this;
  }
  ///@{
  /// Removes the parser of the class id (of the parser's class id: its creator and handler are
  /// not compared). An absent class id changes nothing.
  void uninstallMessageParser(unsigned int classId);
  void uninstallMessageParser(const MessageParser& parser) {
    uninstallMessageParser(parser.classId);
  }
  ///@}
  /// uninstallMessageParser; returns this reader.
  MessageReader& operator-=(const MessageParser& parser) {
    uninstallMessageParser(parser.classId);
    return *this;
  }
  /// Removes every parser and the unknown package handler.
  void clearMessageParser();
  /// The parser installed for the class id, or a parser without creator and handler.
  const MessageParser& getMessageParser(const unsigned int& classId) const;
  /// The number of parsers installed.
  int getMessageParserCount() const { return static_cast<int>(_parsers.size()); }

  ///@{
  /// The handler of packages whose class id has no parser (null: none).
  void setUnknownPackageHandler(const UnknownPackageHandler& handler) {
    _unknownPackageHandler = handler;
  }
  const UnknownPackageHandler& getUnknownPackageHandler() const { return _unknownPackageHandler; }
  ///@}

  /// Reads one package and returns its message, made through the class registry, without
  /// dispatching it. A class id the registry cannot make into a Message is logged ("Error
  /// ClassId! <id>") and gives null, its body left unread.
  static Unknown::Handle_T<Message> pop(InputStream& is);
  /// Dispatches every package available on the stream: true when the stream was read to its
  /// end, false at the first package nobody could read (also one whose parser has no creator,
  /// of a class the registry does not know).
  bool analyse(InputStream& is);
  /// Dispatches one package whose class id has been read.
  bool analyse(const MessagePackage& package);

 private:
  // The parser of the class id, or null.
  const MessageParser* findParser(unsigned int classId) const;

  std::map<unsigned int, MessageParser> _parsers;
  MessageParser _nullParser;
  UnknownPackageHandler _unknownPackageHandler;
};

}  // namespace vemo
