// Property reflection, the converter family, PropertyFactory, PropertyHelper, configuration
// look-up and the string scanners.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Archive.h"
#include "vemo/core/File.h"
#include "vemo/core/Log.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/Property.h"
#include "vemo/core/PropertyHelper.h"

using namespace vemo;
namespace fs = std::filesystem;
using Lines = std::vector<std::wstring>;

namespace {

// "%p" of a null pointer: the C library's text, "(nil)" with glibc, all digits zero on Windows.
std::wstring nullPointerText() {
#if defined(_WIN32)
  return std::wstring(2 * sizeof(void*), L'0');
#else
  return L"(nil)";
#endif
}

}  // namespace

namespace {

using Logged = tests::LogCapture;

// A linked node; Tagged derives from it and shadows `value` with a text.
class Node : public Property {
  VEMO_DECLARE_PROPERTY(Node, Property)
 public:
  int value = 0;
  String name;
  Handle<Node> next;

 protected:
  Node() = default;
};
VEMO_IMPLEMENT_PROPERTY(Node, VEMO_PROPERTY(value, L"A number"), VEMO_PROPERTY(name, L"A name"),
                        VEMO_PROPERTY(next, L"The following node"))

class Tagged : public Node {
  VEMO_DECLARE_PROPERTY(Tagged, Node)
 public:
  String value;
  double weight = 0;

 protected:
  Tagged() = default;
};
VEMO_IMPLEMENT_PROPERTY(Tagged, VEMO_PROPERTY(value, L"A tag"), VEMO_PROPERTY(weight, L"Weight"))

// One member of every registered value type, containers of some, and object handles:
// X(member type, member name, property type of its converter).
// clang-format off
#define EVERYTHING(X)                                                                            \
  X(bool, b, "bool") X(float, f, "float") X(double, d, "double") X(char, c, "char")              \
  X(long, l, "long") X(unsigned long, ul, "ulong_t") X(signed char, i8, "int8_t")                \
  X(unsigned char, u8, "uint8_t") X(short, i16, "int16_t") X(unsigned short, u16, "uint16_t")    \
  X(int, i32, "int32_t") X(unsigned int, u32, "uint32_t") X(__int64, i64, "int64_t")             \
  X(Varint, v32, "Varint") X(Varint64, v64, "Varint64") X(String, s, "String")                   \
  X(Buffer, buf, "Buffer") X(Time, t, "Time") X(TimeSpan, span, "TimeSpan") X(Uuid, id, "Uuid")  \
  X(uuid_node_t, node, "uuid_node_t") X(Point, pt, "Point") X(Pointf, ptf, "Pointf")             \
  X(Rect, rc, "Rect") X(Rectf, rcf, "Rectf") X(Vector2, v2, "Vector2")                           \
  X(Vector3, v3, "Vector3") X(Vector4, v4, "Vector4") X(Quaternion, q, "Quaternion")             \
  X(std::vector<int>, ints, "int32_tArray") X(std::list<String>, strings, "StringList")          \
  X(std::vector<Rect>, rects, "RectArray") X(std::list<double>, doubles, "doubleList")           \
  X(std::vector<Uuid>, ids, "UuidArray") X(std::list<Buffer>, buffers, "BufferList")             \
  X(Handle<Property>, child, "Property")                                                         \
  X(std::vector<Handle<Property>>, children, "PropertyArray")                                    \
  X(std::list<Handle<Node>>, nodes, "NodeList")
// clang-format on
#define DECLARE_MEMBER(T, m, type) T m{};
#define PROPERTY_OF(T, m, type) VEMO_PROPERTY(m, L"" #m),

class Everything : public Property {
  VEMO_DECLARE_PROPERTY(Everything, Property)
 public:
  EVERYTHING(DECLARE_MEMBER)

 protected:
  Everything() = default;
};
VEMO_IMPLEMENT_PROPERTY(Everything, EVERYTHING(PROPERTY_OF))

// A value type with conversion functions whose converter is never set up.
struct Kelvin {
  double degrees = 1;
};
void convertPropertyToJson(const Kelvin& member, JsonValue& value) {
  JsonValue(member.degrees).swap(value);
}
void convertPropertyToClass(const JsonValue& value, Kelvin& member) {
  member.degrees = value.asDouble();
}

// `big` has a type without a converter in the factory.
class Unconvertible : public Property {
  VEMO_DECLARE_PROPERTY(Unconvertible, Property)
 public:
  Kelvin big;
  int n = 0;

 protected:
  Unconvertible() = default;
};
VEMO_IMPLEMENT_PROPERTY(Unconvertible, VEMO_PROPERTY(big, L"Too big"), VEMO_PROPERTY(n, L"n"))

// A value type whose converter the tests set up and tear down themselves.
struct Celsius {
  double degrees = 0;
};
void convertPropertyToJson(const Celsius& member, JsonValue& value) {
  JsonValue(member.degrees).swap(value);
}
void convertPropertyToClass(const JsonValue& value, Celsius& member) {
  member.degrees = value.asDouble();
}
class Thermometer : public Property {
  VEMO_DECLARE_PROPERTY(Thermometer, Property)
 public:
  Celsius reading;

 protected:
  Thermometer() = default;
};
VEMO_IMPLEMENT_PROPERTY(Thermometer, VEMO_PROPERTY(reading, L"Current reading"))

Buffer bytes(const std::string& data) {
  Buffer buffer(int(data.size()));
  if (!data.empty()) std::memcpy(buffer.getBuffer(), data.data(), data.size());
  return buffer;
}

String text(const Property* object) {
  return PropertyHelper::convertToString(object, false);
}

JsonValue parse(const wchar_t* json) {
  JsonValue value;
  EXPECT_TRUE(Json::parseValue(json, value)) << json;
  return value;
}

Handle<Node> node(int value, const wchar_t* name = L"") {
  Handle<Node> made = Node::createInstance();
  made->value = value;
  made->name = name;
  return made;
}

Handle<Everything> filled() {
  Handle<Everything> e = Everything::createInstance();
  e->b = true, e->d = 0.1, e->c = -5, e->l = LONG_MIN, e->ul = ULONG_MAX;
  e->i8 = -128, e->u8 = 255, e->i16 = -32768, e->u16 = 65535, e->i32 = INT_MIN;
  e->u32 = 4000000000u, e->i64 = LLONG_MIN, e->v32 = INT_MAX, e->v64 = LLONG_MAX;
  e->s = L"snow \u2603 \"quoted\"\n\t\U0001F600 \x01";
  e->buf = bytes("foobar"), e->t = Time(kUnixEpoch + 1620412485), e->span = -31536000;
  e->id.time_low = 0x12345678, e->id.time_mid = 0x9abc, e->id.time_hi_and_version = 0x1def;
  e->id.clock_seq_hi_and_reserved = 0x80, e->id.clock_seq_low = 0x01;
  const unsigned char mac[6] = {0x00, 0x1b, 0x63, 0x84, 0x45, 0xe6};
  std::memcpy(e->id.node.nodeID, mac, 6), e->node = e->id.node;
  // Floats at the edges of their range: FLT_MAX is written as a double a little above it.
  const float tiny = std::numeric_limits<float>::denorm_min();
  e->f = -FLT_MAX, e->pt = {-1, 2}, e->ptf = {FLT_MAX, -0.25f}, e->rc = {1, 2, 3, 4};
  e->rcf = {-1.5f, FLT_MIN, 1e30f, -tiny}, e->v2 = {-FLT_MAX, tiny}, e->v3 = {1, FLT_MAX, 3};
  e->v4 = {1, 2, 3, 4}, e->q = {0.5f, -FLT_MIN, FLT_MAX, 3 * tiny};
  e->ints = {1, -2, 3}, e->strings = {L"a", L"", L"\u00e9"}, e->rects = {{1, 2, 3, 4}, {}};
  e->doubles = {1e300, -2.5e-300, 0}, e->ids = {e->id, Uuid()};
  e->buffers = {bytes(""), bytes(std::string("\0\xff", 2))};
  e->child = node(7, L"child");
  e->children = {node(1), nullptr, Handle<Property>(Tagged::createInstance().get())};
  e->nodes = {node(2), nullptr};
  return e;
}

// Member comparison: handles compare by their JSON text.
template <class T>
bool same(const T& a, const T& b) {
  return a == b;
}
bool same(const TimeSpan& a, const TimeSpan& b) {
  return a.value == b.value;
}
template <class T>
bool same(const Handle<T>& a, const Handle<T>& b) {
  return text(a.get()) == text(b.get());
}
template <class T>
bool same(const std::vector<Handle<T>>& a, const std::vector<Handle<T>>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) { return same(x, y); });
}
template <class T>
bool same(const std::list<Handle<T>>& a, const std::list<Handle<T>>& b) {
  return same(std::vector<Handle<T>>(a.begin(), a.end()),
              std::vector<Handle<T>>(b.begin(), b.end()));
}
#define EXPECT_SAME(T, m, type) EXPECT_TRUE(same(a.m, b.m)) << #m;
void expectSame(const Everything& a, const Everything& b) {
  EVERYTHING(EXPECT_SAME)
}

const IPropertyAttribute& attributeOf(const Property& object, const wchar_t* name) {
  return *object.getPropertyAttributes().at(String(name));
}

