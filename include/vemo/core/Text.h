/// \file
/// TextReader and TextWriter: text in UTF-8, UTF-16LE or the process code page over byte streams.
///
/// The caller states the encoding; no byte-order mark is read or written. Strings of any of the
/// three kinds can be read and written. Reading converts one character at a time and stops when
/// the input has nothing available; writing converts one whole string and writes it at once.
/// Copies of a reader or writer share it (and consume or produce on the same stream).
#pragma once

#include <cstdarg>

#include "vemo/core/Export.h"
#include "vemo/core/Stream.h"
#include "vemo/core/String.h"

namespace vemo {

/// Reads text of a stated encoding from an Input.
class VEMO_CORE_API TextReader {
 public:
  /// The encodings: UTF-8, UTF-16LE and the process code page.
  enum CharacterSet { Utf8 = 0, Wide = 1, Ansi = 2 };

  /// Decodes characters from an Input.
  class VEMO_CORE_API IReader : public Unknown {
   public:
    /// The next character, or -1 at the end of the data.
    virtual int readChar() = 0;
    /// The input it reads.
    const Handle_T<Input>& input() const { return _input; }

   protected:
    /// A decoder of `input`.
    explicit IReader(Input* input) : _input(input) {}
    Handle_T<Input> _input;  ///< The input it reads.
  };
  class Utf8Reader;
  class WideReader;
  class AnsiReader;

  /// A closed reader: every read fails until open.
  TextReader() = default;
  /// A reader opened on `input` (closed when open fails).
  TextReader(Input* input, CharacterSet characterSet) { open(input, characterSet); }

  /// False for a null input or an unknown character set (the reader is then closed).
  bool open(Input* input, CharacterSet characterSet);
  /// Releases the input; reads fail until the next open.
  void close() { _reader = nullptr; }

  ///@{
  /// All remaining text; false only when no reader is open.
  bool read(String_T<wchar_t>& text);
  bool read(String_T<char>& text);
  bool read(String_T<unsigned char>& text);
  ///@}
  ///@{
  /// The next line without its line feed (carriage returns are dropped); false when no reader
  /// is open or nothing is available before the line starts.
  bool readLine(String_T<wchar_t>& text);
  bool readLine(String_T<char>& text);
  bool readLine(String_T<unsigned char>& text);
  ///@}

 private:
  Unknown::Handle_T<IReader> _reader;
};

/// Writes text in a stated encoding to an Output.
class VEMO_CORE_API TextWriter {
 public:
  /// The encodings: UTF-8, UTF-16LE and the process code page.
  enum CharacterSet { Utf8 = 0, Wide = 1, Ansi = 2 };

  /// Encodes whole strings onto an Output.
  class VEMO_CORE_API IWriter : public Unknown {
   public:
    ///@{
    /// Encodes the whole string and writes it at once; true when every byte was taken.
    virtual bool write(const String_T<char>& text) = 0;
    virtual bool write(const String_T<wchar_t>& text) = 0;
    virtual bool write(const String_T<unsigned char>& text) = 0;
    ///@}

   protected:
    /// An encoder onto `output`.
    explicit IWriter(Output* output) : _output(output) {}
    /// Writes all bytes at once; true when every byte was taken.
    bool writeBytes(const void* data, int size);
    Handle_T<Output> _output;  ///< The output it writes.
  };
  class Utf8Writer;
  class WideWriter;
  class AnsiWriter;

  /// A closed writer: every write fails until open.
  TextWriter() = default;
  /// A writer opened on `output` (closed when open fails).
  TextWriter(Output* output, CharacterSet characterSet) { open(output, characterSet); }

  /// False for a null output or an unknown character set (the writer is then closed).
  bool open(Output* output, CharacterSet characterSet);
  /// Releases the output; writes fail until the next open.
  void close() { _writer = nullptr; }

  ///@{
  /// True when the output took every byte; false on a short write or without a writer.
  bool write(const String_T<char>& text);
  bool write(const String_T<wchar_t>& text);
  bool write(const String_T<unsigned char>& text);
  ///@}
  /// Formats like String::format and writes the text; the formatted length, or -1.
  int vprintf(const wchar_t* format, va_list args);
  /// vprintf with C arguments, read as the directives say.
  int print(const wchar_t* format, ...);

 private:
  Unknown::Handle_T<IWriter> _writer;
};

}  // namespace vemo
