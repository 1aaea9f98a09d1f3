// JsonValue (types, conversions, equality, element access) and Json (parsing, writing, files).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "TestSupport.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Json.h"
#include "vemo/core/Log.h"
#include "vemo/core/Stream.h"
#include "vemo/core/Text.h"

using namespace vemo;
namespace fs = std::filesystem;
using Lines = std::vector<std::wstring>;

namespace {

using tests::Bytes;
using BytesHandle = Unknown::Handle_T<Bytes>;
using Warnings = tests::LogCapture;

std::wstring compact(const JsonValue& v) {
  return Json::convertToString(v, false).getBuffer();
}
std::wstring styled(const JsonValue& v) {
  return Json::convertToString(v, true).getBuffer();
}

// The value of a text that must parse.
JsonValue parsed(const std::wstring& source) {
  JsonValue value;
  EXPECT_NE(Json::parseValue(source.c_str(), value), nullptr) << source;
  return value;
}

// Where the parse of the text stopped (an offset), or -1 when it failed.
long parseEnd(const std::wstring& source, JsonValue& value) {
  const wchar_t* end = Json::parseValue(source.c_str(), value);
  return end ? long(end - source.c_str()) : -1;
}

// Characters below U+10000 as UTF-16LE bytes.
std::string utf16le(const std::wstring& text) {
  std::string bytes;
  for (wchar_t c : text)
    bytes += char(c & 0xFF), bytes += char((c >> 8) & 0xFF);
  return bytes;
}
std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i)
    out += piece;
  return out;
}

// Hands out `step` bytes per read; after `reads` reads (-1: never) it fails.
struct Trickle final : Input {
  Trickle(std::string data, int step, int reads = -1)
      : bytes(std::move(data)), step(step), reads(reads) {}
  int available() const override {
    if (reads == 0) return -1;
    return static_cast<int>(std::min(bytes.size() - at, std::size_t(step)));
  }
  int peek(void* out, int size) const override {
    return static_cast<int>(bytes.copy(static_cast<char*>(out), std::size_t(size), at));
  }
  int read(void* out, int size) override {
    if (reads == 0) return -1;
    if (reads > 0) --reads;
    const int n = peek(out, std::min(size, step));
    at += std::size_t(n);
    return n;
  }
  std::string bytes;
  std::size_t at = 0;
  int step, reads;
};

// Runs `call` and returns the warnings it logged.
template <class F>
Lines warningsOf(F call) {
  Warnings log;
  call();
  return log.lines;
}

using Scratch = tests::ScratchDirectory;

}  // namespace

// ---- JsonValue ---------------------------------------------------------------------------------

TEST(JsonValue, OnlyUnsigned64BitIntegersBecomeUnsigned) {
  EXPECT_EQ(JsonValue(200u).type(), JsonValue::intValue);
  EXPECT_EQ(JsonValue(__uint64(200)).type(), JsonValue::uintValue);
#if defined(_WIN32)
  EXPECT_EQ(JsonValue(200ul).type(), JsonValue::intValue);  // long has 32 bits on Windows
#else
  EXPECT_EQ(JsonValue(200ul).type(), JsonValue::uintValue);  // 64-bit long counts as __int64
#endif
  EXPECT_EQ(JsonValue(-2l).type(), JsonValue::intValue);
  EXPECT_EQ(JsonValue(static_cast<unsigned char>(200)).asInt64(), 200);  // zero-extended
  EXPECT_EQ(JsonValue(static_cast<signed char>(-56)).asInt64(), -56);    // sign-extended
  EXPECT_EQ(JsonValue(1.5f).type(), JsonValue::doubleValue);
  EXPECT_EQ(JsonValue(false).type(), JsonValue::boolValue);
  EXPECT_EQ(JsonValue(L"x").type(), JsonValue::stringValue);
  EXPECT_TRUE(JsonValue(200u) == JsonValue(__uint64(200)));
  EXPECT_EQ(JsonValue(JsonValue::stringValue).asString(), String());
  EXPECT_EQ(JsonValue(JsonValue::doubleValue).asDouble(), 0.0);
  EXPECT_TRUE(JsonValue(JsonValue::objectValue).isObject());
  // Range tests ask for an exact fit.
  EXPECT_TRUE(JsonValue(1.0).isInt32() && JsonValue(255.0).isUInt8() && JsonValue(-128).isInt8() &&
              JsonValue(__uint64(LLONG_MAX)).isInt64() && JsonValue(~__uint64(0)).isUInt64());
  EXPECT_FALSE(JsonValue(1.5).isInt32() || JsonValue(256.0).isUInt8() || JsonValue(-1).isUInt64() ||
               JsonValue(-129).isInt8() || JsonValue(__uint64(LLONG_MAX) + 1).isInt64() ||
               JsonValue(L"1").isInt32() || JsonValue(true).isInt8());
}

TEST(JsonValue, IntegerConversionsWarnWhenOutOfRangeAndCutAnyway) {
  struct Case {
    std::function<long long()> call;
    long long result;
    const wchar_t* warning;
  };
  // clang-format off
  const Case cases[] = {
      {[] { return JsonValue(300).asInt8(); }, 44, L"intValue out of Int8 range"},
      {[] { return JsonValue(-1).asUInt16(); }, 65535, L"intValue out of UInt16 range"},
      {[] { return JsonValue(-1).asUInt64(); }, -1, L"intValue out of UInt64 range"},
      {[] { return JsonValue(__uint64(300)).asUInt8(); }, 44, L"uintValue out of UInt8 range"},
      {[] { return JsonValue(__uint64(1) << 63).asInt64(); }, LLONG_MIN, L"uintValue out of Int64 range"},
      {[] { return JsonValue(__uint64(1) << 32).asUInt32(); }, 0, L"uintValue out of UInt32 range"},
      {[] { return JsonValue(1.5).asInt32(); }, 1, nullptr},
      {[] { return JsonValue(-1.9).asInt16(); }, -1, nullptr},
      {[] { return JsonValue(-0.5).asUInt8(); }, 0, L"double out of UInt8 range"},
      {[] { return JsonValue(255.5).asUInt8(); }, 255, L"double out of UInt8 range"},
      {[] { return JsonValue(-128.0).asInt8(); }, -128, nullptr},
      {[] { return JsonValue(3e9).asInt32(); }, 3000000000LL - 4294967296LL, L"double out of Int32 range"},
      {[] { return JsonValue(true).asInt16(); }, 1, nullptr},
      {[] { return JsonValue(L"12abc").asInt32(); }, 12, nullptr},
      {[] { return JsonValue(L" -7").asInt64(); }, -7, nullptr},
      {[] { return JsonValue(L"70000").asInt16(); }, 70000 - 65536, nullptr},
      {[] { return JsonValue(L"x").asUInt32(); }, 0, nullptr},
      {[] { return JsonValue().asInt32(); }, 0, nullptr},
      {[] { return JsonValue(JsonValue::arrayValue).asInt16(); }, 0, L"Value is not convertible to Int16"},
      {[] { return JsonValue(JsonValue::objectValue).asUInt64(); }, 0, L"Value is not convertible to UInt64"},
  };
  // clang-format on
  for (const Case& c : cases) {
    long long result = 0;
    const Lines logged = warningsOf([&] { result = c.call(); });
    EXPECT_EQ(result, c.result) << "case " << &c - cases;
    EXPECT_EQ(logged, c.warning ? Lines{c.warning} : Lines{}) << "case " << &c - cases;
  }
}

TEST(JsonValue, FloatBoolAndTextConversions) {
  Warnings log;
  EXPECT_EQ(JsonValue(L"2.5e1x").asDouble(), 25.0);
  EXPECT_EQ(JsonValue(L"abc").asDouble(), 0.0);
  EXPECT_EQ(JsonValue(~__uint64(0)).asDouble(), 18446744073709551616.0);
  EXPECT_EQ(JsonValue(L"0.1").asFloat(), 0.1f);
  EXPECT_TRUE(JsonValue(std::nan("")).asBool());
  EXPECT_FALSE(JsonValue(-0.0).asBool());
  EXPECT_FALSE(JsonValue(__uint64(0)).asBool());
  EXPECT_TRUE(JsonValue(-3).asBool());
  EXPECT_FALSE(JsonValue(L"true").asBool());  // a string is never true
  EXPECT_FALSE(JsonValue(L"1").asBool());
  EXPECT_EQ(log.lines, Lines{});
  const JsonValue array = parsed(L"[1, \"x\"]");
  EXPECT_EQ(array.asDouble(), 0.0);
  EXPECT_EQ(array.asFloat(), 0.0f);
  EXPECT_FALSE(array.asBool());
  EXPECT_EQ(log.lines,
            (Lines{L"Value is not convertible to double.", L"Value is not convertible to float.",
                   L"Value is not convertible to bool."}));
  // clang-format off
  const std::pair<JsonValue, const wchar_t*> texts[] = {
      {JsonValue(), L""}, {JsonValue(-5), L"-5"}, {JsonValue(~__uint64(0)), L"18446744073709551615"},
      {JsonValue(0.1), L"0.1"}, {JsonValue(true), L"true"}, {JsonValue(L"a b"), L"a b"},
      {array, L"[1,\"x\"]"}, {parsed(L"{\"k\":{}}"), L"{\"k\":{}}"}};
  // clang-format on
  for (const auto& [value, expected] : texts)
    EXPECT_EQ(value.asString(), String(expected));
}

TEST(JsonValue, EqualityConvertsAcrossTypesExceptFromNull) {
  const JsonValue null, empty(L""), five(5), nan(std::nan(""));
  struct Case {
    JsonValue left, right;
    bool equal;
  };
  // clang-format off
  const Case cases[] = {
      {five, JsonValue(__uint64(5)), true}, {five, JsonValue(5.0), true},
      {five, JsonValue(L"5"), true}, {JsonValue(L"5"), five, true}, {five, JsonValue(L"05"), false},
      {JsonValue(true), JsonValue(L"true"), true}, {JsonValue(1), JsonValue(true), false},
      {JsonValue(0.1), JsonValue(L"0.1"), true}, {empty, null, true}, {null, empty, false},
      {null, null, true}, {JsonValue(0), null, false}, {null, JsonValue(0), false},
      {nan, nan, false}, {JsonValue(L"ab"), JsonValue(L"a"), false},
      {parsed(L"[1,2]"), parsed(L"[1,2.0]"), true}, {parsed(L"[1,2]"), parsed(L"[1]"), false},
      {parsed(L"{\"a\":1}"), parsed(L"{\"a\":\"1\"}"), true},
      {parsed(L"{\"a\":1}"), parsed(L"{\"b\":1}"), false}, {parsed(L"[]"), parsed(L"{}"), false},
      {parsed(L"[]"), JsonValue(L"[]"), true},  // the array's text
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(c.left == c.right, c.equal) << "case " << &c - cases;
    EXPECT_EQ(c.left != c.right, !c.equal) << "case " << &c - cases;
  }
  EXPECT_TRUE(five == 5 && five == 5.0 && five == L"5" && five == String(L"5"));
  EXPECT_FALSE(five == true);
}

TEST(JsonValue, NarrowTextIsUtf8AndNeverABool) {
  // A narrow literal, std::string and std::string_view are text in every constructor,
  // assignment and comparison; none of them becomes true.
  JsonValue v;
  v[L"name"] = "Ann";
  v[L"city"] = std::string("Z\xc3\xbcrich");
  v[L"emoji"] = std::string_view("\xf0\x9f\x98\x80!");
  v[L"zero"] = std::string("a\0b", 3);
  v[L"broken"] = "Caf\xe9 \xf0\x9f\x98";
  char mutableText[] = "mutable";
  v[L"plain"] = static_cast<char*>(mutableText);
  v[L"none"] = static_cast<const char*>(nullptr);
  v[L"null"] = nullptr;
  EXPECT_EQ(v[L"name"].type(), JsonValue::stringValue);
  EXPECT_EQ(v[L"name"].asString(), String(L"Ann"));
  EXPECT_EQ(v[L"city"].asString(), String(L"Z\u00fcrich"));
  EXPECT_EQ(v[L"emoji"].asString(), String(L"\U0001F600!"));
  EXPECT_EQ(v[L"emoji"].asString().getLength(), sizeof(wchar_t) == 2 ? 3 : 2);
  EXPECT_EQ(v[L"zero"].asString().getLength(), 3);
  EXPECT_EQ(v[L"broken"].asString(), String(L"Caf\uFFFD \uFFFD"));
  EXPECT_EQ(v[L"plain"].asString(), String(L"mutable"));
  EXPECT_EQ(v[L"none"].type(), JsonValue::stringValue);
  EXPECT_TRUE(v[L"none"].asString().isEmpty());
  EXPECT_TRUE(v[L"null"].isNull());
  EXPECT_EQ(compact(v),
            L"{\"broken\":\"Caf\uFFFD \uFFFD\",\"city\":\"Z\u00fcrich\","
            L"\"emoji\":\"\U0001F600!\",\"name\":\"Ann\",\"none\":\"\","
            L"\"null\":null,\"plain\":\"mutable\",\"zero\":\"a\\u0000b\"}");
  // Comparisons build the text too: true is "true", not every narrow string.
  const JsonValue yes(true);
  EXPECT_FALSE(yes == "no");
  EXPECT_TRUE(yes != JsonValue("no"));
  EXPECT_TRUE(yes == "true");
  EXPECT_TRUE(v[L"name"] == "Ann" && v[L"name"] == std::string("Ann"));
  EXPECT_FALSE(v[L"name"] == std::string_view("Bob"));
  EXPECT_TRUE(JsonValue(5) == "5");
  EXPECT_TRUE(JsonValue("\xc3\xa9") == JsonValue(L"\u00e9"));
  // Any other pointer is no value at all.
  static_assert(!std::is_constructible<JsonValue, const int*>::value, "a pointer is no value");
  static_assert(!std::is_constructible<JsonValue, const void*>::value, "a pointer is no value");
  static_assert(!std::is_constructible<JsonValue, const char16_t*>::value, "no UTF-16 pointer");
  static_assert(std::is_constructible<JsonValue, char*>::value, "mutable narrow text");
}

