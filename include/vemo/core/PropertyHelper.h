/// \file
/// PropertyHelper: reflectable objects as JSON text, streams and files, read back into an object
/// of the class their "__class__" member names; the configuration readers; string scanners.
///
/// \code
/// PropertyHelper::save(player.get(), L"player.json", true);
/// Unknown::Handle_T<Property> back = PropertyHelper::load(L"player.json");   // a Player
/// \endcode
///
/// Configuration files are sectioned text:
///
/// \code
/// [Server]
/// # listening port
/// Port = 8080
/// \endcode
///
/// getConfigInteger(L"server.ini", L"server", L"port", 0) gives 8080: section and key names
/// ignore case, `#` starts a comment line, and every problem gives the default. The key search
/// goes on past the next section header (a key missing from its section is taken from a later
/// one).
///
/// Config reads such a file once and checks it: a line that is none of the above is an error with
/// its line number, and a value that is not exactly of the type asked for throws.
///
/// \code
/// Config config;
/// ConfigError error;
/// if (!config.load(L"server.ini", error)) ... error.line, error.reason
/// int port = config.get<int>(L"Server", L"Port", 80);   // 80 when unset; "fast" throws
/// for (const String& key : config.keys(L"Server")) ...
/// config.set(L"Server", L"Port", 8081);        // refused (throws) when a file could not hold it
/// config.save(L"server.ini", error);          // reads back as the same sections and values
/// \endcode
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "vemo/core/Export.h"
#include "vemo/core/Json.h"
#include "vemo/core/String.h"
#include "vemo/core/Unknown.h"

namespace vemo {

class Archive;
class Input;
class Output;
enum class PropertyImport;  ///< Property.h
class Property;

/// Reflectable objects as JSON values, JSON text and files, built from the class their
/// "__class__" names.
struct VEMO_CORE_API PropertyHelper {
  /// The object's export, or null for a null pointer.
  static void convertPropertyToJson(const Property* object, JsonValue& value);
  /// The object that the value's "__class__" names, filled from the value; null when the value
  /// has none or names a class without a registered converter. The value is left unchanged.
  static Unknown::Handle_T<Property> convertPropertyToClass(const JsonValue& value);
  /// The export as JSON text; "null" for a null pointer.
  static String convertToString(const Property* object, bool styled);
  /// The object of a JSON text; null when it does not parse or names no registered class.
  static Unknown::Handle_T<Property> convertToClass(const String& text);
  /// The export as UTF-8 text; false for a null output or a short write.
  static bool write(const Property* object, Output* output, bool styled);
  /// The object of the input's remaining UTF-8 text, or null.
  static Unknown::Handle_T<Property> read(Input* input);
  /// write() into a file created or truncated; false when it cannot be opened.
  static bool save(const Property* object, const String& fileName, bool styled);
  /// read() of a file's content, or null; a warning says why none was made (the file cannot be
  /// read or is no JSON, the value has no "__class__", the class is not registered).
  static Unknown::Handle_T<Property> load(const String& fileName);
  /// The same with the import rule of `mode`: PropertyImport::strict throws Exception instead of
  /// giving null, with the place of a JSON syntax error or the path and reason of the first
  /// value that does not fit (see Property::importProperty).
  static Unknown::Handle_T<Property> load(const String& fileName, PropertyImport mode);
};

/// The value of `key` in `[section]` of a configuration text: the archive is read from its start.
/// The default when the archive is null, the section or key is missing or the value is empty.
VEMO_CORE_API String getConfigString(Archive* archive, const String& section, const String& key,
                                     const String& defaultValue);
/// The same on a file (read into memory first).
VEMO_CORE_API String getConfigString(const String& fileName, const String& section,
                                     const String& key, const String& defaultValue);
///@{
/// The value's leading decimal number (0 when it has none).
VEMO_CORE_API int getConfigInteger(Archive* archive, const String& section, const String& key,
                                   int defaultValue);
VEMO_CORE_API int getConfigInteger(const String& fileName, const String& section, const String& key,
                                   int defaultValue);
///@}
///@{
/// True exactly when the value is "true", ignoring case (1 and yes read as false).
VEMO_CORE_API bool getConfigBoolean(Archive* archive, const String& section, const String& key,
                                    bool defaultValue);
VEMO_CORE_API bool getConfigBoolean(const String& fileName, const String& section,
                                    const String& key, bool defaultValue);
///@}

/// Where and why a configuration text was refused.
struct ConfigError {
  /// 1-based line of the fault; 0 when the text was never read (a file that cannot be opened).
  int line = 0;
  String reason;  ///< what was wrong; empty when nothing was
};

/// A configuration text read once: sections of `key = value` lines, as the readers above take
/// them (names ignore case, `#` comment lines, values trimmed, `#` after a value is part of it).
/// Unlike the readers it keeps each key to its section and refuses what they would skip: a line
/// that is not blank, a comment, a `[section]` header or a `key = value` line with a key of
/// letters, digits and '_', and a key line before the first header. A key given twice in a
/// section keeps its first value (as the readers find it); sections given twice are merged. A key
/// with an empty value counts as unset (the readers give the default for it).
class VEMO_CORE_API Config {
 public:
  /// An empty configuration: no sections.
  Config();
  ///@{
  /// Copies the sections and values (a copy is independent).
  Config(const Config& other);
  Config& operator=(const Config& other);
  ///@}
  ///@{
  /// Takes the other's sections and values.
  Config(Config&& other) noexcept;
  Config& operator=(Config&& other) noexcept;
  ///@}
  ~Config();

