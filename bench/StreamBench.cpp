// MemoryStream throughput in memory and through the spill file, the binary encoding of Varints
// and strings, and base64 against OpenSSL.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "vemo/core/Base64.h"
#include "vemo/core/Buffer.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/Packet.h"
#include "vemo/core/Varint.h"

using namespace vemo;

namespace {

constexpr int kPiece = 4096;
constexpr std::size_t kMiB = std::size_t(1) << 20;

std::vector<char> pattern(std::size_t size) {
  std::vector<char> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(i * 131 + (i >> 12));
  return bytes;
}

// 64 MiB through a stream in 4 KiB pieces, read while it is written with 64 KiB in the queue,
// as a queue between a writer and a reader is used; it never spills.
void MemoryStream_InMemory64MiB(benchmark::State& state) {
  const std::vector<char> piece = pattern(kPiece);
  std::vector<char> out(kPiece);
  for (auto _ : state) {
    auto stream = MemoryStream::createInstance();
    for (std::size_t i = 0; i < 64 * kMiB / kPiece; ++i) {
      stream->write(piece.data(), kPiece);
      if (i >= 16) stream->read(out.data(), kPiece);
      benchmark::DoNotOptimize(out.data());
    }
    while (stream->read(out.data(), kPiece) > 0)
      benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 64 * kMiB));
}

// The reference: the same bytes copied twice (into a ring of 64 KiB and out of it) with memcpy.
void MemoryStream_Reference_memcpyTwice64MiB(benchmark::State& state) {
  const std::vector<char> piece = pattern(kPiece);
  std::vector<char> ring(17 * kPiece), out(kPiece);
  for (auto _ : state) {
    for (std::size_t i = 0; i < 64 * kMiB / kPiece; ++i) {
      std::memcpy(ring.data() + (i % 17) * kPiece, piece.data(), kPiece);
      if (i >= 16) std::memcpy(out.data(), ring.data() + ((i - 16) % 17) * kPiece, kPiece);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 64 * kMiB));
}

// Rounds of 8 MiB written in 4 KiB pieces, then read: the queue grows to 2048 blocks and drains
// again. One stream serves all eight rounds.
void MemoryStream_Rounds8MiB(benchmark::State& state) {
  const std::vector<char> piece = pattern(kPiece);
  std::vector<char> out(kPiece);
  for (auto _ : state) {
    auto stream = MemoryStream::createInstance();
    for (int round = 0; round < 8; ++round) {
      for (std::size_t i = 0; i < 8 * kMiB / kPiece; ++i)
        stream->write(piece.data(), kPiece);
      while (stream->read(out.data(), kPiece) > 0)
        benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 64 * kMiB));
}

// The same with a fresh stream per round, as a program that builds one stream per message or
// per file does.
void MemoryStream_FreshRounds8MiB(benchmark::State& state) {
  const std::vector<char> piece = pattern(kPiece);
  std::vector<char> out(kPiece);
  for (auto _ : state) {
    for (int round = 0; round < 8; ++round) {
      auto stream = MemoryStream::createInstance();
      for (std::size_t i = 0; i < 8 * kMiB / kPiece; ++i)
        stream->write(piece.data(), kPiece);
      while (stream->read(out.data(), kPiece) > 0)
        benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 64 * kMiB));
}