TEST(JsonValue, NonConstIndexingReshapesAndInserts) {
  JsonValue v(7);
  v[1] = L"b";  // the number is dropped for an array of a null and "b"
  EXPECT_TRUE(v.isArray());
  EXPECT_EQ(v.size(), 2);
  EXPECT_EQ(compact(v), L"[null,\"b\"]");
  v[L"k"];
  EXPECT_EQ(compact(v), L"{\"k\":null}");
  JsonValue a = parsed(L"[1,2]");
  const JsonValue& c = a;
  EXPECT_EQ(&c[3], &JsonValue::null());
  EXPECT_EQ(&c[L"k"], &JsonValue::null());
  const JsonValue object = parsed(L"{\"k\":1}");
  EXPECT_EQ(&object[L"j"], &JsonValue::null());
  EXPECT_EQ(object.size(), 1);
  EXPECT_EQ(c[1].asInt32(), 2);
  EXPECT_EQ(a.size(), 2);
  EXPECT_TRUE(a.isArray());
  a[3] = 4;  // the gap is filled: nothing is lost when written
  EXPECT_EQ(a.size(), 4);
  EXPECT_EQ(compact(a), L"[1,2,null,4]");
  EXPECT_TRUE(JsonValue().empty() && parsed(L"[]").empty() && parsed(L"{}").empty());
  EXPECT_FALSE(JsonValue(0).empty() || JsonValue(L"").empty() || a.empty());
  EXPECT_EQ(JsonValue(L"abc").size(), 0);
  EXPECT_TRUE(a.getMembers().empty());  // an array has no members
  EXPECT_EQ(object.getMembers().begin()->first, L"k");
}

TEST(JsonValue, CopiesAreDeepAndMovesLeaveNull) {
  const JsonValue original = parsed(L"{\"x\":[1,\"s\"]}");
  JsonValue copy = original;
  copy[L"x"][0] = 2;
  copy[L"x"][1] = L"t";
  EXPECT_EQ(compact(original), L"{\"x\":[1,\"s\"]}");
  JsonValue moved = std::move(copy);
  EXPECT_TRUE(copy.isNull());
  EXPECT_EQ(compact(moved), L"{\"x\":[2,\"t\"]}");
  moved = original;
  EXPECT_TRUE(moved == original);
  JsonValue& alias = moved;
  moved = std::move(alias);  // assigning a value to itself keeps it
  moved = alias;
  EXPECT_EQ(compact(moved), L"{\"x\":[1,\"s\"]}");
}

TEST(JsonValue, ElementReferencesSurviveTheArrayGrowing) {
  // The right-hand element is read after the left-hand one has been added.
  JsonValue array;
  array[0] = L"a string long enough to be worth copying";
  array[1] = array[0];
  array[7] = array[1];  // fills 2 to 6 with nulls first
  array[3] = array[7];
  EXPECT_EQ(array.size(), 8);
  for (int i : {0, 1, 3, 7})
    EXPECT_EQ(static_cast<const JsonValue&>(array)[i].asString(), array[0].asString()) << i;
  for (int i : {2, 4, 5, 6})
    EXPECT_TRUE(static_cast<const JsonValue&>(array)[i].isNull()) << i;

  // A reference taken before a gap is filled and many entries are set still writes into the
  // array.
  JsonValue object;
  JsonValue& first = object[L"list"][0];
  JsonValue& far = object[L"list"][1000000];
  for (int i = 1; i < 5000; ++i)
    object[L"list"][i] = i;
  first = L"first";
  far = L"far";
  const JsonValue& list = object[L"list"];
  EXPECT_EQ(list.size(), 1000001);
  EXPECT_EQ(list[0].asString(), L"first");
  EXPECT_EQ(list[1000000].asString(), L"far");
  EXPECT_EQ(list[4999].asInt32(), 4999);
  EXPECT_TRUE(list[5000].isNull());
  // Copies keep indices.
  JsonValue copy = list;
  EXPECT_TRUE(copy == list);
  copy[5000] = 0;
  EXPECT_FALSE(copy == list);
  JsonValue sparse, dense;
  for (int i : {2, 0, 1})
    sparse[i] = i;
  for (int i : {0, 1, 2})
    dense[i] = i;
  EXPECT_TRUE(sparse == dense);
  EXPECT_EQ(compact(sparse), L"[0,1,2]");
  JsonValue gaps;
  gaps[0] = 0, gaps[2] = 2, gaps[5] = 5;
  EXPECT_EQ(compact(gaps), L"[0,null,2,null,null,5]");
  // What is set is written, and append adds after it.
  JsonValue a;
  a[5] = 1;
  a.append(7);
  EXPECT_EQ(a.size(), 7);
  EXPECT_EQ(compact(a), L"[null,null,null,null,null,1,7]");
  EXPECT_TRUE(parsed(compact(a)) == a);
  // A negative index, or a gap too large to fill, is an error that changes nothing.
  JsonValue number(5);
  EXPECT_THROW(number[-1], Exception);
  EXPECT_THROW(a[-1] = 9, Exception);
  EXPECT_THROW(a[a.size() + JsonValue::kMaxArrayGap + 1] = 9, Exception);
  EXPECT_THROW(number[JsonValue::kMaxArrayGap + 1], Exception);
  EXPECT_EQ(number.asInt32(), 5);
  EXPECT_EQ(compact(a), L"[null,null,null,null,null,1,7]");
  a[a.size() + 100] = 9;  // a gap within the limit is filled
  EXPECT_EQ(a.size(), 108);
  EXPECT_EQ(a[107].asInt32(), 9);
}

TEST(JsonValue, AssigningAPartOfTheValueToItself) {
  JsonValue v = parsed(L"{\"a\":{\"b\":[1,[\"x\",2]]},\"c\":3}");
  v = std::move(v[L"a"]);
  EXPECT_EQ(compact(v), L"{\"b\":[1,[\"x\",2]]}");
  v = std::move(v[L"b"][1]);
  EXPECT_EQ(compact(v), L"[\"x\",2]");
  v = std::move(v[0]);
  EXPECT_EQ(compact(v), L"\"x\"");
  JsonValue w = parsed(L"[{\"k\":[true]},null]");
  w = w[0][L"k"];
  EXPECT_EQ(compact(w), L"[true]");
  w = w[0];
  EXPECT_EQ(compact(w), L"true");
  // Swapping parts of one value, or a value with itself.
  JsonValue s = parsed(L"[\"x\",{\"k\":1}]");
  s[0].swap(s[1]);
  EXPECT_EQ(compact(s), L"[{\"k\":1},\"x\"]");
  std::swap(s[0], s[1]);
  s.swap(s);
  std::swap(s, s);
  EXPECT_EQ(compact(s), L"[\"x\",{\"k\":1}]");
  // A moved-from value is null and may be used again.
  JsonValue moved = std::move(s[1]);
  EXPECT_TRUE(s[1].isNull());
  s[1] = std::move(moved);
  moved[L"again"] = 1;
  EXPECT_EQ(compact(s) + compact(moved), L"[\"x\",{\"k\":1}]{\"again\":1}");
}

TEST(JsonValue, FloatsNarrowToTheNearestAndSurviveText) {
  const float tiny = std::numeric_limits<float>::denorm_min();
  for (float f : {FLT_MAX, -FLT_MAX, FLT_MIN, -FLT_MIN, tiny, -tiny, 3 * tiny, FLT_MIN - tiny, 0.1f,
                  -1.1f, 3.4e38f, 1e-40f, 0.0f}) {
    const std::wstring text = compact(JsonValue(f));
    JsonValue back;
    ASSERT_TRUE(Json::parseValue(text.c_str(), back));
    const Lines logged = warningsOf([&] { EXPECT_EQ(back.asFloat(), f) << text; });
    EXPECT_EQ(logged, Lines{});
    EXPECT_EQ(float(back), f);
    EXPECT_EQ(JsonValue(String(text.c_str())).asFloat(), f) << text;  // from a string too
  }
  EXPECT_EQ(compact(JsonValue(FLT_MAX)), L"3.402823466385289e+38");
  EXPECT_EQ(JsonValue(3.402823466385289e+38).asFloat(), FLT_MAX);
  // From half a unit above FLT_MAX on, nearest rounding leaves the range: infinity.
  const double half = 340282356779733661637539395458142568448.0;
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(JsonValue(std::nextafter(half, 0.0)).asFloat(), FLT_MAX);
  EXPECT_EQ(JsonValue(-std::nextafter(half, 0.0)).asFloat(), -FLT_MAX);
  EXPECT_EQ(JsonValue(half).asFloat(), inf);
  EXPECT_EQ(JsonValue(-1e39).asFloat(), -inf);
  EXPECT_EQ(JsonValue(L"1e300").asFloat(), inf);
  EXPECT_EQ(JsonValue(std::numeric_limits<double>::infinity()).asFloat(), inf);
  EXPECT_TRUE(std::isnan(JsonValue(std::nan("")).asFloat()));
  EXPECT_EQ(JsonValue(1e-46).asFloat(), 0.0f);  // below half the smallest denormal
}

// ---- Json text ---------------------------------------------------------------------------------

TEST(JsonText, StyledLayoutHasOneLinePerMemberAndCompactNoSpace) {
  JsonValue v;
  v[L"b"] = true;
  v[L"a"][0] = 1;
  v[L"a"][1] = 2;
  EXPECT_EQ(styled(v), L"{\n    \"a\" : [\n        1,\n        2\n    ],\n    \"b\" : true\n}");
  EXPECT_EQ(compact(v), L"{\"a\":[1,2],\"b\":true}");
  EXPECT_EQ(compact(parsed(styled(v))), compact(v));
  EXPECT_EQ(compact(parsed(L"{}")), L"{}");
  EXPECT_EQ(styled(parsed(L"{}")), L"{\n}");
  EXPECT_EQ(styled(parsed(L"[]")), L"[\n]");
  EXPECT_EQ(styled(parsed(L"{\"x\":[],\"y\":{}}")),
            L"{\n    \"x\" : [\n    ],\n    \"y\" : {\n    }\n}");
  EXPECT_EQ(styled(parsed(L"[[1]]")), L"[\n    [\n        1\n    ]\n]");
  EXPECT_EQ(styled(JsonValue(3)), L"3");
  // Rewriting drops space and comments and sorts the keys.
  v = parsed(
      L"{ \"b\" : [1, 2.5, \"x\"], // c\n \"a\" : { \"B\":null, \"a\":true } , \"\u00e9\":-1 }");
  EXPECT_EQ(compact(v), L"{\"a\":{\"B\":null,\"a\":true},\"b\":[1,2.5,\"x\"],\"\u00e9\":-1}");
}

TEST(JsonText, NumbersAreTypedByTheirText) {
  struct Case {
    const wchar_t* text;
    JsonValue::ValueType type;
    const wchar_t* written;
    long end;
  };
  const auto U = JsonValue::uintValue, I = JsonValue::intValue, D = JsonValue::doubleValue,
             N = JsonValue::nullValue;
  // clang-format off
  const Case cases[] = {
      {L"7", U, L"7", 1}, {L"-7", I, L"-7", 2}, {L"007", U, L"7", 3}, {L"-007", I, L"-7", 4},
      {L"18446744073709551615", U, L"18446744073709551615", 20},
      {L"18446744073709551616", D, L"1.844674407370955e+19", 20},
      {L"-9223372036854775808", I, L"-9223372036854775808", 20},
      {L"-9223372036854775809", D, L"-9.223372036854776e+18", 20},
      {L"-", I, L"0", 1}, {L"-0", I, L"0", 2}, {L"1.5", D, L"1.5", 3}, {L"2.", D, L"2", 2},
      {L"-.5", D, L"-0.5", 3}, {L"1E+2x", D, L"100", 4}, {L"1e", D, L"1", 1},
      {L"1.5e-", D, L"1.5", 3}, {L"-Infinity", I, L"0", 1}, {L"0x10", U, L"0", 1},
      {L"12 34", U, L"12", 2}, {L"1e400", D, L"null", 5}, {L"-1e400", D, L"null", 6},
      {L"1e-400", D, L"0", 6}, {L".5", N, L"null", -1}, {L"+1", N, L"null", -1},
      {L"-e5", N, L"null", -1}, {L"-.", N, L"null", -1}, {L"-.e1", N, L"null", -1},
  };
  // clang-format on
  for (const Case& c : cases) {
    JsonValue v;
    EXPECT_EQ(parseEnd(c.text, v), c.end) << c.text;
    EXPECT_EQ(v.type(), c.type) << c.text;
    EXPECT_EQ(compact(v), c.written) << c.text;
  }
}

