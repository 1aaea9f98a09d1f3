// JSON text: reading and writing two generated 5 MB documents against nlohmann::json and
// RapidJSON on the same UTF-8 bytes (and reading with error reports, leniently and strictly),
// convertToString built directly against the round trip through a memory file, and property
// export/import of a 20-member object.
//
// At the end it prints this library's speed relative to both peers (their time divided by
// ours: above 1 is faster) for parsing and compact writing of each document, from the median
// processor time of the runs: run with --benchmark_repetitions=5 for medians of five.
#include <benchmark/benchmark.h>

// RapidJSON 1.1 trips GCC 12's use-after-free analysis in its own stack code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "vemo/core/Core.h"

using namespace vemo;

namespace {

// An Input over bytes held elsewhere, and an Output that appends to a string: the streams add
// no copies of their own.
class BytesInput : public Input {
 public:
  BytesInput(const std::string& bytes) : _bytes(bytes) {}
  int available() const override { return static_cast<int>(_bytes.size() - _position); }
  int peek(void* buffer, int size) const override {
    const int n = std::min(size, available());
    std::memcpy(buffer, _bytes.data() + _position, static_cast<std::size_t>(n));
    return n;
  }
  int read(void* buffer, int size) override {
    const int n = peek(buffer, size);
    _position += static_cast<std::size_t>(n);
    return n;
  }