  ///@{
  /// Reads a file (UTF-8), the rest of an input, or a text; replaces what the object held. On
  /// failure it keeps what it held and `error` says where and why.
  bool load(const String& fileName);
  bool load(const String& fileName, ConfigError& error);
  bool read(Input* input, ConfigError& error);
  bool parse(const String& text, ConfigError& error);
  ///@}

  /// Whether the section was given (with or without keys).
  bool hasSection(const String& section) const;
  /// Whether the key has a (non-empty) value in the section.
  bool has(const String& section, const String& key) const;
  /// Sections and the keys with values of a section, as first written, in the file's order.
  ///@{
  std::vector<String> sections() const;
  std::vector<String> keys(const String& section) const;
  ///@}

  ///@{
  /// The value as a T (String, bool as true or false in any case, integers in decimal within
  /// their range, float and double as finite decimal numbers). get with a default gives the
  /// default when the key is unset; without one it throws the library's Exception then. find
  /// gives nullopt when unset. All three throw when the value is set but not exactly a T, with
  /// section, key and value in the text.
  template <class T>
  T get(const String& section, const String& key, const T& defaultValue) const {
    std::optional<T> found = find<T>(section, key);
    return found ? *found : defaultValue;
  }
  String get(const String& section, const String& key, const wchar_t* defaultValue) const {
    return get<String>(section, key, String(defaultValue));
  }
  template <class T>
  T get(const String& section, const String& key) const {
    std::optional<T> found = find<T>(section, key);
    if (!found) checkFailed(section, key, String(L"not set"));
    return *found;
  }
  template <class T>
  std::optional<T> find(const String& section, const String& key) const {
    using Kind = detail::JsonKindOf<T>;
    const String* text = value(section, key);
    if (!text) return std::nullopt;
    typename Kind::Stored out{};
    String reason;
    if (!convert(*text, Kind::kind, &out, reason)) checkFailed(section, key, reason);
    return static_cast<T>(out);
  }
  ///@}

  ///@{
  /// Sets the value of `key` in `[section]`, adding the section when missing (a section or key
  /// named in another case keeps its first spelling); an empty text unsets the key. bool is
  /// written true or false, numbers in decimal (a float or double as the shortest text that reads
  /// back as the same number). Throws the library's Exception, changing nothing, for what a
  /// written file would not read back the same: a section name with a line feed, carriage return
  /// or U+0000; a key that is not letters, digits and '_'; a value with white space at either
  /// end, a line feed, carriage return or U+0000; a character that UTF-8 cannot hold (a lone
  /// surrogate); a float or double that is not finite.
  template <class T>
  void set(const String& section, const String& key, const T& value) {
    using Kind = detail::JsonKindOf<T>;
    const typename Kind::Stored stored = static_cast<typename Kind::Stored>(value);
    setValue(section, key, Kind::kind, &stored);
  }
  void set(const String& section, const String& key, const wchar_t* value) {
    set<String>(section, key, String(value));
  }
  ///@}

  /// The configuration as text: each section's `[section]` header followed by its set keys as
  /// `key = value` lines, sections apart by a blank line. parse() of it gives the same sections,
  /// keys and values, and writing that gives the same text again.
  String toString() const;
  ///@{
  /// toString() as UTF-8 (without a byte-order mark) into an output, or into a file that is
  /// created or replaced whole. False, with the reason, when a name or value holds a character
  /// that a read would not give back (U+0000, a lone surrogate: possible after parse() of wide
  /// text), when the file cannot be made or the write falls short; a failed save leaves the old
  /// file as it was.
  bool write(Output* output, ConfigError& error) const;
  bool save(const String& fileName, ConfigError& error) const;
  ///@}

 private:
  struct Sections;
  void setValue(const String& section, const String& key, detail::JsonKind kind, const void* value);
  // The value of the key in the section, or null when unset.
  const String* value(const String& section, const String& key) const;
  static bool convert(const String& text, detail::JsonKind kind, void* out, String& reason);
  [[noreturn]] static void checkFailed(const String& section, const String& key,
                                       const String& reason);
  std::unique_ptr<Sections> _sections;
};

/// Scanners that consume from the front of a text, in place.
/// Removes leading white space.
VEMO_CORE_API void skipSpaces(String& text);
/// Removes everything up to and including the first line feed (all of it without one).
VEMO_CORE_API void skipLine(String& text);
/// Removes leading white space and `#` comment lines with the white space after them.
VEMO_CORE_API void skipComments(String& text);
/// Removes and returns the longest prefix of ASCII letters, digits and '_'.
VEMO_CORE_API String readToken(String& text);
/// Takes any arguments and does nothing; 0.
VEMO_CORE_API int nothing(...);

}  // namespace vemo

#include "vemo/core/Property.h"