TEST(JsonText, LiteralsAndStructureErrors) {
  struct Case {
    const wchar_t* text;
    const wchar_t* written;  // null: a syntax error
  };
  // clang-format off
  const Case cases[] = {
      {L"true", L"true"}, {L"false", L"false"}, {L" \t\r\n\v\f null", L"null"},
      {L"nullx", L"null"}, {L"[1]]", L"[1]"}, {L"{\"a\":1,\"a\":2}", L"{\"a\":2}"},
      {L"{\"a\"\n:\n1}", L"{\"a\":1}"}, {L"True", nullptr}, {L"nul", nullptr}, {L"", nullptr},
      {L"   ", nullptr}, {L"[1,]", nullptr}, {L"[,1]", nullptr}, {L"[1 2]", nullptr},
      {L"{\"a\":1,}", nullptr}, {L"{a:1}", nullptr}, {L"{\"a\" 1}", nullptr},
      {L"{\"a\":1 \"b\":2}", nullptr}, {L"\u00a01", nullptr}, {L"'x'", nullptr}, {L"]", nullptr},
      // Cut short anywhere.
      {L"\"abc", nullptr}, {L"\"abc\\", nullptr}, {L"\"\\", nullptr}, {L"\"", nullptr},
      {L"/* abc", nullptr}, {L"/* abc *", nullptr}, {L"[\"a\",", nullptr}, {L"{\"a\"", nullptr},
      {L"{\"a\":", nullptr}, {L"{\"a\":1", nullptr}, {L"[1", nullptr}, {L"{", nullptr},
      {L"[", nullptr}, {L"\"\\u", nullptr}, {L"\"\\ud83d\\u", nullptr}, {L"{\"a\\\":1}", nullptr},
  };
  // clang-format on
  for (const Case& c : cases) {
    JsonValue v(42);  // a failed parse leaves it alone
    const bool ok = Json::parseValue(c.text, v) != nullptr;
    EXPECT_EQ(ok, c.written != nullptr) << c.text;
    EXPECT_EQ(compact(v), c.written ? c.written : L"42") << c.text;
  }
}

TEST(JsonText, CommentsMayStandBetweenTokensButNotBeforeTheColon) {
  const JsonValue two = parsed(L"  /* c */ [1, // x\n2]");
  EXPECT_EQ(compact(two), L"[1,2]");
  EXPECT_EQ(two[0].type(), JsonValue::uintValue);
  EXPECT_EQ(two[1].type(), JsonValue::uintValue);
  EXPECT_EQ(compact(parsed(L"{ /*c*/ \"a\" : /* d */ 1 /*e*/ , // f\n \"b\":2 }")),
            L"{\"a\":1,\"b\":2}");
  EXPECT_EQ(compact(parsed(L"// c\n7")), L"7");
  EXPECT_EQ(compact(parsed(L"[1 /* ] */ ]")), L"[1]");
  JsonValue v;
  EXPECT_EQ(parseEnd(L"1 /", v), 1);
  for (const wchar_t* bad : {L"/*", L"/* [1]", L"[1, /* 2]", L"// only a comment", L"/ 7",
                             L"{\"a\" /* c */ : 1}", L"{\"a\" // c\n : 1}"})
    EXPECT_EQ(parseEnd(bad, v), -1) << bad;
}

TEST(JsonText, StringEscapesAndSurrogatePairs) {
  const std::pair<const wchar_t*, std::wstring> cases[] = {
      {L"\"\\u00e9\\u00E9\"", L"\u00e9\u00e9"},
      {L"\"\\ud83d\\ude00\"", L"\U0001F600"},  // one character
      {L"\"a\\ud83db\"", L"ab"},               // a high surrogate alone is dropped
      {L"\"\\ude00\"", L""},                   // a low one too
      {L"\"\\ud83d\\u0041x\"", L"x"},          // both units of a broken pair go
      {L"\"\\ud83d\\ud83d\\ude00\"", L""},     // the second escape is taken by the first
      {L"\"a\\u0000b\"", L"ab"},
      {L"\"\\u12345\"", L"\u12345"},
      {L"\"\\b\\f\\n\\r\\t\\\"\\\\\\/\\x\"", L"\b\f\n\r\t\"\\/x"},
      {L"\"raw\ttab\"", L"raw\ttab"},
      // Short groups take the hex digits they have and stop at the closing quote.
      {L"\"\\u41\"", L"A"},
      {L"\"\\u\"", L""},
      {L"\"\\u4x1y\"", L"\x04"},
      {L"\"\\ud83d\\ude0\"", L""},
  };
  for (const auto& [source, expected] : cases) {
    JsonValue v;
    EXPECT_EQ(parseEnd(source, v), long(std::wcslen(source))) << source;
    EXPECT_EQ(std::wstring(v.asString().getBuffer()), expected) << source;
  }
  EXPECT_EQ(compact(parsed(L"[\"\\u41\",\"\\u\",2]")), L"[\"A\",\"\",2]");
  // Strings longer than the scratch buffer.
  for (int length : {8190, 8191, 8192, 8193, 20000}) {
    const std::wstring body(size_t(length), L'a');
    const JsonValue v = parsed(L"\"" + body + L"\\n\\u00e9\\\"\"");
    EXPECT_EQ(std::wstring(v.asString().getBuffer()), body + L"\n\u00e9\"") << length;
  }
  // Escapes that give fewer characters than they take, in strings too long to be shared: the
  // string has exactly the characters decoded, from wide text and from UTF-8 alike.
  std::wstring faces;
  for (int i = 0; i < 20; ++i)
    faces += L"\U0001F600";
  const std::pair<std::string, std::wstring> shorter[] = {
      {repeated("\\u0000", 30), L""},
      {"ab" + repeated("\\\"", 30), L"ab" + std::wstring(30, L'"')},
      {repeated("\\u00e9", 9000), std::wstring(9000, L'\u00e9')},
      {repeated("\\ud83d\\ude00", 20) + "\xc3\xa9", faces + L"\u00e9"}};
  for (const auto& [escaped, expected] : shorter) {
    const String wanted(expected.c_str(), int(expected.size()));
    JsonValue read;
    ASSERT_TRUE(Json::read(read, new Bytes("[\"" + escaped + "\"]")));
    const JsonValue wide = parsed(
        L"[\"" + std::wstring(StringHelper::utf8ToWide(escaped.c_str()).getBuffer()) + L"\"]");
    for (const JsonValue* v : {static_cast<const JsonValue*>(&read), &wide}) {
      const String got = (*v)[0].asString();
      EXPECT_EQ(got.getLength(), wanted.getLength()) << escaped.substr(0, 20);
      EXPECT_TRUE(got == wanted) << escaped.substr(0, 20);
    }
  }
}

TEST(JsonText, WriterEscapesQuotesBackslashesAndControlsOnly) {
  const JsonValue s(L"q\"b\\\b\f\n\r\t\x01\x1f/\x7f\u00e9\U0001F600");
  const std::wstring written = L"\"q\\\"b\\\\\\b\\f\\n\\r\\t\\u0001\\u001f/\x7f\u00e9\U0001F600\"";
  EXPECT_EQ(compact(s), written);
  EXPECT_TRUE(parsed(written) == s);
  EXPECT_EQ(compact(JsonValue(L"/")), L"\"/\"");
  JsonValue keyed;
  keyed[L"a\nb"] = 1;
  EXPECT_EQ(compact(keyed), L"{\"a\\nb\":1}");
}

TEST(JsonText, IntegersAreWrittenLikePrintf) {
  std::vector<std::uint64_t> magnitudes = {0,
                                           1,
                                           9,
                                           10,
                                           99,
                                           100,
                                           4294967295u,
                                           4294967296u,
                                           9223372036854775807u,
                                           9223372036854775808u,
                                           18446744073709551615u};
  for (std::uint64_t power = 1; power <= 1000000000000000000u; power *= 10)
    for (std::uint64_t near : {power - 1, power, power + 1, 5 * power, 9 * power + 9})
      magnitudes.push_back(near);
  std::uint64_t seed = 88172645463325252u;
  for (int i = 0; i < 2000; ++i) {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    magnitudes.push_back(seed >> (i % 64));
  }
  for (std::uint64_t m : magnitudes) {
    char reference[32];
    std::snprintf(reference, sizeof reference, "%llu", static_cast<unsigned long long>(m));
    ASSERT_EQ(compact(JsonValue(static_cast<__uint64>(m))),
              std::wstring(reference, reference + std::strlen(reference)));
    if (m > 9223372036854775808u) continue;
    const long long negative = m == 9223372036854775808u ? LLONG_MIN : -static_cast<long long>(m);
    std::snprintf(reference, sizeof reference, "%lld", negative);
    ASSERT_EQ(compact(JsonValue(static_cast<__int64>(negative))),
              std::wstring(reference, reference + std::strlen(reference)));
  }
}

TEST(JsonText, DoublesAreWrittenLikePrintfWithSixteenDigits) {
  EXPECT_EQ(compact(JsonValue(0.1)), L"0.1");
  EXPECT_EQ(compact(JsonValue(0.1 + 0.2)), L"0.3");
  EXPECT_FALSE(parsed(L"0.3") == JsonValue(0.1 + 0.2));  // not bit-exact
  EXPECT_EQ(compact(JsonValue(1e300)), L"1e+300");
  EXPECT_EQ(compact(JsonValue(2.0)), L"2");
  EXPECT_EQ(parsed(compact(JsonValue(2.0))).type(), JsonValue::uintValue);
  for (double d : {-0.5, 1e-7, 123456789012345678.0, 1.0 / 3, 5e-324, -0.0, 1e16, 1e15,
                   -std::numeric_limits<double>::max(), std::numeric_limits<double>::max()}) {
    char reference[64];
    std::snprintf(reference, sizeof reference, "%.16g", d);
    EXPECT_EQ(compact(JsonValue(d)), std::wstring(reference, reference + std::strlen(reference)));
  }

  // Against the C library's printf, in one array: numbers as data has them (a few decimals),
  // all bit patterns, the neighbours of each power of ten and of its halves, and doubles at a
  // hair from half a unit of the 16th digit, where rounding is decided by the last bits.
  std::vector<double> numbers;
  std::uint64_t seed = 0x9E3779B97F4A7C15ull;
  auto random = [&seed] {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    return seed;
  };
  for (int i = 0; i < 20000; ++i) {
    numbers.push_back(static_cast<double>(random() % 10000000) / 100.0);
    numbers.push_back(-static_cast<double>(random() % 100000) / 1000000.0);
    std::uint64_t bits = random();
    double any;
    std::memcpy(&any, &bits, sizeof any);
    if (std::isfinite(any)) numbers.push_back(any);
    // a 17-digit decimal ending in 5, at every scale the short way covers and beyond
    char tie[40];
    std::snprintf(
        tie, sizeof tie, "%llu5e%d",
        static_cast<unsigned long long>(1000000000000000ull + random() % 9000000000000000ull),
        static_cast<int>(random() % 36) - 26);
    const double near = std::strtod(tie, nullptr);
    for (double d : {near, std::nextafter(near, 0.0), std::nextafter(near, HUGE_VAL)})
      numbers.push_back(d);
  }
  for (int k = -9; k <= 17; ++k) {
    const double power = std::pow(10.0, k);
    for (double d : {power, 5 * power, 9.999999999999999 * power, 9.9999999999999995 * power})
      for (double step : {d, std::nextafter(d, 0.0), std::nextafter(d, HUGE_VAL),
                          std::nextafter(std::nextafter(d, 0.0), 0.0)})
        numbers.push_back(step);
  }
  JsonValue array(JsonValue::arrayValue);
  for (double d : numbers)
    array.append(JsonValue(d));
  const std::wstring text = compact(array);
  std::size_t at = 1;  // past the '['
  int differing = 0;
  for (double d : numbers) {
    const std::size_t end = text.find_first_of(L",]", at);
    ASSERT_NE(end, std::wstring::npos);
    char reference[64];
    std::snprintf(reference, sizeof reference, "%.16g", d);
    const std::wstring written = text.substr(at, end - at);
    if (written != std::wstring(reference, reference + std::strlen(reference)) && ++differing < 5)
      ADD_FAILURE() << "%.16g of " << reference << " written as "
                    << std::string(written.begin(), written.end());
    at = end + 1;
  }
  EXPECT_EQ(differing, 0) << "of " << numbers.size();
}