 private:
  const std::string& _bytes;
  std::size_t _position = 0;
};

class StringOutput : public Output {
 public:
  int write(const void* data, int size) override {
    text.append(static_cast<const char*>(data), static_cast<std::size_t>(size));
    return size;
  }
  std::string text;
};

// About 5 MB of records: integers of both signs, doubles, booleans, nulls, nested objects and
// arrays, and strings with escapes and non-ASCII text (two- and three-byte UTF-8). Names are
// unique; tags come from a small vocabulary, as such values do.
std::string repeatedDocument() {
  static const char* const words[] = {"alpha",           "Zoë",
                                      "naïve café",      "東京",
                                      "line\\nbreak",    "tab\\tstop",
                                      "quote\\\"d",      "back\\\\slash",
                                      "\\u00e9t\\u00e9", "plain words of text"};
  std::mt19937 random(42);
  std::string out = "[";
  for (int i = 0; out.size() < 5 * 1000 * 1000; ++i) {
    if (i) out += ',';
    const double score = std::uniform_real_distribution<double>(-1e6, 1e6)(random);
    char number[64];
    std::snprintf(number, sizeof number, "%.17g", score);
    out += "{\"id\":" + std::to_string(i) + ",\"delta\":" + std::to_string(-i * 7) +
           ",\"score\":" + number + ",\"ratio\":0." + std::to_string(random() % 1000) +
           ",\"active\":" + (i % 3 ? "true" : "false") + ",\"parent\":null,\"name\":\"" +
           words[random() % 10] + " " + words[random() % 10] + " #" + std::to_string(i) +
           "\",\"tags\":[";
    for (int t = 0; t < 4; ++t)
      out += std::string(t ? "," : "") + "\"" + words[random() % 10] + "\"";
    out += "],\"position\":{\"x\":" + std::to_string(random() % 10000) +
           ",\"y\":" + std::to_string(static_cast<int>(random() % 10000) - 5000) + ",\"z\":1.5e" +
           std::to_string(random() % 30) + "}}";
  }
  out += "]";
  return out;
}

// About 5 MB of records whose strings are all different, each with an escaped quote and
// characters of two and three UTF-8 bytes: prices with two decimals, unsigned 64-bit ids,
// short arrays of short strings, booleans and nulls. No string repeats, so no parse can share
// one between values.
std::string uniqueDocument() {
  static const char* const two[] = {"é", "ß", "ü", "ø", "ñ", "ç"};
  static const char* const three[] = {"東", "京", "語", "€", "→", "✓"};
  std::mt19937_64 random(7);
  // A string no other string equals: a serial number, an escaped quote, a two-byte and a
  // three-byte character.
  long serial = 0;
  const auto text = [&](const char* words) {
    return std::string("\"") + words + " \\\"" + std::to_string(serial++) + "\\\" " +
           two[random() % 6] + three[random() % 6] + "\"";
  };
  std::string out = "[";
  for (int i = 0; out.size() < 5 * 1000 * 1000; ++i) {
    if (i) out += ',';
    char price[32];
    std::snprintf(price, sizeof price, "%d.%02d", static_cast<int>(random() % 100000),
                  static_cast<int>(random() % 100));
    out += "{\"id\":" + std::to_string(random()) + ",\"title\":" + text("Zoë from 東京") +
           ",\"description\":" + text("a longer description of the item") + ",\"price\":" + price +
           ",\"tags\":[" + text("t") + "," + text("u") + "," + text("v") +
           "],\"active\":" + (i % 3 ? "true" : "false") +
           ",\"note\":" + (i % 2 ? "null" : text("naïve")) + "}";
  }
  out += "]";
  return out;
}

// Benchmark argument 0: the document with repeated strings, 1: the one with unique strings.
const std::string& document(int which = 0) {
  static const std::string documents[] = {repeatedDocument(), uniqueDocument()};
  return documents[which];
}

const JsonValue& parsedDocument(int which = 0) {
  static const JsonValue values[] = {[] {
                                       JsonValue v;
                                       Json::read(v, new BytesInput(document(0)));
                                       return v;
                                     }(),
                                     [] {
                                       JsonValue v;
                                       Json::read(v, new BytesInput(document(1)));
                                       return v;
                                     }()};
  return values[which];
}

// Reading replaces the tree of the previous iteration, as a reload does: freeing the old tree
// counts, for every library alike. Nothing else allocates between the timed parses (the input
// streams are filled beforehand), so the allocator's deferred work on the freed trees lands in
// the parses, as it would in a program that reloads.
constexpr int kParses = 20;

void BM_JsonRead(benchmark::State& state) {
  const std::string& bytes = document(static_cast<int>(state.range(0)));
  std::vector<Unknown::Handle_T<MemoryStream>> inputs;
  for (int i = 0; i < kParses; ++i) {
    inputs.push_back(MemoryStream::createInstance());
    inputs.back()->write(bytes.data(), static_cast<int>(bytes.size()));
  }
  JsonValue value;
  int next = 0;
  for (auto _ : state) {
    if (!Json::read(value, inputs[static_cast<std::size_t>(next++)].get()))
      state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_JsonRead)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("unique")
    ->Iterations(kParses)
    ->Unit(benchmark::kMillisecond);

// The form that reports errors: argument 0 lenient, 1 strict (RFC 8259, UTF-8 checked first).
void BM_JsonReadChecked(benchmark::State& state) {
  const std::string& bytes = document(0);
  std::vector<Unknown::Handle_T<MemoryStream>> inputs;
  for (int i = 0; i < kParses; ++i) {
    inputs.push_back(MemoryStream::createInstance());
    inputs.back()->write(bytes.data(), static_cast<int>(bytes.size()));
  }
  const Json::Syntax syntax = state.range(0) ? Json::strict : Json::lenient;
  JsonValue value;
  JsonError error;
  int next = 0;
  for (auto _ : state) {
    if (!Json::read(value, inputs[static_cast<std::size_t>(next++)].get(), error, syntax))
      state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_JsonReadChecked)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("strict")
    ->Iterations(kParses)
    ->Unit(benchmark::kMillisecond);

void BM_NlohmannParse(benchmark::State& state) {
  const std::string& bytes = document(static_cast<int>(state.range(0)));
  nlohmann::json value;
  for (auto _ : state) {
    value = nlohmann::json::parse(bytes);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_NlohmannParse)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("unique")
    ->Iterations(kParses)
    ->Unit(benchmark::kMillisecond);

// RapidJSON keeps its tree in an arena: a reference, not a target.
void BM_RapidJsonParse(benchmark::State& state) {
  const std::string& bytes = document(static_cast<int>(state.range(0)));
  rapidjson::Document value;
  for (auto _ : state) {
    rapidjson::Document fresh;
    if (fresh.Parse(bytes.data(), bytes.size()).HasParseError())
      state.SkipWithError("parse failed");
    value.Swap(fresh);  // the old tree goes with `fresh`
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_RapidJsonParse)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("unique")
    ->Iterations(kParses)
    ->Unit(benchmark::kMillisecond);

// The parser alone, on the document already decoded to wide text.
void BM_JsonParseValue(benchmark::State& state) {
  String text;
  TextReader reader(new BytesInput(document(static_cast<int>(state.range(0)))), TextReader::Utf8);
  reader.read(text);
  JsonValue value;
  for (auto _ : state) {
    if (!Json::parseValue(text.getBuffer(), value)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * document(static_cast<int>(state.range(0))).size()));
}
BENCHMARK(BM_JsonParseValue)->Arg(0)->Arg(1)->ArgName("unique")->Unit(benchmark::kMillisecond);

// Writing: arguments (document, styled).
// Writing: arguments (document, styled). Each library writes a tree it parsed itself into
// one text buffer that keeps its room from one iteration to the next, so that only writing is
// measured, not the growth of a new buffer.
void BM_JsonWrite(benchmark::State& state) {
  JsonValue value;
  Json::read(value, new BytesInput(document(static_cast<int>(state.range(0)))));
  Unknown::Handle_T<StringOutput> output(new StringOutput);
  output->text.reserve(16 << 20);
  for (auto _ : state) {
    output->text.clear();
    Json::write(value, output.get(), state.range(1) != 0);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output->text.size()));
}
BENCHMARK(BM_JsonWrite)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"unique", "styled"})
    ->Unit(benchmark::kMillisecond);

void BM_NlohmannDump(benchmark::State& state) {
  const nlohmann::json value = nlohmann::json::parse(document(static_cast<int>(state.range(0))));
  std::string text;
  text.reserve(16 << 20);
  for (auto _ : state) {
    text.clear();
    // What dump() does, into the kept buffer.
    nlohmann::detail::serializer<nlohmann::json> writer(
        nlohmann::detail::output_adapter<char>(text), ' ');
    writer.dump(value, state.range(1) != 0, false, state.range(1) ? 4 : 0);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_NlohmannDump)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"unique", "styled"})
    ->Unit(benchmark::kMillisecond);

void BM_RapidJsonWrite(benchmark::State& state) {
  rapidjson::Document value;
  const std::string& text = document(static_cast<int>(state.range(0)));
  value.Parse(text.data(), text.size());
  rapidjson::StringBuffer buffer(nullptr, 16 << 20);
  for (auto _ : state) {
    buffer.Clear();
    if (state.range(1)) {
      rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
      value.Accept(writer);
    } else {
      rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
      value.Accept(writer);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.GetSize()));
}
BENCHMARK(BM_RapidJsonWrite)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"unique", "styled"})
    ->Unit(benchmark::kMillisecond);