// The text of a failed hand-over as the C library formats it.
std::wstring handOver(const wchar_t* what, const void* member, const void* converter,
                      const IPropertyAttribute& attribute) {
  wchar_t line[512];
  std::swprintf(line, 512, L"error: void PropertyAttribute::%ls(%p, %p) @ %ls %ls", what, member,
                converter, attribute.getRttiClassName().getBuffer(),
                attribute.getPropertyRawName().getBuffer());
  return line;
}

bool startsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST(PropertyConverters, EveryTypeSurvivesJsonText) {
  for (const Handle<Everything>& a : {filled(), Everything::createInstance()})
    for (const bool styled : {false, true}) {
      JsonValue exported, parsed;
      a->exportProperty(exported);
      const String json = Json::convertToString(exported, styled);
      ASSERT_TRUE(Json::parseValue(json.getBuffer(), parsed)) << json.getBuffer();
      Handle<Everything> b = Everything::createInstance();
      Logged logged;
      b->importProperty(parsed);
      EXPECT_EQ(logged.lines, Lines{});
      expectSame(*a, *b);
    }
}

TEST(PropertyConverters, ExportedFormsAndTypeNames) {
  const Handle<Everything> e = filled();
  JsonValue out;
  e->exportProperty(out);
  EXPECT_EQ(out.size(), 39);  // 38 members and "__class__"
  EXPECT_EQ(out[L"__class__"].asString(), L"Everything");
  const auto form = [&](const wchar_t* key) { return Json::convertToString(out[key], false); };
  EXPECT_EQ(form(L"u32"), L"4000000000");
  EXPECT_EQ(out[L"u32"].type(), JsonValue::intValue);
#if defined(_WIN32)
  EXPECT_EQ(form(L"ul"), L"4294967295");  // long and unsigned long have 32 bits on Windows
  EXPECT_EQ(out[L"ul"].type(), JsonValue::intValue);
  EXPECT_EQ(form(L"l"), L"-2147483648");
#else
  EXPECT_EQ(form(L"ul"), L"18446744073709551615");  // unsigned long keeps 64 bits here
  EXPECT_EQ(out[L"ul"].type(), JsonValue::uintValue);
  EXPECT_EQ(form(L"l"), L"-9223372036854775808");
#endif
  EXPECT_EQ(form(L"i8"), L"-128");
  EXPECT_EQ(form(L"b"), L"true");
  EXPECT_EQ(out[L"f"].type(), JsonValue::doubleValue);
  EXPECT_EQ(out[L"v32"].type(), JsonValue::intValue);
  EXPECT_EQ(form(L"span"), L"-31536000");
  EXPECT_EQ(form(L"buf"), L"\"Zm9vYmFy\"");  // base64 of "foobar"
  EXPECT_EQ(form(L"rc"), L"{\"bottom\":4,\"left\":1,\"right\":3,\"top\":2}");
  EXPECT_EQ(form(L"v4"), L"{\"w\":4,\"x\":1,\"y\":2,\"z\":3}");
  EXPECT_EQ(form(L"ints"), L"[1,-2,3]");
  EXPECT_EQ(form(L"nodes"),
            L"[{\"__class__\":\"Node\",\"name\":\"\",\"next\":null,\"value\":2},null]");
  EXPECT_EQ(form(L"child"),
            L"{\"__class__\":\"Node\",\"name\":\"child\",\"next\":null,\"value\":7}");
#define EXPECT_TYPE(T, m, type) EXPECT_EQ(attributeOf(*e, L"" #m).getPropertyType(), L"" type);
  EVERYTHING(EXPECT_TYPE)
  for (const wchar_t* name : {L"Property", L"PropertyDummy", L"Node", L"Varint64", L"Time"})
    for (const wchar_t* suffix : {L"", L"Array", L"List"})
      EXPECT_NE(PropertyFactory::getPropertyConverter(String(name) + suffix), nullptr) << name;
  EXPECT_EQ(PropertyFactory::getPropertyConverter(L"uint64_t"), nullptr);
}

TEST(PropertyConverters, LenientValues) {
  struct Case {
    const wchar_t* json;
    Lines logged;
    std::function<bool(const Everything&)> check;
  };
  const std::vector<int> kRead{1, 2, 0, 2};
  const Case cases[] = {
      {L"{\"u8\":300}", {L"uintValue out of UInt8 range"}, [](auto& e) { return e.u8 == 44; }},
      {L"{\"i8\":-129}", {L"intValue out of Int8 range"}, [](auto& e) { return e.i8 == 127; }},
      {L"{\"u32\":4000000000}", {}, [](auto& e) { return e.u32 == 4000000000u; }},
      {L"{\"i32\":null}", {}, [](auto& e) { return e.i32 == 0; }},
      {L"{\"i32\":[1]}",
       {L"Value is not convertible to Int32"},
       [](auto& e) { return e.i32 == 0; }},
      {L"{\"b\":\"true\"}", {}, [](auto& e) { return !e.b; }},
      {L"{\"s\":12}", {}, [](auto& e) { return e.s == L"12"; }},
      {L"{\"s\":{ \"b\" : [1, 2], \"a\" : true }}",
       {},
       [](auto& e) { return e.s == L"{\"a\":true,\"b\":[1,2]}"; }},
      {L"{\"rc\":[1,2,3,4]}", {}, [](auto& e) { return e.rc == Rect(); }},
      {L"{\"ptf\":{\"x\":\"1.5\",\"z\":9}}", {}, [](auto& e) { return e.ptf == Pointf(1.5f, 0); }},
      {L"{\"ints\":{\"0\":1}}", {}, [](auto& e) { return e.ints.empty(); }},
      {L"{\"ints\":[1,\"2x\",null,2.9]}", {}, [&](auto& e) { return e.ints == kRead; }},
      {L"{\"strings\":7}", {}, [](auto& e) { return e.strings.empty(); }},
  };
  for (const Case& c : cases) {
    const Handle<Everything> e = filled();
    Logged logged;
    e->importProperty(parse(c.json));
    EXPECT_EQ(logged.lines, c.logged) << c.json;
    EXPECT_TRUE(c.check(*e)) << c.json;
  }
}

TEST(PropertyImport, StrictImportNamesThePathAndReasonAndChangesNothing) {
  // Whatever the library exports reads back strictly, every type of member included.
  const Handle<Everything> source = filled();
  source->children.push_back(Handle<Property>(node(7, L"n").get()));
  source->nodes.push_back(node(8, L"m"));
  JsonValue exported;
  source->exportProperty(exported);
  const Handle<Everything> copy = Everything::createInstance();
  copy->importProperty(parse(Json::convertToString(exported, false).getBuffer()),
                       PropertyImport::strict);
  EXPECT_EQ(text(copy.get()), text(source.get()));

  // The first value that does not fit fails with its path, and the object keeps all it had.
  struct Case {
    const wchar_t* json;
    const wchar_t* error;
  };
  const Case cases[] = {
      {L"{\"i32\":\"fast\"}", L"Json value \"i32\": expected int32, found the string \"fast\""},
      {L"{\"i32\":12.7}", L"Json value \"i32\": 12.7 is not a whole number (int32)"},
      {L"{\"b\":\"yes\"}", L"Json value \"b\": expected bool, found the string \"yes\""},
      {L"{\"s\":42}", L"Json value \"s\": expected string, found the number 42"},
      {L"{\"i32\":3000000000}", L"Json value \"i32\": 3000000000 is out of the range of int32"},
      {L"{\"u8\":-1}", L"Json value \"u8\": -1 is out of the range of uint8"},
      {L"{\"i32\":1,\"nmae\":\"x\"}", L"Json value \"nmae\": unknown key of the class Everything"},
      {L"{\"ints\":[1,\"2x\"]}",
       L"Json value \"ints[1]\": expected int32, found the string \"2x\""},
      {L"{\"rc\":{\"left\":1,\"wide\":2}}", L"Json value \"rc.wide\": unknown key"},
      {L"{\"ptf\":{\"x\":\"1.5\"}}",
       L"Json value \"ptf.x\": expected float, found the string \"1.5\""},
      {L"{\"strings\":7}", L"Json value \"strings\": expected an array, found the number 7"},
      {L"{\"rects\":[{\"top\":true}]}", L"Json value \"rects[0].top\": expected int32, found true"},
      {L"{\"id\":\"not-a-uuid\"}",
       L"Json value \"id\": expected a string of a UUID, found the string \"not-a-uuid\""},
      {L"{\"nodes\":[{\"__class__\":\"Node\",\"next\":{\"__class__\":\"Node\",\"value\":\"x\"}}]}",
       L"Json value \"nodes[0].next.value\": expected int32, found the string \"x\""},
      {L"{\"child\":{\"value\":1}}",
       L"Json value \"child\": expected an object with \"__class__\", found an object"},
      {L"{\"child\":{\"__class__\":\"NoSuchClass\"}}",
       L"Json value \"child\": no class \"NoSuchClass\" is registered"},
      {L"{\"__class__\":\"Node\"}",
       L"Json value \"__class__\": expected the class \"Everything\", found the string \"Node\""},
      {L"[1]", L"Json value \"\": expected an object, found an array"},
  };
  const Handle<Everything> e = filled();
  const String before = text(e.get());
  for (const Case& c : cases) {
    Logged logged;
    try {
      e->importProperty(parse(c.json), PropertyImport::strict);
      ADD_FAILURE() << "no error for " << c.json;
    } catch (const Exception& error) {
      EXPECT_EQ(std::wstring(error.description()), c.error) << c.json;
    }
    EXPECT_EQ(text(e.get()), before) << c.json;
    EXPECT_TRUE(logged.lines.empty()) << c.json;
  }
  // The lenient import, still the default, takes what it can of the same values.
  e->importProperty(parse(L"{\"i32\":12.7,\"b\":\"yes\",\"s\":42,\"nmae\":1}"));
  EXPECT_EQ(e->i32, 12);
  EXPECT_FALSE(e->b);
  EXPECT_EQ(e->s, L"42");
  // Members absent from a strict import keep their values.
  e->importProperty(parse(L"{\"i32\":5}"), PropertyImport::strict);
  EXPECT_EQ(e->i32, 5);
  EXPECT_EQ(e->s, L"42");
}

