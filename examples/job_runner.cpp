// job_runner: a small daemon. It reads its settings from the JSON file named by its argument
// (built-in ones without), hands numbered jobs to a worker on a thread of its own through a
// message port, logs to the console and to a rotating file, reports its progress, and stops
// after the configured number of jobs, or on Ctrl+C / SIGTERM.
//
//   job_runner [settings.json]
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "vemo/core/Core.h"
#include "vemo/core/Tick.h"

using namespace vemo;
namespace fs = std::filesystem;

namespace {

// The settings without a file; a file names the ones it changes. Comments are allowed.
const wchar_t kDefaults[] =
    LR"({
  "jobs": 12,          // stop after this many (0: run until stopped)
  "interval_ms": 20,   // between two jobs
  "report_ms": 100,    // between two progress lines
  "rounds": 20000,     // MD5 rounds of one job
  "deadline_s": 30,    // a run with "jobs" that has not ended by then is a fault (0: none)
  "log": {"file": null, "max_bytes": 1024, "max_files": 3}   // null: a temporary directory
})";

struct Settings {
  unsigned int jobs, intervalMs, reportMs, rounds, deadlineSeconds;
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
          read(0u, L"deadline_s"),
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

// Serves a port when a push wakes its system, which otherwise sleeps (idle wait).
struct Serve : System::Task {
  explicit Serve(MessagePort& port) : port(port) {}
  void onTick(unsigned int) override { port.procMessage(std::chrono::milliseconds(10)); }
  unsigned int nextDue() const override { return kDueOnWake; }
  MessagePort& port;
};

// Runs the jobs: MD5 over "job <id>", then over the digest, `rounds` times.
class Worker : public System {
 public:
  Worker(const MessagePort& jobs, const MessagePort& results) : _jobs(jobs), _results(results) {
    _jobs.getMessageDispenser().addMessageHandler<Job>([this](Message* message) {
      Handle<Job> job(static_cast<Job*>(message));
      unsigned char digest[16];
      const std::string text = "job " + std::to_string(job->id);
      MD5Context context;
      MD5Init(&context);
      MD5Update(&context, text.data(), static_cast<unsigned int>(text.size()));
      for (unsigned int round = 1; round < job->rounds; ++round) {
        MD5Final(digest, &context);
        MD5Init(&context);
        MD5Update(&context, digest, sizeof digest);
      }
      MD5Checksum sum;
      MD5Final(&sum, &context);
      job->digest = sum.convertToString();
      _results.pushMessage(job);
    });
  }
  bool init() override {
    if (!System::init()) return false;
    setIdleWait(true);
    _jobs.bind(this);  // a pushed job wakes the worker
    return Handle<Serve>(new Serve(_jobs))->start(this);
  }

 private:
  MessagePort _jobs, _results;
};

// The host: hands out a job per interval, collects the answers, reports, and stops when done.
class Host : public ServiceSystem {
 public:
  explicit Host(const Settings& settings) : _settings(settings) {}
  unsigned int done = 0;
  String last;

 private:
  bool init() override {
    if (!ServiceSystem::init()) return false;
    setIdleWait(true);
    _results.bind(this);
    _results.getMessageDispenser().addMessageHandler<Job>([this](Message* message) {
      const Job* job = static_cast<const Job*>(message);
      last = job->digest;
      Log::debug(L"job %d: %s", job->id, job->digest);
      if (++done == _settings.jobs) shutdown();
    });
    Handle<Tick> produce = Tick::createInstance(std::chrono::milliseconds(_settings.intervalMs));
    produce->addTickHandler([this](unsigned int) {
      if (_settings.jobs && _sent == _settings.jobs) return;
      Handle<Job> job = Job::createInstance();
      job->id = static_cast<int>(++_sent);
      job->rounds = _settings.rounds;
      _jobs.pushMessage(job);
    });
    Handle<Tick> report = Tick::createInstance(std::chrono::milliseconds(_settings.reportMs));
    report->addTickHandler(
        [this](unsigned int) { Log::message(L"progress: %u sent, %u done", _sent, done); });
    _worker = Handle<Worker>(new Worker(_jobs, _results));
    return _thread->start(_worker) && produce->start(this) && report->start(this) &&
           Handle<Serve>(new Serve(_results))->start(this);
  }
  void exit() override {
    _thread->shutdown();  // the worker ends after its current job
    ServiceSystem::exit();
  }

  Settings _settings;
  unsigned int _sent = 0;
  MessagePort _jobs, _results;
  Handle<Worker> _worker;
  Handle<Thread> _thread = Thread::createInstance();
};

// Ends the program with status 3 and a line that says so when a run with a number of jobs has
// not ended by its deadline (a lost job, a system that is never woken): a fault seen as such,
// rather than a program that hangs until whoever waits for it gives up.
class Deadline {
 public:
  explicit Deadline(unsigned int seconds) {
    if (seconds == 0) return;
    _watch = std::thread([this, seconds] {
      std::unique_lock<std::mutex> lock(_mutex);
      if (_ended.wait_for(lock, std::chrono::seconds(seconds), [this] { return _done; })) return;
      std::fprintf(stderr, "job_runner: not done within its deadline of %u s: giving up\n",
                   seconds);
      std::fflush(stderr);
      std::_Exit(3);
    });
  }
  ~Deadline() {
    {
      std::lock_guard<std::mutex> lock(_mutex);
      _done = true;
    }
    _ended.notify_all();
    if (_watch.joinable()) _watch.join();
  }

 private:
  std::mutex _mutex;
  std::condition_variable _ended;
  bool _done = false;
  std::thread _watch;
};

class Runner : public ServiceApplication {
 public:
  explicit Runner(const Settings& settings)
      : ServiceApplication(L"job_runner", L"vemo job runner"), _settings(settings) {}
  Handle<Host> host;

 private:
  Handle<ServiceSystem> createSystem() override { return host = new Host(_settings); }
  Settings _settings;
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
  Runner runner(settings);
  {
    const Deadline deadline(settings.jobs ? settings.deadlineSeconds : 0);
    FileLogListener::Options options;
    options.maxBytes = settings.maxBytes;
    options.maxFiles = settings.maxFiles;
    FileLogListener log(*settings.logFile, options);
    ScopedLogListener registered(log);
    Log::message(L"job_runner: %u jobs, one per %u ms, log in %s", settings.jobs,
                 settings.intervalMs, *settings.logFile);
    status = runner.run(1, argv);  // runs the host here until it stops, or Ctrl+C / SIGTERM
    for (int generation = 0; generation < settings.maxFiles; ++generation)
      files += fs::exists(fs::path(log.getFileName(generation).toStdString())) ? 1 : 0;
  }
  if (!directory.empty()) fs::remove_all(directory);
  Log::message(L"job_runner: %u jobs done in %u ms, last digest %s, %d log files%s; status %d",
               runner.host ? runner.host->done : 0u, getTimeTick() - start,
               runner.host ? runner.host->last : String(L"none"), files,
               directory.empty() ? L"" : L" (removed)", status);
  return status;
}