// convertToString as built now, and through UTF-16 in a memory file and back.
void BM_ConvertToString(benchmark::State& state) {
  const JsonValue& value = parsedDocument();
  for (auto _ : state)
    benchmark::DoNotOptimize(Json::convertToString(value, false));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document().size()));
}
BENCHMARK(BM_ConvertToString)->Unit(benchmark::kMillisecond);

void BM_ConvertToStringViaMemoryFile(benchmark::State& state) {
  const JsonValue& value = parsedDocument();
  for (auto _ : state) {
    Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
    Json::writeValue(value, file.get(), false);
    file->setPosition(0);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(file->getArchiveSize()));
    file->read(bytes.data(), static_cast<int>(bytes.size()));
    std::wstring text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      unsigned int unit = bytes[i] | (bytes[i + 1] << 8);
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
        const unsigned int low = bytes[i + 2] | (bytes[i + 3] << 8);
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
      text.push_back(static_cast<wchar_t>(unit));
    }
    benchmark::DoNotOptimize(String(text.c_str(), static_cast<int>(text.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document().size()));
}
BENCHMARK(BM_ConvertToStringViaMemoryFile)->Unit(benchmark::kMillisecond);

}  // namespace

// ---- property export and import
// ------------------------------------------------------------------

class BenchRecord : public Property {
  VEMO_DECLARE_PROPERTY(BenchRecord, Property)

