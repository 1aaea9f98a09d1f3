// Jobs farmed out to worker processes over vemo_net, with nothing lost when a worker dies.
//
//   distributed_jobs [workers=3] [jobs=600]
//
// The producer starts the workers (this program again, with --worker), hands each its share of
// the jobs over an at-least-once pipeline of its own, and takes the results on one pull link.
// Half-way it kills a worker outright and starts it again on the same endpoint: the jobs the
// dead worker had not acknowledged are sent again to its successor. A worker killed after it
// had handled a job but before the acknowledgement left hands that job in twice (at least once,
// so results are kept by job), and one killed before its result left the process loses that
// result: the producer asks again for any job whose result has not come after a quiet spell.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "vemo/core/MD5.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/Process.h"
#include "vemo/core/Thread.h"
#include "vemo/net/Net.h"

using namespace vemo;
using namespace std::chrono_literals;

// A job: MD5 of "job <id>", then of the digest, `rounds` times. id -1 ends the worker.
class Job : public Message {
  VEMO_DECLARE_PROPERTY(Job, Message)
  VEMO_MESSAGE_FIELDS(id, rounds)
 public:
  int id = 0;
  int rounds = 0;

 protected:
  Job() = default;
};
VEMO_IMPLEMENT_PROPERTY(Job)

class Result : public Message {
  VEMO_DECLARE_PROPERTY(Result, Message)
  VEMO_MESSAGE_FIELDS(id, worker, digest)
 public:
  int id = 0;
  int worker = 0;
  String digest;

 protected:
  Result() = default;
};
VEMO_IMPLEMENT_PROPERTY(Result)

// A system that serves one port whenever a message arrives.
struct Server : System {
  explicit Server(MessagePort& port) : port(port) {}
  bool init() override { return System::init() && port.serveOn(this, 10ms); }
  MessagePort& port;
};

int fail(const std::string& why) {
  const std::string& reason = net::Link::getLastError();
  std::fprintf(stderr, "distributed_jobs: %s%s%s\n", why.c_str(), reason.empty() ? "" : ": ",
               reason.c_str());
  return 1;
}

String digestOf(const Job& job) {
  const std::string text = "job " + std::to_string(job.id);
  unsigned char digest[16];
  MD5Context context;
  MD5Init(&context);
  MD5Update(&context, text.data(), static_cast<unsigned int>(text.size()));
  for (int round = 1; round < job.rounds; ++round) {
    MD5Final(digest, &context);
    MD5Init(&context);
    MD5Update(&context, digest, sizeof digest);
  }
  MD5Checksum sum;
  MD5Final(&sum, &context);
  return sum.convertToString();
}

