// job_runner: a small daemon. It reads its settings from the JSON file named by its argument
// (built-in ones without), hands numbered jobs to a worker on a thread of its own through a
// message port, asks the worker (a control box) for its status, logs to the console and to a
// rotating file, and stops after the configured number of jobs, or on Ctrl+C / SIGTERM.
//
//   job_runner [settings.json]
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "vemo/core/Core.h"
#include "vemo/core/Tick.h"

using namespace vemo;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

namespace {

// The settings without a file; a file names the ones it changes. Comments are allowed.
const wchar_t kDefaults[] =
    LR"({
  "jobs": 12,          // stop after this many (0: run until stopped)
  "interval_ms": 20,   // between two jobs
  "report_ms": 100,    // between two progress lines
  "rounds": 20000,     // MD5 rounds of one job
  "deadline_ms": 20000, // give up when the jobs are not done by then (0: never)
  "log": {"file": null, "max_bytes": 1024, "max_files": 3}   // null: a temporary directory
})";

struct Settings {
  unsigned int jobs, intervalMs, reportMs, rounds, deadlineMs;
  std::optional<String> logFile;
  std::int64_t maxBytes;
  int maxFiles;
};

// Each setting from the file, or the default when the file leaves it out; a setting of the
// wrong type or range throws, naming its path.
Settings readSettings(const JsonValue& file) {
  JsonValue defaults;
  Json::parseValue(kDefaults, defaults);
  auto read = [&](auto type, const wchar_t* path) {
    using T = decltype(type);
    return file.find<T>(path).value_or(defaults.get<T>(path));
  };
  return {read(0u, L"jobs"),
          read(0u, L"interval_ms"),
          read(0u, L"report_ms"),
          read(0u, L"rounds"),
          read(0u, L"deadline_ms"),
          file.find<String>(L"log.file"),
          read(std::int64_t(), L"log.max_bytes"),
          read(0, L"log.max_files")};
}

class Job : public Message {
  VEMO_DECLARE_PROPERTY(Job, Message)
  VEMO_MESSAGE_FIELDS(id, rounds, digest)
  int id = 0;
  unsigned int rounds = 0;
  String digest;  // the worker's answer

 protected:
  Job() = default;
};

}  // namespace

VEMO_IMPLEMENT_PROPERTY(Job, VEMO_PROPERTY(id, L"Job number"), VEMO_PROPERTY(rounds, L"MD5 rounds"),
                        VEMO_PROPERTY(digest, L"Result"))

namespace {

// Runs the jobs (MD5 over "job <id>", then over the digest, `rounds` times) on a thread of its
// own, and answers "status" from whoever holds a connection to it: a worker is a control box.
class Worker : public AppBox {
 public:
  Worker(const MessagePort& jobs, const MessagePort& results)
      : AppBox(L"worker", L""), _jobs(jobs), _results(results) {
    _jobs.getMessageDispenser().addMessageHandler<Job>([this](Job& job) {
      job.digest = digest("job " + std::to_string(job.id), job.rounds);
      ++_done;
      _results.pushMessage(&job);
    });
  }

 private:
  bool init() override { return AppBox::init() && _jobs.serveOn(this, milliseconds(10)); }
  bool docmd(AppPipe* pipe, const std::vector<String>& words) override {
    if (words[0] != L"status") return false;
    String line;
    line.format(L"%u jobs done", _done);
    return pipe->write(line);
  }
  static String digest(const std::string& text, unsigned int rounds) {
    unsigned char digest[16];
    MD5Context context;
    MD5Init(&context);
    MD5Update(&context, text.data(), static_cast<unsigned int>(text.size()));
    for (unsigned int round = 1; round < rounds; ++round) {
      MD5Final(digest, &context);
      MD5Init(&context);
      MD5Update(&context, digest, sizeof digest);
    }
    MD5Checksum sum;
    MD5Final(&sum, &context);
    return sum.convertToString();
  }

  MessagePort _jobs, _results;
  unsigned int _done = 0;
};

// The service's system: hands out a job per interval, collects the answers, asks the worker for
// its status now and then, and stops when done (or gives up at the deadline).
class Host : public ServiceSystem {
 public:
  explicit Host(const Settings& settings) : _settings(settings) {}
  unsigned int done = 0;
  String last;
  bool gaveUp = false;

