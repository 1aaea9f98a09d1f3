// Creating objects through the class registry, against a plain allocation of the same class.
#include <benchmark/benchmark.h>

#include "vemo/core/Unknown.h"

namespace {

void CreateById(benchmark::State& state) {
  const unsigned int id = vemo::Unknown::getClassId_();
  for (auto _ : state) {
    auto object = vemo::Unknown::RtFactory::createClassInstance(id);
    benchmark::DoNotOptimize(object.get());
  }
}
void CreateByName(benchmark::State& state) {
  const vemo::String name = vemo::Unknown::getClassName_();
  for (auto _ : state) {
    auto object = vemo::Unknown::RtFactory::createClassInstance(name);
    benchmark::DoNotOptimize(object.get());
  }
}
void Create_Reference_createInstance(benchmark::State& state) {
  for (auto _ : state) {
    auto object = vemo::Unknown::createInstance();
    benchmark::DoNotOptimize(object.get());
  }
}
BENCHMARK(CreateById);
BENCHMARK(CreateByName);
BENCHMARK(Create_Reference_createInstance);

}  // namespace
