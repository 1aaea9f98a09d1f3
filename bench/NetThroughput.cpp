// vemo_net beside raw libzmq, side by side in one run (Linux: the producer is a forked process).
//
//   throughput of small messages over ipc://, one producer process and one consumer process:
//     raw PUSH/PULL of 38-byte frames, against a pipeline link carrying a message whose body is
//     32 bytes (38 with the link's header), dispatched by the consumer's port, which a system
//     serves when woken (no polling);
//   at-least-once pipeline, the same messages;
//   request/reply round trip over tcp://127.0.0.1: raw REQ/REP of 38-byte frames against a
//     request link and a reply link, median of the round trips.
//
// NetThroughput [MESSAGES] [ROUND_TRIPS] [PARTS]
//   PARTS: a comma-separated choice of raw, link, reliable, rtt (all by default), e.g. to
//   profile one of them alone.
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>
#include <cerrno>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "vemo/core/Message.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/System.h"
#include "vemo/net/Net.h"

using namespace vemo;
using Clock = std::chrono::steady_clock;

namespace {

class Small : public Message {
  VEMO_DECLARE_PROPERTY(Small, Message)
  VEMO_MESSAGE_FIELDS(number, payload)

 public:
  int number = 0;
  std::string payload;  // 27 bytes: with its length and the number, a body of 32 bytes