TEST(PropertyConverters, TextValuesThrowWithTheirLocation) {
  struct Case {
    std::function<void()> convert;
    const wchar_t *file, *description;
    int line;
  };
  Buffer buffer;
  Time time;
  Uuid id;
  uuid_node_t node;
  const Case cases[] = {
      {[&] { convertPropertyToClass(JsonValue(5), buffer); }, L"src/Buffer",
       L"void convertPropertyToClass(const String &, Buffer &)", 140},
      {[&] { convertPropertyToClass(JsonValue(L"!!!!"), buffer); }, L"src/Buffer",
       L"void convertPropertyToClass(const String &, Buffer &)", 140},
      {[&] { convertPropertyToClass(JsonValue(L"2021-13-1"), time); }, L"src/Time",
       L"void convertPropertyToClass(JsonValue const &,Time &)", 243},
      {[&] { convertPropertyToClass(JsonValue(), time); }, L"src/Time",
       L"void convertPropertyToClass(JsonValue const &,Time &)", 243},
      {[&] { convertPropertyToClass(JsonValue(L"12345678-9abc"), id); }, L"vemo/core/Uuid",
       L"void convertPropertyToClass(JsonValue const &, Uuid &)", 250},
      {[&] { convertPropertyToClass(JsonValue(L"001b638445e"), node); }, L"vemo/core/Uuid",
       L"void convertPropertyToClass(const JsonValue &, uuid_node_t &)", 304},
  };
  for (const Case& c : cases) {
    try {
      c.convert();
      ADD_FAILURE() << "no exception for " << c.line;
    } catch (const Exception& error) {
      EXPECT_STREQ(error.file(), c.file);
      EXPECT_EQ(error.line(), c.line);
      EXPECT_EQ(error.code(), -1);
      EXPECT_STREQ(error.description(), c.description);
    }
  }
}

TEST(PropertyImport, FailedMembersAreReportedAndTheRestIsRead) {
  const Handle<Everything> e = filled();
  Logged logged;
  e->importProperty(
      parse(L"{\"buf\":5,\"c\":1,\"id\":\"xyz\",\"ints\":[9],\"node\":[],"
            L"\"pt\":{\"x\":3},\"t\":\"2021-2-30\",\"u8\":6}"));
  EXPECT_EQ(logged.lines,
            (Lines{L"error: void convertPropertyToClass(const String &, Buffer &)",
                   L"error: void convertPropertyToClass(JsonValue const &, Uuid &)",
                   L"error: void convertPropertyToClass(const JsonValue &, uuid_node_t &)",
                   L"error: void convertPropertyToClass(JsonValue const &,Time &)"}));
  EXPECT_EQ(e->c, 1);
  EXPECT_EQ(e->ints, std::vector<int>{9});
  EXPECT_EQ(e->pt, Point(3, 0));
  EXPECT_EQ(e->u8, 6);
  EXPECT_TRUE(e->t == Time());  // reset before the text is read
  // Unknown keys and values other than objects change nothing, and log nothing.
  const String before = text(e.get());
  logged.lines.clear();
  e->importProperty(parse(L"{\"__class__\":\"Node\",\"I32\":5,\"zz\":{\"__class__\":\"Node\"}}"));
  for (const wchar_t* json : {L"[1,2]", L"5", L"null", L"\"i32\""})
    e->importProperty(parse(json));
  EXPECT_EQ(text(e.get()), before);
  EXPECT_EQ(logged.lines, Lines{});
}

TEST(PropertyImport, HandleMembersNeedAClassName) {
  Handle<Node> n = node(1);
  const Handle<Node> first = node(2);
  n->next = first;
  Logged logged;
  n->importProperty(parse(L"{\"next\":{\"value\":5}}"));  // no class: skipped
  n->importProperty(parse(L"{\"next\":null}"));           // likewise
  EXPECT_EQ(n->next, first);
  EXPECT_EQ(first->value, 2);
  n->importProperty(parse(L"{\"next\":{\"__class__\":\"Tagged\",\"value\":\"t\",\"name\":\"x\"}}"));
  const Tagged* tagged = dynamic_cast<const Tagged*>(n->next.get());
  ASSERT_NE(tagged, nullptr);
  EXPECT_EQ(tagged->value, L"t");
  EXPECT_EQ(tagged->name, L"x");
  EXPECT_EQ(static_cast<const Node*>(tagged)->value, 0);                      // shadowed
  n->importProperty(parse(L"{\"next\":{\"__class__\":\"PropertyDummy\"}}"));  // not a Node
  EXPECT_EQ(n->next, nullptr);
  EXPECT_EQ(logged.lines, Lines{});

  // A class without converter, and a value converter for a handle member.
  n->next = first;
  const IPropertyAttribute& next = attributeOf(*n, L"next");
  const std::wstring tail = L") @ " + std::wstring(next.getRttiClassName().getBuffer()) + L" " +
                            next.getPropertyRawName().getBuffer();
  n->importProperty(parse(L"{\"next\":{\"__class__\":\"Nothing\"}}"));
  n->importProperty(parse(L"{\"next\":{\"__class__\":\"int32_t\"}}"));
  ASSERT_EQ(logged.lines.size(), 3u);
  EXPECT_TRUE(startsWith(logged.lines[0], L"error: void PropertyAttribute::set("));
  EXPECT_TRUE(logged.lines[0].find(L", " + nullPointerText() + tail) != std::wstring::npos)
      << logged.lines[0];
  EXPECT_EQ(logged.lines[1], L"error: Error attribute implement. " + tail.substr(4));
  EXPECT_TRUE(startsWith(logged.lines[2], L"error: void PropertyAttribute::set("));
  EXPECT_EQ(n->next, first);
  // Arrays and lists of handles follow each element's class.
  const Handle<Everything> e = filled();
  e->importProperty(
      parse(L"{\"children\":[{\"__class__\":\"Node\",\"value\":1},{\"value\":2},"
            L"{\"__class__\":\"Tagged\",\"value\":\"t\"},null,{\"__class__\":\"PropertyDummy\"}],"
            L"\"nodes\":[{\"__class__\":\"PropertyDummy\"},{\"__class__\":\"Tagged\"}]}"));
  ASSERT_EQ(e->children.size(), 5u);
  EXPECT_EQ(text(e->children[0].get()),
            L"{\"__class__\":\"Node\",\"name\":\"\",\"next\":null,\"value\":1}");
  EXPECT_EQ(e->children[1], nullptr);
  EXPECT_NE(dynamic_cast<Tagged*>(e->children[2].get()), nullptr);
  EXPECT_EQ(e->children[3], nullptr);
  EXPECT_NE(dynamic_cast<PropertyDummy*>(e->children[4].get()), nullptr);
  ASSERT_EQ(e->nodes.size(), 2u);
  EXPECT_EQ(e->nodes.front(), nullptr);  // not a Node
  EXPECT_NE(dynamic_cast<Tagged*>(e->nodes.back().get()), nullptr);
}

TEST(PropertyImport, ValueMembersRefuseOtherConverters) {
  const Handle<Everything> e = filled();
  const IPropertyAttribute& i32 = attributeOf(*e, L"i32");
  const std::wstring implement = L"error: Error attribute implement. " +
                                 std::wstring(i32.getRttiClassName().getBuffer()) + L" " +
                                 i32.getPropertyRawName().getBuffer();
  for (const wchar_t* type : {L"Node", L"String", L"Rect"}) {
    Logged logged;
    const Handle<Everything> before = filled();
    e->importProperty(
        parse((L"{\"i32\":{\"__class__\":\"" + std::wstring(type) + L"\"}}").c_str()));
    EXPECT_EQ(logged.lines,
              (Lines{implement,
                     handOver(L"set", &e->i32, PropertyFactory::getPropertyConverter(type), i32)}))
        << type;
    EXPECT_EQ(text(e.get()), text(before.get())) << type;
  }
  // A member without a converter.
  const Handle<Unconvertible> u = Unconvertible::createInstance();
  const IPropertyAttribute& big = attributeOf(*u, L"big");
  EXPECT_EQ(big.getPropertyConverter(), nullptr);
  EXPECT_EQ(&big.getPropertyType(), &IPropertyAttribute::_nullString);
  try {
    JsonValue out;
    u->exportProperty(out);
    ADD_FAILURE() << "exported";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.file(), L"src/Property");
    EXPECT_EQ(error.line(), 79);
    EXPECT_EQ(error.code(), -1);
    EXPECT_EQ(L"error: " + std::wstring(error.description()),
              handOver(L"get", &u->big, nullptr, big));
  }
  Logged logged;
  u->importProperty(parse(L"{\"big\":5,\"n\":3}"));
  EXPECT_EQ(logged.lines, Lines{handOver(L"set", &u->big, nullptr, big)});
  EXPECT_EQ(u->big.degrees, 1.0);
  EXPECT_EQ(u->n, 3);

  // Where the text could not go anyway, the answer is false before any export; a failed export
  // leaves an existing file as it was.
  EXPECT_FALSE(PropertyHelper::write(u.get(), nullptr, false));
  EXPECT_FALSE(PropertyHelper::save(u.get(), L"/nonexistent-vemo-dir/x.json", false));
  const String name = TempFile::getTempFileName();
  const fs::path path(std::wstring(name.getBuffer()));
  std::ofstream(path) << "kept";
  EXPECT_THROW(PropertyHelper::save(u.get(), name, false), Exception);
  std::ifstream file(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "kept");
  file.close();  // an open file cannot be removed on Windows
  fs::remove(path);
}

