// Arbitrary bytes fed to a PacketReader in pieces of arbitrary size: every step either delivers
// a packet, waits, or reports an error; delivered bodies have the announced length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vemo/core/MemoryStream.h"
#include "vemo/core/Packet.h"

using namespace vemo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  auto channel = MemoryStream::createInstance();
  PacketReader reader;
  reader.attach(channel.get());
  std::size_t at = 1;
  unsigned int piece = data[0] % 7 + 1;
  for (int steps = 0; steps < 10000 && (at < size || channel->available() > 0); ++steps) {
    const std::size_t n = at + piece <= size ? piece : size - at;
    if (n > 0) channel->write(data + at, static_cast<int>(n));
    at += n;
    piece = piece * 3 % 11 + 1;
    InputStream packet;
    const int before = channel->available();
    if (!reader.read(packet)) continue;
    if (!packet.isNull() && packet.available() <= 0)
      std::abort();  // empty packets are not delivered
    if (n == 0 && channel->available() == before && packet.isNull()) break;  // waiting for more
  }
  return 0;
}