// Keys shared by many objects of a parsed document, hundreds of distinct ones, keys with escapes
// and non-ASCII, long ones and the empty key come out of the byte writers (UTF-8 and UTF-16) as
// the wide writer gives them.
TEST(JsonText, KeysCommonToManyObjectsAreWrittenLikeAnyOther) {
  std::wstring text = L"[";
  const std::wstring common[] = {L"id",
                                 L"",
                                 L"q\\\"t\\n",
                                 L"caf\u00e9 \u6771",
                                 L"sixteen chars ok",
                                 L"seventeen chars!!",
                                 L"\u0001\u001f\u007f"};
  for (int i = 0; i < 400; ++i) {
    text += i ? L",{" : L"{";
    for (const std::wstring& key : common)
      text += L"\"" + key + L"\":" + std::to_wstring(i) + L",";
    text += L"\"own " + std::to_wstring(i) + L"\":[]}";
  }
  text += L"]";
  const JsonValue value = parsed(text);
  ASSERT_EQ(value.size(), 400);
  ASSERT_EQ(value[399].size(), 8);
  EXPECT_EQ(value[7][L"q\"t\n"].asInt32(), 7);

  const std::wstring wide = compact(value);
  const BytesHandle utf16(new Bytes);
  ASSERT_TRUE(Json::writeValue(value, utf16.get(), false));
  EXPECT_TRUE(utf16->bytes == utf16le(wide));
  const BytesHandle utf8(new Bytes);
  ASSERT_TRUE(Json::write(value, utf8.get(), false));
  JsonValue back;
  ASSERT_TRUE(Json::read(back, new Bytes(utf8->bytes)));
  EXPECT_TRUE(back == value);
  EXPECT_EQ(compact(back), wide);
  EXPECT_EQ(utf8->bytes.size(), wide.size() + 400 * 3);  // é takes two bytes, 東 three
}

TEST(JsonText, StreamsCarryUtf16OrUtf8AndStopAtAShortWrite) {
  // Json::writeValue writes UTF-16LE; Python: '["é\U0001F600"]'.encode("utf-16-le")
  JsonValue v;
  v[0] = L"\u00e9\U0001F600";
  BytesHandle out(new Bytes);
  ASSERT_TRUE(Json::writeValue(v, out.get(), false));
  EXPECT_EQ(out->bytes,
            std::string("\x5b\x00\x22\x00\xe9\x00\x3d\xd8\x00\xde\x22\x00\x5d\x00", 14));
  out = new Bytes;
  ASSERT_TRUE(Json::writeValue(parsed(L"{\"a\":[1]}"), out.get(), true));
  EXPECT_EQ(out->bytes, utf16le(L"{\n    \"a\" : [\n        1\n    ]\n}"));
  const JsonValue big(String(std::wstring(5000, L'x').c_str()));
  out = new Bytes;
  EXPECT_TRUE(Json::writeValue(big, out.get(), false));
  EXPECT_TRUE(out->bytes == utf16le(L"\"" + std::wstring(5000, L'x') + L"\""));
  out = new Bytes;
  out->room = 3;
  EXPECT_FALSE(Json::writeValue(big, out.get(), false));
  EXPECT_EQ(out->bytes.size(), 3u);  // nothing more after the short write

  // Json::write and Json::read carry UTF-8, without a byte-order mark.
  JsonValue u;
  u[L"k"] = L"\u00e9\u20ac";
  out = new Bytes;
  ASSERT_TRUE(Json::write(u, out.get(), true));
  EXPECT_EQ(out->bytes, "{\n    \"k\" : \"\xc3\xa9\xe2\x82\xac\"\n}");
  JsonValue back;
  EXPECT_TRUE(Json::read(back, new Bytes(out->bytes + " trailing ]")));
  EXPECT_TRUE(back == u);
  EXPECT_FALSE(Json::read(back, new Bytes("\xEF\xBB\xBF{}")) || Json::read(back, new Bytes("")) ||
               Json::read(back, nullptr) || Json::write(u, nullptr, false));
  out = new Bytes;
  out->room = 5;
  EXPECT_FALSE(Json::write(u, out.get(), false));
  EXPECT_TRUE(back == u);
}

// Json::read parses UTF-8 bytes directly where the text reader would take them one for one;
// whatever the bytes, the result must be that of parsing the reader's characters.
// The wide text of UTF-8 bytes by the library's converter (zero bytes left out): what the
// readers of files must see.
String decodedUtf8(const std::string& bytes) {
  std::string kept;
  for (char c : bytes)
    if (c != 0) kept += c;
  return StringHelper::utf8ToWide(kept.c_str());
}

// Numbers read from UTF-8 bytes are the numbers of the same text read wide: the same verdict,
// the same type and the same bits, alone, in an array and as a member, in both syntaxes.
TEST(JsonText, NumbersReadFromBytesAreTheNumbersOfTheWideText) {
  std::vector<std::string> numbers = {"0",
                                      "-0",
                                      "-0.0",
                                      "0.1",
                                      "1.",
                                      "-.5",
                                      "00.5",
                                      "1e",
                                      "1e+",
                                      "1e-",
                                      "1E5",
                                      "1e+5-3",
                                      "1.5e3.2",
                                      "1.2.3",
                                      "-e5",
                                      "-",
                                      "-.",
                                      "2.5e-324",
                                      "4.9e-324",
                                      "1e400",
                                      "-1e400",
                                      "1e-400",
                                      "1.7976931348623157e308",
                                      "1.7976931348623159e308",
                                      "18446744073709551615",
                                      "18446744073709551616",
                                      "-9223372036854775808",
                                      "-9223372036854775809",
                                      "0x10",
                                      "1e0001",
                                      "123456789012345678901234567890",
                                      "9007199254740993",
                                      "0.1e-5x",
                                      "1.5E+999",
                                      "-1e-9999",
                                      "3.14159265358979323846264338327950288",
                                      "0." + std::string(400, '0') + "1",
                                      std::string(400, '9') + ".5",
                                      "1" + std::string(330, '0'),
                                      "-2.e5",
                                      "5e-",
                                      "7e+-1"};
  std::mt19937_64 random(11);
  for (int i = 0; i < 3000; ++i) {
    const std::uint64_t bits = random();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    char text[40];
    std::snprintf(text, sizeof text, i % 2 ? "%.17g" : "%.6e", d);
    numbers.push_back(text);
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(random() % 100000000) / 1000);
    numbers.push_back(text);
  }
  const auto number = [](const JsonValue& v) -> const JsonValue& {
    return v.isArray() ? v[0] : v.isObject() ? v[L"k"] : v;
  };
  for (const std::string& n : numbers) {
    for (const std::string& text : {n, "[" + n + "]", "{\"k\":" + n + "}"}) {
      for (const Json::Syntax syntax : {Json::lenient, Json::strict}) {
        JsonValue fromBytes, fromText;
        JsonError bytesError, textError;
        const bool read = Json::read(fromBytes, new Bytes(text), bytesError, syntax);
        const std::wstring wide(text.begin(), text.end());
        const bool parsed = Json::parseValue(wide.c_str(), fromText, textError, syntax) != nullptr;
        ASSERT_EQ(read, parsed) << text << " " << syntax;
        if (!read) {
          EXPECT_EQ(bytesError.offset, textError.offset) << text;
          continue;
        }
        const JsonValue &a = number(fromBytes), &b = number(fromText);
        ASSERT_EQ(a.type(), b.type()) << text;
        if (a.type() == JsonValue::doubleValue) {
          const double x = a.asDouble(), y = b.asDouble();
          EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0) << text;
        } else {
          EXPECT_EQ(a.asUInt64(), b.asUInt64()) << text;
        }
      }
    }
  }
}

TEST(JsonText, ReadGivesWhatParsingTheDecodedTextGives) {
  const std::string cases[] = {
      "{\"caf\xc3\xa9\":[\"\xe6\x9d\xb1\\\"\xe4\xba\xac\",1.25,18446744073709551615,-3]}",
      "[\"\\u00e9\\\xc3\xa9\\\xe6\x9d\xb1\"]",  // escaped two- and three-byte characters
      "[\"\\u4\xc3\xa9"
      "12\",\"\\ud83d\\u\xe6\x9d\xb1"
      "abc\"]",                                   // \u groups of characters
      "[\"\\ud83d\\ude00\\ud800\xed\xa0\x80\"]",  // a surrogate written in UTF-8 is kept
      "/* \xc3\xa9 */ [1 // \xe6\x9d\xb1\n, 2]", "[1\xc3\xa9]", "[0.5\xc3\xa9]", "\xc3\xa9",
      "[\"\xc3\xa9\"",  // fail
      "[" + std::string(100, '1') + ".5e-3, 1" + std::string(80, '0') + "]",
      "[\"a\xa2]",                         // a stray byte is U+FFFD, never a quote
      "[\"a\xa2\"]", "[\"\xc0\xa2,1]\"]",  // an overlong quote
      "[\"\xe0\x80\xa2\"]",                // an overlong three-byte form
      "[\"\xf0\x9f\x98\x80\"]",            // four bytes are one character
      "[\"X\xf0\xa2\xac\xa2Y\"]", "[\"\xf0\x9f\x92\xa2\"]", "[\"\xf0\x9f\x98\"]",
      "[\"\xf0\x9f\x98\x80\xff\"]", "[\"\xf4\x90\x80\x80\"]", "[\"\xe6\x9d\"]", "[\"\xe6\"]",
      "[\"\xc3\"]",
      "\"\xc3",  // cut short
      std::string("[1,\0 2]", 7), std::string("[\"a\0b\"]", 7),
      std::string("1\0"
                  "2",
                  3),
      "{\"a\":1,\"a\":\"\xe2\x82\xac\"}", "[tru\xc3\xa9]", "nul\xe2\x82\xac",
      // Strings of every kind after the parse has gone some way, escaped characters of four
      // bytes, broken bytes in comments of a text that parses, and zeros after a whole value.
      "[\"" + repeated("ab\xc3\xa9", 300) + "\",{\"k\":[1,\"\xf0\x9f\x98\x80\"]}]",
      "[\"x\",{\"k\xf0\x9f\x98\x80\":\"\xe6\x9d\xb1\"},\"\\\xf0\x9f\x98\x80\",\"\xed\xa0\x80\"]",
      "[\"x\", /* \xa2\xff */ 1 // \xe6\x9d\n]", std::string("[\"ab\"]\0\"", 8),
      std::string("\"ab\"\0\"", 6), std::string("true\0", 5),
      std::string("-\0"
                  "5",
                  3),
      std::string("12.5\0"
                  "5",
                  6),
      // A number that stops before an exponent without digits, and zeros after it: the digits
      // after the zeros belong to the exponent once the zeros are left out.
      std::string("2.e\0\0\0"
                  "3\\2]",
                  10),
      std::string("[\"\xc3\xa9\", 1]\0\xa2", 11),
      // Longer than the decoding scratch buffer, in bytes and in characters.
      "[\"" + repeated("\xc3\xa9", 5000) + "\\\"" + repeated("\xe6\x9d\xb1", 3000) + "\"]",
      "\"" + repeated("\\u00e9", 9000) + "\""};
  for (const std::string& bytes : cases) {
    JsonValue read(L"unchanged"), parsedText(L"unchanged");
    const bool ok = Json::read(read, new Bytes(bytes));
    const String text = decodedUtf8(bytes);
    const bool expected = Json::parseValue(text.getBuffer(), parsedText) != nullptr;
    EXPECT_EQ(ok, expected) << bytes;
    EXPECT_EQ(compact(read), compact(parsedText)) << bytes;
  }
  // Strings are scanned several bytes at a time: every kind of character and escape at every
  // place in the scanned words and at every distance from the end of the text, in strings long
  // enough to have a block of their own and short enough to be shared.
  const std::string pieces[] = {
      "\xc3\xa9",        "\xe6\x9d\xb1", "\\\"", "\\\\",    "\\n",  "\\/", "\\\xc3\xa9",
      "\\\xe6\x9d\xb1",  "\\u00e9",      "x",    "\\t\\\"", "\x01", "\\q", "\xa2",
      "\xf0\x9f\x98\x80"};
  for (const std::string& piece : pieces) {
    for (int before = 0; before < 34; ++before) {
      for (int after = 0; after < 11; ++after) {
        const std::string text =
            "\"" + std::string(before, 'a') + piece + std::string(after, 'b') + "\"";
        for (const std::string& bytes : {text, "[" + text + "," + text + "]", text + "  "}) {
          JsonValue read, parsedText;
          ASSERT_TRUE(Json::read(read, new Bytes(bytes))) << bytes;
          ASSERT_NE(Json::parseValue(decodedUtf8(bytes).getBuffer(), parsedText), nullptr);
          ASSERT_EQ(compact(read), compact(parsedText)) << bytes;
        }
        // Cut before its closing quote, the string does not parse.
        JsonValue kept(L"kept");
        EXPECT_FALSE(Json::read(kept, new Bytes(text.substr(0, text.size() - 1)))) << text;
        EXPECT_EQ(compact(kept), L"\"kept\"");
      }
    }
  }
  // A source that hands out a few bytes at a time, and one that fails.
  const std::string document = "{\"k\xc3\xa9y\":[" + repeated("1.5,", 3000) + "2]}";
  JsonValue trickled;
  ASSERT_TRUE(Json::read(trickled, new Trickle(document, 7)));
  EXPECT_EQ(trickled[L"k\u00e9y"].size(), 3001);
  EXPECT_EQ(trickled[L"k\u00e9y"][3000].asInt32(), 2);
  JsonValue kept(L"kept");
  EXPECT_FALSE(Json::read(kept, new Trickle("[1,2]", 2, 2)));  // "[1,2", then the source fails
  EXPECT_FALSE(Json::read(kept, new Trickle("[1,2]", 5, 0)));
  EXPECT_EQ(compact(kept), L"\"kept\"");
  JsonValue v;
  EXPECT_FALSE(Json::read(v, new Bytes("[\"a\xa2]")));  // a stray byte is no quote
  ASSERT_TRUE(Json::read(v, new Bytes("[\"\\u4\xc3\xa9"
                                      "12\",\"a\xa2\"]")));
  EXPECT_EQ(compact(v), L"[\"\\u0004\",\"a\uFFFD\"]");  // \u4 took "\u00e912"
  // Characters beyond the basic plane read back as they were written, and broken bytes are
  // U+FFFD in the lenient syntax, an error with their place in the strict one.
  ASSERT_TRUE(Json::read(v, new Bytes("[\"X\xf0\xa2\xac\xa2Y\",\"\xf0\x9f\x92\xa2\"]")));
  EXPECT_EQ(v.size(), 2);
  EXPECT_EQ(v[0].asString(), String(L"X\U00022B22Y"));
  EXPECT_EQ(v[1].asString(), String(L"\U0001F4A2"));
  ASSERT_TRUE(Json::read(v, new Bytes("[\"Caf\xe9\",\n\"\xf0\x9f\x98\"]")));
  EXPECT_EQ(compact(v), L"[\"Caf\uFFFD\",\"\uFFFD\"]");
  JsonError error;
  EXPECT_FALSE(Json::read(v, new Bytes("[\"ok\",\n\"Caf\xe9\"]"), error, Json::strict));
  EXPECT_EQ(error.line, 2);
  EXPECT_EQ(error.column, 5);
  EXPECT_EQ(error.offset, 11u);
  EXPECT_EQ(std::wstring(error.reason.getBuffer()), L"invalid UTF-8");
}

