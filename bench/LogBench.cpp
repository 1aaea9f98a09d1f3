// Log::error of a short message with one listener: time per call, and proof that the call
// allocates nothing; a message of three arguments in the typed form against the C form. Allocations
// are counted by interposing malloc for the whole process (the library's calls included) and
// forwarding to the C library's allocator.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cwchar>

#include "vemo/core/Log.h"

extern "C" void* __libc_malloc(std::size_t size);

namespace {
std::atomic<long> g_allocations{0};
}

extern "C" void* malloc(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

namespace {

class QuietListener : public vemo::LogListener {
 public:
  const wchar_t* getName() override { return L"quiet"; }
  bool setparam(const wchar_t*) override { return true; }
  void error(const wchar_t* text) override { benchmark::DoNotOptimize(text[0]); }
  void warning(const wchar_t*) override {}
  void message(const wchar_t* text) override { benchmark::DoNotOptimize(text[0]); }
  void debug(const wchar_t*) override {}
  void whistle(bool) override {}
};

void LogError_ShortMessage(benchmark::State& state) {
  QuietListener listener;
  vemo::Log::addListener(&listener);
  vemo::Log::error(L"warm-up %d", 0);
  int i = 0;
  const long before = g_allocations.load();
  for (auto _ : state)
    vemo::Log::error(L"connection %d closed: %s", ++i, L"timeout");
  const long allocations = g_allocations.load() - before;
  vemo::Log::removeListener(&listener);
  state.counters["allocations_per_call"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
  if (allocations != 0) state.SkipWithError("Log::error allocated on the heap");
}

// The same text formatted by the C library into a stack buffer and handed to the listener.
void vformatInto(wchar_t* out, std::size_t room, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::vswprintf(out, room, format, args);
  va_end(args);
}
void LogError_Reference_vswprintf(benchmark::State& state) {
  QuietListener listener;
  wchar_t text[256];
  int i = 0;
  for (auto _ : state) {
    vformatInto(text, 256, L"connection %d closed: %ls", ++i, L"timeout");
    listener.error(text);
  }
}
// Three arguments (an int, a wide text, a 64-bit integer): the typed form checks each against its
// directive; the C form, reached through a pointer to it, reads them from a va_list.
void LogMessage_ThreeArguments_Typed(benchmark::State& state) {
  QuietListener listener;
  vemo::Log::addListener(&listener);
  const wchar_t* peer = L"10.0.0.7";
  long long bytes = 1LL << 33;
  int i = 0;
  const long before = g_allocations.load();
  for (auto _ : state)
    vemo::Log::message(L"connection %d from %s closed after %I64d bytes", ++i, peer, ++bytes);
  const long allocations = g_allocations.load() - before;
  vemo::Log::removeListener(&listener);
  if (allocations != 0) state.SkipWithError("the typed Log::message allocated on the heap");
}
void LogMessage_ThreeArguments_CForm(benchmark::State& state) {
  QuietListener listener;
  vemo::Log::addListener(&listener);
  void (*message)(const wchar_t*, ...) = &vemo::Log::message;
  benchmark::DoNotOptimize(message);
  const wchar_t* peer = L"10.0.0.7";
  long long bytes = 1LL << 33;
  int i = 0;
  for (auto _ : state)
    message(L"connection %d from %s closed after %I64d bytes", ++i, peer, ++bytes);
  vemo::Log::removeListener(&listener);
}

BENCHMARK(LogError_ShortMessage);
BENCHMARK(LogError_Reference_vswprintf);
BENCHMARK(LogMessage_ThreeArguments_Typed);
BENCHMARK(LogMessage_ThreeArguments_CForm);

}  // namespace
