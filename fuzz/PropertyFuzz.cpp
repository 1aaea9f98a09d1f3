// Arbitrary text through PropertyHelper::convertToClass with classes that have a member of
// every converted type. An object that comes back is written as JSON text and read again: the
// second text must equal the first, unless the first holds a number that JSON cannot express.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <list>
#include <string>
#include <vector>

#include "vemo/core/Log.h"
#include "vemo/core/Property.h"

using namespace vemo;

namespace {

class Node : public Property {
  VEMO_DECLARE_PROPERTY(Node, Property)
 public:
  int value = 0;
  String name;
  Handle<Node> next;
  std::vector<Handle<Property>> items;

 protected:
  Node() = default;
};
VEMO_IMPLEMENT_PROPERTY(Node, VEMO_PROPERTY(value, L"value"), VEMO_PROPERTY(name, L"name"),
                        VEMO_PROPERTY(next, L"next"), VEMO_PROPERTY(items, L"items"))

// Shadows the base's `value` with a text.
class Tagged : public Node {
  VEMO_DECLARE_PROPERTY(Tagged, Node)
 public:
  String value;
  std::list<Handle<Node>> nodes;

 protected:
  Tagged() = default;
};
VEMO_IMPLEMENT_PROPERTY(Tagged, VEMO_PROPERTY(value, L"value"), VEMO_PROPERTY(nodes, L"nodes"))

// clang-format off
#define EVERYTHING(X)                                                                            \
  X(bool, b) X(float, f) X(double, d) X(char, c) X(long, l) X(unsigned long, ul)                 \
  X(signed char, i8) X(unsigned char, u8) X(short, i16) X(unsigned short, u16) X(int, i32)       \
  X(unsigned int, u32) X(__int64, i64) X(Varint, v32) X(Varint64, v64) X(String, s)              \
  X(Buffer, buf) X(Time, t) X(TimeSpan, span) X(Uuid, id) X(uuid_node_t, node) X(Point, pt)      \
  X(Pointf, ptf) X(Rect, rc) X(Rectf, rcf) X(Vector2, v2) X(Vector3, v3) X(Vector4, v4)          \
  X(Quaternion, q) X(std::vector<int>, ints) X(std::list<String>, strings)                       \
  X(std::vector<Rect>, rects) X(std::list<float>, floats) X(std::vector<Buffer>, buffers)        \
  X(std::list<Time>, times) X(std::vector<Uuid>, ids) X(Handle<Property>, child)                 \
  X(Handle<Node>, first) X(Handle<PropertyDummy>, dummy)                                         \
  X(std::vector<Handle<Property>>, children) X(std::list<Handle<Node>>, nodes)
// clang-format on
#define DECLARE_MEMBER(T, m) T m{};
#define PROPERTY_OF(T, m) VEMO_PROPERTY(m, L"" #m),

class All : public Property {
  VEMO_DECLARE_PROPERTY(All, Property)
 public:
  EVERYTHING(DECLARE_MEMBER)

 protected:
  All() = default;
};
VEMO_IMPLEMENT_PROPERTY(All, EVERYTHING(PROPERTY_OF))

// "%.16g" writes infinities and NaN as inf and nan, which no JSON reader takes back.
bool mayNotReadBack(const String& text) {
  return std::wcsstr(text.getBuffer(), L"inf") || std::wcsstr(text.getBuffer(), L"nan");
}

// A number that is not finite (a float member given 1e39) is written as null, with a warning;
// its member reads back as zero, so such a text is stable only from its second round on.
struct Warnings : LogListener {
  void warning(const wchar_t*) override { ++count; }
  int count = 0;
};

// A negative zero is written as -0, which reads back as the integer 0: the compact text with
// the sign of such numbers (outside strings) dropped.
std::wstring unsignedZeros(const String& text) {
  std::wstring out;
  bool inString = false;
  for (const wchar_t* p = text.getBuffer(); *p; ++p) {
    if (inString && *p == L'\\' && p[1]) {
      out += *p++;
    } else if (*p == L'"') {
      inString = !inString;
    } else if (!inString && *p == L'-' && p[1] == L'0' && p[2] && std::wcschr(L",]}", p[2])) {
      continue;
    }
    out += *p;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Each byte is one character (ISO 8859-1); the text ends at the first zero byte.
  std::vector<wchar_t> chars(data, data + size);
  chars.push_back(0);
  const String text(chars.data());

  // The same members imported into objects that already exist.
  JsonValue value;
  if (Json::parseValue(text.getBuffer(), value)) {
    const Handle<All> all = All::createInstance();
    const Handle<Tagged> tagged = Tagged::createInstance();
    all->importProperty(value);
    tagged->importProperty(value);
    JsonValue out;
    all->exportProperty(out);
    tagged->exportProperty(out);
  }

  const Handle<Property> object = PropertyHelper::convertToClass(text);
  if (!object) return 0;
  static Warnings warnings;
  static const bool listening = (Log::addListener(&warnings), true);
  (void)listening;
  const int warnedBefore = warnings.count;
  const String once = PropertyHelper::convertToString(object.get(), false);
  if (once.isEmpty()) std::abort();
  const bool nonFinite = warnings.count != warnedBefore;
  const Handle<Property> again = PropertyHelper::convertToClass(once);
  if (!again) {
    if (!mayNotReadBack(once)) std::abort();
    return 0;
  }
  const String twice = PropertyHelper::convertToString(again.get(), false);
  if (!nonFinite && unsignedZeros(once) != twice.getBuffer()) std::abort();
  // From then on the text is stable, and its styled form describes the same object.
  if (PropertyHelper::convertToString(PropertyHelper::convertToClass(twice).get(), false) != twice)
    std::abort();
  const Handle<Property> styled =
      PropertyHelper::convertToClass(PropertyHelper::convertToString(object.get(), true));
  if (!styled || (!nonFinite && PropertyHelper::convertToString(styled.get(), false) != twice))
    std::abort();
  return 0;
}
