// __memcpy__ and __memset__ against the standard routines, and the SSE and MMX routines the
// resolver can choose from, at sizes from one cache line to beyond the last-level cache.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "vemo/core/Memory.h"

namespace {

// Buffers are cycled so that large sizes really come from memory: two buffers of 64 MiB in
// all, walked in slices of the benchmarked size.
struct Buffers {
  explicit Buffers(std::size_t size) : size(size) {
    const std::size_t total = size < (32u << 20) ? (32u << 20) / size * size : size;
    source.assign(total + 64, 'x');
    destination.assign(total + 64, 0);
  }
  char* to(std::size_t i) { return destination.data() + (i * size) % (destination.size() - 64); }
  const char* from(std::size_t i) { return source.data() + (i * size) % (source.size() - 64); }
  std::size_t size;
  std::vector<char> source, destination;
};

template <class Copy>
void copyWith(benchmark::State& state, Copy copy) {
  Buffers buffers(static_cast<std::size_t>(state.range(0)));
  std::size_t i = 0;
  for (auto _ : state) {
    copy(buffers.to(i), buffers.from(i), buffers.size);
    benchmark::ClobberMemory();
    ++i;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

template <class Fill>
void fillWith(benchmark::State& state, Fill fill) {
  Buffers buffers(static_cast<std::size_t>(state.range(0)));
  std::size_t i = 0;
  for (auto _ : state) {
    fill(buffers.to(i), 0xAB, buffers.size);
    benchmark::ClobberMemory();
    ++i;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Memcpy_Reference(benchmark::State& state) {
  copyWith(state, [](void* d, const void* s, std::size_t n) { std::memcpy(d, s, n); });
}
void Memcpy_Dispatched(benchmark::State& state) {
  copyWith(state, [](void* d, const void* s, std::size_t n) { vemo::__memcpy__(d, s, n); });
}
void Memcpy_Sse(benchmark::State& state) {
  copyWith(state, vemo::memcpySse);
}
void Memcpy_Mmx(benchmark::State& state) {
  copyWith(state, vemo::memcpyMmx);
}

void Memset_Reference(benchmark::State& state) {
  fillWith(state, [](void* d, int c, std::size_t n) { std::memset(d, c, n); });
}
void Memset_Dispatched(benchmark::State& state) {
  fillWith(state, [](void* d, int c, std::size_t n) { vemo::__memset__(d, c, n); });
}
void Memset_Sse(benchmark::State& state) {
  fillWith(state, vemo::memsetSse);
}
void Memset_Mmx(benchmark::State& state) {
  fillWith(state, vemo::memsetMmx);
}

#define VEMO_SIZES ->Arg(64)->Arg(4 << 10)->Arg(256 << 10)->Arg(16 << 20)
BENCHMARK(Memcpy_Reference) VEMO_SIZES;
BENCHMARK(Memcpy_Dispatched) VEMO_SIZES;
BENCHMARK(Memcpy_Sse) VEMO_SIZES;
BENCHMARK(Memcpy_Mmx) VEMO_SIZES;
BENCHMARK(Memset_Reference) VEMO_SIZES;
BENCHMARK(Memset_Dispatched) VEMO_SIZES;
BENCHMARK(Memset_Sse) VEMO_SIZES;
BENCHMARK(Memset_Mmx) VEMO_SIZES;

}  // namespace