TEST(JsonFile, SaveAndLoadRoundTripAndRefuseAByteOrderMark) {
  Scratch scratch;
  const JsonValue v = parsed(L"{\"n\":[1,-2,0.5],\"s\":\"\u4e2d\"}");
  JsonValue copy = v;
  ASSERT_TRUE(Json::save(copy, scratch.name("a.json").c_str(), false));
  EXPECT_EQ(scratch.bytes("a.json"), "{\"n\":[1,-2,0.5],\"s\":\"\xe4\xb8\xad\"}");
  JsonValue back;
  ASSERT_TRUE(Json::load(back, scratch.name("a.json").c_str()));
  EXPECT_TRUE(back == v);
  JsonValue empty = parsed(L"[]");
  ASSERT_TRUE(Json::save(empty, scratch.name("a.json").c_str(), true));  // truncates
  EXPECT_EQ(scratch.bytes("a.json"), "[\n]");

  scratch.put("bom.json", "\xEF\xBB\xBF{}");
  scratch.put("plain.json", "{}");
  JsonValue target(5);
  EXPECT_FALSE(Json::load(target, scratch.name("bom.json").c_str()));
  EXPECT_EQ(compact(target), L"5");
  EXPECT_TRUE(Json::load(target, scratch.name("plain.json").c_str()));
  EXPECT_TRUE(target.isObject());
  EXPECT_FALSE(Json::load(target, scratch.name("missing.json").c_str()));
  EXPECT_FALSE(Json::save(copy, scratch.name("no/such/dir.json").c_str(), false));
}

#if !defined(_WIN32)
// In a sticky directory that others may write (/tmp), a link planted by another user at the
// name is not followed, as the kernel would not follow it: the save fails and the file the link
// names is untouched. The user's own link is followed, and a link at the name elsewhere too.
TEST(JsonFile, SaveFollowsOnlyTheLinksTheSystemWouldFollow) {
  Scratch scratch;
  const fs::path shared = scratch.path / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  scratch.put("victim", "root only");
  fs::create_symlink(scratch.path / "victim", shared / "state.json");
  const uid_t other = geteuid() == 0 ? 65534 : geteuid();
  if (lchown((shared / "state.json").c_str(), other, other) != 0 || other == geteuid())
    GTEST_SKIP() << "making a link of another user needs root";
  JsonValue v = parsed(L"{\"a\":1}");
  {
    Warnings logged;
    EXPECT_FALSE(Json::save(v, (shared / "state.json").wstring().c_str(), false));
    EXPECT_EQ(logged.lines.size(), 1u);
  }
  EXPECT_EQ(scratch.bytes("victim"), "root only");
  EXPECT_TRUE(fs::is_symlink(shared / "state.json"));
  // Nothing is left behind in the shared directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(shared), fs::directory_iterator()), 1);
  // A link of the directory's owner (here: this user) is followed, the file it names replaced.
  ASSERT_EQ(lchown((shared / "state.json").c_str(), geteuid(), getegid()), 0);
  ASSERT_TRUE(Json::save(v, (shared / "state.json").wstring().c_str(), false));
  EXPECT_EQ(scratch.bytes("victim"), "{\"a\":1}");
  EXPECT_TRUE(fs::is_symlink(shared / "state.json"));
  // Outside a sticky directory any link is followed, as the system follows it.
  fs::create_symlink(scratch.path / "victim", scratch.path / "plain.json");
  ASSERT_EQ(lchown((scratch.path / "plain.json").c_str(), other, other), 0);
  ASSERT_TRUE(Json::save(v, (scratch.path / "plain.json").wstring().c_str(), true));
  EXPECT_EQ(scratch.bytes("victim"), "{\n    \"a\" : 1\n}");
}
#endif

TEST(JsonText, NestingStopsAtOneThousandLevels) {
  const auto nested = [](int depth, bool objects) {
    std::wstring text;
    for (int i = 0; i < depth; ++i)
      text += objects ? L"{\"a\":" : L"[";
    text += L"1";
    for (int i = 0; i < depth; ++i)
      text += objects ? L"}" : L"]";
    return text;
  };
  for (bool objects : {false, true}) {
    JsonValue v;
    ASSERT_NE(Json::parseValue(nested(Json::kMaxDepth, objects).c_str(), v), nullptr);
    int depth = 0;
    for (const JsonValue* p = &v; !p->isNumber(); ++depth)
      p = objects ? &(*p)[L"a"] : &(*p)[0];
    EXPECT_EQ(depth, 1000);
    EXPECT_EQ(compact(v), nested(1000, objects));
    EXPECT_FALSE(styled(v).empty());
    EXPECT_EQ(Json::parseValue(nested(1001, objects).c_str(), v), nullptr);
  }
  JsonValue v;
  EXPECT_EQ(Json::parseValue(std::wstring(100000, L'[').c_str(), v), nullptr);
  std::wstring mixed;
  for (int i = 0; i < 50000; ++i)
    mixed += L"[{\"\":";
  EXPECT_EQ(Json::parseValue(mixed.c_str(), v), nullptr);
}

TEST(JsonText, HostileTextFailsCleanly) {
  // Every prefix of a document either fails or stops inside the prefix.
  const std::wstring document =
      L" /*a*/ {\"k\\u00e9\\\"\": [1.5e3, -0, \"\\ud83d\\ude00\\t\", {\"x\":null}], // z\n"
      L"\"t\" : true}";
  for (size_t n = 0; n <= document.size(); ++n) {
    const std::wstring prefix = document.substr(0, n);
    JsonValue v;
    const long end = parseEnd(prefix, v);
    EXPECT_TRUE(end == -1 || (end > 0 && end <= long(n))) << prefix;
  }
  const std::pair<std::wstring, const wchar_t*> numbers[] = {
      {std::wstring(5000, L'9'), L"null"},  // infinity, which JSON writes as null
      {L"-" + std::wstring(5000, L'9'), L"null"}, {L"0." + std::wstring(5000, L'0') + L"1", L"0"},
      {std::wstring(5000, L'0') + L"1", L"1"},    {L"1e99999999999999999999", L"null"},
      {L"1" + std::wstring(400, L'0'), L"null"},
  };
  for (const auto& [number, written] : numbers)
    EXPECT_EQ(compact(parsed(number)), written);
}

// ---- a public test suite of JSON files ---------------------------------------------------------

// Files the lenient parser accepts among those that strict parsers must or may refuse (n_, i_):
// worked out from the UTF-8 reading and parsing rules, not by running the parser (a byte that
// is not UTF-8 is U+FFFD, which may stand after a backslash like any character). The y_ files
// must all parse.
TEST(JsonSuite, FilesAreAcceptedExactlyAsTheRulesSay) {
  // The parsing files of JSONTestSuite (MIT licence) are also the JSON fuzzer's seeds.
  const fs::path dir =
      fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "JsonFuzz";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no test files in " << dir;
  // Names without ".json".
  std::istringstream table(
      "i_number_double_huge_neg_exp i_number_huge_exp i_number_neg_int_huge_exp "
      "i_number_pos_double_huge_exp i_number_real_neg_overflow i_number_real_pos_overflow "
      "i_number_real_underflow i_number_too_big_neg_int i_number_too_big_pos_int "
      "i_number_very_big_negative_int i_object_key_lone_2nd_surrogate "
      "i_string_1st_surrogate_but_2nd_missing i_string_1st_valid_surrogate_2nd_invalid "
      "i_string_UTF-8_invalid_sequence i_string_UTF8_surrogate_U+D800 "
      "i_string_incomplete_surrogate_and_escape_valid i_string_incomplete_surrogate_pair "
      "i_string_incomplete_surrogates_escape_valid i_string_invalid_lonely_surrogate "
      "i_string_invalid_surrogate i_string_invalid_utf-8 i_string_inverted_surrogates_U+1D11E "
      "i_string_lone_second_surrogate i_string_lone_utf8_continuation_byte "
      "i_string_not_in_unicode_range i_string_overlong_sequence_2_bytes "
      "i_string_overlong_sequence_6_bytes i_string_overlong_sequence_6_bytes_null "
      "i_string_truncated-utf-8 i_string_utf16BE_no_BOM i_string_utf16LE_no_BOM "
      "i_structure_500_nested_arrays n_array_comma_after_close n_array_extra_close "
      "n_array_just_minus n_multidigit_number_then_00 n_number_-01 n_number_-2. n_number_0.e1 "
      "n_number_2.e+3 n_number_2.e-3 n_number_2.e3 n_number_neg_int_starting_with_zero "
      "n_number_neg_real_without_int_part n_number_real_without_fractional_part "
      "n_number_with_leading_zero n_object_trailing_comment n_object_trailing_comment_open "
      "n_object_trailing_comment_slash_open n_object_trailing_comment_slash_open_incomplete "
      "n_object_with_trailing_garbage n_string_1_surrogate_then_escape_u "
      "n_string_1_surrogate_then_escape_u1 n_string_1_surrogate_then_escape_u1x "
      "n_string_escape_x n_string_escaped_ctrl_char_tab n_string_escaped_emoji "
      "n_string_incomplete_escaped_character n_string_incomplete_surrogate "
      "n_string_incomplete_surrogate_escape_invalid n_string_invalid_backslash_esc "
      "n_string_invalid_unicode_escape n_string_unescaped_ctrl_char n_string_unescaped_newline "
      "n_string_unescaped_tab n_string_unicode_CapitalU n_string_with_trailing_garbage "
      "n_structure_array_trailing_garbage n_structure_array_with_extra_array_close "
      "n_structure_close_unopened_array n_structure_double_array "
      "n_structure_null-byte-outside-string n_structure_number_with_trailing_garbage "
      "n_structure_object_followed_by_closing_object n_structure_object_with_comment "
      "n_structure_object_with_trailing_garbage n_structure_trailing_# "
      "n_structure_whitespace_formfeed i_string_iso_latin_1 n_string_invalid_utf8_after_escape "
      "n_string_invalid-utf-8-in-escape ");
  std::set<std::string> accepted;
  for (std::string name; table >> name;)
    accepted.insert(name + ".json");
  std::set<std::string> seen;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 2 || name[1] != '_' || name.find_first_of("yni") != 0) continue;
    JsonValue value;
    const bool ok = Json::load(value, String(entry.path().wstring().c_str()));
    EXPECT_EQ(ok, name[0] == 'y' || accepted.count(name) != 0) << name;
    seen.insert(name);
  }
  EXPECT_GT(seen.size(), 300u);
  for (const std::string& name : accepted)
    EXPECT_EQ(seen.count(name), 1u) << name;
}

// ---- parse errors and the strict syntax --------------------------------------------------------

