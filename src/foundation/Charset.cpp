#include "vemo/core/Charset.h"

#include "Charset.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "CharWalk.h"
#include "Utf.h"

namespace vemo {

namespace {

std::atomic<int> g_codePage{0};

struct CharsetName {
  const char* name;
  int codePage;
  const char* display;
};

// Character-set names accepted by setCodePage, searched in this order.
const CharsetName kCharsetNames[] = {
    {"ansi_x3.4-1968", 1252, "Western"},
    {"ansi_x3.4-1986", 1252, "Western"},
    {"ascii", 1252, "Western"},
    {"english", 1252, "Western"},
    {"cp367", 1252, "Western"},
    {"cp819", 1252, "Western"},
    {"csascii", 1252, "Western"},
    {"ibm367", 1252, "Western"},
    {"ibm819", 1252, "Western"},
    {"iso-8859-1", 1252, "Western"},
    {"iso-ir-100", 1252, "Western"},
    {"iso-ir-6", 1252, "Western"},
    {"iso646-us", 1252, "Western"},
    {"iso8859-1", 1252, "Western"},
    {"iso_646.irv:1991", 1252, "Western"},
    {"iso_8859-1", 1252, "Western"},
    {"iso_8859-1:1987", 1252, "Western"},
    {"latin1", 1252, "Western"},
    {"us", 1252, "Western"},
    {"us-ascii", 1252, "Western"},
    {"windows-1252", 1252, "Western"},
    {"big5", 950, "Traditional Chinese (BIG5)"},
    {"csbig5", 950, "Traditional Chinese (BIG5)"},
    {"x-x-big5", 950, "Traditional Chinese (BIG5)"},
    {"chinese", 936, "Chinese Simplified"},
    {"cseuckr", 949, "Korean"},
    {"csksc56011987", 949, "Korean"},
    {"euc-kr", 949, "Korean"},
    {"iso-ir-149", 949, "Korean"},
    {"korean", 949, "Korean"},
    {"ks-c-5601", 949, "Korean"},
    {"ks-c-5601-1987", 949, "Korean"},
    {"ks_c_5601", 949, "Korean"},
    {"ks_c_5601-1987", 949, "Korean"},
    {"ks_c_5601-1989", 949, "Korean"},
    {"ksc-5601", 949, "Korean"},
    {"ksc5601", 949, "Korean"},
    {"ksc_5601", 949, "Korean"},
    {"csgb2312", 936, "Chinese Simplified (GB2312)"},
    {"csiso58gb231280", 936, "Chinese Simplified (GB2312)"},
    {"gb2312", 936, "Chinese Simplified (GB2312)"},
    {"gb_2312-80", 936, "Chinese Simplified (GB2312)"},
    {"iso-ir-58", 936, "Chinese Simplified (GB2312)"},
    {"hz-gb-2312", 936, "Chinese Simplified (HZ)"},
    {"csiso2022kr", 50225, "Korean (ISO)"},
    {"iso-2022-kr", 50225, "Korean (ISO)"},
    {"csisolatin2", 28592, "Central European (ISO)"},
    {"iso-8859-2", 28592, "Central European (ISO)"},
    {"iso-ir-101", 28592, "Central European (ISO)"},
    {"iso8859-2", 28592, "Central European (ISO)"},
    {"iso_8859-2", 28592, "Central European (ISO)"},
    {"iso_8859-2:1987", 28592, "Central European (ISO)"},
    {"l2", 28592, "Central European (ISO)"},
    {"latin2", 28592, "Central European (ISO)"},
    {"csisolatinhebrew", 1255, "Hebrew (ISO-Visual)"},
    {"iso-8859-8", 1255, "Hebrew (ISO-Visual)"},
    {"iso-ir-138", 1255, "Hebrew (ISO-Visual)"},
    {"iso_8859-8", 1255, "Hebrew (ISO-Visual)"},
    {"iso_8859-8:1988", 1255, "Hebrew (ISO-Visual)"},
    {"hebrew", 1255, "Hebrew "},
    {"cskoi8r", 20866, "Cyrillic (KOI8-R)"},
    {"koi8-r", 20866, "Cyrillic (KOI8-R)"},
    {"csshiftjis", 932, "Shift-JIS"},
    {"ms_kanji", 932, "Shift-JIS"},
    {"shift-jis", 932, "Shift-JIS"},
    {"shift_jis", 932, "Shift-JIS"},
    {"japanese", 932, "Shift-JIS"},
    {"x-sjis", 932, "Shift-JIS"},
    {"ibm852", 852, "Central European (DOS)"},
    {"ibm866", 866, "Cyrillic (DOS)"},
    {"windows-1250", 1250, "Central European (Windows)"},
    {"x-cp1250", 1250, "Central European (Windows)"},
    {"windows-1251", 1251, "Cyrillic (Windows)"},
    {"x-cp1251", 1251, "Cyrillic (Windows)"},
    {"windows-1253", 1253, "Greek (Windows)"},
    {"windows-1254", 1254, "Turkish (Windows)"},
    {"windows-1255", 1255, "Hebrew"},
    {"windows-1256", 1256, "Arabic"},
    {"windows-1257", 1257, "Baltic (Windows)"},
    {"windows-1258", 1258, "Vietnamese"},
    {"windows-874", 874, "Thai"},
    {nullptr, 0, nullptr},
};
static_assert(sizeof(kCharsetNames) / sizeof(kCharsetNames[0]) == 82, "81 names and the end");

// One character converted between wide text and the process code page.
long wideCharToCodePage(int ch, unsigned char* out, std::size_t room) {
  const wchar_t wide = static_cast<wchar_t>(ch);
  return detail::wideToAnsi(&wide, 1, out, room);
}

}  // namespace

namespace detail {

int effectiveCodePage() {
  const int codePage = g_codePage.load(std::memory_order_relaxed);
  return codePage ? codePage : systemCodePage();
}

long ansiToWide(const unsigned char* in, std::size_t n, wchar_t* out, std::size_t room) {
  const int codePage = effectiveCodePage();
  if (codePage == kUtf8CodePage) return static_cast<long>(utf8ToWide(in, n, out, room));
  return codePageToWide(codePage, in, n, out, room);
}

long wideToAnsi(const wchar_t* in, std::size_t n, unsigned char* out, std::size_t room) {
  const int codePage = effectiveCodePage();
  if (codePage == kUtf8CodePage) return static_cast<long>(wideToUtf8(in, n, out, room));
  return wideToCodePage(codePage, in, n, out, room);
}

std::size_t utf8ToWide(const unsigned char* in, std::size_t n, wchar_t* out, std::size_t room) {
  const unsigned char* end = in + n;
  std::size_t count = 0;
  while (in < end) {
    if (*in < 0x80) {  // runs of ASCII need no decoding
      if (count < room) out[count] = static_cast<wchar_t>(*in);
      ++in;
      ++count;
      continue;
    }
    const char32_t cp = decodeUtf8(in, end);
    wchar_t units[2];
    const int k = encodeWide(cp, units);
    for (int i = 0; i < k; ++i, ++count)
      if (count < room) out[count] = units[i];
  }
  return count;
}

std::size_t wideToUtf8(const wchar_t* in, std::size_t n, unsigned char* out, std::size_t room) {
  const wchar_t* end = in + n;
  std::size_t count = 0;
  while (in < end) {
    const char32_t cp = decodeWide(in, end);
    if (count + 4 <= room) {
      count += static_cast<std::size_t>(encodeUtf8(cp, out + count));
      continue;
    }
    unsigned char bytes[4];
    const int k = encodeUtf8(cp, bytes);
    for (int i = 0; i < k; ++i, ++count)
      if (count < room) out[count] = bytes[i];
  }
  return count;
}

}  // namespace detail

int getCodePage() {
  return g_codePage.load(std::memory_order_relaxed);
}

bool setCodePage(int codePage) {
  g_codePage.store(codePage, std::memory_order_relaxed);
  return true;
}

bool setCodePage(const char* name) {
  if (!name) return false;
  char lower[64];
  std::size_t n = std::strlen(name);
  if (n >= sizeof lower) return false;  // longer than every name of the table
  for (std::size_t i = 0; i <= n; ++i)
    lower[i] =
        (name[i] >= 'A' && name[i] <= 'Z') ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
  for (const CharsetName* row = kCharsetNames; row->name; ++row) {
    if (std::strcmp(row->name, lower) == 0) return setCodePage(row->codePage);
  }
  return false;
}

int stringLength(const char* text) {
  if (!text) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  return detail::countChars<detail::utf8CharBytes>(p, p + std::strlen(text));
}

int stringLength(const unsigned char* text) {
  if (!text) return 0;
  return detail::countChars<detail::ansiCharBytes>(
      text, text + std::strlen(reinterpret_cast<const char*>(text)));
}

int stringCharLength(const char* text) {
  return detail::utf8CharBytes(reinterpret_cast<const unsigned char*>(text));
}

const char* stringChar(const char* text, int& ch) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const int bytes = detail::utf8CharBytes(p);
  ch = detail::utf8CharValue(p, bytes);
  return text + bytes;
}

