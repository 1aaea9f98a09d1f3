// Uuid: the text form, name-based and time-based ids, ordering; the node type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "vemo/core/Uuid.h"

using namespace vemo;

namespace {

Uuid parse(const wchar_t* text) {
  Uuid id;
  EXPECT_TRUE(uuid_convertFromString(id, text)) << text;
  return id;
}

TEST(Uuid, NameBasedMatchesPython) {
  // Python: uuid.uuid3(ns, name).bytes_le.hex() in 8-4-4-4-12 groups (the text shows memory
  // order); the namespaces are NAMESPACE_DNS and NAMESPACE_URL in the same form.
  const wchar_t* dns = L"10b8a76b-ad9d-d111-80b4-00c04fd430c8";
  const wchar_t* url = L"11b8a76b-ad9d-d111-80b4-00c04fd430c8";
  const std::tuple<const wchar_t*, const char*, const wchar_t*> rows[] = {
      {dns, "python.org", L"ea59a46f-8aee-a43c-894e-db77e160355e"},
      {dns, "www.example.com", L"8118f45d-ed3a-1535-88a7-2f4a814cf09e"},
      {dns, "\xc3\xbc/\xe4\xb8\xad", L"f3fb9a84-de80-873e-8c9d-9b990b0c2f42"},
      {url, "python.org", L"9161fe22-61c1-863d-a432-a81f343eda08"},
      {url, "www.example.com", L"9a1977a7-22c5-c431-8f4b-335feec7215b"},
      {url, "\xc3\xbc/\xe4\xb8\xad", L"fa910e93-93d0-cf39-be50-3d60eeb6d9f5"}};
  for (const auto& [nameSpace, name, expected] : rows) {
    Uuid id;
    uuid_create_md5_from_name(id, parse(nameSpace), name, int(std::strlen(name)));
    EXPECT_EQ(id.convertToString(), expected) << name;
  }
}

TEST(Uuid, TimeBasedIds) {
  Uuid a, b;
  std::srand(7);
  const int next = std::rand();
  std::srand(7);
  EXPECT_EQ(uuid_create(a), 1);
  uuid_create(b);
  EXPECT_EQ(std::rand(), next);  // the program's random sequence is left alone
  EXPECT_NE(a, b);
  for (const Uuid& id : {a, b}) {
    EXPECT_EQ(id.time_hi_and_version >> 12, 1);
    EXPECT_EQ(id.clock_seq_hi_and_reserved & 0xC0, 0x80);
    EXPECT_EQ(id.node.nodeID[0] & 1, 1);  // not a hardware address
    EXPECT_EQ(id.node, a.node);           // one node per process
  }
  // Back-to-back ids stay unique even when the clock reads the same or moves by one unit.
  std::vector<Uuid> ids(200000);
  for (Uuid& id : ids)
    uuid_create(id);
  std::sort(ids.begin(), ids.end());
  EXPECT_TRUE(ids.front().node == a.node && ids.back().node == a.node);
  const auto repeated = std::adjacent_find(ids.begin(), ids.end());
  EXPECT_TRUE(repeated == ids.end()) << repeated->convertToString().getBuffer();
}

TEST(Uuid, TextForm) {
  EXPECT_EQ(Uuid().convertToString(), L"00000000-0000-0000-0000-000000000000");
  Uuid id = parse(L"00112233-4455-6677-8899-AaBbCcDdEeFf");
  EXPECT_EQ(
      std::memcmp(&id, "\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff", 16), 0);
  EXPECT_EQ(uuid_convertToString(id), L"00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(uuid_convertFromString(uuid_convertToString(id)), id);

  for (const wchar_t* bad :
       {L"00112233-4455-6677-8899aabbccddeeff", L"001122334-455-6677-8899-aabbccddeeff",
        L"00112233-4455-6677-8899-aabbccddeefg", L"00112233-4455-6677-8899-aabbccddeef",
        L"0011223-34455-6677-8899-aabbccddeeff", L""}) {
    Uuid zeroed = id;
    EXPECT_FALSE(uuid_convertFromString(zeroed, bad)) << bad;
    EXPECT_EQ(zeroed, Uuid()) << bad;
  }
  EXPECT_EQ(uuid_convertFromString(String(L"00112233-4455-6677-8899-aabbccddeeff0")), Uuid());
  EXPECT_EQ(uuid_convertFromString(String(L"00112233-4455-6677-8899-aabbccddeef")), Uuid());
}

TEST(Uuid, Ordering) {
  // Words are signed little-endian: 0x80000000 sorts before 1, and the last word counts.
  const Uuid negative = parse(L"00000080-0000-0000-0000-000000000000");
  const Uuid small = parse(L"01000000-0000-0000-0000-000000000000");
  const Uuid later = parse(L"01000000-0000-0000-0000-000000000001");
  EXPECT_EQ(std::vector<int>({uuid_compare(negative, small), uuid_compare(small, negative),
                              uuid_compare(small, later), uuid_compare(later, later)}),
            std::vector<int>({-1, 1, -1, 0}));
}

TEST(Uuid, Node) {
  uuid_node_t node, negative, positive, tail;
  ASSERT_TRUE(node.convertFromString(L"0123456789AB"));
  EXPECT_EQ(std::memcmp(node.nodeID, "\x01\x23\x45\x67\x89\xab", 6), 0);
  EXPECT_EQ(node.convertToString(), L"0123456789ab");
  for (const wchar_t* bad : {L"0123456789a", L"0123456789abc", L"0123456789ax"}) {
    uuid_node_t zeroed = node;
    EXPECT_FALSE(zeroed.convertFromString(String(bad))) << bad;
    EXPECT_EQ(zeroed.convertToString(), L"000000000000") << bad;
  }
  // The first four bytes as a signed word, then the last two as a signed half-word.
  ASSERT_TRUE(negative.convertFromString(L"000000800000") &&
              positive.convertFromString(L"010000000000") &&
              tail.convertFromString(L"010000000080"));
  EXPECT_EQ(std::vector<int>({negative.compare(positive), positive.compare(negative),
                              tail.compare(positive), tail.compare(tail)}),
            std::vector<int>({-1, 1, -1, 0}));
}

}  // namespace