namespace {

struct Fault {
  const wchar_t* text;
  Json::Syntax syntax;
  int line, column;
  std::size_t offset;
  const wchar_t* reason;
};

std::wstring describeError(const JsonError& e) {
  return std::to_wstring(e.line) + L":" + std::to_wstring(e.column) + L"@" +
         std::to_wstring(e.offset) + L" " + e.reason.getBuffer();
}

std::wstring expectedError(int line, int column, std::size_t offset, const wchar_t* reason) {
  return std::to_wstring(line) + L":" + std::to_wstring(column) + L"@" + std::to_wstring(offset) +
         L" " + reason;
}

// The error of reading the bytes (which must fail), as "line:column@offset reason".
std::wstring readError(const std::string& bytes, Json::Syntax syntax) {
  JsonValue value(L"kept");
  JsonError error;
  EXPECT_FALSE(Json::read(value, new Bytes(bytes), error, syntax)) << bytes;
  EXPECT_EQ(compact(value), L"\"kept\"") << bytes;
  return describeError(error);
}

// The value of bytes that must read.
JsonValue readValue(const std::string& bytes, Json::Syntax syntax) {
  JsonValue value;
  JsonError error;
  EXPECT_TRUE(Json::read(value, new Bytes(bytes), error, syntax))
      << bytes << " " << describeError(error).size();
  EXPECT_EQ(describeError(error), L"0:0@0 ");
  return value;
}

std::wstring thrownBy(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& e) {
    EXPECT_EQ(std::wstring(e.file()), L"vemo/core/Json");
    EXPECT_EQ(e.code(), -1);
    return e.description();
  }
  return L"(nothing thrown)";
}

}  // namespace

TEST(JsonErrors, EachFaultHasItsLineColumnOffsetAndReason) {
  const std::wstring deep = std::wstring(1001, L'[') + std::wstring(1001, L']');
  const Fault faults[] = {
      {L"", Json::lenient, 1, 1, 0, L"unexpected end of text"},
      {L"  \n ", Json::strict, 2, 2, 4, L"unexpected end of text"},
      {L"[1, 2", Json::lenient, 1, 6, 5, L"unexpected end of text"},
      {L"[1 2]", Json::lenient, 1, 4, 3, L"expected ',' or ']'"},
      {L"{\"a\":1 \"b\":2}", Json::lenient, 1, 8, 7, L"expected ',' or '}'"},
      {L"{\"a\" 1}", Json::lenient, 1, 6, 5, L"expected ':'"},
      {L"{\"a\" /*c*/ : 1}", Json::lenient, 1, 6, 5, L"expected ':'"},
      {L"{1:2}", Json::lenient, 1, 2, 1, L"expected a string key"},
      {L"{\"a\":1,}", Json::strict, 1, 8, 7, L"expected a string key"},
      {L"[1,]", Json::lenient, 1, 4, 3, L"expected a value"},
      {L"\n\n  [tru]", Json::lenient, 3, 4, 5, L"invalid literal"},
      {L"[1,\r\n 2,\n x]", Json::strict, 3, 2, 10, L"expected a value"},
      {L"[\"abc", Json::lenient, 1, 2, 1, L"unterminated string"},
      {L"[\"abc\\", Json::strict, 1, 2, 1, L"unterminated string"},
      {L"/* x", Json::lenient, 1, 1, 0, L"unterminated comment"},
      {L"[-.]", Json::lenient, 1, 2, 1, L"invalid number"},
      {L"\uFEFF{}", Json::lenient, 1, 1, 0, L"byte-order mark"},
      {L"\t\u00e9", Json::lenient, 1, 2, 1, L"expected a value"},
      // What only the strict syntax refuses.
      {L"[1] x", Json::strict, 1, 5, 4, L"text after the value"},
      {L"[1] // c", Json::strict, 1, 5, 4, L"comments are not allowed"},
      {L"/* c */ 1", Json::strict, 1, 1, 0, L"comments are not allowed"},
      {L"[01]", Json::strict, 1, 3, 2, L"leading zero in a number"},
      {L"[-01]", Json::strict, 1, 4, 3, L"leading zero in a number"},
      {L"[-]", Json::strict, 1, 3, 2, L"digit expected in a number"},
      {L"[1.]", Json::strict, 1, 4, 3, L"digit expected after the point"},
      {L"[1.5e+]", Json::strict, 1, 7, 6, L"digit expected in the exponent"},
      {L"[.5]", Json::strict, 1, 2, 1, L"expected a value"},
      {L"[\"a\tb\"]", Json::strict, 1, 4, 3, L"control character in a string"},
      {L"[\"\\x\"]", Json::strict, 1, 3, 2, L"invalid escape"},
      {L"[\"\\u12\"]", Json::strict, 1, 3, 2, L"\\u needs four hexadecimal digits"},
      {L"[\"\\ud800\"]", Json::strict, 1, 3, 2, L"lone surrogate"},
      {L"[\"\\udc00\\ud800\"]", Json::strict, 1, 3, 2, L"lone surrogate"},
      {L"[\"x\\ud800\\u0041\"]", Json::strict, 1, 4, 3, L"lone surrogate"},
      {L"\f1", Json::strict, 1, 1, 0, L"expected a value"},
      {L"1\v", Json::strict, 1, 2, 1, L"text after the value"},
  };
  for (const Fault& fault : faults) {
    JsonValue value(L"kept");
    JsonError error;
    error.line = 77;  // cleared by the call
    const std::wstring text = fault.text;
    EXPECT_EQ(Json::parseValue(text.c_str(), value, error, fault.syntax), nullptr) << text;
    EXPECT_EQ(describeError(error),
              expectedError(fault.line, fault.column, fault.offset, fault.reason))
        << text;
    EXPECT_EQ(compact(value), L"\"kept\"") << text;
  }
  JsonValue value;
  JsonError error;
  EXPECT_EQ(Json::parseValue(deep.c_str(), value, error), nullptr);
  EXPECT_EQ(describeError(error), L"1:1001@1000 nesting deeper than 1000 levels");

  // Lenient text that the strict syntax refuses still parses, and clears the error.
  for (const wchar_t* text : {L"[1] x", L"/* c */ 1", L"[01]", L"[-]", L"[1.]", L"\f1", L"1\v",
                              L"[\"a\tb\"]", L"[\"\\x\"]", L"[\"\\ud800\"]"}) {
    JsonValue lenient, plain;
    error.reason = L"stale";
    EXPECT_NE(Json::parseValue(text, lenient, error), nullptr) << text;
    EXPECT_EQ(describeError(error), L"0:0@0 ") << text;
    ASSERT_NE(Json::parseValue(text, plain), nullptr) << text;
    EXPECT_TRUE(lenient == plain) << text;
  }
  // A strict value is the whole text: the result is its end.
  const std::wstring whole = L" \r\n\t{\"a\" : [1, -2.5e3, \"\\u00e9\\ud83d\\ude00\"]} \n";
  const wchar_t* end = Json::parseValue(whole.c_str(), value, error, Json::strict);
  EXPECT_EQ(end, whole.c_str() + whole.size());
  EXPECT_EQ(compact(value), L"{\"a\":[1,-2500,\"\u00e9\U0001F600\"]}");
  EXPECT_EQ(Json::parseValue(nullptr, value, error), nullptr);
  EXPECT_EQ(describeError(error), L"0:0@0 no text");
}

TEST(JsonErrors, StreamsCountBytesForTheOffsetAndCharactersForTheColumn) {
  // U+00E9 is two bytes, U+4E2D three: columns count them once, offsets in bytes.
  EXPECT_EQ(readError("[\"\xc3\xa9\xe4\xb8\xad\", x]", Json::lenient), L"1:8@10 expected a value");
  EXPECT_EQ(readError("[\"\xc3\xa9\xe4\xb8\xad\", x]", Json::strict), L"1:8@10 expected a value");
  EXPECT_EQ(readError("{\"k\":\n  [\xc3\xa9]}", Json::lenient), L"2:4@9 expected a value");
  EXPECT_EQ(readError("", Json::lenient), L"1:1@0 unexpected end of text");
  EXPECT_EQ(readError("\xEF\xBB\xBF{}", Json::strict), L"1:1@0 byte-order mark");
  // Text decoded first (zero bytes, broken sequences): lines and columns of its characters,
  // offsets of the bytes. A four-byte sequence is one character.
  EXPECT_EQ(readError(std::string("\0\0[1,@]", 7), Json::lenient), L"1:4@5 expected a value");
  EXPECT_EQ(readError("[\"\xF0\x9F\x98\x80\", x]", Json::lenient), L"1:7@9 expected a value");
  EXPECT_EQ(readError("[\"\xF0\x9F\x98\x80\xff\", x]", Json::lenient), L"1:8@10 expected a value");
  // The strict syntax reads four-byte sequences as one character, and refuses what is not
  // well-formed UTF-8 where it starts.
  EXPECT_EQ(readError("[\"\xF0\x9F\x98\x80\", x]", Json::strict), L"1:7@9 expected a value");
  EXPECT_EQ(compact(readValue("[\"\xF0\x9F\x98\x80\"]", Json::strict)), L"[\"\U0001F600\"]");
  EXPECT_EQ(readError("[\"a\xc3\x28\"]", Json::strict), L"1:4@3 invalid UTF-8");
  EXPECT_EQ(readError("[\"a\xed\xa0\x80\"]", Json::strict), L"1:4@3 invalid UTF-8");  // U+D800
  EXPECT_EQ(readError("[\"\xc0\xaf\"]", Json::strict), L"1:3@2 invalid UTF-8");       // overlong
  EXPECT_EQ(readError("[\"\xf4\x90\x80\x80\"]", Json::strict), L"1:3@2 invalid UTF-8");
  EXPECT_EQ(readError("[1,\xe4\xb8", Json::strict), L"1:4@3 invalid UTF-8");  // cut short
  // A zero byte is a character of its own to the strict syntax, never the end of the text.
  EXPECT_EQ(readError(std::string("[1]\0", 4), Json::strict), L"1:4@3 text after the value");
  EXPECT_EQ(readError(std::string("[\"a\0\"]", 6), Json::strict),
            L"1:4@3 control character in a string");
  EXPECT_EQ(readError(std::string("[1,\0]", 5), Json::strict), L"1:4@3 expected a value");
  // The same bytes read leniently give what the plain read gives.
  for (const std::string& bytes :
       {std::string("[1]\0", 4), std::string("[\"a\0\"]", 6), std::string("[1,\0 2]", 7),
        std::string("[\"\xF0\x9F\x98\x80\"] x"), std::string("{\"a\":1 // c\n}"),
        std::string("[\xc3\x28]")}) {
    JsonValue plain, checked;
    JsonError error;
    const bool ok = Json::read(plain, new Bytes(bytes));
    EXPECT_EQ(Json::read(checked, new Bytes(bytes), error, Json::lenient), ok) << bytes;
    EXPECT_EQ(compact(plain), compact(checked)) << bytes;
    EXPECT_EQ(error.reason.isEmpty(), ok) << bytes;
  }
  JsonValue value;
  JsonError error;
  EXPECT_FALSE(Json::read(value, nullptr, error));
  EXPECT_EQ(describeError(error), L"0:0@0 no input");
  Scratch scratch;
  EXPECT_FALSE(Json::load(value, scratch.name("missing.json").c_str(), error, Json::strict));
  EXPECT_EQ(describeError(error), L"0:0@0 the file cannot be opened");
  scratch.put("bad.json", "{\n  \"port\": 08080\n}\n");
  EXPECT_FALSE(Json::load(value, scratch.name("bad.json").c_str(), error, Json::strict));
  EXPECT_EQ(describeError(error), L"2:12@13 leading zero in a number");
  EXPECT_TRUE(Json::load(value, scratch.name("bad.json").c_str(), error));
  EXPECT_EQ(value[L"port"].asInt32(), 8080);
}

