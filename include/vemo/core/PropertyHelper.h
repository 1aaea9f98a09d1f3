// PropertyHelper: reflectable objects as JSON text, streams and files, read back into an object
// of the class their "__class__" member names; the configuration readers; string scanners.
//
//   PropertyHelper::save(player.get(), L"player.json", true);
//   Unknown::Handle_T<Property> back = PropertyHelper::load(L"player.json");   // a Player
//
// Configuration files are sectioned text:
//
//   [Server]
//   # listening port
//   Port = 8080
//
// getConfigInteger(L"server.ini", L"server", L"port", 0) gives 8080: section and key names
// ignore case, `#` starts a comment line, and every problem gives the default. The key search
// goes on past the next section header (a key missing from its section is taken from a later
// one).
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/Json.h"
#include "vemo/core/String.h"
#include "vemo/core/Unknown.h"

namespace vemo {

class Archive;
class Input;
class Output;
class Property;

struct VEMO_CORE_API PropertyHelper {
  // The object's export, or null for a null pointer.
  static void convertPropertyToJson(const Property* object, JsonValue& value);
  // The object that the value's "__class__" names, filled from the value; null when the value
  // has none or names a class without a registered converter. The value is left unchanged.
  static Unknown::Handle_T<Property> convertPropertyToClass(const JsonValue& value);
  // The export as JSON text; "null" for a null pointer.
  static String convertToString(const Property* object, bool styled);
  // The object of a JSON text; null when it does not parse or names no registered class.
  static Unknown::Handle_T<Property> convertToClass(const String& text);
  // The export as UTF-8 text; false for a null output or a short write.
  static bool write(const Property* object, Output* output, bool styled);
  // The object of the input's remaining UTF-8 text, or null.
  static Unknown::Handle_T<Property> read(Input* input);
  // write() into a file created or truncated; false when it cannot be opened.
  static bool save(const Property* object, const String& fileName, bool styled);
  // read() of a file's content, or null.
  static Unknown::Handle_T<Property> load(const String& fileName);
};

// The value of `key` in `[section]` of a configuration text: the archive is read from its start.
// The default when the archive is null, the section or key is missing or the value is empty.
VEMO_CORE_API String getConfigString(Archive* archive, const String& section, const String& key,
                                     const String& defaultValue);
// The same on a file (read into memory first).
VEMO_CORE_API String getConfigString(const String& fileName, const String& section,
                                     const String& key, const String& defaultValue);
// The value's leading decimal number (0 when it has none).
VEMO_CORE_API int getConfigInteger(Archive* archive, const String& section, const String& key,
                                   int defaultValue);
VEMO_CORE_API int getConfigInteger(const String& fileName, const String& section, const String& key,
                                   int defaultValue);
// True exactly when the value is "true", ignoring case (1 and yes read as false).
VEMO_CORE_API bool getConfigBoolean(Archive* archive, const String& section, const String& key,
                                    bool defaultValue);
VEMO_CORE_API bool getConfigBoolean(const String& fileName, const String& section,
                                    const String& key, bool defaultValue);

// Scanners that consume from the front of a text, in place.
// Removes leading white space.
VEMO_CORE_API void skipSpaces(String& text);
// Removes everything up to and including the first line feed (all of it without one).
VEMO_CORE_API void skipLine(String& text);
// Removes leading white space and `#` comment lines with the white space after them.
VEMO_CORE_API void skipComments(String& text);
// Removes and returns the longest prefix of ASCII letters, digits and '_'.
VEMO_CORE_API String readToken(String& text);
// Takes any arguments and does nothing; 0.
VEMO_CORE_API int nothing(...);

}  // namespace vemo

#include "vemo/core/Property.h"