 public:
  bool active = true;
  float ratio = 0.25f;
  double score = 1234.5678;
  char grade = 'A';
  signed char level = -3;
  unsigned char flags = 200;
  short delta = -1234;
  unsigned short port = 8080;
  int count = 123456;
  unsigned int big = 4000000000u;
  __int64 total = 1234567890123LL;
  Varint small = 300;
  String name = L"Zoë the record";
  String note = L"a \"quoted\" note";
  Time created;
  Uuid id;
  Point_T<int> at{3, 4};
  Rect_T<int> box{1, 2, 3, 4};
  Vector3 position{1.5f, 2.5f, 3.5f};
  std::vector<int> rounds{1, 2, 3, 4, 5};

 protected:
  BenchRecord() { uuid_create(id); }
};

VEMO_IMPLEMENT_PROPERTY(BenchRecord, VEMO_PROPERTY(active, L""), VEMO_PROPERTY(ratio, L""),
                        VEMO_PROPERTY(score, L""), VEMO_PROPERTY(grade, L""),
                        VEMO_PROPERTY(level, L""), VEMO_PROPERTY(flags, L""),
                        VEMO_PROPERTY(delta, L""), VEMO_PROPERTY(port, L""),
                        VEMO_PROPERTY(count, L""), VEMO_PROPERTY(big, L""),
                        VEMO_PROPERTY(total, L""), VEMO_PROPERTY(small, L""),
                        VEMO_PROPERTY(name, L""), VEMO_PROPERTY(note, L""),
                        VEMO_PROPERTY(created, L""), VEMO_PROPERTY(id, L""), VEMO_PROPERTY(at, L""),
                        VEMO_PROPERTY(box, L""), VEMO_PROPERTY(position, L""),
                        VEMO_PROPERTY(rounds, L""))

namespace {

void BM_ExportProperty(benchmark::State& state) {
  const Unknown::Handle_T<BenchRecord> record = BenchRecord::createInstance();
  for (auto _ : state) {
    JsonValue value;
    record->exportProperty(value);
    benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExportProperty);

void BM_ImportProperty(benchmark::State& state) {
  JsonValue value;
  BenchRecord::createInstance()->exportProperty(value);
  const Unknown::Handle_T<BenchRecord> record = BenchRecord::createInstance();
  for (auto _ : state)
    record->importProperty(value);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ImportProperty);

}  // namespace

// ---- ratios beside the peers -------------------------------------------------------------------

namespace {

// Shows the runs as usual and keeps each benchmark's processor times (per iteration, in its
// unit, which is the same for the benchmarks compared).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    benchmark::ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") _medians[name] = run.GetAdjustedCPUTime();
      } else {
        _times[name].push_back(run.GetAdjustedCPUTime());
      }
    }
  }

  // The median time of a benchmark, or 0 when it did not run.
  double median(const std::string& name) const {
    const auto aggregate = _medians.find(name);
    if (aggregate != _medians.end()) return aggregate->second;
    const auto found = _times.find(name);
    if (found == _times.end() || found->second.empty()) return 0;
    std::vector<double> times = found->second;
    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  }

 private:
  std::map<std::string, double> _medians;
  std::map<std::string, std::vector<double>> _times;
};

void printRatio(const RatioReporter& reporter, const char* what, const std::string& ours,
                const std::string& nlohmann, const std::string& rapid) {
  const double mine = reporter.median(ours);
  if (mine <= 0) return;
  const double n = reporter.median(nlohmann), r = reporter.median(rapid);
  std::printf("%-40s", what);
  if (n > 0) std::printf("  %.2fx nlohmann::json", n / mine);
  if (r > 0) std::printf("  %.2fx RapidJSON", r / mine);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nSpeed beside the peers (their median processor time / ours):\n");
  static const char* const documents[] = {"repeated strings", "unique strings"};
  for (int which = 0; which < 2; ++which) {
    const std::string arg = "/unique:" + std::to_string(which);
    const std::string parse = std::string("parse, ") + documents[which];
    const std::string write = std::string("compact write, ") + documents[which];
    printRatio(reporter, parse.c_str(), "BM_JsonRead" + arg + "/iterations:20",
               "BM_NlohmannParse" + arg + "/iterations:20",
               "BM_RapidJsonParse" + arg + "/iterations:20");
    printRatio(reporter, write.c_str(), "BM_JsonWrite" + arg + "/styled:0",
               "BM_NlohmannDump" + arg + "/styled:0", "BM_RapidJsonWrite" + arg + "/styled:0");
  }
  benchmark::Shutdown();
  return 0;
}
