// Command lines: splitting by the Windows quoting rules, the counting pass against the filled
// block, and named arguments of the form name=value.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "vemo/core/Process.h"

using namespace vemo;
using Args = std::vector<std::wstring>;

namespace {

// The arguments of the allocating form, checked against the counting pass.
Args split(const wchar_t* commandLine) {
  int slots = -1, characters = -1;
  parseArguments(commandLine, nullptr, nullptr, &slots, &characters);
  wchar_t** argv = nullptr;
  int argc = -1;
  parseArguments(commandLine, argv, argc);
  Args args;
  if (!argv) return args;
  int expectedCharacters = 0;
  for (int i = 0; i < argc; ++i) {
    args.push_back(argv[i]);
    expectedCharacters += int(args.back().size()) + 1;
  }
  EXPECT_EQ(argv[argc], nullptr);
  EXPECT_EQ(slots, argc + 1) << commandLine;
  EXPECT_EQ(characters, expectedCharacters) << commandLine;
  std::free(argv);
  return args;
}

}  // namespace

TEST(Arguments, SplitByTheWindowsQuotingRules) {
  // clang-format off
  const struct { const wchar_t* line; Args args; } cases[] = {
      {L"prog \"a b\" c", {L"prog", L"a b", L"c"}},
      {L"p a\\\\\"b c\"", {L"p", L"a\\b c"}},            // 2 backslashes: one, and a delimiter
      {L"p a\\\\\\\"b c", {L"p", L"a\\\"b", L"c"}},      // 3 backslashes: one, and a quote
      {L"p \"a\"\"b c", {L"p", L"a\"b", L"c"}},          // "" inside quotes, quoting ends
      {L"p \"\" x", {L"p", L"", L"x"}},                  // an empty quoted argument
      {L"p a\\\\b\\ c\\", {L"p", L"a\\\\b\\", L"c\\"}},  // no quote: backslashes stay
      {L"\"C:\\Program Files\\x.exe\" -v", {L"C:\\Program Files\\x.exe", L"-v"}},
      {L"a\\\"b c\" d", {L"a\\b c", L"d"}},  // the program name: backslashes stay, quotes toggle
      {L"p\t\tx  \t", {L"p", L"x"}}, {L"", {L""}}, {L" x", {L"", L"x"}}};
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(split(c.line), c.args) << c.line;
}

TEST(Arguments, NamedValuesAreReadFromTheFirstMatchingArgument) {
  // clang-format off
  const struct { const wchar_t* line; int value; } cases[] = {
      {L"prog port=abc", 0}, {L"prog host=1", 7}, {L"prog portal=1", 7}, {L"prog \"port =8\"", 8},
      {L"prog port=", 7}, {L"prog port=12x port=3", 12}, {L"prog portal=1 port=5", 5},
      {L"port=9 x", 9}, {L"prog port=-3", -3}, {L"prog \"port\t= 4 2\"", 4}, {L"prog port", 7},
      {L"prog port==2", 0}};
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(parseArgumentInt(c.line, L"port", 7), c.value) << c.line;

  EXPECT_EQ(parseArgumentInt64(L"p size=5000000000", L"size", 1), 5000000000LL);
  EXPECT_EQ(parseArgumentInt64(L"p size=-4294967297", L"size", 1), -4294967297LL);
  EXPECT_EQ(parseArgumentInt64(L"p other=1", L"size", 1LL << 40), 1LL << 40);

  EXPECT_STREQ(parseArgumentString(L"p name=a=b", L"name", nullptr).getBuffer(), L"a=b");
  EXPECT_STREQ(parseArgumentString(L"p name=\"x y\" z", L"name", nullptr).getBuffer(), L"x y");
  EXPECT_STREQ(parseArgumentString(L"p other=1", L"name", nullptr).getBuffer(), L"");
  EXPECT_STREQ(parseArgumentString(L"p other=1", L"name", L"def").getBuffer(), L"def");
  EXPECT_STREQ(parseArgumentString(L"p name=", L"name", L"def").getBuffer(), L"");
}
