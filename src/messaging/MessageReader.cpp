#include "vemo/core/MessageReader.h"

#include "Log.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

void logUnknownMessage(unsigned int classId) {
  Log::error(L"Unknown message(%s).", convertToString(classId).getBuffer());
  detail::logCallStack();
}

}  // namespace

bool MessageParser::operator==(const MessageParser& other) const {
  return classId == other.classId && creator == other.creator && factory == other.factory &&
         handler == other.handler;
}

namespace {

// Reads the body of one package of the parser's class and hands the message to its handler.
// Without a creator, or when the creator gives nothing, the body is still read (into a message
// made by the class registry) and dropped, so that the next package is read from its start;
// false when not even the registry knows the class: the body is then left unread.
bool readPackage(const MessageParser& parser, InputStream& is) {
  // The parser may be uninstalled by its own handler: the callables are held for the call.
  const MessageParser::Handler call = parser.handler;
  const MessageParser::Factory make = parser.factory;
  Unknown::Handle_T<Message> message;
  if (parser.creator)
    message = parser.creator();
  else if (!make.isNull())
    message = make(parser.classId);
  if (!message) {
    message = Unknown::Handle_T<Message>::dynamicCast(
        Unknown::RtFactory::createClassInstance(parser.classId));
    if (!message) return false;
    message->importFrom(is);
    return true;
  }
  message->importFrom(is);
  if (!call.isNull()) call(message.get());
  return true;
}

}  // namespace

void MessageParser::parser(InputStream& is) const {
  if (!readPackage(*this, is)) logUnknownMessage(classId);
}

bool MessageReader::installMessageParser(const MessageParser& parser) {
  _parsers[parser.classId] = parser;
  return true;
}

void MessageReader::uninstallMessageParser(unsigned int classId) {
  _parsers.erase(classId);
}

void MessageReader::clearMessageParser() {
  _parsers.clear();
  _unknownPackageHandler.setNull();
}

const MessageParser& MessageReader::getMessageParser(const unsigned int& classId) const {
  const MessageParser* found = findParser(classId);
  return found ? *found : _nullParser;
}

const MessageParser* MessageReader::findParser(unsigned int classId) const {
  const auto found = _parsers.find(classId);
  return found == _parsers.end() ? nullptr : &found->second;
}

Unknown::Handle_T<Message> MessageReader::pop(InputStream& is) {
  unsigned int classId;
  is >> classId;
  Unknown::Handle_T<Message> message =
      Unknown::Handle_T<Message>::dynamicCast(Unknown::RtFactory::createClassInstance(classId));
  if (!message) {
    Log::error(L"Error ClassId! %s", convertToString(classId).getBuffer());
    return message;
  }
  message->importFrom(is);
  return message;
}

bool MessageReader::analyse(InputStream& is) {
  while (is.available() > 0) {
    unsigned int classId;
    is >> classId;
    if (const MessageParser* found = findParser(classId)) {
      // A copy: handlers may install and uninstall parsers while they run.
      const MessageParser parser = *found;
      if (readPackage(parser, is)) continue;
      logUnknownMessage(classId);
      return false;
    }
    if (!_unknownPackageHandler.isNull()) {
      const UnknownPackageHandler handler = _unknownPackageHandler;
      if (handler(MessagePackage{classId, &is})) continue;
    }
    logUnknownMessage(classId);
    return false;
  }
  return true;
}

bool MessageReader::analyse(const MessagePackage& package) {
  if (const MessageParser* found = findParser(package.classId)) {
    const MessageParser parser = *found;
    if (readPackage(parser, *package.stream)) return true;
    logUnknownMessage(package.classId);
    return false;
  }
  if (!_unknownPackageHandler.isNull()) {
    const UnknownPackageHandler handler = _unknownPackageHandler;
    if (handler(package)) return true;
  }
  logUnknownMessage(package.classId);
  return false;
}

}  // namespace vemo
