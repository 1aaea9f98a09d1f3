#include "vemo/core/Uuid.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <random>

#include "Number.h"
#include "Uuid.h"
#include "vemo/core/Exception.h"
#include "vemo/core/MD5.h"

namespace vemo {
namespace {

// 100-ns intervals from 1582-10-15 (the Gregorian reform) to 1970-01-01.
constexpr std::uint64_t kGregorianToUnix = 0x01B21DD213814000ULL;
constexpr int kIdsPerReading = 1024;

std::uint64_t clockReading() {
  const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
             std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100) +
         kGregorianToUnix;
}

// The generator state of the process (never stored on disk).
struct Generator {
  std::mutex lock;
  bool hasState = false;
  std::uint64_t lastTimestamp = 0;
  uuid_node_t lastNode;
  std::uint16_t lastClockSequence = 0;
  std::uint64_t lastReading = 0;
  int idsInReading = kIdsPerReading;
  std::minstd_rand random;  // private: the program's own rand() sequence is left alone
  bool seeded = false;

  // A timestamp that never repeats: up to 1024 ids per clock reading, then wait for the clock.
  std::uint64_t timestamp() {
    for (;;) {
      const std::uint64_t reading = clockReading();
      // The clock ticks every 100 ns here, so a new reading can fall inside the timestamps
      // already counted on from the previous one: counting goes on from that reading then. A
      // clock that went back starts afresh (the clock sequence changes then).
      if (reading < lastReading || reading > lastReading + idsInReading) {
        lastReading = reading;
        idsInReading = 0;
        return reading;
      }
      if (idsInReading < kIdsPerReading - 1) return lastReading + ++idsInReading;
    }
  }

  std::uint16_t randomClockSequence() {
    if (!seeded) {
      const std::uint64_t u = clockReading() >> 10;
      random.seed(static_cast<std::uint32_t>(u ^ (u >> 32)) | 1);
      seeded = true;
    }
    return static_cast<std::uint16_t>(random());
  }
};

Generator& generator() {
  static Generator* instance = new Generator;  // lives until the process ends
  return *instance;
}

// The node of this process: a digest of the machine's state, marked as not a hardware address.
const uuid_node_t& processNode() {
  static const uuid_node_t node = [] {
    MD5Context context;
    MD5Init(&context);
    detail::addMachineState(&context);
    unsigned char digest[16];
    MD5Final(digest, &context);
    uuid_node_t made;
    std::memcpy(made.nodeID, digest, 6);
    made.nodeID[0] |= 0x01;
    return made;
  }();
  return node;
}

std::uint32_t swap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}
std::uint16_t swap16(std::uint16_t v) {
  return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}

// Reads `count` bytes of hexadecimal pairs, with '-' required after the bytes in `dashes`.
bool readHexBytes(const wchar_t* text, unsigned char* out, int count, unsigned int dashes) {
  if (!text) return false;
  for (int i = 0; i < count; ++i) {
    const int high = detail::hexDigitValue(text[0]);
    const int low = high < 0 ? -1 : detail::hexDigitValue(text[1]);
    if (low < 0) return false;
    out[i] = static_cast<unsigned char>(high * 16 + low);
    text += 2;
    if (dashes & (1u << i)) {
      if (*text != L'-') return false;
      ++text;
    }
  }
  return true;
}

void writeHexBytes(const unsigned char* bytes, int count, unsigned int dashes, wchar_t* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < count; ++i) {
    *out++ = kDigits[bytes[i] >> 4];
    *out++ = kDigits[bytes[i] & 15];
    if (dashes & (1u << i)) *out++ = L'-';
  }
  *out = 0;
}

// Dashes after bytes 4, 6, 8 and 10 (counting from 1).
constexpr unsigned int kUuidDashes = (1u << 3) | (1u << 5) | (1u << 7) | (1u << 9);