TEST(PropertyAttributes, DerivedClassesMergeAndShadow) {
  const Handle<Tagged> t = Tagged::createInstance();
  const PropertyAttributes& table = t->getPropertyAttributes();
  EXPECT_EQ(table.size(), 4u);  // name, next, value, weight
  EXPECT_EQ(attributeOf(*t, L"value").getPropertyType(), L"String");
  EXPECT_EQ(attributeOf(*node(0), L"value").getPropertyType(), L"int32_t");
  EXPECT_EQ(attributeOf(*t, L"next").getPropertyType(), L"Node");
  EXPECT_FALSE(attributeOf(*t, L"next").isUnitProperty());
  EXPECT_TRUE(attributeOf(*t, L"name").isUnitProperty());
  EXPECT_EQ(attributeOf(*t, L"name").getDescription(), L"A name");
  EXPECT_EQ(attributeOf(*t, L"weight").getPropertyRawName(),
            detail::typeName(typeid(Tagged)) + L"::weight");
  EXPECT_EQ(t->getPropertyType(), L"Tagged");
  EXPECT_EQ(Node::getPropertyAttributes_().size(), 3u);
  EXPECT_EQ(PropertyDummy::createInstance()->getPropertyType(), L"PropertyDummy");
  t->value = L"tag", t->weight = 2.5;
  static_cast<Node&>(*t).value = 9;
  EXPECT_EQ(
      text(t.get()),
      L"{\"__class__\":\"Tagged\",\"name\":\"\",\"next\":null,\"value\":\"tag\",\"weight\":2.5}");

  PropertyAttributes own, base;
  const Handle<IPropertyAttribute> mine = makePropertyAttribute(&Node::value, L"a", L"mine");
  const Handle<IPropertyAttribute> theirs = makePropertyAttribute(&Node::name, L"a", L"theirs");
  const Handle<IPropertyAttribute> other = makePropertyAttribute(&Node::next, L"b", L"other");
  PropertyAttributeHelper::registerPropertyAttribute(own, theirs.get());
  PropertyAttributeHelper::registerPropertyAttribute(own, mine.get());  // replaces
  PropertyAttributeHelper::registerPropertyAttribute(base, theirs.get());
  PropertyAttributeHelper::registerPropertyAttribute(base, other.get());
  PropertyAttributeHelper::mergePropertyAttribute(own, base);
  ASSERT_EQ(own.size(), 2u);
  EXPECT_EQ(own.at(String(L"a")), mine);
  EXPECT_EQ(own.at(String(L"b")), other);
}

TEST(PropertyFactory, SetUpCollisionsAndTearDown) {
  const Handle<Thermometer> thermometer = Thermometer::createInstance();
  thermometer->reading.degrees = 21.5;
  JsonValue out;
  EXPECT_THROW(thermometer->exportProperty(out), Exception);
  const String rtti = detail::typeName(typeid(Celsius));
  const Handle<IPropertyConverter> celsius =
      PropertyConverterUnit<Celsius>::createInstance(L"Celsius");
  const Handle<IPropertyConverter> again =
      PropertyConverterUnit<Celsius>::createInstance(L"Kelvin");
  const Handle<IPropertyConverter> int32 =
      PropertyConverterUnit<Celsius>::createInstance(L"int32_t");
  Logged logged;
  EXPECT_TRUE(PropertyFactory::setUpPropertyConverter(celsius.get()));
  EXPECT_FALSE(PropertyFactory::setUpPropertyConverter(celsius.get()));  // quietly
  EXPECT_FALSE(PropertyFactory::setUpPropertyConverter(
      PropertyFactory::getPropertyConverter(L"int32_t")));  // quietly
  EXPECT_EQ(logged.lines, Lines{});
  EXPECT_FALSE(PropertyFactory::setUpPropertyConverter(again.get()));
  EXPECT_FALSE(PropertyFactory::setUpPropertyConverter(int32.get()));
  EXPECT_EQ(logged.lines,
            (Lines{L"error: Property: (Kelvin) has been setup error! RTTI class name(" +
                       std::wstring(rtti.getBuffer()) + L")",
                   L"error: Property: (int32_t) has been setup error! RTTI class name(" +
                       std::wstring(rtti.getBuffer()) + L")"}));
  EXPECT_EQ(PropertyFactory::getPropertyConverter(L"Celsius"), celsius.get());
  EXPECT_EQ(PropertyFactory::getPropertyConverterByRttiClassName(rtti), celsius.get());
  EXPECT_EQ(PropertyFactory::getPropertyConverter(L"Kelvin"), nullptr);
  EXPECT_EQ(PropertyFactory::getPropertyConverter(L"int32_t")->getRttiClassName(),
            detail::typeName(typeid(int)));
  EXPECT_EQ(text(thermometer.get()), L"{\"__class__\":\"Thermometer\",\"reading\":21.5}");
  thermometer->importProperty(parse(L"{\"reading\":-4}"));
  EXPECT_EQ(thermometer->reading.degrees, -4);

  PropertyFactory::tearDownPropertyConverter(L"Celsius");
  PropertyFactory::tearDownPropertyConverter(L"NoSuchType");
  EXPECT_EQ(PropertyFactory::getPropertyConverter(L"Celsius"), nullptr);
  EXPECT_EQ(PropertyFactory::getPropertyConverterByRttiClassName(rtti), nullptr);
  EXPECT_THROW(thermometer->exportProperty(out), Exception);
  EXPECT_TRUE(PropertyFactory::setUpPropertyConverter(again.get()));  // the names are free again
  PropertyFactory::tearDownPropertyConverter(L"Kelvin");
}

// A converter that notices being used after its destruction.
class WatchedCelsius : public IPropertyConverter {
 public:
  WatchedCelsius() : IPropertyConverter(detail::typeName(typeid(Celsius)), L"Celsius", true) {}
  ~WatchedCelsius() override { alive = false; }
  void setProperty(Void*, const JsonValue&) override {}
  void getProperty(const Void*, JsonValue& value) override {
    for (int i = 0; i < 200; ++i)
      std::this_thread::yield();  // a conversion that takes a while
    if (!alive) ++g_deadUses;
    value = JsonValue(1);
  }
  std::atomic<bool> alive{true};
  static std::atomic<int> g_deadUses;
};
std::atomic<int> WatchedCelsius::g_deadUses{0};

// A module registers and unregisters its converter, again and again, while another thread
// exports objects that use it: no conversion runs on a converter that is gone.
TEST(PropertyFactory, TearDownWaitsForConversionsInFlight) {
  const Handle<Thermometer> thermometer = Thermometer::createInstance();
  std::atomic<bool> done{false};
  std::atomic<int> exported{0};
  std::thread exporter([&] {
    while (!done) {
      JsonValue out;
      try {
        thermometer->exportProperty(out);
        ++exported;
      } catch (const Exception&) {  // between two registrations
      }
    }
  });
  for (int i = 0; i < 300 || (exported == 0 && i < 100000); ++i) {
    ASSERT_TRUE(PropertyFactory::setUpPropertyConverter(new WatchedCelsius));
    std::this_thread::yield();
    PropertyFactory::tearDownPropertyConverter(L"Celsius");
  }
  done = true;
  exporter.join();
  EXPECT_GT(exported, 0);
  EXPECT_EQ(WatchedCelsius::g_deadUses, 0);
}