// A worker: takes jobs at `jobs` (bound here), sends results to `results`.
int runWorker(int number, const std::string& jobs, const std::string& results) {
  auto context = net::Context::createInstance();
  net::LinkOptions reliable;
  reliable.reliable = true;
  MessagePort port;
  auto server = make<Server>(port);
  auto out = net::Link::createInstance(context, net::LinkKind::kPush);
  auto in = net::Link::createInstance(context, net::LinkKind::kPull, port, reliable);
  port.getMessageDispenser().addMessageHandler<Job>([&](Job& job) {
    if (job.id < 0) return (void)server->shutdown();
    auto result = Result::createInstance();
    result->id = job.id;
    result->worker = number;
    result->digest = digestOf(job);
    out->send(result);
  });
  if (!out || !in || !out->connect(results) || !in->bind(jobs)) return fail("worker " + jobs);
  server->load();
  server->start();  // until job -1
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--worker")
    return runWorker(std::stoi(argv[2]), argv[3], argv[4]);
  String commandLine;
  for (int i = 1; i < argc; ++i)
    commandLine += String(std::string(argv[i])) + L" ";
  const int workers = std::clamp(parseArgumentInt(commandLine.getBuffer(), L"workers", 3), 1, 64);
  const int jobs = std::clamp(parseArgumentInt(commandLine.getBuffer(), L"jobs", 600), 2, 1000000);

  // The endpoints: ipc:// socket files in a new directory of this run's own (never one that
  // someone else made there), removed at the end.
  std::error_code error;
  const auto dir = std::filesystem::temp_directory_path(error) /
                   ("distributed_jobs-" + std::to_string(std::random_device()()));
  if (error || !std::filesystem::create_directory(dir, error))
    return fail("no directory " + dir.string());
  struct Cleanup {
    std::filesystem::path dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};
  const std::string base = "ipc://" + dir.generic_string();
  auto context = net::Context::createInstance();

  // Results, kept by job: a job handled twice gives the same result twice.
  std::mutex lock;
  std::condition_variable arrived;
  std::map<int, String> done;
  int duplicates = 0;
  MessagePort resultPort;
  resultPort.getMessageDispenser().addMessageHandler<Result>([&](Result& result) {
    std::lock_guard<std::mutex> guard(lock);
    if (!done.emplace(result.id, result.digest).second) ++duplicates;
    arrived.notify_all();
  });
  auto results = net::Link::createInstance(context, net::LinkKind::kPull, resultPort);
  if (!results || !results->bind(base + "/results")) return fail(base + "/results");
  auto resultServer = make<Server>(resultPort);
  auto resultThread = Thread::createInstance();
  resultThread->start(resultServer);

  // The workers, each with an at-least-once pipeline of its own.
  const std::string self = ownProgram(argv[0]);
  net::LinkOptions reliable;
  reliable.reliable = true;
  std::vector<std::unique_ptr<ChildProcess>> children;
  std::vector<Handle<net::Link>> pipes;
  auto startWorker = [&](int i) {
    return std::make_unique<ChildProcess>(
        self, std::vector<std::string>{"--worker", std::to_string(i),
                                       base + "/worker-" + std::to_string(i), base + "/results"});
  };
  for (int i = 0; i < workers; ++i) {
    children.push_back(startWorker(i));
    pipes.push_back(
        net::Link::createInstance(context, net::LinkKind::kPush, MessagePort(), reliable));
    if (!children[i]->running() || !pipes[i] ||
        !pipes[i]->connect(base + "/worker-" + std::to_string(i)))
      return fail("worker " + std::to_string(i));
  }
  auto send = [&](int id, int worker) {
    auto job = Job::createInstance();
    job->id = id;
    job->rounds = 20000;
    return pipes[static_cast<std::size_t>(worker)]->send(job, 30s);
  };
  for (int id = 0; id < jobs; ++id)
    if (!send(id, id % workers)) return fail("job " + std::to_string(id));

  // Half-way, the last worker dies without warning and a new one takes its place.
  const auto count = [&] { return static_cast<int>(done.size()); };
  std::unique_lock<std::mutex> guard(lock);
  arrived.wait_for(guard, 60s, [&] { return count() >= jobs / 2; });
  guard.unlock();
  children.back()->kill();
  children.back()->wait();
  children.back() = startWorker(workers - 1);
  const int killedAfter = count();

  // Every result, asking again for those that stay missing.
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  int askedAgain = 0;
  guard.lock();
  while (count() < jobs && std::chrono::steady_clock::now() < deadline) {
    const int before = count();
    if (arrived.wait_for(guard, 3s, [&] { return count() > before; })) continue;
    std::vector<int> missing;
    for (int id = 0; id < jobs; ++id)
      if (!done.count(id)) missing.push_back(id);
    guard.unlock();
    for (int id : missing)
      send(id, id % workers);
    askedAgain += static_cast<int>(missing.size());
    guard.lock();
  }
  const int got = count();
  guard.unlock();
  const auto resent = pipes.back()->getStats().resent;
  for (int i = 0; i < workers; ++i)
    send(-1, i);
  int failed = 0;
  for (auto& child : children)
    failed += child->wait() != 0;
  resultThread->shutdown();

  std::printf(
      "distributed_jobs: %d jobs by %d workers, worker %d killed after %d results and "
      "restarted (%llu jobs sent to it again, %d asked again), %d results (%d twice), "
      "%d missing, %d workers failed\n",
      jobs, workers, workers - 1, killedAfter, static_cast<unsigned long long>(resent), askedAgain,
      got, duplicates, jobs - got, failed);
  return got == jobs && failed == 0 ? 0 : 1;
}