const unsigned char* stringChar(const unsigned char* text, int& ch) {
  const std::size_t bytes = static_cast<std::size_t>(detail::ansiCharBytes(text));
  wchar_t wide[4] = {0, 0, 0, 0};
  detail::ansiToWide(text, bytes, wide, 4);
  ch = static_cast<int>(wide[0]);
  return text + bytes;
}

int charToString(char* out, int ch) {
  // Every unit below 0x10000 is written as it stands, surrogates included; only a wide
  // character above the basic plane (32-bit wchar_t) takes four bytes.
  const std::uint32_t c = static_cast<std::uint32_t>(ch);
  int n;
  if (c == 0) {
    n = 0;
  } else if (c < 0x80) {
    out[0] = static_cast<char>(c);
    n = 1;
  } else if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    n = 2;
  } else if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    n = 3;
  } else {
    n = detail::encodeUtf8(c, reinterpret_cast<unsigned char*>(out));
  }
  out[n] = 0;
  return n;
}

int charToString(unsigned char* out, int ch) {
  if (ch == 0) {
    out[0] = 0;
    return 0;
  }
  unsigned char bytes[16];
  long n = wideCharToCodePage(ch, bytes, sizeof bytes);
  if (n <= 0 || n > 3) {
    bytes[0] = '?';
    n = 1;
  }
  std::memcpy(out, bytes, static_cast<std::size_t>(n));
  out[n] = 0;
  return static_cast<int>(n);
}

template <>
int charLength<char>(int ch) {
  char bytes[8];
  return charToString(bytes, ch);
}

template <>
int charLength<unsigned char>(int ch) {
  if (ch == 0) return 0;
  const long n = wideCharToCodePage(ch, nullptr, 0);
  return n < 0 ? 0 : static_cast<int>(n);
}

}  // namespace vemo