TEST(PropertyHelper, TextOfObjectsAndNull) {
  JsonValue value(5);
  PropertyHelper::convertPropertyToJson(nullptr, value);
  EXPECT_TRUE(value.isNull());
  EXPECT_EQ(PropertyHelper::convertToString(nullptr, true), L"null");
  EXPECT_EQ(text(PropertyDummy::createInstance().get()),
            L"{\"__class__\":\"PropertyDummy\",\"obj\":null}");
  Logged logged;
  for (const wchar_t* json : {L"null", L"{\"value\":1}", L"{\"__class__\":\"NoSuchClass\"}",
                              L"{\"__class__\":\"Node\"", L"", L"[{\"__class__\":\"Node\"}]"})
    EXPECT_EQ(PropertyHelper::convertToClass(json), nullptr) << json;
  // Only the unregistered class is reported, by the import of the holder's member.
  ASSERT_EQ(logged.lines.size(), 1u);
  EXPECT_TRUE(startsWith(logged.lines[0], L"error: void PropertyAttribute::set("));
  const IPropertyAttribute& obj = attributeOf(*PropertyDummy::createInstance(), L"obj");
  EXPECT_EQ(obj.getPropertyRawName(), detail::typeName(typeid(PropertyDummy)) + L"::obj");
  EXPECT_EQ(obj.getDescription(), L"Object");
  EXPECT_TRUE(logged.lines[0].find((L", " + nullPointerText() + L") @ ") +
                                   obj.getRttiClassName().getBuffer() + L" " +
                                   obj.getPropertyRawName().getBuffer()) != std::wstring::npos);

  Handle<Node> n = node(3, L"a");
  n->next = node(4);
  EXPECT_EQ(PropertyHelper::convertToString(n.get(), true),
            L"{\n    \"__class__\" : \"Node\",\n    \"name\" : \"a\",\n    \"next\" : {\n"
            L"        \"__class__\" : \"Node\",\n        \"name\" : \"\",\n"
            L"        \"next\" : null,\n        \"value\" : 4\n    },\n    \"value\" : 3\n}");
  const Handle<Property> back = PropertyHelper::convertToClass(
      String(L" /* saved */\n") + PropertyHelper::convertToString(n.get(), true));
  EXPECT_NE(dynamic_cast<Node*>(back.get()), nullptr);
  EXPECT_EQ(text(back.get()), text(n.get()));

  const JsonValue json = parse(L"{\"__class__\":\"Tagged\",\"weight\":1,\"next\":{}}");
  const JsonValue copy = json;
  EXPECT_NE(dynamic_cast<Tagged*>(PropertyHelper::convertPropertyToClass(json).get()), nullptr);
  EXPECT_TRUE(json == copy);
}