 protected:
  Small() = default;
};
VEMO_IMPLEMENT_PROPERTY(Small, VEMO_PROPERTY(number, L"Number"))

Unknown::Handle_T<Small> small(int n) {
  auto m = Small::createInstance();
  m->number = n;
  m->payload.assign(27, 'p');
  return m;
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Forks the producer before this process makes any thread, and hands it the endpoint the
// consumer bound (through a pipe) when the consumer is ready. A producer may wait for the
// consumer's word that it has everything (finished()) before it closes its sockets: libzmq
// 4.3 drops the last messages of a sender that closes while its receiver is still behind,
// whatever the linger time (raw PUSH/PULL as well).
struct Producer {
  template <class F>
  explicit Producer(F producer) {
    int fds[2];
    if (pipe(fds) != 0 || pipe(done) != 0) std::abort();
    pid = fork();
    if (pid == 0) {
      close(fds[1]);
      close(done[1]);
      std::string endpoint;
      char c;
      while (read(fds[0], &c, 1) == 1 && c != '\n')
        endpoint += c;
      s_done = done[0];
      producer(endpoint);
      std::fflush(stdout);
      std::_Exit(0);
    }
    close(fds[0]);
    close(done[0]);
    out = fds[1];
  }
  // In the producer: waits for the consumer's finished() (or its end).
  static void awaitConsumer() {
    char c;
    while (read(s_done, &c, 1) < 0 && errno == EINTR) {
    }
  }
  void finished() {
    if (write(done[1], "x", 1) != 1) std::abort();
  }
  void start(const std::string& endpoint) {
    const std::string line = endpoint + "\n";
    if (write(out, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
    close(out);
  }
  pid_t pid;
  int out;
  int done[2];
  static int s_done;
};
int Producer::s_done = -1;

void reap(pid_t pid) {
  int status;
  waitpid(pid, &status, 0);
}

// A link's frame for a Small: its header (format version, kind, class id) and the 32-byte body.
constexpr std::size_t kFrameSize = 6 + 32;

double rawPushPull(const std::string& endpoint, int count) {
  Producer producer([count](const std::string& where) {
    void* c = zmq_ctx_new();
    void* push = zmq_socket(c, ZMQ_PUSH);
    zmq_connect(push, where.c_str());
    char frame[kFrameSize] = {};
    for (int i = 0; i < count; ++i)
      zmq_send(push, frame, sizeof frame, 0);
    Producer::awaitConsumer();
    zmq_close(push);
    zmq_ctx_term(c);
  });
  void* ctx = zmq_ctx_new();
  void* pull = zmq_socket(ctx, ZMQ_PULL);
  const int wait = 10000;
  zmq_setsockopt(pull, ZMQ_RCVTIMEO, &wait, sizeof wait);
  zmq_bind(pull, endpoint.c_str());
  producer.start(endpoint);
  char frame[64];
  zmq_recv(pull, frame, sizeof frame, 0);
  const auto start = Clock::now();
  int got = 1;
  while (got < count && zmq_recv(pull, frame, sizeof frame, 0) >= 0)
    ++got;
  const double rate = (got - 1) / seconds(Clock::now() - start);
  if (got < count) std::printf("raw: only %d of %d arrived\n", got, count);
  producer.finished();
  reap(producer.pid);
  zmq_close(pull);
  zmq_ctx_term(ctx);
  return rate;
}

// The consumer of the link benchmarks: a system that serves its port when a push wakes it
// (idle wait, no polling), as an application takes what its links receive.
class Consumer : public System {
 public:
  explicit Consumer(MessagePort& port) : _port(port) {}

 private:
  bool init() override { return System::init() && _port.serveOn(this, 10); }
  MessagePort& _port;
};

double linkPushPull(const std::string& endpoint, int count, bool reliable) {
  net::LinkOptions options;
  options.reliable = reliable;
  Producer producer([count, options](const std::string& where) {
    auto c = net::Context::createInstance();
    auto push = net::Link::createInstance(c, net::LinkKind::kPush, MessagePort(), options);
    push->connect(where);
    auto m = small(0);
    for (int i = 0; i < count; ++i) {
      m->number = i;
      if (!push->send(m, std::chrono::seconds(30)))
        std::fprintf(stderr, "send: %s\n", net::Link::getLastError().c_str());
    }
    Producer::awaitConsumer();
    push = nullptr;
  });
  auto context = net::Context::createInstance();
  MessagePort port;
  std::atomic<int> received{0};
  // The clock is read at the first arrival, then at every 1024th and the last, as the raw
  // consumer reads it only around its loop: not once per message.
  Clock::time_point start, last;
  int lastCounted = 1;
  Unknown::Handle_T<Consumer> consumer(new Consumer(port));
  port.getMessageDispenser().addMessageHandler<Small>([&](Message*) {
    const int n = received.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n == 1) start = Clock::now();
    if (n % 1024 == 0 || n == count) {
      last = Clock::now();
      lastCounted = n;
    }
    if (n == count) consumer->shutdown();
  });
  consumer->load();
  std::thread serving([&] { consumer->start(); });
  auto pull = net::Link::createInstance(context, net::LinkKind::kPull, port, options);
  pull->bind(endpoint);
  producer.start(endpoint);
  const auto limit = Clock::now() + std::chrono::seconds(60);
  while (received.load() < count && Clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  consumer->shutdown();
  serving.join();
  producer.finished();
  const int got = received.load();
  if (got < count) {
    const net::LinkStats s = pull->getStats();
    std::printf("only %d of %d arrived (received %llu, refused %llu)\n", got, count,
                static_cast<unsigned long long>(s.received),
                static_cast<unsigned long long>(s.unknownClass + s.undecodable + s.badHeader +
                                                s.truncated));
  }
  // Up to the last arrival counted: a run that lost messages is not charged for the wait.
  const double rate = (lastCounted - 1) / seconds(last - start);
  reap(producer.pid);
  return rate;
}

double rawRoundTrip(const std::string& endpoint, int trips) {
  Producer producer([trips](const std::string& where) {
    void* c = zmq_ctx_new();
    void* req = zmq_socket(c, ZMQ_REQ);
    zmq_connect(req, where.c_str());
    char frame[kFrameSize] = {};
    std::vector<double> times;
    for (int i = 0; i < trips; ++i) {
      const auto start = Clock::now();
      zmq_send(req, frame, sizeof frame, 0);
      zmq_recv(req, frame, sizeof frame, 0);
      times.push_back(seconds(Clock::now() - start) * 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("%.1f\n", times[times.size() / 2]);
    std::fflush(stdout);
    zmq_close(req);
    zmq_ctx_term(c);
  });
  void* ctx = zmq_ctx_new();
  void* rep = zmq_socket(ctx, ZMQ_REP);
  zmq_bind(rep, endpoint.c_str());
  char bound[256];
  std::size_t size = sizeof bound;
  zmq_getsockopt(rep, ZMQ_LAST_ENDPOINT, bound, &size);
  producer.start(bound);
  char frame[64];
  for (int i = 0; i < trips; ++i) {
    const int n = zmq_recv(rep, frame, sizeof frame, 0);
    zmq_send(rep, frame, static_cast<std::size_t>(n), 0);
  }
  reap(producer.pid);
  zmq_close(rep);
  zmq_ctx_term(ctx);
  return 0;
}

// Both sides are systems served on wake-up: the requester's handler of each answer sends the
// next request, the replier's handler answers.
void linkRoundTrip(const std::string& endpoint, int trips) {
  Producer producer([trips](const std::string& where) {
    auto c = net::Context::createInstance();
    MessagePort answers;
    Unknown::Handle_T<Consumer> requester(new Consumer(answers));
    auto request = net::Link::createInstance(c, net::LinkKind::kRequest, answers);
    request->connect(where);
    auto m = small(0);
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(trips));
    Clock::time_point start;
    answers.getMessageDispenser().addMessageHandler<Small>([&](Message*) {
      times.push_back(seconds(Clock::now() - start) * 1e6);
      if (static_cast<int>(times.size()) == trips) {
        requester->shutdown();
        return;
      }
      start = Clock::now();
      request->send(m);
    });
    requester->load();
    std::thread serving([&] { requester->start(); });
    start = Clock::now();
    request->send(m);
    serving.join();
    std::sort(times.begin(), times.end());
    std::printf("%.1f\n", times.empty() ? 0.0 : times[times.size() / 2]);
    std::fflush(stdout);
    request = nullptr;
  });
  auto context = net::Context::createInstance();
  MessagePort port;
  Unknown::Handle_T<net::Link> reply;
  std::atomic<int> served{0};
  port.getMessageDispenser().addMessageHandler<Small>([&](Message* message) {
    reply->reply(Unknown::Handle_T<Message>(message));
    ++served;
  });
  Unknown::Handle_T<Consumer> replier(new Consumer(port));
  replier->load();
  std::thread serving([&] { replier->start(); });
  reply = net::Link::createInstance(context, net::LinkKind::kReply, port);
  reply->bind(endpoint);
  producer.start(reply->getBoundEndpoint());
  const auto limit = Clock::now() + std::chrono::seconds(60);
  while (served.load() < trips && Clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  reap(producer.pid);
  replier->shutdown();
  serving.join();
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int trips = argc > 2 ? std::atoi(argv[2]) : 20000;
  const std::string parts = argc > 3 ? argv[3] : "raw,link,reliable,rtt";
  const auto wanted = [&parts](const char* part) {
    return ("," + parts + ",").find(std::string(",") + part + ",") != std::string::npos;
  };
  char dir[] = "/tmp/vemo-net-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string base = std::string("ipc://") + dir;
  std::printf("messages: %d, round trips: %d\n", count, trips);
  std::fflush(stdout);
  double raw = 0, plain = 0;
  if (wanted("raw")) {
    raw = rawPushPull(base + "/raw", count);
    std::printf("raw PUSH/PULL ipc, 38-byte frames:        %10.0f msg/s\n", raw);
    std::fflush(stdout);
  }
  if (wanted("link")) {
    plain = linkPushPull(base + "/link", count, false);
    std::printf("pipeline link ipc, 32-byte bodies:        %10.0f msg/s  (%.2fx raw)\n", plain,
                raw > 0 ? plain / raw : 0.0);
    std::fflush(stdout);
  }
  if (wanted("reliable")) {
    const double reliable = linkPushPull(base + "/reliable", count, true);
    std::printf("at-least-once pipeline link ipc:          %10.0f msg/s  (%.2fx the plain link)\n",
                reliable, plain > 0 ? reliable / plain : 0.0);
    std::fflush(stdout);
  }
  if (wanted("rtt")) {
    std::printf("raw REQ/REP tcp round trip, median us:    ");
    std::fflush(stdout);
    rawRoundTrip("tcp://127.0.0.1:*", trips);
    std::printf("request/reply links tcp round trip, median us: ");
    std::fflush(stdout);
    linkRoundTrip("tcp://127.0.0.1:*", trips);
  }
  std::string remove = std::string("rm -rf ") + dir;
  return std::system(remove.c_str()) == 0 ? 0 : 1;
}