TEST(JsonFile, ZerosAndNonFiniteNumbersAreWrittenSoThatTheyReadBack) {
  Scratch scratch;
  // U+0000 in a value and in a key is escaped: no writer stops at it, save reports the truth.
  JsonValue v;
  v[String(L"k\0", 2)] = 1;  // a trailing zero is dropped from the key
  v[String(L"a\0b", 3)] = String(L"x\0y", 3);
  const std::wstring expected = L"{\"a\\u0000b\":\"x\\u0000y\",\"k\":1}";
  EXPECT_EQ(compact(v), expected);
  ASSERT_TRUE(Json::save(v, scratch.name("zero.json").c_str(), false));
  EXPECT_EQ(scratch.bytes("zero.json"), "{\"a\\u0000b\":\"x\\u0000y\",\"k\":1}");
  const BytesHandle utf16(new Bytes);
  ASSERT_TRUE(Json::writeValue(v, utf16.get(), false));
  EXPECT_EQ(utf16->bytes.size(), expected.size() * 2);
  const BytesHandle utf8(new Bytes);
  ASSERT_TRUE(Json::write(v, utf8.get(), true));
  EXPECT_NE(utf8->bytes.find("\"x\\u0000y\""), std::string::npos);
  // The strict syntax reads \u0000 back as the character; the lenient one drops it.
  JsonValue back;
  JsonError error;
  ASSERT_TRUE(Json::load(back, scratch.name("zero.json").c_str(), error, Json::strict));
  EXPECT_TRUE(back == v);
  EXPECT_EQ(back[String(L"a\0b", 3)].asString().getLength(), 3);
  ASSERT_TRUE(Json::load(back, scratch.name("zero.json").c_str()));
  EXPECT_EQ(compact(back), L"{\"ab\":\"xy\",\"k\":1}");

  // NaN and the infinities have no JSON form: null, with a warning naming each place.
  JsonValue numbers;
  numbers[L"n"].append(1.5);
  numbers[L"n"].append(std::nan(""));
  numbers[L"p"][L"q"] = HUGE_VAL;
  numbers[L"m"] = -HUGE_VAL;
  numbers[L"f"] = static_cast<float>(HUGE_VAL);
  {
    Warnings warnings;
    EXPECT_EQ(compact(numbers), L"{\"f\":null,\"m\":null,\"n\":[1.5,null],\"p\":{\"q\":null}}");
    EXPECT_EQ(warnings.lines,
              (Lines{L"JSON: infinity at \"f\" has no JSON form and is written as null",
                     L"JSON: -infinity at \"m\" has no JSON form and is written as null",
                     L"JSON: NaN at \"n[1]\" has no JSON form and is written as null",
                     L"JSON: infinity at \"p.q\" has no JSON form and is written as null"}));
    warnings.lines.clear();
    ASSERT_TRUE(Json::save(numbers, scratch.name("nan.json").c_str(), true));
    EXPECT_EQ(warnings.lines.size(), 4u);
    warnings.lines.clear();
    EXPECT_EQ(compact(JsonValue(1.5)), L"1.5");
    EXPECT_EQ(compact(JsonValue(std::nan(""))), L"null");
    EXPECT_EQ(warnings.lines, Lines{L"JSON: NaN at \"\" has no JSON form and is written as null"});
  }
  // What was saved reads back, and writes the same text again: a fixed point.
  ASSERT_TRUE(Json::load(back, scratch.name("nan.json").c_str(), error, Json::strict));
  EXPECT_EQ(compact(back), L"{\"f\":null,\"m\":null,\"n\":[1.5,null],\"p\":{\"q\":null}}");
  // A number too large for a double is an error to the strict syntax, never an infinity.
  for (const wchar_t* text : {L"[1e400]", L"[-1e400]", L"[1.5E+999]"}) {
    EXPECT_EQ(Json::parseValue(text, back, error, Json::strict), nullptr) << text;
    EXPECT_EQ(describeError(error), L"1:2@1 number out of range") << text;
  }
  EXPECT_FALSE(Json::read(back, new Bytes("{\"a\": 1e400}"), error, Json::strict));
  EXPECT_EQ(describeError(error), L"1:7@6 number out of range");
  ASSERT_NE(Json::parseValue(L"[1e-400, 1e308]", back, error, Json::strict), nullptr);
  EXPECT_EQ(compact(back), L"[0,1e+308]");
  ASSERT_NE(Json::parseValue(L"[1e400]", back), nullptr);  // lenient: the nearest double
  EXPECT_TRUE(std::isinf(back[0].asDouble()));
}

TEST(JsonStrict, ExamplesOfTheRfcRead) {
  // RFC 8259, section 13, and the three texts of section 2's examples of scalar texts.
  const std::string image =
      "{\n"
      "  \"Image\": {\n"
      "    \"Width\":  800,\n"
      "    \"Height\": 600,\n"
      "    \"Title\":  \"View from 15th Floor\",\n"
      "    \"Thumbnail\": {\n"
      "        \"Url\":    \"http://www.example.com/image/481989943\",\n"
      "        \"Height\": 125,\n"
      "        \"Width\":  100\n"
      "    },\n"
      "    \"Animated\" : false,\n"
      "    \"IDs\": [116, 943, 234, 38793]\n"
      "  }\n"
      "}\n";
  const JsonValue first = readValue(image, Json::strict);
  EXPECT_EQ(first.get<int>(L"Image.Thumbnail.Width"), 100);
  EXPECT_EQ(first.get<int>(L"Image.IDs[3]"), 38793);
  EXPECT_EQ(first.get<String>(L"Image.Title"), L"View from 15th Floor");
  EXPECT_FALSE(first.get<bool>(L"Image.Animated"));
  const std::string places =
      "[\n"
      "  {\n"
      "     \"precision\": \"zip\",\n"
      "     \"Latitude\":  37.7668,\n"
      "     \"Longitude\": -122.3959,\n"
      "     \"Address\":   \"\",\n"
      "     \"City\":      \"SAN FRANCISCO\",\n"
      "     \"State\":     \"CA\",\n"
      "     \"Zip\":       \"94107\",\n"
      "     \"Country\":   \"US\"\n"
      "  },\n"
      "  {\n"
      "     \"precision\": \"zip\",\n"
      "     \"Latitude\":  37.371991,\n"
      "     \"Longitude\": -122.026020,\n"
      "     \"Address\":   \"\",\n"
      "     \"City\":      \"SUNNYVALE\",\n"
      "     \"State\":     \"CA\",\n"
      "     \"Zip\":       \"94085\",\n"
      "     \"Country\":   \"US\"\n"
      "  }\n"
      "]\n";
  const JsonValue second = readValue(places, Json::strict);
  EXPECT_EQ(second.size(), 2);
  EXPECT_EQ(second.get<double>(L"1.Longitude"), -122.026020);
  EXPECT_EQ(second.get<String>(L"[0].City"), L"SAN FRANCISCO");
  EXPECT_EQ(compact(readValue("\"Hello world!\"", Json::strict)), L"\"Hello world!\"");
  EXPECT_EQ(compact(readValue("42", Json::strict)), L"42");
  EXPECT_EQ(compact(readValue("true", Json::strict)), L"true");
  // Section 7's example of an escaped G clef, and \u0000, which the strict syntax keeps (the
  // lenient one drops it).
  EXPECT_EQ(compact(readValue("\"\\uD834\\uDD1E\"", Json::strict)), L"\"\U0001D11E\"");
  EXPECT_EQ(compact(readValue("[\"a\\u0000b\"]", Json::strict)), L"[\"a\\u0000b\"]");
  EXPECT_EQ(readValue("[\"a\\u0000b\"]", Json::strict)[0].asString().getLength(), 3);
  // Section 7: every character from U+0000 to U+001F must be escaped, the last one too; from
  // U+0020 on (U+007F included) they stand as they are. Through each reader of the strict syntax.
  for (unsigned c = 0; c <= 0x20; ++c) {
    const std::string bytes = std::string("[\"a") + char(c) + "b\"]";
    JsonValue value(L"kept");
    JsonError error;
    const bool read = Json::read(value, new Bytes(bytes), error, Json::strict);
    EXPECT_EQ(read, c == 0x20) << c;
    if (c < 0x20) {
      EXPECT_EQ(describeError(error), L"1:4@3 control character in a string") << c;
    }
    const std::wstring wide = std::wstring(L"[\"a") + wchar_t(c) + L"b\"]";
    if (c > 0) {
      EXPECT_EQ(Json::parseValue(wide.c_str(), value, error, Json::strict) != nullptr, c == 0x20)
          << c;
    }
    if (c == 0x1F) {
      EXPECT_FALSE(Json::read(value, new Bytes("[\"\x1f\xc3\xa9\"]"), error, Json::strict));
      EXPECT_FALSE(Json::read(value, new Bytes("{\"k\x1f\":1}"), error, Json::strict));
    }
  }
  EXPECT_EQ(compact(readValue("[\"a\x7f\"]", Json::strict)), L"[\"a\x7f\"]");
  EXPECT_EQ(compact(readValue("[\"a\\u0000b\"]", Json::lenient)), L"[\"ab\"]");
}

// JSONTestSuite by the strict syntax: every y_ file reads, no n_ file does; of the i_ files
// (left to implementations) the numbers a double holds (rounded, or to zero) and the deep nesting
// read; numbers past a double's range, texts that are not well-formed UTF-8 and lone surrogates
// do not.
TEST(JsonSuite, StrictSyntaxFollowsTheRfc) {
  const fs::path dir =
      fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "JsonFuzz";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no test files in " << dir;
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 2 || name[1] != '_' || name.find_first_of("yni") != 0) continue;
    const bool outOfRange =
        name.find("overflow") != std::string::npos || name.find("_huge_exp") != std::string::npos;
    const bool expected = name[0] == 'y' || (name.compare(0, 9, "i_number_") == 0 && !outOfRange) ||
                          name == "i_structure_500_nested_arrays.json";
    JsonValue value(L"kept");
    JsonError error;
    const bool ok = Json::load(value, String(entry.path().wstring().c_str()), error, Json::strict);
    EXPECT_EQ(ok, expected) << name << " " << describeError(error).size();
    if (ok) {
      EXPECT_TRUE(error.reason.isEmpty()) << name;
    } else {
      EXPECT_FALSE(error.reason.isEmpty()) << name;
      EXPECT_GE(error.line, 1) << name;
      EXPECT_GE(error.column, 1) << name;
      EXPECT_LE(error.offset, std::size_t(fs::file_size(entry.path()))) << name;
      EXPECT_EQ(compact(value), L"\"kept\"") << name;
    }
    // The lenient form with an error accepts what the plain form accepts.
    JsonValue plain, lenient;
    EXPECT_EQ(Json::load(plain, String(entry.path().wstring().c_str())),
              Json::load(lenient, String(entry.path().wstring().c_str()), error))
        << name;
    EXPECT_EQ(compact(plain), compact(lenient)) << name;
    ++files;
  }
  EXPECT_GT(files, 300);
}

// ---- checked access, ranges, append ------------------------------------------------------------

