#include "vemo/core/PropertyHelper.h"

#include "File.h"
#include "Number.h"
#include "vemo/core/Archive.h"
#include "vemo/core/Text.h"

namespace vemo {

namespace {

// The archive of a file's content in memory, or null.
Unknown::Handle_T<Archive> openInMemory(const String& fileName) {
  return ArchiveFactory::openArchive(String(L"memory://<<") + fileName);
}

}  // namespace

// ---- objects and JSON --------------------------------------------------------------------------

void PropertyHelper::convertPropertyToJson(const Property* object, JsonValue& value) {
  if (object)
    object->exportProperty(value);
  else
    JsonValue().swap(value);
}

Unknown::Handle_T<Property> PropertyHelper::convertPropertyToClass(const JsonValue& value) {
  // Exactly the import of {"obj": value} into a PropertyDummy, without copying the value.
  const Unknown::Handle_T<PropertyDummy> dummy = PropertyDummy::createInstance();
  dummy->importMember(String(L"obj"), value);
  return dummy->obj;
}

String PropertyHelper::convertToString(const Property* object, bool styled) {
  if (!object) return String(L"null");
  JsonValue value;
  object->exportProperty(value);
  return Json::convertToString(value, styled);
}

Unknown::Handle_T<Property> PropertyHelper::convertToClass(const String& text) {
  JsonValue value;
  if (!Json::parseValue(text.getBuffer(), value)) return nullptr;
  return convertPropertyToClass(value);
}

bool PropertyHelper::write(const Property* object, Output* output, bool styled) {
  const Unknown::Handle_T<Output> held(output);
  if (!output) return false;  // before the export, which may throw
  JsonValue value;
  convertPropertyToJson(object, value);
  return Json::write(value, output, styled);
}

Unknown::Handle_T<Property> PropertyHelper::read(Input* input) {
  JsonValue value;
  return Json::read(value, input) ? convertPropertyToClass(value) : nullptr;
}

bool PropertyHelper::save(const Property* object, const String& fileName, bool styled) {
  // As Json::save, with the export between making the new file and committing it: a file that
  // cannot be made gives false before the export (which may throw), and a failed export leaves
  // the old file as it was.
  detail::FileReplacement replacement(fileName);
  if (!replacement.file()) return false;
  JsonValue value;
  convertPropertyToJson(object, value);
  return Json::write(value, replacement.file(), styled) && replacement.commit();
}

Unknown::Handle_T<Property> PropertyHelper::load(const String& fileName) {
  JsonValue value;
  return Json::load(value, fileName) ? convertPropertyToClass(value) : nullptr;
}

// ---- configuration -----------------------------------------------------------------------------

String getConfigString(Archive* archive, const String& section, const String& key,
                       const String& defaultValue) {
  const Unknown::Handle_T<Archive> held(archive);
  if (!archive) return defaultValue;
  archive->setPosition(0);
  TextReader reader(archive, TextReader::Utf8);
  const String header = String(L"[") + section + L"]";
  bool inSection = false;
  String line;
  while (reader.readLine(line)) {
    line.trim();
    if (!inSection) {
      inSection = line.compareNoCase(header) == 0;
      continue;
    }
    if (line.isEmpty() || line[0] == L'#') continue;
    if (readToken(line).compareNoCase(key) != 0) continue;
    line.trim();
    if (line[0] != L'=') continue;
    String value = line.getSubString(1);
    value.trim();
    return value.isEmpty() ? defaultValue : value;
  }
  return defaultValue;
}

// The file forms read the file's content in memory; a file that cannot be opened gives the
// default, as a null archive does.
String getConfigString(const String& fileName, const String& section, const String& key,
                       const String& defaultValue) {
  return getConfigString(openInMemory(fileName).get(), section, key, defaultValue);
}

int getConfigInteger(Archive* archive, const String& section, const String& key, int defaultValue) {
  String fallback;
  fallback.format(L"%d", defaultValue);
  return detail::scanInt(getConfigString(archive, section, key, fallback).getBuffer());
}

int getConfigInteger(const String& fileName, const String& section, const String& key,
                     int defaultValue) {
  return getConfigInteger(openInMemory(fileName).get(), section, key, defaultValue);
}

bool getConfigBoolean(Archive* archive, const String& section, const String& key,
                      bool defaultValue) {
  const String fallback(defaultValue ? L"true" : L"false");
  return getConfigString(archive, section, key, fallback).compareNoCase(L"true") == 0;
}

bool getConfigBoolean(const String& fileName, const String& section, const String& key,
                      bool defaultValue) {
  return getConfigBoolean(openInMemory(fileName).get(), section, key, defaultValue);
}

// ---- scanners ----------------------------------------------------------------------------------

void skipSpaces(String& text) {
  text.trimLeft();
}

void skipLine(String& text) {
  const int lineFeed = text.find(L'\n');
  if (lineFeed < 0)
    text = String();
  else
    text.erase(0, lineFeed + 1);
}

void skipComments(String& text) {
  text.trimLeft();
  while (text[0] == L'#') {
    skipLine(text);
    text.trimLeft();
  }
}

namespace {

bool isTokenChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
         c == L'_';
}

}  // namespace

String readToken(String& text) {
  const wchar_t* const chars = text.getBuffer();
  int length = 0;
  while (isTokenChar(chars[length]))
    ++length;
  if (length == 0) return String();
  String token(chars, length);
  text.erase(0, length);
  return token;
}

int nothing(...) {
  return 0;
}

}  // namespace vemo
