// String copies, concatenation and formatting against the standard library.
#include <benchmark/benchmark.h>

#include <cwchar>
#include <memory>
#include <string>
#include <thread>

#include "vemo/core/String.h"

namespace {

const wchar_t kShort[] = L"MemoryStream";
const std::wstring kLong(1000, L'x');

// A copy of a String is one atomic increment, whatever its length.
void StringCopy_String(benchmark::State& state) {
  const vemo::String text(state.range(0) ? kLong.c_str() : kShort);
  for (auto _ : state) {
    vemo::String copy(text);
    benchmark::DoNotOptimize(copy);
  }
}
void StringCopy_Reference_wstring(benchmark::State& state) {
  const std::wstring text(state.range(0) ? kLong.c_str() : kShort);
  for (auto _ : state) {
    std::wstring copy(text);
    benchmark::DoNotOptimize(copy);
  }
}
void StringCopy_Reference_shared_ptr(benchmark::State& state) {
  const auto text = std::make_shared<std::wstring>(state.range(0) ? kLong.c_str() : kShort);
  for (auto _ : state) {
    std::shared_ptr<std::wstring> copy(text);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(StringCopy_String)->Arg(0)->Arg(1);
BENCHMARK(StringCopy_Reference_wstring)->Arg(0)->Arg(1);
BENCHMARK(StringCopy_Reference_shared_ptr)->Arg(0)->Arg(1);

void Concatenate_String(benchmark::State& state) {
  const vemo::String left(L"property."), right(L"memberName");
  for (auto _ : state) {
    vemo::String joined = left + right;
    benchmark::DoNotOptimize(joined);
  }
}
void Concatenate_Reference_wstring(benchmark::State& state) {
  const std::wstring left(L"property."), right(L"memberName");
  for (auto _ : state) {
    std::wstring joined = left + right;
    benchmark::DoNotOptimize(joined);
  }
}
BENCHMARK(Concatenate_String);
BENCHMARK(Concatenate_Reference_wstring);

void Format_String(benchmark::State& state) {
  vemo::String text;
  int i = 0;
  for (auto _ : state) {
    text.format(L"%s #%d took %.3f ms", L"request", ++i, 1.25);
    benchmark::DoNotOptimize(text);
  }
}
void Format_Reference_swprintf(benchmark::State& state) {
  wchar_t text[256];
  int i = 0;
  for (auto _ : state) {
    std::swprintf(text, 256, L"%ls #%d took %.3f ms", L"request", ++i, 1.25);
    benchmark::DoNotOptimize(text);
  }
}
void FormatInteger_String(benchmark::State& state) {
  vemo::String text;
  int i = 0;
  for (auto _ : state) {
    text.format(L"id %d of %s", ++i, L"table");
    benchmark::DoNotOptimize(text);
  }
}
void FormatInteger_Reference_swprintf(benchmark::State& state) {
  wchar_t text[256];
  int i = 0;
  for (auto _ : state) {
    std::swprintf(text, 256, L"id %d of %ls", ++i, L"table");
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(Format_String);
BENCHMARK(Format_Reference_swprintf);
BENCHMARK(FormatInteger_String);
BENCHMARK(FormatInteger_Reference_swprintf);

// libstdc++ skips the atomic instructions of shared_ptr while the process has only one thread
// (glibc's __libc_single_threaded). Once a second thread has existed, it counts atomically like
// String always does; this is the comparison that holds in a real, threaded program. It runs
// last because a process never becomes single-threaded again.
void StringCopy_Reference_shared_ptr_AfterThreadStart(benchmark::State& state) {
  std::thread([] {}).join();
  StringCopy_Reference_shared_ptr(state);
}
void StringCopy_String_AfterThreadStart(benchmark::State& state) {
  StringCopy_String(state);
}
BENCHMARK(StringCopy_String_AfterThreadStart)->Arg(0);
BENCHMARK(StringCopy_Reference_shared_ptr_AfterThreadStart)->Arg(0);

}  // namespace