template <class T>
int compareSigned(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

bool uuid_node_t::convertToString(wchar_t* out) const {
  writeHexBytes(nodeID, 6, 0, out);
  return true;
}

String uuid_node_t::convertToString() const {
  wchar_t text[13];
  convertToString(text);
  return String(text);
}

bool uuid_node_t::convertFromString(const wchar_t* text) {
  if (readHexBytes(text, nodeID, 6, 0)) return true;
  std::memset(nodeID, 0, sizeof nodeID);
  return false;
}

bool uuid_node_t::convertFromString(const String& text) {
  if (text.getLength() == 12) return convertFromString(text.getBuffer());
  std::memset(nodeID, 0, sizeof nodeID);
  return false;
}

int uuid_node_t::compare(const uuid_node_t& other) const {
  std::int32_t a, b;
  std::memcpy(&a, nodeID, 4);
  std::memcpy(&b, other.nodeID, 4);
  if (a != b) return compareSigned(a, b);
  std::int16_t c, d;
  std::memcpy(&c, nodeID + 4, 2);
  std::memcpy(&d, other.nodeID + 4, 2);
  return compareSigned(c, d);
}

String Uuid::convertToString() const {
  return uuid_convertToString(*this);
}
bool Uuid::operator==(const Uuid& other) const {
  return uuid_compare(*this, other) == 0;
}
bool Uuid::operator<(const Uuid& other) const {
  return uuid_compare(*this, other) < 0;
}

int uuid_create(Uuid& id) {
  Generator& state = generator();
  const uuid_node_t& node = processNode();
  std::uint64_t timestamp;
  std::uint16_t clockSequence;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    timestamp = state.timestamp();
    if (state.hasState && state.lastNode == node) {
      clockSequence = state.lastClockSequence;
      if (timestamp < state.lastTimestamp) ++clockSequence;
    } else {
      clockSequence = state.randomClockSequence();
    }
    state.hasState = true;
    state.lastTimestamp = timestamp;
    state.lastNode = node;
    state.lastClockSequence = clockSequence;
  }
  id.time_low = static_cast<std::uint32_t>(timestamp);
  id.time_mid = static_cast<std::uint16_t>(timestamp >> 32);
  id.time_hi_and_version = static_cast<std::uint16_t>(((timestamp >> 48) & 0x0FFF) | 0x1000);
  id.clock_seq_low = static_cast<std::uint8_t>(clockSequence);
  id.clock_seq_hi_and_reserved = static_cast<std::uint8_t>(((clockSequence >> 8) & 0x3F) | 0x80);
  id.node = node;
  return 1;
}

bool uuid_create_random(Uuid& id) {
  unsigned char bytes[16];
  if (!detail::systemRandom(bytes, sizeof bytes)) {
    id = Uuid();
    return false;
  }
  std::memcpy(&id, bytes, sizeof id);
  // The text form shows the bytes in memory order, so the digit where RFC tools read the version
  // (the third group's first) is the high nibble of byte 6, the low byte of time_hi_and_version.
  // It is 4 there, and also in the field's own high nibble, where version() and the version-1
  // and version-3 ids of this library have it: 118 random bits.
  id.time_hi_and_version = static_cast<std::uint16_t>((id.time_hi_and_version & 0x0F0F) | 0x4040);
  id.clock_seq_hi_and_reserved =
      static_cast<std::uint8_t>((id.clock_seq_hi_and_reserved & 0x3F) | 0x80);
  return true;
}

Uuid Uuid::createRandom() {
  Uuid id;
  if (!uuid_create_random(id))
    VEMO_THROW_AT(L"vemo/core/Uuid", __LINE__, L"The system's random source failed");
  return id;
}

void uuid_create_md5_from_name(Uuid& id, const Uuid& nameSpace, const void* name, int length) {
  Uuid network = nameSpace;
  network.time_low = swap32(network.time_low);
  network.time_mid = swap16(network.time_mid);
  network.time_hi_and_version = swap16(network.time_hi_and_version);
  MD5Context context;
  MD5Init(&context);
  MD5Update(&context, &network, sizeof network);
  if (name && length > 0) MD5Update(&context, name, static_cast<unsigned int>(length));
  unsigned char digest[16];
  MD5Final(digest, &context);
  std::memcpy(&id, digest, sizeof id);
  id.time_low = swap32(id.time_low);
  id.time_mid = swap16(id.time_mid);
  id.time_hi_and_version =
      static_cast<std::uint16_t>((swap16(id.time_hi_and_version) & 0x0FFF) | 0x3000);
  id.clock_seq_hi_and_reserved =
      static_cast<std::uint8_t>((id.clock_seq_hi_and_reserved & 0x3F) | 0x80);
}

int uuid_compare(const Uuid& a, const Uuid& b) {
  std::int32_t x[4], y[4];
  std::memcpy(x, &a, 16);
  std::memcpy(y, &b, 16);
  for (int i = 0; i < 4; ++i)
    if (x[i] != y[i]) return compareSigned(x[i], y[i]);
  return 0;
}

bool uuid_convertToString(const Uuid& id, wchar_t* out) {
  writeHexBytes(reinterpret_cast<const unsigned char*>(&id), 16, kUuidDashes, out);
  return true;
}

String uuid_convertToString(const Uuid& id) {
  wchar_t text[37];
  uuid_convertToString(id, text);
  return String(text);
}

bool uuid_convertFromString(Uuid& id, const wchar_t* text) {
  unsigned char bytes[16];
  if (readHexBytes(text, bytes, 16, kUuidDashes)) {
    std::memcpy(&id, bytes, 16);
    return true;
  }
  id = Uuid();
  return false;
}

Uuid uuid_convertFromString(const String& text) {
  Uuid id;
  if (text.getLength() == 36) uuid_convertFromString(id, text.getBuffer());
  return id;
}

}  // namespace vemo