 private:
  bool init() override {
    if (!ServiceSystem::init()) return false;
    _results.getMessageDispenser().addMessageHandler<Job>([this](const Job& job) {
      last = job.digest;
      Log::debug(L"job %d: %s", job.id, job.digest);
      if (++done == _settings.jobs) shutdown();
    });
    auto produce = Tick::createInstance(milliseconds(_settings.intervalMs));
    produce->addTickHandler([this](unsigned int) {
      if (_settings.jobs && _sent == _settings.jobs) return;
      Handle<Job> job = Job::createInstance();
      job->id = static_cast<int>(++_sent);
      job->rounds = _settings.rounds;
      _jobs.pushMessage(job);
    });
    auto report = Tick::createInstance(milliseconds(_settings.reportMs));
    report->addTickHandler([this](unsigned int) {
      const AppReply status = _control->call(L"status", std::chrono::seconds(5));
      Log::message(L"progress: %u sent, %u back, worker: %s", _sent, done,
                   status.ok() ? status.lines.at(0) : String(L"no answer"));
    });
    auto deadline = Tick::createInstance(milliseconds(_settings.deadlineMs));
    deadline->addTickHandler([this](unsigned int) {
      Log::error(L"job_runner: %u of %u jobs done after %u ms, giving up", done, _settings.jobs,
                 _settings.deadlineMs);
      gaveUp = true;
      shutdown();
    });
    auto worker = vemo::make<Worker>(_jobs, _results);
    _control = App::createInstance(_thread, worker);
    return _thread->start(worker) && _results.serveOn(this, milliseconds(10)) &&
           produce->start(this) && report->start(this) &&
           (!_settings.deadlineMs || !_settings.jobs || deadline->start(this));
  }
  void exit() override {
    _control = nullptr;
    _thread->shutdown();  // the worker ends after its current job
    ServiceSystem::exit();
  }

  Settings _settings;
  unsigned int _sent = 0;
  MessagePort _jobs, _results;
  Handle<Thread> _thread = Thread::createInstance();
  Handle<App> _control;  // our connection to the worker
};

}  // namespace

int main(int argc, char** argv) {
  auto console = ScopedLogListener::make<ConsoleLogListener>();
  JsonValue file(JsonValue::objectValue);
  JsonError error;
  if (argc > 1 && !Json::load(file, StringHelper::utf8ToWide(argv[1]), error)) {
    Log::error(L"%S:%d:%d: %s", argv[1], error.line, error.column, error.reason);
    return 2;
  }
  Settings settings;
  try {
    settings = readSettings(file);
  } catch (const std::exception& failure) {
    Log::error(L"%S: %S", argc > 1 ? argv[1] : "settings", failure.what());
    return 2;
  }
  // Without a log file in the settings, one in a directory of our own, removed at the end.
  fs::path directory;
  if (!settings.logFile) {
    directory = fs::temp_directory_path() /
                (L"job_runner-" + Uuid::createRandom().convertToString().toStdString());
    fs::create_directory(directory);
    fs::permissions(directory, fs::perms::owner_all);
    settings.logFile = StringHelper::utf8ToWide((directory / "job_runner.log").u8string().c_str());
  }
  int status = 0, files = 0;
  const unsigned int start = getTimeTick();
  Handle<Host> host;
  ServiceApplication runner(L"job_runner", L"vemo job runner",
                            [&] { return host = vemo::make<Host>(settings); });
  {
    FileLogListener::Options options;
    options.maxBytes = settings.maxBytes;
    options.maxFiles = settings.maxFiles;
    FileLogListener log(*settings.logFile, options);
    ScopedLogListener registered(log);
    Log::message(L"job_runner: %u jobs, one per %u ms, log in %s", settings.jobs,
                 settings.intervalMs, *settings.logFile);
    status = runner.run(1, argv);  // runs the host here until it stops, or Ctrl+C / SIGTERM
    if (status == 0 && host && host->gaveUp) status = 1;
    for (int generation = 0; generation < settings.maxFiles; ++generation)
      files += fs::exists(fs::path(log.getFileName(generation).toStdString())) ? 1 : 0;
  }
  if (!directory.empty()) fs::remove_all(directory);
  Log::message(L"job_runner: %u jobs done in %u ms, last digest %s, %d log files%s; status %d",
               host ? host->done : 0u, getTimeTick() - start,
               host && host->done ? host->last : String(L"none"), files,
               directory.empty() ? L"" : L" (removed)", status);
  return status;
}
