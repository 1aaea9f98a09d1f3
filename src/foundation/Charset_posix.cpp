// Code-page conversion on POSIX systems, through iconv.
//
// Each conversion opens its own converter, so conversions on different threads never share
// state. Unconvertible input is replaced as the Windows converter does: U+FFFD when decoding,
// '?' when encoding.
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "Charset.h"

namespace vemo {
namespace detail {
namespace {

// iconv's names of the code pages whose name is not simply "CP<number>".
struct CodePageCharset {
  int codePage;
  const char* charset;
};
const CodePageCharset kCodePageCharsets[] = {
    {20866, "KOI8-R"},     {28591, "ISO-8859-1"}, {28592, "ISO-8859-2"},  {28595, "ISO-8859-5"},
    {28597, "ISO-8859-7"}, {28598, "ISO-8859-8"}, {50220, "ISO-2022-JP"}, {50225, "ISO-2022-KR"},
    {51932, "EUC-JP"},     {51949, "EUC-KR"},     {54936, "GB18030"},     {852, "IBM852"},
    {866, "IBM866"},       {20127, "ASCII"},      {1200, "UTF-16LE"},     {1201, "UTF-16BE"},
};

// The character set of the environment's LC_CTYPE locale, read once without touching the
// program's own locale; the plain C locale counts as UTF-8.
const std::string& environmentCharset() {
  static const std::string charset = [] {
    std::string name = "UTF-8";
    locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (locale) {
      const char* codeset = nl_langinfo_l(CODESET, locale);
      if (codeset && *codeset && std::strcmp(codeset, "ANSI_X3.4-1968") != 0) name = codeset;
      freelocale(locale);
    }
    return name;
  }();
  return charset;
}

bool isUtf8Name(const std::string& name) {
  return strcasecmp(name.c_str(), "UTF-8") == 0 || strcasecmp(name.c_str(), "UTF8") == 0;
}

std::string charsetOf(int codePage) {
  if (codePage == 0) return environmentCharset();
  for (const CodePageCharset& row : kCodePageCharsets)
    if (row.codePage == codePage) return row.charset;
  return "CP" + std::to_string(codePage);
}

// Writes converter output first into the caller's room, then into a scratch buffer that only
// counts, so that the total is known however little room there was.
template <class Unit>
class Output {
 public:
  Output(Unit* out, std::size_t room) : _out(out), _room(out ? room : 0) {}

  // Where iconv may write next, in bytes.
  char* cursor(std::size_t& bytesLeft) {
    if (_total < _room) {
      _base = reinterpret_cast<char*>(_out + _total);
      bytesLeft = (_room - _total) * sizeof(Unit);
    } else {
      _base = reinterpret_cast<char*>(_scratch);
      bytesLeft = sizeof _scratch;
    }
    _inRoom = _total < _room;
    return _base;
  }
  // Accounts for what iconv wrote since cursor(); `full` when it stopped for lack of room.
  void advance(const char* end, bool full) {
    _total += static_cast<std::size_t>(end - _base) / sizeof(Unit);
    if (full && _inRoom) _room = _total;  // a character that did not fit: count the rest only
  }
  std::size_t total() const { return _total; }

 private:
  Unit* _out;
  std::size_t _room;
  std::size_t _total = 0;
  Unit _scratch[256];
  char* _base = nullptr;
  bool _inRoom = false;
};

// Runs iconv over the whole input. `replace` is called at each unconvertible input unit and
// returns the input units it consumed.
template <class In, class Out, class Replace>
long convert(const char* to, const char* from, const In* in, std::size_t n, Out* out,
             std::size_t room, Replace replace) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  Output<Out> output(out, room);
  char* inPtr = const_cast<char*>(reinterpret_cast<const char*>(in));
  std::size_t inLeft = n * sizeof(In);
  bool flushing = false;
  for (;;) {
    std::size_t outLeft;
    char* outPtr = output.cursor(outLeft);
    const std::size_t result = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                        : iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const int error = result == static_cast<std::size_t>(-1) ? errno : 0;
    output.advance(outPtr, error == E2BIG);
    if (error == E2BIG) continue;
    if (error == EILSEQ || error == EINVAL) {
      const std::size_t used = replace(cd, output) * sizeof(In);
      inPtr += used;
      inLeft = error == EINVAL ? 0 : inLeft - used;
      continue;
    }
    if (error) break;
    if (flushing) break;
    flushing = true;  // write the closing shift sequence of stateful encodings
  }
  iconv_close(cd);
  return static_cast<long>(output.total());
}

// Converts a short wide text through the open converter into the output (used for the '?'
// that replaces a character without a code-page form, so stateful encodings stay consistent).
void convertInto(iconv_t cd, Output<unsigned char>& output, const wchar_t* text) {
  char* inPtr = const_cast<char*>(reinterpret_cast<const char*>(text));
  std::size_t inLeft = std::wcslen(text) * sizeof(wchar_t);
  while (inLeft) {
    std::size_t outLeft;
    char* outPtr = output.cursor(outLeft);
    const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const bool full = result == static_cast<std::size_t>(-1) && errno == E2BIG;
    output.advance(outPtr, full);
    if (result == static_cast<std::size_t>(-1) && !full) break;
  }
}

}  // namespace

int systemCodePage() {
  return isUtf8Name(environmentCharset()) ? kUtf8CodePage : 0;
}

long codePageToWide(int codePage, const unsigned char* in, std::size_t n, wchar_t* out,
                    std::size_t room) {
  const std::string charset = charsetOf(codePage);
  return convert("WCHAR_T", charset.c_str(), in, n, out, room,
                 [](iconv_t, Output<wchar_t>& output) -> std::size_t {
                   std::size_t bytesLeft;
                   char* at = output.cursor(bytesLeft);
                   const wchar_t replacement = 0xFFFD;
                   std::memcpy(at, &replacement, sizeof replacement);
                   output.advance(at + sizeof replacement, false);
                   return 1;
                 });
}

long wideToCodePage(int codePage, const wchar_t* in, std::size_t n, unsigned char* out,
                    std::size_t room) {
  const std::string charset = charsetOf(codePage);
  return convert(charset.c_str(), "WCHAR_T", in, n, out, room,
                 [](iconv_t cd, Output<unsigned char>& output) -> std::size_t {
                   convertInto(cd, output, L"?");
                   return 1;
                 });
}

}  // namespace detail
}  // namespace vemo
