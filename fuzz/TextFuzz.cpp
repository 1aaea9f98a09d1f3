// Arbitrary bytes as UTF-8 and as code-page text: decoding, walking, and the string operations
// that count and index characters must stay within the text and agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "vemo/core/Charset.h"
#include "vemo/core/String.h"
#include "vemo/core/StringHelper.h"

using namespace vemo;

namespace {

const int kCodePages[] = {0, 1252, 932, 936, 949, 950, 50225, 1255, 1258, 65001};

void checkUtf8(const std::string& bytes) {
  const String_T<char> text(bytes.c_str());
  const int length = text.getLength();
  if (length != stringLength(bytes.c_str())) std::abort();
  for (int i = 0; i < length; i += 7)
    (void)text[i];
  (void)text.find("\xC3", length / 2);
  (void)text.getSubString(length / 3, length / 3);

  // Decoding then encoding gives valid UTF-8, which decodes to the same text again.
  const String wide = StringHelper::utf8ToWide(bytes.c_str());
  const String_T<char> again = StringHelper::wideToUtf8(wide);
  if (StringHelper::utf8ToWide(again) != wide) std::abort();
}

void checkCodePage(const std::string& bytes, int codePage) {
  setCodePage(codePage);
  const String_T<unsigned char> text(reinterpret_cast<const unsigned char*>(bytes.c_str()));
  const int length = text.getLength();
  for (int i = 0; i < length; i += 13)
    (void)text[i];
  const String wide = StringHelper::ansiToWide(text);
  (void)StringHelper::wideToAnsi(wide);
  setCodePage(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks a code page; the rest is the text (cut at its first zero).
  const int codePage = kCodePages[data[0] % (sizeof kCodePages / sizeof kCodePages[0])];
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string text = bytes.substr(0, bytes.find('\0'));
  checkUtf8(text);
  checkCodePage(text, codePage);
  return 0;
}