TEST(JsonChecked, ValuesOfExactlyTheTypeAskedForElseTheirPathInTheError) {
  const JsonValue doc = parsed(
      L"{\"server\": {\"port\": 8080, \"host\": \"example\", \"ratio\": 0.5, \"speed\": \"fast\","
      L" \"big\": 3000000000, \"neg\": -1, \"tls\": true, \"whole\": 80.0, \"half\": 80.5,"
      L" \"huge\": 1e300, \"none\": null, \"list\": [1, 2, {\"x\": 7}], \"a.b\": 1}}");
  EXPECT_EQ(doc.get<int>(L"server.port"), 8080);
  EXPECT_EQ(doc.get<std::uint16_t>(L"server.port"), 8080);
  EXPECT_EQ(doc.get<String>(L"server.host"), L"example");
  EXPECT_EQ(doc.get<double>(L"server.ratio"), 0.5);
  EXPECT_EQ(doc.get<float>(L"server.ratio"), 0.5f);
  EXPECT_EQ(doc.get<float>(L"server.port"), 8080.0f);
  EXPECT_TRUE(doc.get<bool>(L"server.tls"));
  EXPECT_EQ(doc.get<int>(L"server.whole"), 80);
  EXPECT_EQ(doc.get<long long>(L"server.big"), 3000000000LL);
  EXPECT_EQ(doc.get<std::uint32_t>(L"server.big"), 3000000000u);
  EXPECT_EQ(doc.get<signed char>(L"server.neg"), -1);
  EXPECT_EQ(doc.get<int>(L"server.list[2].x"), 7);
  EXPECT_EQ(doc.get<int>(L"server.list.1"), 2);
  EXPECT_EQ(doc[L"server"][L"a.b"].get<int>(), 1);  // a key with a dot, reached by hand
  EXPECT_EQ(doc[L"server"][L"list"][0].get<int>(L""), 1);

  const std::pair<std::function<void()>, const wchar_t*> failures[] = {
      {[&] { doc.get<int>(L"server.speed"); },
       L"Json value \"server.speed\": expected int32, found the string \"fast\""},
      {[&] { doc.get<int>(L"server.big"); },
       L"Json value \"server.big\": 3000000000 is out of the range of int32"},
      {[&] { doc.get<unsigned>(L"server.neg"); },
       L"Json value \"server.neg\": -1 is out of the range of uint32"},
      {[&] { doc.get<std::uint8_t>(L"server.port"); },
       L"Json value \"server.port\": 8080 is out of the range of uint8"},
      {[&] { doc.get<int>(L"server.half"); },
       L"Json value \"server.half\": 80.5 is not a whole number (int32)"},
      {[&] { doc.get<float>(L"server.huge"); },
       L"Json value \"server.huge\": 1e+300 is out of the range of float"},
      {[&] { doc.get<int>(L"server.prot"); }, L"Json value \"server.prot\": not found"},
      {[&] { doc.get<int>(L"server.none"); },
       L"Json value \"server.none\": expected int32, found null"},
      {[&] { doc.get<bool>(L"server.port"); },
       L"Json value \"server.port\": expected bool, found the number 8080"},
      {[&] { doc.get<String>(L"server.tls"); },
       L"Json value \"server.tls\": expected string, found true"},
      {[&] { doc.get<double>(L"server.list"); },
       L"Json value \"server.list\": expected double, found an array"},
      {[&] { doc.get<int>(L"server.port.x"); },
       L"Json value \"server.port.x\": \"server.port\" is the number 8080, not an array or "
       L"object"},
      {[&] { doc.get<int>(L"server.list.x"); },
       L"Json value \"server.list.x\": \"server.list\" is an array, not an object"},
      {[&] { doc.get<int>(L"server[0]"); },
       L"Json value \"server[0]\": \"server\" is an object, not an array"},
      {[&] { doc.get<int>(L"server.list[9]"); }, L"Json value \"server.list[9]\": not found"},
      {[&] { doc.get<int>(L"server.list[x]"); },
       L"Json value \"server.list[x]\": the path is not well formed at \"[x]\""},
      {[&] { doc.get<int>(L"server.list[1"); },
       L"Json value \"server.list[1\": the path is not well formed at \"[1\""},
      {[&] { JsonValue(5).get<int>(L"a"); },
       L"Json value \"a\": the value is the number 5, not an array or object"},
      {[&] { doc.find<int>(L"server.speed"); },
       L"Json value \"server.speed\": expected int32, found the string \"fast\""},
      {[&] { doc.find<int>(L"server.port.x"); },
       L"Json value \"server.port.x\": \"server.port\" is the number 8080, not an array or "
       L"object"},
  };
  for (const auto& [call, text] : failures)
    EXPECT_EQ(thrownBy(call), text);

  // find: nullopt only for what is absent or null.
  EXPECT_EQ(doc.find<int>(L"server.port"), std::optional<int>(8080));
  EXPECT_EQ(doc.find<int>(L"server.prot"), std::nullopt);
  EXPECT_EQ(doc.find<int>(L"server.none"), std::nullopt);
  EXPECT_EQ(doc.find<int>(L"server.none.deeper"), std::nullopt);
  EXPECT_EQ(doc.find<int>(L"client.port"), std::nullopt);
  EXPECT_EQ(doc.find<int>(L"server.list[5]"), std::nullopt);
  EXPECT_EQ(JsonValue().find<int>(L"a.b"), std::nullopt);
  EXPECT_EQ(doc.findPath(L"server.list[2]"), &doc[L"server"][L"list"][2]);
  EXPECT_EQ(doc.findPath(L"server.port.x"), nullptr);
  // Integer types read doubles without fraction, and the edges of their ranges.
  const JsonValue edges = parsed(
      L"[-9223372036854775808, 18446744073709551615, 9.2233720368547758e18, -1e19, 127, -128, "
      L"128, 1.8446744073709552e19, 3.5e38]");
  EXPECT_EQ(edges.get<long long>(L"0"), LLONG_MIN);
  EXPECT_EQ(edges.get<unsigned long long>(L"1"), ULLONG_MAX);
  EXPECT_EQ(thrownBy([&] { edges.get<long long>(L"1"); }),
            L"Json value \"1\": 18446744073709551615 is out of the range of int64");
  EXPECT_EQ(thrownBy([&] { edges.get<long long>(L"2"); }),
            L"Json value \"2\": 9.223372036854776e+18 is out of the range of int64");
  EXPECT_EQ(edges.get<unsigned long long>(L"2"), 9223372036854775808ULL);
  EXPECT_EQ(thrownBy([&] { edges.get<long long>(L"3"); }),
            L"Json value \"3\": -1e+19 is out of the range of int64");
  EXPECT_EQ(edges.get<signed char>(L"4"), 127);
  EXPECT_EQ(edges.get<signed char>(L"5"), -128);
  EXPECT_EQ(thrownBy([&] { edges.get<signed char>(L"6"); }),
            L"Json value \"6\": 128 is out of the range of int8");
  EXPECT_EQ(thrownBy([&] { edges.get<unsigned long long>(L"7"); }),
            L"Json value \"7\": 1.844674407370955e+19 is out of the range of uint64");
  EXPECT_EQ(thrownBy([&] { edges.get<float>(L"8"); }),
            L"Json value \"8\": 3.5e+38 is out of the range of float");
  JsonValue infinite;
  ASSERT_NE(Json::parseValue(L"1e999", infinite), nullptr);
  EXPECT_EQ(thrownBy([&] { infinite.get<double>(); }),
            L"Json value \"\": inf is out of the range of double");
}

TEST(JsonValue, ContainsAppendAndRanges) {
  JsonValue doc = parsed(L"{\"b\": [1, 2, 3], \"a\": {\"x\": 1}, \"c\": null}");
  EXPECT_TRUE(doc.contains(L"a"));
  EXPECT_TRUE(doc.contains(L"c"));  // null, but there
  EXPECT_FALSE(doc.contains(L"d"));
  EXPECT_FALSE(doc[L"b"].contains(L"0"));
  EXPECT_EQ(doc.size(), 3);  // contains inserted nothing

  // Entries in index order, changeable through the non-const range.
  int sum = 0;
  for (const JsonValue& element : static_cast<const JsonValue&>(doc)[L"b"].elements())
    sum += element.asInt32();
  EXPECT_EQ(sum, 6);
  for (JsonValue& element : doc[L"b"].elements())
    element = element.asInt32() * 10;
  EXPECT_EQ(compact(doc[L"b"]), L"[10,20,30]");
  std::wstring keys;
  for (const auto& [key, member] : static_cast<const JsonValue&>(doc).members())
    keys += std::wstring(key.getBuffer()) + L"=" + compact(member) + L";";
  EXPECT_EQ(keys, L"a={\"x\":1};b=[10,20,30];c=null;");
  for (auto& member : doc.members())
    member.second = JsonValue(member.first);
  EXPECT_EQ(compact(doc), L"{\"a\":\"a\",\"b\":\"b\",\"c\":\"c\"}");
  int visited = 0;
  for (JsonValue& ignored : doc.elements())
    (void)ignored, ++visited;
  for (auto& ignored : JsonValue(5).members())
    (void)ignored, ++visited;
  EXPECT_EQ(visited, 0);

  // Entries set out of order: all indices in ascending order, each iterator knowing its index.
  JsonValue sparse;
  sparse[7] = 70;
  sparse[2] = 20;
  sparse[5] = 50;
  std::vector<std::pair<int, int>> seen;
  const auto range = static_cast<const JsonValue&>(sparse).elements();
  for (auto it = range.begin(); it != range.end(); ++it)
    seen.emplace_back(it.index(), it->isNull() ? -1 : it->asInt32());
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{
                      {0, -1}, {1, -1}, {2, 20}, {3, -1}, {4, -1}, {5, 50}, {6, -1}, {7, 70}}));
  // append goes after the last index.
  sparse.append(80);
  EXPECT_EQ(sparse[8].asInt32(), 80);
  EXPECT_EQ(sparse.size(), 9);

  // Appending while walking: the walk ends where the array ended, references stay good.
  JsonValue grow = parsed(L"[0, 1, 2, 3]");
  std::vector<int> walked;
  for (JsonValue& element : grow.elements()) {
    const JsonValue* before = &element;
    for (int i = 0; i < 50; ++i)
      grow.append(element);  // copies the element that is being visited, as the array grows
    EXPECT_EQ(&element, before);
    walked.push_back(element.asInt32());
  }
  EXPECT_EQ(walked, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(grow.size(), 204);
  EXPECT_EQ(grow[203].asInt32(), 3);

  // append of a value that this value holds: taken before the value changes shape.
  JsonValue list;
  list.append(1);
  list.append(L"x");
  list.append(list);
  EXPECT_EQ(compact(list), L"[1,\"x\",[1,\"x\"]]");
  list.append(list[2]);
  list.append(std::move(list[0]));
  EXPECT_EQ(compact(list), L"[null,\"x\",[1,\"x\"],[1,\"x\"],1]");
  JsonValue object = parsed(L"{\"k\": [7, {\"deep\": \"text\"}]}");
  object.append(object[L"k"]);  // the object becomes an array: its member is taken first
  EXPECT_EQ(compact(object), L"[[7,{\"deep\":\"text\"}]]");
  JsonValue moved = parsed(L"{\"k\": \"text\"}");
  moved.append(std::move(moved[L"k"]));
  EXPECT_EQ(compact(moved), L"[\"text\"]");
  JsonValue scalar(5);
  const JsonValue* appended = &scalar.append(true);
  EXPECT_EQ(appended, &scalar[0]);
  EXPECT_EQ(compact(scalar), L"[true]");
  // The largest index would take two billion nulls before it: refused, nothing changed.
  JsonValue full(L"kept");
  EXPECT_THROW(full[INT_MAX] = 1, Exception);
  EXPECT_EQ(compact(full), L"\"kept\"");
}

TEST(JsonFile, ConstValuesAreWrittenAndSaved) {
  Scratch scratch;
  const JsonValue value = parsed(L"{\"n\": [1, 2]}");
  const BytesHandle out(new Bytes);
  EXPECT_TRUE(Json::write(value, out.get(), false));
  EXPECT_EQ(out->bytes, "{\"n\":[1,2]}");
  EXPECT_TRUE(Json::save(value, scratch.name("c.json").c_str(), true));
  EXPECT_EQ(scratch.bytes("c.json"), "{\n    \"n\" : [\n        1,\n        2\n    ]\n}");
  EXPECT_TRUE(Json::write(JsonValue(L"temporary"), out.get(), false));
  EXPECT_FALSE(Json::write(value, nullptr, false));
  JsonValue changeable = value;  // the non-const forms still compile and do the same
  EXPECT_TRUE(Json::save(changeable, scratch.name("d.json").c_str(), true));
  EXPECT_EQ(scratch.bytes("d.json"), scratch.bytes("c.json"));
}

// ---- where parsed values live ----------------------------------------------------------------

// A parsed document's members, containers and strings live in slabs that the parsing thread
// fills. Parts of a document may outlive it and be changed and freed on other threads, also
// while the parsing thread goes on filling its slab; every slab is given back once the last of
// its parts is gone and the threads that filled or freed into it have ended.
TEST(JsonSlabs, PartsOutliveTheirDocumentOnAnyThreadAndEverySlabGoesBack) {
  const int before = detail::getJsonSlabCount();
  // Short strings repeated (shared by the parse), unique ones with escapes, strings that are
  // nothing but dropped escapes, nested containers, and a string too large for a slab.
  std::string text = "[";
  for (int i = 0; i < 3000; ++i)
    text += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + ",\"name\":\"n" +
            std::to_string(i) + " caf\\u00e9 \\\"q\\\" with some more text\",\"tag\":\"t\"," +
            "\"gone\":\"\\u0000\",\"list\":[1,\"two\",{\"x\":null}]}";
  text += ",\"" + std::string(3000, 'L') + "\"]";

  String name, large;
  JsonValue kept;
  JsonValue::ObjectValues members;
  std::thread parser([&] {
    JsonValue document;
    ASSERT_TRUE(Json::read(document, new Bytes(text)));
    EXPECT_GT(detail::getJsonSlabCount(), before);
    name = document[1000][L"name"].asString();
    large = document[3000].asString();
    kept = std::move(document[2999]);
    members = document[5].getMembers();
    EXPECT_EQ(document[7][L"gone"].asString(), String());
    // The parse left nothing behind that changes the next one.
    JsonValue again;
    ASSERT_TRUE(Json::read(again, new Bytes(text)));
    EXPECT_EQ(again[1000], document[1000]);
  });
  parser.join();
  EXPECT_EQ(name, String(L"n1000 caf\u00e9 \"q\" with some more text"));
  EXPECT_EQ(large.getLength(), 3000);
  EXPECT_EQ(kept[L"list"][2][L"x"], JsonValue());
  EXPECT_EQ(compact(members.at(String(L"list"))), L"[1,\"two\",{\"x\":null}]");

  // Another thread changes a kept string in place and through a copy, then frees all of it.
  std::thread other([&] {
    String copy = name;
    copy += L"!";
    EXPECT_EQ(copy, String(L"n1000 caf\u00e9 \"q\" with some more text!"));
    name = L"n1000 CAF\u00c9 \"q\" with some more text";  // as long as before: in place
    EXPECT_EQ(name.getLength(), copy.getLength() - 1);
    EXPECT_EQ(kept[L"id"].asInt32(), 2999);
    kept = JsonValue();
    members.clear();
    name = String();
    large = String();
  });
  other.join();

  // One thread parses while another frees what it parsed, slab by slab as they fill.
  std::mutex lock;
  std::condition_variable changed;
  std::vector<JsonValue> handed;
  bool done = false;
  std::thread consumer([&] {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      changed.wait(hold, [&] { return done || !handed.empty(); });
      if (handed.empty()) return;
      std::vector<JsonValue> taken;
      taken.swap(handed);
      hold.unlock();
      for (const JsonValue& value : taken)
        EXPECT_EQ(value.size(), 3001);
      taken.clear();
      hold.lock();
    }
  });
  std::thread producer([&] {
    for (int i = 0; i < 20; ++i) {
      JsonValue value;
      ASSERT_TRUE(Json::read(value, new Bytes(text)));
      const std::lock_guard<std::mutex> hold(lock);
      handed.push_back(std::move(value));
      changed.notify_one();
    }
  });
  producer.join();
  {
    const std::lock_guard<std::mutex> hold(lock);
    done = true;
    changed.notify_one();
  }
  consumer.join();
  EXPECT_EQ(detail::getJsonSlabCount(), before);
}