// The reference for both: the same pieces copied into an 8 MiB buffer and out of it again.
void MemoryStream_Reference_memcpyTwice8MiB(benchmark::State& state) {
  const std::vector<char> piece = pattern(kPiece);
  std::vector<char> buffer(8 * kMiB), out(kPiece);
  for (auto _ : state) {
    for (int round = 0; round < 8; ++round) {
      for (std::size_t at = 0; at < buffer.size(); at += kPiece)
        std::memcpy(buffer.data() + at, piece.data(), kPiece);
      benchmark::DoNotOptimize(buffer.data());
      for (std::size_t at = 0; at < buffer.size(); at += kPiece) {
        std::memcpy(out.data(), buffer.data() + at, kPiece);
        benchmark::DoNotOptimize(out.data());
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 64 * kMiB));
}

// 256 MiB written before any is read: all but 10 MiB go through the temporary file.
void MemoryStream_Spill256MiB(benchmark::State& state) {
  const std::vector<char> piece = pattern(kPiece);
  std::vector<char> out(kPiece);
  for (auto _ : state) {
    auto stream = MemoryStream::createInstance();
    for (std::size_t i = 0; i < 256 * kMiB / kPiece; ++i)
      stream->write(piece.data(), kPiece);
    while (stream->read(out.data(), kPiece) > 0)
      benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 256 * kMiB));
}
BENCHMARK(MemoryStream_InMemory64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(MemoryStream_Reference_memcpyTwice64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(MemoryStream_Rounds8MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(MemoryStream_FreshRounds8MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(MemoryStream_Reference_memcpyTwice8MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(MemoryStream_Spill256MiB)->Unit(benchmark::kMillisecond)->Iterations(2);

// 1000 Varints of mixed sizes written, then read back.
void Varint_WriteRead1000(benchmark::State& state) {
  auto stream = MemoryStream::createInstance();
  OutputStream os(stream.get());
  InputStream is(stream.get());
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i)
      os << Varint(i * 7919 - 3000000);
    Varint value;
    for (int i = 0; i < 1000; ++i)
      is >> value;
    benchmark::DoNotOptimize(value.value);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
// The reference: the same values as raw 4-byte ints.
void Varint_Reference_FixedInt1000(benchmark::State& state) {
  auto stream = MemoryStream::createInstance();
  OutputStream os(stream.get());
  InputStream is(stream.get());
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i)
      os << (i * 7919 - 3000000);
    int value = 0;
    for (int i = 0; i < 1000; ++i)
      is >> value;
    benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(Varint_WriteRead1000);
BENCHMARK(Varint_Reference_FixedInt1000);

void String_WriteRead(benchmark::State& state) {
  auto stream = MemoryStream::createInstance();
  OutputStream os(stream.get());
  InputStream is(stream.get());
  const String text(L"MemoryStream writeToFileCache memCache size");
  String back;
  for (auto _ : state) {
    os << text;
    is >> back;
    benchmark::DoNotOptimize(back.getBuffer());
  }
}
void String_Utf8WriteRead(benchmark::State& state) {
  auto stream = MemoryStream::createInstance();
  OutputStream os(stream.get());
  InputStream is(stream.get());
  const String_T<char> text("MemoryStream writeToFileCache memCache size");
  String_T<char> back;
  for (auto _ : state) {
    os << text;
    is >> back;
    benchmark::DoNotOptimize(back.getBuffer());
  }
}
BENCHMARK(String_WriteRead);
BENCHMARK(String_Utf8WriteRead);

// Base64 of 1 MiB, against OpenSSL's block functions (which write narrow text).
void Base64_Encode1MiB(benchmark::State& state) {
  const std::vector<char> bytes = pattern(kMiB);
  for (auto _ : state) {
    String text = base64_encode(bytes.data(), static_cast<int>(bytes.size()));
    benchmark::DoNotOptimize(text.getBuffer());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
void Base64_Reference_EVP_EncodeBlock1MiB(benchmark::State& state) {
  const std::vector<char> bytes = pattern(kMiB);
  std::vector<unsigned char> text(4 * kMiB / 3 + 8);
  for (auto _ : state) {
    EVP_EncodeBlock(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<int>(bytes.size()));
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
void Base64_Decode1MiB(benchmark::State& state) {
  const std::vector<char> bytes = pattern(kMiB);
  const String text = base64_encode(bytes.data(), static_cast<int>(bytes.size()));
  std::vector<char> out(kMiB + 8);
  for (auto _ : state) {
    benchmark::DoNotOptimize(base64_decode(text, out.data()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
void Base64_Reference_EVP_DecodeBlock1MiB(benchmark::State& state) {
  const std::vector<char> bytes = pattern(kMiB);
  std::vector<unsigned char> text(4 * kMiB / 3 + 8);
  const int length =
      EVP_EncodeBlock(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  std::vector<unsigned char> out(kMiB + 8);
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), text.data(), length));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}
BENCHMARK(Base64_Encode1MiB);
BENCHMARK(Base64_Reference_EVP_EncodeBlock1MiB);
BENCHMARK(Base64_Decode1MiB);
BENCHMARK(Base64_Reference_EVP_DecodeBlock1MiB);

// One packet written to a channel and read back whole, against copying its bytes twice.
void Packet_RoundTrip(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  const std::vector<char> body = pattern(static_cast<std::size_t>(size));
  auto channel = MemoryStream::createInstance();
  auto source = MemoryStream::createInstance();
  PacketWriter writer;
  writer.attach(channel.get());
  PacketReader reader;
  reader.attach(channel.get());
  for (auto _ : state) {
    source->write(body.data(), size);
    InputStream in(source.get());
    writer << in;
    InputStream packet;
    reader >> packet;
    benchmark::DoNotOptimize(packet.available());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
void Packet_Reference_memcpyTwice(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::vector<char> body = pattern(size);
  std::vector<char> wire(size), out(size);
  for (auto _ : state) {
    std::memcpy(wire.data(), body.data(), size);
    std::memcpy(out.data(), wire.data(), size);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(Packet_RoundTrip)->Arg(1 << 10)->Arg(64 << 10);
BENCHMARK(Packet_Reference_memcpyTwice)->Arg(1 << 10)->Arg(64 << 10);

}  // namespace
