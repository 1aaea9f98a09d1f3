// vemo_net beside raw libzmq, side by side in one run (Linux: the producer is a forked process).
//
//   throughput of small messages over ipc://, one producer process and one consumer process:
//     raw PUSH/PULL of 32-byte frames, against a pipeline link carrying a message whose body is
//     32 bytes (a class id in the header), dispatched by the consumer's port;
//   at-least-once pipeline, the same messages;
//   request/reply round trip over tcp://127.0.0.1: raw REQ/REP of 32-byte frames against a
//     request link and a reply link, median of the round trips.
//
// NetThroughput [MESSAGES] [ROUND_TRIPS]
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

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
// consumer bound (through a pipe) when the consumer is ready.
struct Producer {
  template <class F>
  explicit Producer(F producer) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    pid = fork();
    if (pid == 0) {
      close(fds[1]);
      std::string endpoint;
      char c;
      while (read(fds[0], &c, 1) == 1 && c != '\n')
        endpoint += c;
      producer(endpoint);
      std::fflush(stdout);
      std::_Exit(0);
    }
    close(fds[0]);
    out = fds[1];
  }
  void start(const std::string& endpoint) {
    const std::string line = endpoint + "\n";
    if (write(out, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
    close(out);
  }
  pid_t pid;
  int out;
};

void reap(pid_t pid) {
  int status;
  waitpid(pid, &status, 0);
}

double rawPushPull(const std::string& endpoint, int count) {
  Producer producer([count](const std::string& where) {
    void* c = zmq_ctx_new();
    void* push = zmq_socket(c, ZMQ_PUSH);
    zmq_connect(push, where.c_str());
    char frame[32] = {};
    for (int i = 0; i < count; ++i)
      zmq_send(push, frame, sizeof frame, 0);
    zmq_close(push);
    zmq_ctx_term(c);
  });
  void* ctx = zmq_ctx_new();
  void* pull = zmq_socket(ctx, ZMQ_PULL);
  zmq_bind(pull, endpoint.c_str());
  producer.start(endpoint);
  char frame[64];
  zmq_recv(pull, frame, sizeof frame, 0);
  const auto start = Clock::now();
  for (int i = 1; i < count; ++i)
    zmq_recv(pull, frame, sizeof frame, 0);
  const double rate = (count - 1) / seconds(Clock::now() - start);
  reap(producer.pid);
  zmq_close(pull);
  zmq_ctx_term(ctx);
  return rate;
}

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
    push = nullptr;
  });
  auto context = net::Context::createInstance();
  MessagePort port;
  int received = 0;
  Clock::time_point start;
  port.getMessageDispenser().addMessageHandler<Small>([&](Message*) {
    if (received++ == 0) start = Clock::now();
  });
  auto pull = net::Link::createInstance(context, net::LinkKind::kPull, port, options);
  pull->bind(endpoint);
  producer.start(endpoint);
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (received < count && Clock::now() < limit)
    if (port.procMessage(10) == 0) std::this_thread::yield();
  if (received < count) {
    const net::LinkStats s = pull->getStats();
    std::printf("only %d of %d arrived (received %llu, refused %llu)\n", received, count,
                static_cast<unsigned long long>(s.received),
                static_cast<unsigned long long>(s.unknownClass + s.undecodable + s.badHeader +
                                                s.truncated));
  }
  const double rate = (count - 1) / seconds(Clock::now() - start);
  reap(producer.pid);
  return rate;
}

double rawRoundTrip(const std::string& endpoint, int trips) {
  Producer producer([trips](const std::string& where) {
    void* c = zmq_ctx_new();
    void* req = zmq_socket(c, ZMQ_REQ);
    zmq_connect(req, where.c_str());
    char frame[32] = {};
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

void linkRoundTrip(const std::string& endpoint, int trips) {
  Producer producer([trips](const std::string& where) {
    auto c = net::Context::createInstance();
    MessagePort answers;
    std::atomic<int> got{0};
    answers.getMessageDispenser().addMessageHandler<Small>([&](Message*) { ++got; });
    auto request = net::Link::createInstance(c, net::LinkKind::kRequest, answers);
    request->connect(where);
    auto m = small(0);
    std::vector<double> times;
    for (int i = 0; i < trips; ++i) {
      const auto start = Clock::now();
      request->send(m);
      while (answers.procMessage(10) == 0) {
      }
      times.push_back(seconds(Clock::now() - start) * 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("%.1f\n", times[times.size() / 2]);
    std::fflush(stdout);
    request = nullptr;
  });
  auto context = net::Context::createInstance();
  MessagePort port;
  Unknown::Handle_T<net::Link> reply;
  port.getMessageDispenser().addMessageHandler<Small>(
      [&](Message* message) { reply->reply(Unknown::Handle_T<Message>(message)); });
  reply = net::Link::createInstance(context, net::LinkKind::kReply, port);
  reply->bind(endpoint);
  producer.start(reply->getBoundEndpoint());
  int served = 0;
  while (served < trips)
    served += port.procMessage(10);
  reap(producer.pid);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int trips = argc > 2 ? std::atoi(argv[2]) : 20000;
  char dir[] = "/tmp/vemo-net-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string base = std::string("ipc://") + dir;
  std::printf("messages: %d, round trips: %d\n", count, trips);
  std::fflush(stdout);
  const double raw = rawPushPull(base + "/raw", count);
  std::printf("raw PUSH/PULL ipc, 32-byte frames:        %10.0f msg/s\n", raw);
  std::fflush(stdout);
  const double plain = linkPushPull(base + "/link", count, false);
  std::printf("pipeline link ipc, 32-byte bodies:        %10.0f msg/s  (%.2fx raw)\n", plain,
              plain / raw);
  std::fflush(stdout);
  const double reliable = linkPushPull(base + "/reliable", count, true);
  std::printf("at-least-once pipeline link ipc:          %10.0f msg/s  (%.2fx the plain link)\n",
              reliable, reliable / plain);
  std::fflush(stdout);
  std::printf("raw REQ/REP tcp round trip, median us:    ");
  std::fflush(stdout);
  rawRoundTrip("tcp://127.0.0.1:*", trips);
  std::printf("request/reply links tcp round trip, median us: ");
  std::fflush(stdout);
  linkRoundTrip("tcp://127.0.0.1:*", trips);
  std::string remove = std::string("rm -rf ") + dir;
  return std::system(remove.c_str()) == 0 ? 0 : 1;
}
