// Uuid: the text form, name-based and time-based ids, ordering; the node type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "vemo/core/Exception.h"
#include "vemo/core/Uuid.h"

#if defined(__linux__)
#include <errno.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

// The library's random source is the C library's getrandom; this program's own definition
// stands in for it, so that the tests can make it fail the ways the kernel can. By default it
// passes the call on to the kernel.
namespace fake {
int interruptions = 0;  // calls that fail with EINTR first
int failWith = 0;       // then fail with this error (0: none)
int piece = 0;          // hand out at most this many bytes per call, of the byte `pattern`
unsigned char pattern = 0;
int calls = 0;
}  // namespace fake

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  ++fake::calls;
  if (fake::interruptions > 0) {
    --fake::interruptions;
    errno = EINTR;
    return -1;
  }
  if (fake::failWith != 0) {
    errno = fake::failWith;
    return -1;
  }
  if (fake::piece > 0) {
    const size_t n = length < size_t(fake::piece) ? length : size_t(fake::piece);
    std::memset(buffer, fake::pattern++, n);
    return ssize_t(n);
  }
  return syscall(SYS_getrandom, buffer, length, flags);
}
#endif

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

namespace {

// The 118 random bits of a version-4 id: all but the two version nibbles and the variant's two
// bits.
bool isRandomBit(int bit) {
  const int byte = bit / 8, inByte = bit % 8;
  if (byte == 6 && inByte >= 4) return false;  // where the text shows RFC tools the version
  if (byte == 7 && inByte >= 4) return false;  // time_hi_and_version's high nibble (little-endian)
  if (byte == 8 && inByte >= 6) return false;  // clock_seq_hi_and_reserved's top two bits
  return true;
}

}  // namespace

TEST(Uuid, RandomIdsCarryVersionFourAndVariantBitsAndDiffer) {
  std::vector<Uuid> ids(100000);
  for (Uuid& id : ids)
    id = Uuid::createRandom();
  std::vector<int> ones(128);
  for (const Uuid& id : ids) {
    ASSERT_EQ(id.version(), 4);
    ASSERT_EQ(id.time_hi_and_version >> 12, 4);
    ASSERT_EQ(id.clock_seq_hi_and_reserved & 0xC0, 0x80);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&id);
    for (int bit = 0; bit < 128; ++bit)
      ones[bit] += (bytes[bit / 8] >> (bit % 8)) & 1;
  }
  // Every random bit is set in about half of the ids (50000 +- 2500 is 15 standard deviations).
  int randomBits = 0;
  for (int bit = 0; bit < 128; ++bit) {
    if (!isRandomBit(bit)) continue;
    ++randomBits;
    EXPECT_GT(ones[bit], 47500) << bit;
    EXPECT_LT(ones[bit], 52500) << bit;
  }
  EXPECT_EQ(randomBits, 118);
  std::sort(ids.begin(), ids.end());
  EXPECT_TRUE(std::adjacent_find(ids.begin(), ids.end()) == ids.end());
  // The text reads as version 4, variant 1 (RFC 9562, as uuidgen and databases read it: the
  // third group's first digit, the fourth group's first digit one of 8, 9, a, b), and the
  // version digit of this library's own layout stands first in the third group's second byte.
  for (int i = 0; i < 1000; ++i) {
    const String text = ids[i].convertToString();
    ASSERT_EQ(text[14], L'4') << text.getBuffer();
    ASSERT_NE(std::wstring(L"89ab").find(text[19]), std::wstring::npos) << text.getBuffer();
    ASSERT_EQ(text[16], L'4') << text.getBuffer();
  }
  const Uuid id = Uuid::createRandom();
  const String text = id.convertToString();
  EXPECT_EQ(uuid_convertFromString(text), id);
  Uuid made;
  EXPECT_TRUE(uuid_create_random(made));
  EXPECT_EQ(made.version(), 4);
  EXPECT_NE(made, id);
  Uuid timeBased, nameBased;
  uuid_create(timeBased);
  uuid_create_md5_from_name(nameBased, id, "x", 1);
  EXPECT_EQ(timeBased.version(), 1);
  EXPECT_EQ(nameBased.version(), 3);
}

#if defined(__linux__)
TEST(Uuid, RandomSourceThatIsInterruptedShortOrFailing) {
  struct Reset {
    ~Reset() {
      fake::interruptions = fake::failWith = fake::piece = fake::calls = 0;
      fake::pattern = 0;
    }
  } reset;
  fake::calls = 0;
  // Short pieces are gathered until all 16 bytes are there, signals restart the call.
  fake::interruptions = 3;
  fake::piece = 5;
  fake::pattern = 0x10;
  const Uuid pieces = Uuid::createRandom();
  EXPECT_EQ(fake::calls, 3 + 4);  // 5 + 5 + 5 + 1 bytes
  EXPECT_EQ(
      std::memcmp(&pieces, "\x10\x10\x10\x10\x10\x11\x41\x41\x91\x11\x12\x12\x12\x12\x12\x13", 16),
      0)
      << pieces.convertToString().getBuffer();
  // A kernel without getrandom (or a filter that refuses it): the random device instead.
  fake::piece = 0;
  for (int error : {ENOSYS, EPERM}) {
    fake::failWith = error;
    const Uuid a = Uuid::createRandom(), b = Uuid::createRandom();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.version(), 4);
  }
  // Any other failure is reported: no id, no weaker generator.
  fake::failWith = EIO;
  Uuid id;
  uuid_create(id);
  EXPECT_FALSE(uuid_create_random(id));
  EXPECT_EQ(id, Uuid());
  try {
    Uuid::createRandom();
    ADD_FAILURE() << "nothing thrown";
  } catch (const Exception& e) {
    EXPECT_EQ(std::wstring(e.description()), L"The system's random source failed");
    EXPECT_EQ(std::wstring(e.file()), L"vemo/core/Uuid");
  }
}
#endif
