// MD5 of 1 MiB against OpenSSL's MD5.
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <vector>

#include "vemo/core/MD5.h"

namespace {

std::vector<unsigned char> input(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
  return bytes;
}

void MD5_1MiB(benchmark::State& state) {
  const auto bytes = input(1 << 20);
  unsigned char digest[16];
  for (auto _ : state) {
    vemo::MD5Context context;
    vemo::MD5Init(&context);
    vemo::MD5Update(&context, bytes.data(), static_cast<unsigned int>(bytes.size()));
    vemo::MD5Final(digest, &context);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
}

// OpenSSL 3 still offers the one-shot MD5 (deprecated for new code, fine as a reference).
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void MD5_Reference_OpenSSL_1MiB(benchmark::State& state) {
  const auto bytes = input(1 << 20);
  unsigned char digest[16];
  for (auto _ : state) {
    MD5(bytes.data(), bytes.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20));
}

BENCHMARK(MD5_1MiB);
BENCHMARK(MD5_Reference_OpenSSL_1MiB);

}  // namespace