// Objects travel as UTF-8 text. A save that fails (a full disk, here a file size limit) leaves
// the old file and no other; a save that succeeds replaces the file and keeps its permissions.
TEST(PropertyHelper, StreamsAndFiles) {
  const Handle<Node> n = node(3, L"\u00e9");
  const std::string utf8 =
      "{\"__class__\":\"Node\",\"name\":\"\xc3\xa9\",\"next\":null,\"value\":3}";
  const Handle<MemoryStream> stream = MemoryStream::createInstance();
  ASSERT_TRUE(PropertyHelper::write(n.get(), stream.get(), false));
  std::string written(size_t(stream->available()), '\0');
  stream->peek(&written[0], int(written.size()));
  EXPECT_EQ(written, utf8);
  EXPECT_EQ(text(PropertyHelper::read(stream.get()).get()), text(n.get()));
  EXPECT_EQ(PropertyHelper::read(stream.get()), nullptr);  // nothing left
  EXPECT_FALSE(PropertyHelper::write(n.get(), nullptr, false));
  EXPECT_EQ(PropertyHelper::read(nullptr), nullptr);

  // A directory of the test's own: other programs come and go in the shared temporary one.
  const tests::ScratchDirectory scratch;
  const String name = scratch.name("state.json").c_str();
  const fs::path path(std::wstring(name.getBuffer()));
  std::ofstream(path).close();
  const auto content = [&] {
    std::ifstream file(path, std::ios::binary);  // closed at once: Windows removes no open file
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  EXPECT_EQ(PropertyHelper::load(name), nullptr);  // empty file
  std::ofstream(path) << "old";
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const auto entries = [&] {
    return std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator());
  };
  const auto before = entries();
  JsonValue value(std::wstring(4000, L'y').c_str());
#if defined(_WIN32)
  // Windows has no per-process file size limit with which to make a save fail part-way: only
  // the successful replacement is checked there.
#else
  bool savedObject, savedValue;
  {
    const tests::ScopedFileSizeLimit small(1000);
    savedObject =
        PropertyHelper::save(node(3, std::wstring(4000, L'x').c_str()).get(), name, false);
    savedValue = Json::save(value, name, false);
  }
  EXPECT_FALSE(savedObject || savedValue);
  EXPECT_EQ(content(), "old");
  EXPECT_EQ(entries(), before);
#endif
  ASSERT_TRUE(PropertyHelper::save(n.get(), name, false));
  EXPECT_EQ(content(), utf8);
  EXPECT_EQ(text(PropertyHelper::load(name).get()), text(n.get()));
  ASSERT_TRUE(Json::save(value, name, false));
  JsonValue back;
  EXPECT_TRUE(Json::load(back, name) && back == value);
#if !defined(_WIN32)  // Windows keeps only a read-only attribute, not these permission bits
  EXPECT_EQ(fs::status(path).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
  EXPECT_EQ(entries(), before);

  // Why no object was made is logged; the strict form throws it, and the path of a bad value.
  std::ofstream(path, std::ios::binary) << "{\"name\": \"x\"}";
  {
    Logged logged;
    EXPECT_EQ(PropertyHelper::load(name), nullptr);
    EXPECT_EQ(logged.lines, Lines{L"PropertyHelper: \"" + std::wstring(name.getBuffer()) +
                                  L"\" makes no object: the object has no \"__class__\""});
  }
  EXPECT_THROW(PropertyHelper::load(name, PropertyImport::strict), Exception);
  std::ofstream(path, std::ios::binary) << "{\"__class__\": \"Node\", \"value\": \"fast\"}";
  try {
    PropertyHelper::load(name, PropertyImport::strict);
    ADD_FAILURE() << "a strict load took \"fast\" for a number";
  } catch (const Exception& error) {
    EXPECT_EQ(std::wstring(error.description()),
              L"Json value \"value\": expected int32, found the string \"fast\"");
  }
  EXPECT_EQ(text(PropertyHelper::load(name).get()), text(node(0).get()));  // lenient: 0
  std::ofstream(path, std::ios::binary)
      << "{\"__class__\": \"Node\", \"value\": 4, \"name\": \"n\"}";
  EXPECT_EQ(text(PropertyHelper::load(name, PropertyImport::strict).get()),
            text(node(4, L"n").get()));
  std::ofstream(path, std::ios::binary) << "{\"__class__\": \"Node\",\n \"value\": }";
  try {
    PropertyHelper::load(name, PropertyImport::strict);
    ADD_FAILURE() << "a strict load of a broken text";
  } catch (const Exception& error) {
    EXPECT_EQ(
        std::wstring(error.description()),
        L"\"" + std::wstring(name.getBuffer()) + L"\" is no JSON text (2:11: expected a value)");
  }

  // Characters beyond the basic plane come back whole from a file, a stray byte as U+FFFD; the
  // strict syntax refuses the stray byte with its place.
  std::ofstream(path, std::ios::binary) << "{\"__class__\": \"Node\", \"value\": 1,\n \"name\": "
                                           "\"X\xF0\xA2\xAC\xA2Y\xF0\x9F\x98\x80 caf\xE9\"}";
  const wchar_t* const decoded = L"X\U00022B22Y\U0001F600 caf\uFFFD";
  EXPECT_EQ(text(PropertyHelper::load(name).get()), text(node(1, decoded).get()));
  JsonValue loaded;
  ASSERT_TRUE(Json::load(loaded, name));
  EXPECT_EQ(loaded[L"name"].asString(), String(decoded));
  JsonError error;
  EXPECT_FALSE(Json::load(loaded, name, error, Json::strict));
  EXPECT_EQ(std::wstring(error.reason.getBuffer()), L"invalid UTF-8");
  EXPECT_EQ(error.line, 2);
  EXPECT_EQ(error.offset, 58u);
  EXPECT_EQ(loaded[L"name"].asString(), String(decoded));  // the failed load changed nothing

  fs::remove(path);
  EXPECT_EQ(PropertyHelper::load(name), nullptr);
  EXPECT_FALSE(PropertyHelper::save(n.get(), L"/nonexistent-vemo-dir/x.json", false));
}

#if !defined(_WIN32)
// A save replaces the file a link names only where the system would follow the link: another
// user's link in a shared sticky directory is refused and its target left alone.
TEST(PropertyHelper, SaveRefusesAnotherUsersLinkInASharedDirectory) {
  const tests::ScratchDirectory scratch;
  const fs::path shared = scratch.path / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  scratch.put("victim", "root only");
  const fs::path link = shared / "state.json";
  fs::create_symlink(scratch.path / "victim", link);
  const uid_t other = geteuid() == 0 ? 65534 : geteuid();
  if (lchown(link.c_str(), other, other) != 0 || other == geteuid())
    GTEST_SKIP() << "making a link of another user needs root";
  const Handle<Node> n = node(3, L"n");
  {
    Logged logged;
    EXPECT_FALSE(PropertyHelper::save(n.get(), link.wstring().c_str(), false));
    EXPECT_EQ(logged.lines.size(), 1u);
  }
  EXPECT_EQ(scratch.bytes("victim"), "root only");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(std::distance(fs::directory_iterator(shared), fs::directory_iterator()), 1);
  // The directory owner's own link is followed.
  ASSERT_EQ(lchown(link.c_str(), geteuid(), getegid()), 0);
  ASSERT_TRUE(PropertyHelper::save(n.get(), link.wstring().c_str(), false));
  EXPECT_EQ(scratch.bytes("victim"),
            "{\"__class__\":\"Node\",\"name\":\"n\",\"next\":null,\"value\":3}");
  EXPECT_TRUE(fs::is_symlink(link));
}
#endif

namespace {

Handle<Archive> config(const std::string& content) {
  const Handle<MemoryFile> file = MemoryFile::createInstance();
  file->write(content.data(), int(content.size()));
  return Handle<Archive>(file.get());
}

}  // namespace

TEST(Configuration, SectionsKeysAndDefaults) {
  const Handle<Archive> example = config("[Server]\n# listening port\nPort = 8080\nEnabled=TRUE\n");
  EXPECT_EQ(getConfigInteger(example.get(), L"server", L"port", 0), 8080);
  EXPECT_TRUE(getConfigBoolean(example.get(), L"Server", L"enabled", false));
  EXPECT_EQ(getConfigString(example.get(), L"SERVER", L"PORT", L"x"), L"8080");
  EXPECT_EQ(getConfigString(example.get(), L"Client", L"Port", L"x"), L"x");
  EXPECT_EQ(getConfigString(nullptr, L"Server", L"Port", L"x"), L"x");
  struct Case {
    const char* content;
    const wchar_t* key;
    const wchar_t* expected;  // with the default "default"
  };
  const Case cases[] = {
      {"[S]\nPort=\n", L"Port", L"default"},
      {"Port=1\n[S]\nOther=2\n", L"Port", L"default"},              // before the header
      {"[A]\nPort=1\n[S]\nOther=2\n[B]\nPort=9\n", L"Port", L"9"},  // taken from a later section
      {"[S]\nkey = value # note\n", L"key", L"value # note"},
      {"\xef\xbb\xbf[S]\nk=v\n", L"k", L"default"},  // the mark is part of the first line
      {"[S]\r\n  k  =  v w \r\n", L"k", L"v w"},
      {"  [s]  \nK=v", L"k", L"v"},
      {"[ S ]\nk=v\n", L"k", L"default"},
      {"[S]\nkk=1\nk 2\nk:3\n#k=4\nk==5\n", L"k", L"=5"},
      {"[S]\nk=\xc3\xa9\n", L"k", L"\u00e9"},
      // A byte that is not UTF-8 is U+FFFD and never takes the line feed after it.
      {"[S]\nName = Caf\xe9\nk = 8080\n", L"k", L"8080"},
      {"[S]\nk = Caf\xe9\nPort = 8080\n", L"k", L"Caf\uFFFD"},
      {"[S]\nk = \xf0\x9f\x98\x80 \xf0\xa2\xac\xa2\n", L"k", L"\U0001F600 \U00022B22"},
      {"[S]\nk = \xe6\x9d\nz=1\n", L"z", L"1"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(getConfigString(config(c.content).get(), L"S", c.key, L"default"), c.expected)
        << c.content;
  const Handle<Archive> numbers = config("[N]\na=12abc\nb=abc\nc=-7\nt=1\nu=yes\nv=tRuE\n");
  numbers->setPosition(5);  // read from the start anyway
  const int ints[] = {getConfigInteger(numbers.get(), L"N", L"a", 5),
                      getConfigInteger(numbers.get(), L"N", L"b", 5),
                      getConfigInteger(numbers.get(), L"N", L"c", 5),
                      getConfigInteger(numbers.get(), L"N", L"missing", -5)};
  EXPECT_EQ(std::vector<int>(std::begin(ints), std::end(ints)), (std::vector<int>{12, 0, -7, -5}));
  EXPECT_FALSE(getConfigBoolean(numbers.get(), L"N", L"t", true));
  EXPECT_FALSE(getConfigBoolean(numbers.get(), L"N", L"u", true));
  EXPECT_TRUE(getConfigBoolean(numbers.get(), L"N", L"v", false));
  EXPECT_TRUE(getConfigBoolean(numbers.get(), L"N", L"missing", true));
  // By file name.
  const fs::path path = fs::temp_directory_path() / ("vemo-config-" + std::to_string(getpid()));
  std::ofstream(path) << "[Server]\nPort = 8080\nEnabled=true\nName = box \xe2\x98\x83\n";
  const String name = path.wstring().c_str();
  EXPECT_EQ(getConfigInteger(name, L"Server", L"Port", 0), 8080);
  EXPECT_TRUE(getConfigBoolean(name, L"Server", L"Enabled", false));
  EXPECT_EQ(getConfigString(name, L"Server", L"Name", L""), L"box \u2603");
  fs::remove(path);
  EXPECT_EQ(getConfigInteger(name, L"Server", L"Port", 3), 3);
  EXPECT_FALSE(getConfigBoolean(name, L"Server", L"Enabled", false));
  EXPECT_EQ(getConfigString(name, L"Server", L"Name", L"none"), L"none");
}

namespace {

// An input holding the text from its start.
Handle<Archive> rewound(const std::string& content) {
  const Handle<Archive> archive = config(content);
  archive->setPosition(0);
  return archive;
}

// The configuration of a text that must parse.
Config parsedConfig(const std::string& content) {
  Config made;
  ConfigError error;
  EXPECT_TRUE(made.read(rewound(content).get(), error)) << content << " line " << error.line;
  return made;
}

std::vector<std::wstring> wide(const std::vector<String>& names) {
  std::vector<std::wstring> out;
  for (const String& name : names)
    out.push_back(name.getBuffer());
  return out;
}

std::wstring configThrow(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& e) {
    EXPECT_EQ(std::wstring(e.file()), L"vemo/core/PropertyHelper");
    return e.description();
  }
  return L"(nothing thrown)";
}

}  // namespace

TEST(Config, SectionsKeysAndCheckedValues) {
  // The example configuration, and what the readers' rules make of names, comments and values.
  const Config example = parsedConfig("[Server]\n# listening port\nPort = 8080\nEnabled=TRUE\n");
  EXPECT_EQ(example.get<int>(L"server", L"port", 0), 8080);
  EXPECT_TRUE(example.get<bool>(L"Server", L"enabled", false));
  const Config c = parsedConfig(
      "# settings\r\n"
      "[Server]\r\n"
      "  Port = 8080  \r\n"
      "Speed = fast\n"
      "Big = 3000000000\n"
      "Negative = -12\n"
      "Ratio = 0.25\n"
      "Huge = 1e999\n"
      "Yes = yes\n"
      "Note = value # not a comment\n"
      "Empty =\n"
      "port = 1\n"  // a second Port: the first counts
      "[client]\n"
      "Name = box \xe2\x98\x83\n"
      "[SERVER]\n"  // the same section again: merged
      "Extra = 7\n"
      "Empty = late\n");  // Empty was given (empty) first: unset
  EXPECT_EQ(wide(c.sections()), (std::vector<std::wstring>{L"Server", L"client"}));
  EXPECT_EQ(wide(c.keys(L"server")),
            (std::vector<std::wstring>{L"Port", L"Speed", L"Big", L"Negative", L"Ratio", L"Huge",
                                       L"Yes", L"Note", L"Extra"}));
  EXPECT_EQ(wide(c.keys(L"nowhere")), std::vector<std::wstring>{});
  EXPECT_TRUE(c.hasSection(L"CLIENT"));
  EXPECT_FALSE(c.hasSection(L"Port"));
  EXPECT_TRUE(c.has(L"server", L"PORT"));
  EXPECT_FALSE(c.has(L"Server", L"Empty"));
  EXPECT_FALSE(c.has(L"client", L"Port"));  // each key belongs to its own section
  EXPECT_EQ(c.get<int>(L"Server", L"Port"), 8080);
  EXPECT_EQ(c.get<std::uint16_t>(L"Server", L"Port", 1), 8080);
  EXPECT_EQ(c.get<long long>(L"Server", L"Big"), 3000000000LL);
  EXPECT_EQ(c.get<int>(L"Server", L"Negative"), -12);
  EXPECT_EQ(c.get<double>(L"Server", L"Ratio"), 0.25);
  EXPECT_EQ(c.get<float>(L"Server", L"Port"), 8080.0f);
  EXPECT_EQ(c.get<String>(L"Server", L"Note"), L"value # not a comment");
  EXPECT_EQ(c.get(L"client", L"Name", L"none"), L"box \u2603");
  EXPECT_EQ(parsedConfig("[S]\nk = \xf0\x9f\x98\x80\nPort = 1\n").get(L"S", L"k", L""),
            L"\U0001F600");
  EXPECT_EQ(c.get(L"client", L"Missing", L"none"), L"none");
  EXPECT_EQ(c.get<int>(L"Server", L"Empty", 5), 5);
  EXPECT_EQ(c.get<int>(L"Server", L"Extra", 5), 7);
  EXPECT_EQ(c.find<int>(L"Server", L"Missing"), std::nullopt);
  EXPECT_EQ(c.find<bool>(L"Server", L"Enabled"), std::nullopt);
  // Set but not exactly of the type: thrown, with section, key and value, never a default.
  const std::pair<std::function<void()>, const wchar_t*> failures[] = {
      {[&] { c.get<int>(L"Server", L"Speed", 80); },
       L"Config [Server] Speed: expected int32, found the string \"fast\""},
      {[&] { c.get<int>(L"Server", L"Big"); },
       L"Config [Server] Big: 3000000000 is out of the range of int32"},
      {[&] { c.get<unsigned>(L"Server", L"Negative"); },
       L"Config [Server] Negative: -12 is out of the range of uint32"},
      {[&] { c.get<int>(L"Server", L"Ratio"); },
       L"Config [Server] Ratio: 0.25 is not a whole number (int32)"},
      {[&] { c.get<double>(L"Server", L"Huge"); },
       L"Config [Server] Huge: \"1e999\" is out of the range of double"},
      {[&] { c.get<double>(L"Server", L"Speed"); },
       L"Config [Server] Speed: expected double, found the string \"fast\""},
      {[&] { c.get<bool>(L"Server", L"Yes", false); },
       L"Config [Server] Yes: expected bool (true or false), found \"yes\""},
      {[&] { c.get<int>(L"Server", L"Missing"); }, L"Config [Server] Missing: not set"},
      {[&] { c.find<long long>(L"Server", L"Note"); },
       L"Config [Server] Note: expected int64, found the string \"value # not a comment\""},
  };
  for (const auto& [call, text] : failures)
    EXPECT_EQ(configThrow(call), text);
  const Config numbers = parsedConfig(
      "[N]\nmax = 18446744073709551615\nover = 18446744073709551616\nmin = "
      "-9223372036854775808\nunder = -9223372036854775809\nplus = +5\nzeros = 007\nhex = 0x10\n"
      "whole = 80.0\nexp = 1e3\n");
  EXPECT_EQ(numbers.get<unsigned long long>(L"N", L"max"), ULLONG_MAX);
  EXPECT_EQ(configThrow([&] { numbers.get<unsigned long long>(L"N", L"over"); }),
            L"Config [N] over: 18446744073709551616 is out of the range of uint64");
  EXPECT_EQ(numbers.get<long long>(L"N", L"min"), LLONG_MIN);
  EXPECT_EQ(configThrow([&] { numbers.get<long long>(L"N", L"under"); }),
            L"Config [N] under: -9223372036854775809 is out of the range of int64");
  EXPECT_EQ(numbers.get<int>(L"N", L"plus"), 5);
  EXPECT_EQ(numbers.get<int>(L"N", L"zeros"), 7);
  EXPECT_EQ(configThrow([&] { numbers.get<int>(L"N", L"hex"); }),
            L"Config [N] hex: expected int32, found the string \"0x10\"");
  EXPECT_EQ(numbers.get<int>(L"N", L"whole"), 80);  // a decimal number without fraction
  EXPECT_EQ(numbers.get<int>(L"N", L"exp"), 1000);

  // A key missing from its section is not taken from a later one, unlike getConfigString.
  const std::string later = "[A]\nx=1\n[B]\ny=2\n";
  EXPECT_EQ(getConfigString(config(later).get(), L"A", L"y", L"none"), L"2");
  EXPECT_FALSE(parsedConfig(later).has(L"A", L"y"));
}

TEST(Config, RefusedLinesHaveTheirNumberAndLeaveTheOldContent) {
  struct Case {
    std::string content;
    int line;
    const wchar_t* reason;
  };
  const Case cases[] = {
      {"[S]\nPort 8080\n", 2, L"expected '=' after the key"},
      {"[S]\nk: v\n", 2, L"expected '=' after the key"},
      {"\n\n[Server\nk=v\n", 3, L"a section header ends with ']'"},
      {"[S] # main\n", 1, L"a section header ends with ']'"},
      {"k = v\n[S]\n", 1, L"a key before the first [section]"},
      {"[S]\n= v\n", 2, L"expected a [section] or a key of letters, digits and '_'"},
      {"[S]\n; old comment\n", 2, L"expected a [section] or a key of letters, digits and '_'"},
      {"[S]\r\nmax-size = 5\r\n", 2, L"expected '=' after the key"},
      {"\xef\xbb\xbf[S]\nk=v\n", 1, L"expected a [section] or a key of letters, digits and '_'"},
      // Bytes that are not UTF-8 never merge lines: refused with the line that holds them.
      {"[S]\nName = Caf\xe9\nPort = 8080\n", 2, L"invalid UTF-8"},
      {"[S]\nk = v\n\n\xf0\x9f\x98\n", 4, L"invalid UTF-8"},
      {"[S]\nk = \xed\xa0\x80\n", 2, L"invalid UTF-8"},
      {std::string("[S]\nk = a\0b\n", 12), 2, L"a zero byte in the text"},
  };
  Config kept = parsedConfig("[Old]\nk = 1\n");
  for (const Case& bad : cases) {
    ConfigError error;
    EXPECT_FALSE(kept.read(rewound(bad.content).get(), error)) << bad.content;
    EXPECT_EQ(error.line, bad.line) << bad.content;
    EXPECT_EQ(std::wstring(error.reason.getBuffer()), bad.reason) << bad.content;
    EXPECT_EQ(kept.get<int>(L"Old", L"k"), 1) << bad.content;
  }
  ConfigError error;
  EXPECT_FALSE(kept.read(nullptr, error));
  EXPECT_EQ(std::wstring(error.reason.getBuffer()), L"no input");
  // By file name; a file that cannot be read keeps the content too.
  tests::ScratchDirectory scratch;
  scratch.put("server.ini", "[Server]\nPort = 8080\n");
  Config loaded;
  ASSERT_TRUE(loaded.load(scratch.name("server.ini").c_str(), error));
  EXPECT_EQ(error.line, 0);
  EXPECT_TRUE(error.reason.isEmpty());
  EXPECT_EQ(loaded.get<int>(L"Server", L"Port"), 8080);
  EXPECT_FALSE(loaded.load(scratch.name("missing.ini").c_str(), error));
  EXPECT_EQ(error.line, 0);
  EXPECT_EQ(std::wstring(error.reason.getBuffer()), L"the file cannot be opened");
  EXPECT_FALSE(loaded.load(scratch.name("missing.ini").c_str()));
  EXPECT_EQ(loaded.get<int>(L"Server", L"Port"), 8080);
  // Copies are deep; a moved-from configuration is empty and usable.
  Config copy = loaded;
  ASSERT_TRUE(copy.parse(L"[Server]\nPort = 1\n", error));
  EXPECT_EQ(loaded.get<int>(L"Server", L"Port"), 8080);
  Config moved = std::move(loaded);
  EXPECT_EQ(moved.get<int>(L"Server", L"Port"), 8080);
  EXPECT_TRUE(loaded.sections().empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(loaded.get<int>(L"Server", L"Port", 3), 3);
  loaded = copy;
  EXPECT_EQ(loaded.get<int>(L"Server", L"Port"), 1);
  loaded = loaded;
  EXPECT_EQ(loaded.get<int>(L"Server", L"Port"), 1);
  Config empty;
  EXPECT_TRUE(empty.parse(L"", error));
  EXPECT_TRUE(empty.sections().empty());
}

namespace {

// The UTF-8 bytes that Config::write gives, which must succeed.
std::string writtenBytes(const Config& c) {
  const Handle<MemoryFile> file = MemoryFile::createInstance();
  ConfigError error;
  EXPECT_TRUE(c.write(file.get(), error)) << error.reason.getBuffer();
  std::string bytes(std::size_t(file->getArchiveSize()), '\0');
  file->setPosition(0);
  if (!bytes.empty()) {
    EXPECT_EQ(file->read(&bytes[0], int(bytes.size())), int(bytes.size()));
  }
  return bytes;
}

// Sections, keys and values as text, in order, to compare two configurations exactly.
std::wstring contentOf(const Config& c) {
  std::wstring out;
  for (const String& section : c.sections()) {
    out += L"[" + std::wstring(section.getBuffer()) + L"]";
    for (const String& key : c.keys(section)) {
      out += std::wstring(key.getBuffer()) + L"=" + c.get<String>(section, key).getBuffer() + L";";
    }
  }
  return out;
}

}  // namespace

TEST(Config, WrittenTextReadsBackTheSame) {
  // What a file gives is written in one form: headers, `key = value` lines, a blank line between
  // sections; unset keys are left out, and the characters values may hold survive.
  const Config read = parsedConfig(
      "[Server]\r\n"
      "  Port=8080  \r\n"
      "Empty =\n"
      "Note = a = b # c ; d [e]\n"
      "Smile = \xf0\x9f\x98\x80 x\n"
      "[ odd ] name]\n"
      "[]\n"
      "[server]\n"
      "Later = 1\n");
  const std::string text =
      "[Server]\nPort = 8080\nNote = a = b # c ; d [e]\nSmile = \xf0\x9f\x98\x80 x\nLater = 1\n"
      "\n[ odd ] name]\n\n[]\n";
  EXPECT_EQ(writtenBytes(read), text);
  const Config again = parsedConfig(text);
  EXPECT_EQ(contentOf(again), contentOf(read));
  EXPECT_EQ(wide(again.sections()), (std::vector<std::wstring>{L"Server", L" odd ] name", L""}));
  EXPECT_EQ(writtenBytes(again), text);  // a fixed point
  EXPECT_EQ(again.toString(), read.toString());
  EXPECT_EQ(Config().toString(), L"");

  // Typed values are written so that get gives the very value back.
  Config c;
  c.set(L"Numbers", L"max", ULLONG_MAX);
  c.set(L"Numbers", L"min", LLONG_MIN);
  c.set(L"Numbers", L"small", static_cast<signed char>(-128));
  c.set(L"Numbers", L"tenth", 0.1);
  c.set(L"Numbers", L"negativeZero", -0.0);
  c.set(L"Numbers", L"beyondUint64", 2.2345678901234567e19);  // no integer range holds it
  c.set(L"Numbers", L"whole", 3.0);
  c.set(L"Numbers", L"tiny", std::numeric_limits<double>::denorm_min());
  c.set(L"Numbers", L"largest", DBL_MAX);
  c.set(L"Numbers", L"floatTenth", 0.1f);
  c.set(L"Numbers", L"floatLargest", FLT_MAX);
  c.set(L"Flags", L"on", true);
  c.set(L"Text", L"value", L"a = b # c ; d [e] \U0001F600");
  c.set(L"text", L"VALUE", L"=x");  // an existing section and key keep their spelling
  c.set(L"Text", L"gone", L"soon");
  c.set(L"Text", L"gone", L"");  // unset
  const Config back = parsedConfig(writtenBytes(c));
  EXPECT_EQ(contentOf(back), contentOf(c));
  EXPECT_EQ(writtenBytes(back), writtenBytes(c));
  for (const Config* each : {static_cast<const Config*>(&c), &back}) {
    EXPECT_EQ(each->get<unsigned long long>(L"Numbers", L"max"), ULLONG_MAX);
    EXPECT_EQ(each->get<long long>(L"Numbers", L"min"), LLONG_MIN);
    EXPECT_EQ(each->get<signed char>(L"Numbers", L"small"), -128);
    EXPECT_EQ(each->get<double>(L"Numbers", L"tenth"), 0.1);
    EXPECT_TRUE(std::signbit(each->get<double>(L"Numbers", L"negativeZero")));
    EXPECT_EQ(each->get<double>(L"Numbers", L"beyondUint64"), 2.2345678901234567e19);
    EXPECT_EQ(each->get<int>(L"Numbers", L"whole"), 3);
    EXPECT_EQ(each->get<double>(L"Numbers", L"tiny"), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(each->get<double>(L"Numbers", L"largest"), DBL_MAX);
    EXPECT_EQ(each->get<float>(L"Numbers", L"floatTenth"), 0.1f);
    EXPECT_EQ(each->get<float>(L"Numbers", L"floatLargest"), FLT_MAX);
    EXPECT_TRUE(each->get<bool>(L"Flags", L"on"));
    EXPECT_EQ(each->get<String>(L"Text", L"value"), L"=x");
    EXPECT_FALSE(each->has(L"Text", L"gone"));
  }
  EXPECT_EQ(wide(c.keys(L"TEXT")), std::vector<std::wstring>{L"value"});
  EXPECT_EQ(c.get<String>(L"Numbers", L"tenth"), L"0.1");
  EXPECT_EQ(c.get<String>(L"Numbers", L"floatTenth"), L"0.1");

  // What a file would not give back is refused with the reason, and changes nothing.
  const std::wstring before = c.toString().getBuffer();
  const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
  const std::pair<std::function<void()>, const wchar_t*> refused[] = {
      {[&] { c.set(L"Numbers", L"nan", std::numeric_limits<double>::quiet_NaN()); },
       L"Config [Numbers] nan: only a finite number can be set"},
      {[&] { c.set(L"Numbers", L"tenth", -std::numeric_limits<float>::infinity()); },
       L"Config [Numbers] tenth: only a finite number can be set"},
      {[&] { c.set(L"Text", L"value", L" padded"); },
       L"Config [Text] value: a value cannot begin or end with white space"},
      {[&] { c.set(L"Text", L"value", L"padded\t"); },
       L"Config [Text] value: a value cannot begin or end with white space"},
      {[&] { c.set(L"Text", L"value", L"two\nlines"); },
       L"Config [Text] value: a value cannot hold a line feed or carriage return"},
      {[&] { c.set(L"Text", L"value", L"lone\rCR"); },
       L"Config [Text] value: a value cannot hold a line feed or carriage return"},
      {[&] { c.set(L"Text", L"value", String(L"a\0b", 3)); },
       L"Config [Text] value: U+0000 cannot be written (a read refuses it)"},
      {[&] { c.set(L"Text", L"value", lone); },
       L"Config [Text] value: a lone surrogate cannot be written as UTF-8"},
      {[&] { c.set(L"Text", L"max-size", L"1"); },
       L"Config [Text] max-size: a key is letters, digits and '_'"},
      {[&] { c.set(L"Text", L"", L"1"); }, L"Config [Text] : a key is letters, digits and '_'"},
      {[&] { c.set(L"Two\nLines", L"k", L"1"); },
       L"Config [Two\nLines] k: a section name cannot hold a line feed or carriage return"},
  };
  for (const auto& [call, reason] : refused)
    EXPECT_EQ(configThrow(call), reason);
  EXPECT_EQ(c.toString(), before.c_str());

  // Wide text may hold what UTF-8 cannot: the text form keeps it, write refuses with the place.
  Config fromWide;
  ConfigError error;
  ASSERT_TRUE(fromWide.parse(String(L"[S]\nk = a\0b\n", 12), error));
  EXPECT_EQ(fromWide.get<String>(L"S", L"k"), String(L"a\0b", 3));
  Config fromText;
  ASSERT_TRUE(fromText.parse(fromWide.toString(), error));
  EXPECT_EQ(fromText.toString(), fromWide.toString());
  const Handle<MemoryFile> file = MemoryFile::createInstance();
  EXPECT_FALSE(fromWide.write(file.get(), error));
  EXPECT_EQ(std::wstring(error.reason.getBuffer()),
            L"[S] k: U+0000 cannot be written (a read refuses it)");
  EXPECT_EQ(file->getArchiveSize(), 0);
  ASSERT_TRUE(fromWide.parse(String(L"[") + lone + L"]\n", error));
  EXPECT_FALSE(fromWide.write(file.get(), error));
  EXPECT_EQ(std::wstring(error.reason.getBuffer()),
            std::wstring(L"[") + lone + L"]: a lone surrogate cannot be written as UTF-8");
  EXPECT_FALSE(c.write(nullptr, error));
  EXPECT_EQ(std::wstring(error.reason.getBuffer()), L"no output");

  // save replaces a file whole, and a refused configuration leaves the old file as it was.
  tests::ScratchDirectory scratch;
  const String name = scratch.name("saved.ini").c_str();
  ASSERT_TRUE(c.save(name, error)) << error.reason.getBuffer();
  EXPECT_EQ(scratch.bytes("saved.ini"), writtenBytes(c));
  Config loaded;
  ASSERT_TRUE(loaded.load(name, error));
  EXPECT_EQ(contentOf(loaded), contentOf(c));
  EXPECT_FALSE(fromWide.save(name, error));
  EXPECT_EQ(scratch.bytes("saved.ini"), writtenBytes(c));
  EXPECT_FALSE(c.save(scratch.name("missing/saved.ini").c_str(), error));
  EXPECT_EQ(std::wstring(error.reason.getBuffer()), L"the file cannot be made");
}

TEST(Scanners, ConsumeFromTheFront) {
  String s = L"abc_1=2";
  EXPECT_EQ(readToken(s), L"abc_1");
  EXPECT_EQ(s, L"=2");
  EXPECT_EQ(readToken(s), L"");
  EXPECT_EQ(s, L"=2");
  s = L"\u00e9t\u00e9";  // letters beyond ASCII are not token characters
  EXPECT_EQ(readToken(s), L"");
  s = L"Z9";
  EXPECT_EQ(readToken(s), L"Z9");
  EXPECT_TRUE(s.isEmpty());
  s = L"  # one\n\t# two\r\n  x # y";
  skipComments(s);
  EXPECT_EQ(s, L"x # y");
  s = L"# only";
  skipComments(s);
  EXPECT_TRUE(s.isEmpty());
  s = L"no line feed";
  skipLine(s);
  EXPECT_TRUE(s.isEmpty());
  s = L"a\nb\n";
  skipLine(s);
  EXPECT_EQ(s, L"b\n");
  s = L" \t\r\n x ";
  skipSpaces(s);
  EXPECT_EQ(s, L"x ");
  EXPECT_EQ(nothing(1, "two", 3.0), 0);
}

namespace {

// A class whose attribute table nobody has asked for before the threaded test.
class Racer : public Node {
  VEMO_DECLARE_PROPERTY(Racer, Node)
 public:
  int lap = 0;

 protected:
  Racer() = default;
};
VEMO_IMPLEMENT_PROPERTY(Racer, VEMO_PROPERTY(lap, L"Lap"))

TEST(PropertyThreads, FirstUseAndConcurrentObjects) {
  // Every thread sees the merged table on the class's first use, and objects of their own
  // export and import while others look converters up.
  std::vector<std::thread> threads;
  std::vector<std::wstring> texts(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &texts] {
      EXPECT_EQ(Racer::getPropertyAttributes_().size(), 4u);
      const Handle<Racer> racer = Racer::createInstance();
      racer->lap = t;
      racer->name = L"r";
      for (int i = 0; i < 200; ++i) {
        const Handle<Property> back =
            PropertyHelper::convertToClass(PropertyHelper::convertToString(racer.get(), false));
        texts[static_cast<std::size_t>(t)] =
            PropertyHelper::convertToString(back.get(), false).getBuffer();
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(texts[static_cast<std::size_t>(t)],
              L"{\"__class__\":\"Racer\",\"lap\":" + std::to_wstring(t) +
                  L",\"name\":\"r\",\"next\":null,\"value\":0}");
}

}  // namespace
