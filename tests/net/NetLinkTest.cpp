// Links between processes over tcp://127.0.0.1 and ipc://: the pipeline both ways, publish and
// subscribe filtered by class, requests answered to the requester's port, hostile peers refused
// while good ones are served, a peer that stops reading making send wait and fail, and the
// at-least-once link surviving a puller killed twice.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "../TestSupport.h"
#include "NetChild.h"
#include "NetMessages.h"
#include "NetServer.h"
#include "NetTestSupport.h"
#include "vemo/core/Log.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/System.h"
#include "vemo/core/Thread.h"
#include "vemo/net/Net.h"

using namespace vemo;
using namespace std::chrono_literals;
using nettest::Child;
using nettest::Every;
using nettest::TempDir;
using nettest::waitFor;

namespace {

const std::string kPeer = VEMO_NET_PEER;

// The endpoints a test runs over: tcp:// always, ipc:// where libzmq has it (not in the
// Windows build of libzmq that the tests use there).
std::vector<std::string> endpoints(const TempDir& dir, const char* name) {
  std::vector<std::string> list{"tcp://127.0.0.1:*"};
  if (zmq_has("ipc")) list.push_back("ipc://" + dir.path + "/" + name);
  return list;
}

// Serves a port on a thread of its own.
struct Served {
  explicit Served(MessagePort& port) : server(nettest::PortServer::createInstance(port)) {
    thread->start(server);
  }
  ~Served() { thread->shutdown(); }
  Unknown::Handle_T<nettest::PortServer> server;
  Unknown::Handle_T<Thread> thread = Thread::createInstance();
};

// Records warnings from any thread.
struct Warnings : LogListener {
  Warnings() { Log::addListener(this); }
  ~Warnings() { Log::removeListener(this); }
  const wchar_t* getName() override { return L"net-warnings"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { warning(text); }
  void warning(const wchar_t* text) override {
    std::lock_guard<std::mutex> guard(lock);
    lines.push_back(text);
  }
  void message(const wchar_t*) override {}
  void debug(const wchar_t*) override {}
  void whistle(bool) override {}
  int count(const std::wstring& part) {
    std::lock_guard<std::mutex> guard(lock);
    int n = 0;
    for (const auto& line : lines)
      if (line.find(part) != std::wstring::npos) ++n;
    return n;
  }
  std::mutex lock;
  std::vector<std::wstring> lines;
};

std::string readyEndpoint(Child& child) {
  const std::string line = child.line();
  return line.compare(0, 6, "ready ") == 0 ? line.substr(6) : std::string();
}

// A frame as a link writes it: version, kind, class id (little-endian), body.
std::string frame(unsigned char version, unsigned char kind, unsigned int id, std::string body) {
  std::string f(6, '\0');
  f[0] = static_cast<char>(version);
  f[1] = static_cast<char>(kind);
  for (int i = 0; i < 4; ++i)
    f[2 + i] = static_cast<char>(id >> (8 * i));
  return f + body;
}

// A plain message's whole frame, as a raw ZeroMQ peer sends it.
std::string messageFrame(const Message& message) {
  struct Out : Output {
    std::string bytes;
    int write(const void* d, int n) override {
      bytes.append(static_cast<const char*>(d), static_cast<std::size_t>(n));
      return n;
    }
  };
  Unknown::Handle_T<Out> out(new Out());
  {
    OutputStream os(out.get());
    message.exportTo(os);
  }
  return frame(1, 0, message.getClassId(), out->bytes);
}

}  // namespace

TEST(NetLink, PipelineBetweenTwoProcessesOverTcpAndIpc) {
  TempDir dir;
  auto context = net::Context::createInstance();
  ASSERT_TRUE(context);
  for (const std::string& bindTo : endpoints(dir, "pull")) {
    SCOPED_TRACE(bindTo);
    // This process pushes to a pulling peer.
    Child puller({kPeer, "pull", bindTo, "3000"});
    const std::string endpoint = readyEndpoint(puller);
    ASSERT_FALSE(endpoint.empty());
    if (bindTo.compare(0, 6, "ipc://") == 0) {
      struct stat info {};
      ASSERT_EQ(stat(endpoint.substr(6).c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0600u) << "the socket file is open to others";
    }
    auto push = net::Link::createInstance(context, net::LinkKind::kPush);
    ASSERT_TRUE(push->connect(endpoint));
    for (int i = 0; i < 3000; ++i)
      ASSERT_TRUE(push->send(nettest::makeEvery(i))) << net::Link::getLastError();
    EXPECT_EQ(puller.line(), "received 3000 good 3000");
    EXPECT_EQ(puller.wait(), 0);
    EXPECT_EQ(push->getStats().sent, 3000u);

    // And a pushing peer to this process, whose system sleeps until a message wakes it.
    MessagePort port;
    std::atomic<int> received{0}, good{0};
    port.getMessageDispenser().addMessageHandler<Every>([&](Message* message) {
      const Every* every = static_cast<Every*>(message);
      if (nettest::isEvery(*every) && every->number == received) ++good;
      ++received;
    });
    Served served(port);
    auto pull = net::Link::createInstance(context, net::LinkKind::kPull, port);
    ASSERT_TRUE(pull->bind(bindTo.compare(0, 6, "ipc://") == 0 ? bindTo + "2" : bindTo));
    Child pusher({kPeer, "push", pull->getBoundEndpoint(), "2000"});
    EXPECT_EQ(pusher.line(), "sent 2000");
    EXPECT_TRUE(waitFor([&] { return received >= 2000; }));
    EXPECT_EQ(good, 2000);
    EXPECT_EQ(pull->getStats().received, 2000u);
  }
}

TEST(NetLink, SubscribersReceiveOnlyTheirClasses) {
  TempDir dir;
  auto context = net::Context::createInstance();
  for (const std::string& bindTo : endpoints(dir, "publish")) {
    SCOPED_TRACE(bindTo);
    auto publish = net::Link::createInstance(context, net::LinkKind::kPublish);
    ASSERT_TRUE(publish->bind(bindTo));
    Child subscriber({kPeer, "subscribe", publish->getBoundEndpoint()});
    ASSERT_EQ(subscriber.line().compare(0, 5, "ready"), 0);
    // A subscription takes a moment to reach the publisher: greet until one greeting arrives.
    auto other = nettest::Other::createInstance();
    std::atomic<bool> heard{false};
    std::string first;
    std::thread listen([&] {
      first = subscriber.line();
      heard = true;
    });
    for (int i = 0; i < 3000 && !heard; ++i) {
      publish->send(other);
      publish->send(nettest::makeEvery(100000 + i));
      std::this_thread::sleep_for(10ms);
    }
    listen.join();
    ASSERT_EQ(first.compare(0, 4, "got "), 0) << first;
    int everies = 1;
    for (int i = 0; i < 200; ++i) {
      other->number = i;
      ASSERT_TRUE(publish->send(other));
      ASSERT_TRUE(publish->send(nettest::makeEvery(i)));
    }
    ASSERT_TRUE(publish->send(nettest::makeEvery(-1)));
    std::vector<int> numbers;
    for (std::string line = subscriber.line(); line.compare(0, 4, "got ") == 0;
         line = subscriber.line()) {
      ++everies;
      EXPECT_EQ(line.find("bad"), std::string::npos) << line;
      const int number = std::atoi(line.c_str() + 4);
      if (number < 100000) numbers.push_back(number);
      if (number == -1) {
        // The process received exactly the messages it handled: ZeroMQ filtered the others out.
        EXPECT_EQ(subscriber.line(), "received " + std::to_string(everies));
        break;
      }
    }
    ASSERT_EQ(numbers.size(), 201u);
    for (int i = 0; i < 200; ++i)
      EXPECT_EQ(numbers[i], i);
    EXPECT_EQ(subscriber.wait(), 0);
  }
}

TEST(NetLink, RepliesFindTheirRequestersPort) {
  TempDir dir;
  auto context = net::Context::createInstance();
  for (const std::string& bindTo : endpoints(dir, "reply")) {
    SCOPED_TRACE(bindTo);
    Child replier({kPeer, "reply", bindTo});
    const std::string endpoint = readyEndpoint(replier);
    ASSERT_FALSE(endpoint.empty());
    // Two requesters, each with its own port: each gets the answers to its own requests.
    struct Requester {
      MessagePort port;
      std::vector<int> answers;
      std::atomic<int> count{0};
      Unknown::Handle_T<net::Link> link;
    } a, b;
    for (Requester* r : {&a, &b}) {
      r->port.getMessageDispenser().addMessageHandler<Every>([r](Message* message) {
        const Every* every = static_cast<Every*>(message);
        r->answers.push_back(nettest::isEvery(*every) ? every->number : -1000);
        ++r->count;
      });
      r->link = net::Link::createInstance(context, net::LinkKind::kRequest, r->port);
      ASSERT_TRUE(r->link->connect(endpoint));
    }
    Served servedA(a.port), servedB(b.port);
    for (int i = 1; i <= 100; ++i) {
      ASSERT_TRUE(a.link->send(nettest::makeEvery(i)));
      ASSERT_TRUE(b.link->send(nettest::makeEvery(1000 + i)));
    }
    ASSERT_TRUE(waitFor([&] { return a.count >= 100 && b.count >= 100; }));
    for (int i = 1; i <= 100; ++i) {
      EXPECT_EQ(a.answers[i - 1], 2 * i);
      EXPECT_EQ(b.answers[i - 1], 2 * (1000 + i));
    }
    // Four threads send on one requester while its answers come in (a send may take the
    // signal that answers wait): every request gets its answer.
    std::vector<std::thread> senders;
    std::atomic<int> refused{0};
    for (int t = 0; t < 4; ++t)
      senders.emplace_back([&, t] {
        for (int i = 0; i < 500; ++i)
          if (!a.link->send(nettest::makeEvery(10000 + t * 1000 + i))) ++refused;
      });
    for (std::thread& sender : senders)
      sender.join();
    EXPECT_EQ(refused, 0) << net::Link::getLastError();
    ASSERT_TRUE(waitFor([&] { return a.count >= 2100; }, 30s)) << a.count << " of 2100 answers";
    std::vector<int> concurrent(a.answers.begin() + 100, a.answers.end());
    std::sort(concurrent.begin(), concurrent.end());
    for (int t = 0; t < 4; ++t)
      for (int i = 0; i < 500; ++i)
        ASSERT_EQ(concurrent[static_cast<std::size_t>(t * 500 + i)], 2 * (10000 + t * 1000 + i));
    ASSERT_TRUE(a.link->send(nettest::makeEvery(-1)));
    EXPECT_EQ(replier.line(), "done");
    EXPECT_EQ(replier.wait(), 0);
  }
}

TEST(NetLink, HostilePeersAreCountedAndRefusedWhileGoodOnesAreServed) {
  auto context = net::Context::createInstance();
  MessagePort port;
  std::atomic<int> good{0}, received{0};
  port.getMessageDispenser().addMessageHandler<Every>([&](Message* message) {
    if (nettest::isEvery(*static_cast<Every*>(message))) ++good;
    ++received;
  });
  Served served(port);
  net::LinkOptions options;
  options.maxMessageSize = 4096;
  Warnings warnings;
  auto pull = net::Link::createInstance(context, net::LinkKind::kPull, port, options);
  ASSERT_TRUE(pull->bind("tcp://127.0.0.1:*"));
  const std::string endpoint = pull->getBoundEndpoint();

  // Raw ZeroMQ peers: one that says nothing, one that sends junk of every kind, and a good one
  // (a link in another process).
  void* zmq = zmq_ctx_new();
  void* silent = zmq_socket(zmq, ZMQ_PUSH);
  void* hostile = zmq_socket(zmq, ZMQ_PUSH);
  int zero = 0;
  zmq_setsockopt(silent, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(hostile, ZMQ_LINGER, &zero, sizeof zero);
  ASSERT_EQ(zmq_connect(silent, endpoint.c_str()), 0);
  ASSERT_EQ(zmq_connect(hostile, endpoint.c_str()), 0);
  const unsigned int everyId = Every::getClassId_();
  // A good message's frame, cut and spoiled.
  const std::string goodBody = messageFrame(*nettest::makeEvery(5));
  std::mt19937 random(7);
  std::vector<std::string> junk = {
      std::string(1, '\x01'),                       // truncated header
      frame(1, 0, everyId, "").substr(0, 4),        // truncated header
      frame(9, 0, everyId, "x"),                    // another version
      frame(1, 7, everyId, "x"),                    // another kind
      frame(1, 2, everyId, std::string(16, '\0')),  // an ack on a plain puller
      frame(1, 0, 0x5EEDF00Du, "body"),             // unknown class id
      frame(1, 0, everyId, "\x01\x02"),             // undecodable body
      goodBody + "trailing",                        // bytes left over
      goodBody.substr(0, goodBody.size() / 2),      // body cut short
      std::string(5000, 'x'),                       // beyond the maximum size
  };
  for (int i = 0; i < 20; ++i) {
    std::string bytes(random() % 64, '\0');
    for (char& c : bytes)
      c = static_cast<char>(random());
    junk.push_back(bytes);
  }
  // Each junk twice: counted twice, logged once per peer and reason.
  for (int round = 0; round < 2; ++round)
    for (const std::string& bytes : junk)
      if (bytes.size() < 4096) zmq_send(hostile, bytes.data(), bytes.size(), 0);
  Child pusher({kPeer, "push", endpoint, "500"});
  EXPECT_EQ(pusher.line(), "sent 500");
  ASSERT_TRUE(waitFor([&] { return received >= 500; }));
  ASSERT_TRUE(waitFor([&] {
    const net::LinkStats s = pull->getStats();
    return s.truncated + s.badHeader + s.unknownClass + s.undecodable >= 18 + 40;
  }));
  // The oversized message drops the hostile peer's connection; the good peer is still served.
  zmq_send(hostile, junk.back().data(), junk.back().size(), 0);
  Child again({kPeer, "push", endpoint, "100"});
  EXPECT_EQ(again.line(), "sent 100");
  ASSERT_TRUE(waitFor([&] { return received >= 600; }));
  std::this_thread::sleep_for(100ms);
  const net::LinkStats stats = pull->getStats();
  EXPECT_EQ(good, 600);
  EXPECT_EQ(received, 600);
  EXPECT_EQ(stats.received, 600u);
  EXPECT_GE(stats.truncated, 4u);
  EXPECT_GE(stats.badHeader, 6u);
  EXPECT_GE(stats.unknownClass, 2u);
  EXPECT_GE(stats.undecodable, 6u);
  // One warning per reason from the hostile peer, however often it came.
  EXPECT_EQ(warnings.count(L"unknown class") + warnings.count(L"no message class"), 1);
  EXPECT_EQ(warnings.count(L"format version 9"), 1);
  EXPECT_LE(warnings.count(L"refused a message"), 6);
  zmq_close(silent);
  zmq_close(hostile);
  zmq_ctx_term(zmq);
}

TEST(NetLink, SendWaitsForAPeerThatStopsReadingThenFails) {
  auto context = net::Context::createInstance();
  void* zmq = zmq_ctx_new();
  void* stalled = zmq_socket(zmq, ZMQ_PULL);
  int hwm = 10, zero = 0;
  zmq_setsockopt(stalled, ZMQ_RCVHWM, &hwm, sizeof hwm);
  zmq_setsockopt(stalled, ZMQ_LINGER, &zero, sizeof zero);
  ASSERT_EQ(zmq_bind(stalled, "tcp://127.0.0.1:*"), 0);
  char endpoint[256];
  std::size_t size = sizeof endpoint;
  zmq_getsockopt(stalled, ZMQ_LAST_ENDPOINT, endpoint, &size);
  net::LinkOptions options;
  options.highWaterMark = 10;
  auto push = net::Link::createInstance(context, net::LinkKind::kPush, MessagePort(), options);
  ASSERT_TRUE(push->connect(endpoint));
  // Large messages, so that the kernel's socket buffers fill quickly too.
  auto big = nettest::makeEvery(1);
  big->bytes.assign(64 * 1024, 'b');
  int sent = 0;
  auto started = std::chrono::steady_clock::now();
  while (push->send(big, 200ms)) {
    ++sent;
    ASSERT_LT(sent, 20000) << "send never waits: the queue has no bound";
    started = std::chrono::steady_clock::now();
  }
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, 190ms);
  EXPECT_NE(net::Link::getLastError().find("timed out"), std::string::npos)
      << net::Link::getLastError();
  // Reading again makes room.
  std::vector<char> buffer(128 * 1024);
  const int second = 1000;
  zmq_setsockopt(stalled, ZMQ_RCVTIMEO, &second, sizeof second);
  for (int i = 0; i < 200 && zmq_recv(stalled, buffer.data(), buffer.size(), 0) >= 0; ++i) {
  }
  EXPECT_TRUE(waitFor([&] { return push->send(big, 100ms); }));
  push = nullptr;
  zmq_close(stalled);
  zmq_ctx_term(zmq);

  // An at-least-once sender that nobody acknowledges: its outbox fills to its limit, then a send
  // waits for room up to its time-out and fails, saying why. Nothing is dropped silently.
  net::LinkOptions reliable;
  reliable.reliable = true;
  reliable.outboxLimit = 5;
  reliable.linger = 0ms;
  auto unheard = net::Link::createInstance(context, net::LinkKind::kPush, MessagePort(), reliable);
  ASSERT_TRUE(unheard->connect("tcp://127.0.0.1:1"));  // nobody listens there
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(unheard->send(nettest::makeEvery(i), 1s)) << net::Link::getLastError();
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(unheard->send(nettest::makeEvery(5), 150ms));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 140ms);
  EXPECT_NE(
      net::Link::getLastError().find(
          "timed out after 150 ms: the outbox holds 5 messages that no puller has acknowledged"),
      std::string::npos)
      << net::Link::getLastError();
  EXPECT_EQ(unheard->getStats().sent, 5u);
}

// A link without a limit of its own takes a message of 16 MiB and drops the connection of a peer
// that sends a larger one.
TEST(NetLink, TheDefaultSizeLimitIsSixteenMebibytes) {
  constexpr std::size_t kLimit = 16 * 1024 * 1024;
  auto context = net::Context::createInstance();
  MessagePort port;
  std::atomic<int> received{0};
  std::atomic<std::size_t> largest{0};
  port.getMessageDispenser().addMessageHandler<Every>([&](Message* message) {
    largest = std::max(largest.load(), static_cast<Every*>(message)->bytes.size());
    ++received;
  });
  Served served(port);
  auto pull = net::Link::createInstance(context, net::LinkKind::kPull, port);
  ASSERT_TRUE(pull->bind("tcp://127.0.0.1:*"));
  const std::string endpoint = pull->getBoundEndpoint();

  void* zmq = zmq_ctx_new();
  void* oversized = zmq_socket(zmq, ZMQ_PUSH);
  void* fitting = zmq_socket(zmq, ZMQ_PUSH);
  int zero = 0, second = 1000;
  zmq_setsockopt(oversized, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(fitting, ZMQ_LINGER, &zero, sizeof zero);
  // The oversized peer's disconnection is what shows its message was refused.
  ASSERT_EQ(zmq_socket_monitor(oversized, "inproc://oversized-events", ZMQ_EVENT_DISCONNECTED), 0);
  void* events = zmq_socket(zmq, ZMQ_PAIR);
  zmq_setsockopt(events, ZMQ_RCVTIMEO, &second, sizeof second);
  ASSERT_EQ(zmq_connect(events, "inproc://oversized-events"), 0);
  ASSERT_EQ(zmq_connect(oversized, endpoint.c_str()), 0);
  ASSERT_EQ(zmq_connect(fitting, endpoint.c_str()), 0);

  // A good message's frame of exactly 16 MiB (its body's length prefix grows with the bytes).
  auto big = nettest::makeEvery(1);
  std::string atLimit;
  for (std::size_t bytes = kLimit - 100, round = 0; atLimit.size() != kLimit && round < 4;
       ++round) {
    big->bytes.assign(bytes, 'b');
    atLimit = messageFrame(*big);
    bytes = bytes + kLimit - atLimit.size();
  }
  ASSERT_EQ(atLimit.size(), kLimit);
  const std::string tooLarge(kLimit + 1, 'x');
  ASSERT_EQ(zmq_send(oversized, tooLarge.data(), tooLarge.size(), 0), int(tooLarge.size()));
  bool disconnected = false;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!disconnected && std::chrono::steady_clock::now() < deadline) {
    zmq_msg_t event;
    zmq_msg_init(&event);
    if (zmq_msg_recv(&event, events, 0) >= 0) {
      std::uint16_t kind = 0;
      std::memcpy(&kind, zmq_msg_data(&event), sizeof kind);
      disconnected = kind == ZMQ_EVENT_DISCONNECTED;
      zmq_msg_close(&event);
      zmq_msg_init(&event);
      zmq_msg_recv(&event, events, 0);  // the endpoint, the event's second part
    }
    zmq_msg_close(&event);
  }
  EXPECT_TRUE(disconnected);
  ASSERT_EQ(zmq_send(fitting, atLimit.data(), atLimit.size(), 0), int(atLimit.size()));
  ASSERT_TRUE(waitFor([&] { return received >= 1; }));
  EXPECT_EQ(largest.load(), big->bytes.size());
  const net::LinkStats stats = pull->getStats();
  EXPECT_EQ(stats.received, 1u);
  EXPECT_EQ(stats.truncated + stats.badHeader + stats.unknownClass + stats.undecodable, 0u);
  zmq_socket_monitor(oversized, nullptr, 0);
  zmq_close(events);
  zmq_close(oversized);
  zmq_close(fitting);
  zmq_ctx_term(zmq);
}

// A requester that stops reading makes the replies wait and then fail, as a send does: none
// that reply() called sent is lost. Once the requester has gone, a reply to it fails and says so.
TEST(NetLink, RepliesWaitForARequesterThatStopsReadingAndFailOnceItHasGone) {
  auto context = net::Context::createInstance();
  MessagePort port;
  net::LinkOptions options;
  options.highWaterMark = 5;
  auto replier = net::Link::createInstance(context, net::LinkKind::kReply, port, options);
  ASSERT_TRUE(replier->bind("tcp://127.0.0.1:*"));
  // Large replies, so that the kernel's socket buffers fill quickly too.
  auto big = nettest::makeEvery(2);
  big->bytes.assign(1024 * 1024, 'r');
  std::atomic<int> handled{0}, replied{0};
  std::atomic<bool> failed{false};
  std::string error;
  Unknown::Handle_T<MessageOrigin> kept;
  port.getMessageDispenser().addMessageHandler<Every>([&](Message*) {
    kept = MessagePort::getCurrentOrigin();
    if (!failed) {
      if (replier->reply(big, 100ms)) {
        ++replied;
      } else {
        error = net::Link::getLastError();
        failed = true;
      }
    }
    ++handled;
  });
  Served served(port);

  constexpr int kRequests = 60;
  void* zmq = zmq_ctx_new();
  void* requester = zmq_socket(zmq, ZMQ_DEALER);
  int hwm = 5, zero = 0;
  zmq_setsockopt(requester, ZMQ_RCVHWM, &hwm, sizeof hwm);
  zmq_setsockopt(requester, ZMQ_LINGER, &zero, sizeof zero);
  ASSERT_EQ(zmq_connect(requester, replier->getBoundEndpoint().c_str()), 0);
  const std::string request = messageFrame(*nettest::makeEvery(1));
  for (int i = 0; i < kRequests; ++i)
    ASSERT_EQ(zmq_send(requester, request.data(), request.size(), 0),
              static_cast<int>(request.size()));
  ASSERT_TRUE(waitFor([&] { return handled == kRequests; }));
  EXPECT_TRUE(failed) << "every reply was taken: the requester's queues have no bound";
  EXPECT_NE(error.find("timed out"), std::string::npos) << error;
  // Every reply that was taken arrives.
  std::vector<char> buffer(2 * 1024 * 1024);
  const int second = 1000;
  zmq_setsockopt(requester, ZMQ_RCVTIMEO, &second, sizeof second);
  int received = 0;
  while (zmq_recv(requester, buffer.data(), buffer.size(), 0) >= 0)
    ++received;
  EXPECT_EQ(received, replied.load());
  EXPECT_GT(received, 0);

  zmq_close(requester);
  zmq_ctx_term(zmq);
  ASSERT_TRUE(waitFor([&] {
    return !replier->replyTo(kept.get(), big, 100ms) &&
           net::Link::getLastError().find("requester is gone") != std::string::npos;
  })) << net::Link::getLastError();
}

namespace {
// A request whose destructor answers through the replier (as an application's message may do
// whatever it likes when it goes): where and how is set by the test below.
struct PartingReply {
  net::Link* link = nullptr;
  Unknown::Handle_T<MessageOrigin> origin;
  std::atomic<int> sent{-1};  // -1: not yet; then whether the answer went
  std::string error;
};
PartingReply g_parting;

class Parting : public Message {
  VEMO_DECLARE_PROPERTY(Parting, Message)
  VEMO_MESSAGE_FIELDS(number)

 public:
  int number = 0;
  bool taken = false;  // set by the receiver's handler, not sent
  ~Parting() override {
    if (number != 1 || !taken || !g_parting.link) return;
    const bool sent = g_parting.link->replyTo(g_parting.origin.get(), nettest::makeEvery(7), 300ms);
    if (!sent) g_parting.error = net::Link::getLastError();
    g_parting.sent = sent ? 1 : 0;
  }

 protected:
  Parting() = default;
};
VEMO_IMPLEMENT_PROPERTY(Parting, VEMO_PROPERTY(number, L"Number"))
}  // namespace

namespace {

// A part that some messages have before their Message part: in a Badged, the Message part lies
// elsewhere from the object's Unknown part than in a message derived from Message alone.
class Badge : public virtual Unknown {
 public:
  long long badge = 0x0123456789ABCDEFLL;
  char padding[40] = {};
};

class Badged : public Badge, public Message {
  VEMO_DECLARE_PROPERTY(Badged, Message)
  VEMO_MESSAGE_FIELDS(number, text, bytes)

 public:
  int number = 0;
  String text;
  std::string bytes;

 protected:
  Badged() = default;
};
VEMO_IMPLEMENT_PROPERTY(Badged, VEMO_PROPERTY(number, L"Number"))

// The strings of Badged `n`: lengths around the size short strings are read through the stack,
// and one long enough that its batch is written into the port.
std::size_t badgedLength(int n) {
  static const std::size_t lengths[] = {0, 1, 255, 256, 257, 5000};
  return lengths[static_cast<std::size_t>(n) % 6];
}
Unknown::Handle_T<Badged> makeBadged(int n) {
  auto m = Badged::createInstance();
  m->number = n;
  const std::size_t length = badgedLength(n);
  std::wstring text;
  for (std::size_t i = 0; i < length; ++i)
    text += static_cast<wchar_t>(i % 3 == 0 ? 0xE9 : L'a' + (n + i) % 26);
  m->text = text.c_str();
  m->bytes.assign(length, static_cast<char>('A' + n % 26));
  return m;
}

}  // namespace

// A pull link makes each message it receives as its own class, whatever the classes before it:
// messages of several classes interleaved (one whose Message part is not where a plain message
// has it), with strings of many lengths, arrive whole and in order, and a class id of a
// registered class that is no message is refused every time it comes.
// A sender encodes every message into one buffer of its own, which grows when a message does
// not fit (also in the middle of one) and is reused for the next, shorter or longer: every
// frame on the wire is byte for byte the message's header and body, none longer or shorter,
// none with bytes of an earlier frame.
TEST(NetLink, FramesOfEverySizeInTurnLeaveTheSenderWhole) {
  auto context = net::Context::createInstance();
  void* zmq = zmq_ctx_new();
  void* pull = zmq_socket(zmq, ZMQ_PULL);
  const int wait = 10000;
  zmq_setsockopt(pull, ZMQ_RCVTIMEO, &wait, sizeof wait);
  ASSERT_EQ(zmq_bind(pull, "tcp://127.0.0.1:*"), 0);
  char bound[256];
  std::size_t boundSize = sizeof bound;
  ASSERT_EQ(zmq_getsockopt(pull, ZMQ_LAST_ENDPOINT, bound, &boundSize), 0);
  auto push = net::Link::createInstance(context, net::LinkKind::kPush);
  ASSERT_TRUE(push->connect(bound));
  // Around the first buffer's size (256 bytes), past several doublings at once, and back.
  const std::size_t sizes[] = {0,    150, 240,   250, 256, 300,    20,     1000, 4096,
                               5000, 7,   70000, 64,  255, 300000, 100000, 1,    520};
  int n = 0;
  for (int round = 0; round < 2; ++round) {
    for (const std::size_t size : sizes) {
      SCOPED_TRACE(std::to_string(n) + ": " + std::to_string(size) + " bytes");
      auto message = nettest::makeEvery(n);
      message->bytes.assign(size, static_cast<char>('a' + n % 26));
      if (size > 1) message->bytes[size / 2] = '\0';
      const std::string expected = messageFrame(*message);
      ASSERT_TRUE(push->send(message, 10s)) << net::Link::getLastError();
      zmq_msg_t received;
      zmq_msg_init(&received);
      ASSERT_GE(zmq_msg_recv(&received, pull, 0), 0) << zmq_strerror(zmq_errno());
      const std::string bytes(static_cast<const char*>(zmq_msg_data(&received)),
                              zmq_msg_size(&received));
      zmq_msg_close(&received);
      EXPECT_EQ(bytes.size(), expected.size());
      EXPECT_TRUE(bytes == expected) << "the frame differs from the message's own";
      ++n;
    }
  }
  EXPECT_EQ(push->getStats().sent, static_cast<std::uint64_t>(n));
  push = nullptr;
  int zero = 0;
  zmq_setsockopt(pull, ZMQ_LINGER, &zero, sizeof zero);
  zmq_close(pull);
  zmq_ctx_term(zmq);
}

TEST(NetLink, MessagesOfInterleavedClassesArriveAsTheirOwnClasses) {
  auto context = net::Context::createInstance();
  MessagePort port;
  std::mutex lock;
  std::vector<std::string> arrived;  // "<class> <number>", in order
  std::vector<std::string> wrong;
  const auto note = [&](const char* kind, int number, bool right) {
    std::lock_guard<std::mutex> guard(lock);
    arrived.push_back(std::string(kind) + " " + std::to_string(number));
    if (!right) wrong.push_back(arrived.back());
  };
  port.getMessageDispenser().addMessageHandler<Every>(
      [&](Every& every) { note("every", every.number, nettest::isEvery(every)); });
  port.getMessageDispenser().addMessageHandler<nettest::Other>(
      [&](nettest::Other& other) { note("other", other.number, true); });
  port.getMessageDispenser().addMessageHandler(Badged::getClassId_(), [&](Message* message) {
    Badged* badged = dynamic_cast<Badged*>(message);
    bool right =
        badged && typeid(*message) == typeid(Badged) && badged->badge == 0x0123456789ABCDEFLL;
    if (right) {
      const auto want = makeBadged(badged->number);
      right = badged->text == want->text && badged->bytes == want->bytes &&
              badged->text.getLength() == static_cast<int>(badgedLength(badged->number));
    }
    note("badged", badged ? badged->number : -1, right);
  });
  Served served(port);
  auto pull = net::Link::createInstance(context, net::LinkKind::kPull, port);
  ASSERT_TRUE(pull->bind("tcp://127.0.0.1:*"));

  void* zmq = zmq_ctx_new();
  void* push = zmq_socket(zmq, ZMQ_PUSH);
  ASSERT_EQ(zmq_connect(push, pull->getBoundEndpoint().c_str()), 0);
  const std::string notAMessage = frame(1, 0, MemoryStream::getClassId_(), "");
  constexpr int kRounds = 300;
  std::vector<std::string> expected;
  for (int n = 0; n < kRounds; ++n) {
    // Runs of one class and single ones, so that each class follows each of the others.
    std::vector<std::string> frames;
    frames.push_back(messageFrame(*makeBadged(n)));
    expected.push_back("badged " + std::to_string(n));
    if (n % 3 != 1) {
      frames.push_back(messageFrame(*nettest::makeEvery(n)));
      expected.push_back("every " + std::to_string(n));
    }
    if (n % 4 == 0) frames.push_back(notAMessage);
    auto other = nettest::Other::createInstance();
    other->number = n;
    frames.push_back(messageFrame(*other));
    expected.push_back("other " + std::to_string(n));
    if (n % 2 == 0) {
      frames.push_back(messageFrame(*makeBadged(n)));
      expected.push_back("badged " + std::to_string(n));
    }
    for (const std::string& bytes : frames)
      ASSERT_EQ(zmq_send(push, bytes.data(), bytes.size(), 0), static_cast<int>(bytes.size()));
  }
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard<std::mutex> guard(lock);
    return arrived.size() >= expected.size();
  })) << arrived.size()
      << " of " << expected.size();
  ASSERT_TRUE(waitFor([&] { return pull->getStats().unknownClass >= kRounds / 4; }));
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(arrived, expected);
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, the first: " << wrong.front();
  }
  const net::LinkStats stats = pull->getStats();
  EXPECT_EQ(stats.received, expected.size());
  EXPECT_EQ(stats.unknownClass, static_cast<std::uint64_t>(kRounds / 4));
  EXPECT_EQ(stats.undecodable, 0u);
  int zero = 0;
  zmq_setsockopt(push, ZMQ_LINGER, &zero, sizeof zero);
  zmq_close(push);
  zmq_ctx_term(zmq);
}

// A received message lives until its handler and the port are done with it; the link's own
// thread may then be the one that destroys it, and it does so without the link's locks: a
// destructor that sends through the same link sends at once.
TEST(NetLink, AMessageThatEndsOnTheLinksThreadMaySendThroughIt) {
  auto context = net::Context::createInstance();
  MessagePort port;
  auto replier = net::Link::createInstance(context, net::LinkKind::kReply, port);
  ASSERT_TRUE(replier->bind("tcp://127.0.0.1:*"));
  std::atomic<int> handled{0};
  port.getMessageDispenser().addMessageHandler<Parting>([&](Message* message) {
    Parting* parting = static_cast<Parting*>(message);
    if (parting->number == 1) g_parting.origin = MessagePort::getCurrentOrigin();
    parting->taken = true;
    ++handled;
  });
  g_parting.sent = -1;
  g_parting.error.clear();
  g_parting.link = replier.get();
  Served served(port);
  void* zmq = zmq_ctx_new();
  void* requester = zmq_socket(zmq, ZMQ_DEALER);
  int zero = 0, second = 1000;
  zmq_setsockopt(requester, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(requester, ZMQ_RCVTIMEO, &second, sizeof second);
  ASSERT_EQ(zmq_connect(requester, replier->getBoundEndpoint().c_str()), 0);
  // Requests one at a time, until the first has gone with one of the batches after it.
  for (int n = 1; n <= 50 && g_parting.sent < 0; ++n) {
    Unknown::Handle_T<Parting> request = Parting::createInstance();
    request->number = n;
    const std::string frame = messageFrame(*request);
    ASSERT_EQ(zmq_send(requester, frame.data(), frame.size(), 0), static_cast<int>(frame.size()));
    ASSERT_TRUE(waitFor([&] { return handled == n; }));
  }
  ASSERT_TRUE(waitFor([] { return g_parting.sent >= 0; }));
  EXPECT_EQ(g_parting.sent, 1) << g_parting.error;
  std::vector<char> buffer(4096);
  const int got = zmq_recv(requester, buffer.data(), buffer.size(), 0);
  EXPECT_EQ(got, static_cast<int>(messageFrame(*nettest::makeEvery(7)).size()));
  g_parting.link = nullptr;
  g_parting.origin = nullptr;
  zmq_close(requester);
  zmq_ctx_term(zmq);
}

namespace {
// The journal's lines: session, sequence number, message number.
std::vector<std::vector<unsigned long long>> readJournal(const std::string& path) {
  std::vector<std::vector<unsigned long long>> lines;
  std::ifstream in(path);
  unsigned long long session, sequence, number;
  while (in >> session >> sequence >> number)
    lines.push_back({session, sequence, number});
  return lines;
}
}  // namespace

TEST(NetLink, AtLeastOnceSurvivesAPullerKilledTwiceAndAMovedEndpoint) {
  constexpr int kTotal = 100000;
  TempDir dir;
  const std::string journal = dir.path + "/journal";
  // Over ipc:// where there is one; else over tcp://.
  const bool ipc = zmq_has("ipc") != 0;
  std::string first = ipc ? "ipc://" + dir.path + "/reliable" : "tcp://127.0.0.1:*";
  std::string moved = ipc ? "ipc://" + dir.path + "/moved" : "tcp://127.0.0.1:*";
  auto context = net::Context::createInstance();
  net::LinkOptions options;
  options.reliable = true;
  options.outboxLimit = 2000;
  options.resendAfter = 100ms;
  auto push = net::Link::createInstance(context, net::LinkKind::kPush, MessagePort(), options);
  ASSERT_TRUE(push);
  auto puller = std::make_unique<Child>(
      std::vector<std::string>{kPeer, "reliable-pull", first, journal, std::to_string(kTotal)});
  if (!ipc)
    first = readyEndpoint(*puller);
  else
    ASSERT_EQ(readyEndpoint(*puller), first);
  ASSERT_FALSE(first.empty());
  ASSERT_TRUE(push->connect(first));
  std::atomic<int> sent{0};
  std::atomic<bool> failed{false}, stop{false};
  std::thread sender([&] {
    for (int i = 0; i < kTotal; ++i) {
      // While the puller is away the outbox fills, and send waits.
      for (int tries = 0; !push->send(nettest::makeEvery(i), 1s); ++tries)
        if (stop || tries == 60) {
          failed = true;
          return;
        }
      ++sent;
    }
  });
  struct Joiner {
    std::thread& thread;
    std::atomic<bool>& stop;
    ~Joiner() {
      stop = true;
      if (thread.joinable()) thread.join();
    }
  } joiner{sender, stop};
  auto handled = [&] { return readJournal(journal).size(); };
  // Killed twice while messages flow, restarted on the same endpoint; then moved.
  for (std::size_t mark : {std::size_t(kTotal / 4), std::size_t(kTotal / 2)}) {
    ASSERT_TRUE(waitFor([&] { return handled() >= mark; }, 60s, 50ms))
        << "handled " << handled() << ", sent " << push->getStats().sent << ", acknowledged "
        << push->getStats().acknowledged << ", resent " << push->getStats().resent;
    puller->killHard();
    puller->wait();
    if (ipc) {
      puller = std::make_unique<Child>(
          std::vector<std::string>{kPeer, "reliable-pull", first, journal, std::to_string(kTotal)});
      ASSERT_EQ(readyEndpoint(*puller), first);
    } else {
      // Under Wine a killed puller's tcp:// port can stay taken for tens of seconds: the
      // successor takes a port of its own, and the pusher moves to it.
      puller = std::make_unique<Child>(std::vector<std::string>{
          kPeer, "reliable-pull", "tcp://127.0.0.1:*", journal, std::to_string(kTotal)});
      const std::string ready = readyEndpoint(*puller);
      ASSERT_FALSE(ready.empty());
      ASSERT_TRUE(push->disconnect(first));
      ASSERT_TRUE(push->connect(ready));
      first = ready;
    }
  }
  ASSERT_TRUE(waitFor([&] { return handled() >= std::size_t(3 * kTotal / 4); }, 60s, 50ms))
      << "handled " << handled() << ", sent " << push->getStats().sent << ", acknowledged "
      << push->getStats().acknowledged << ", resent " << push->getStats().resent << ", last "
      << readJournal(journal).back()[1] << " " << readJournal(journal).back()[2];
  puller->killHard();
  puller->wait();
  puller = std::make_unique<Child>(
      std::vector<std::string>{kPeer, "reliable-pull", moved, journal, std::to_string(kTotal)});
  if (!ipc)
    moved = readyEndpoint(*puller);
  else
    ASSERT_EQ(readyEndpoint(*puller), moved);
  ASSERT_FALSE(moved.empty());
  ASSERT_TRUE(push->disconnect(first));
  ASSERT_TRUE(push->connect(moved));
  EXPECT_EQ(puller->line(60s), "done");
  sender.join();
  EXPECT_FALSE(failed) << net::Link::getLastError();
  EXPECT_EQ(sent, kTotal);

  // Every message handled exactly once, in order, each with the next sequence number.
  const auto lines = readJournal(journal);
  ASSERT_EQ(lines.size(), std::size_t(kTotal));
  for (int i = 0; i < kTotal; ++i) {
    ASSERT_EQ(lines[i][2], static_cast<unsigned long long>(i)) << "line " << i;
    ASSERT_EQ(lines[i][1], static_cast<unsigned long long>(i + 1)) << "line " << i;
    ASSERT_EQ(lines[i][0], lines[0][0]);
  }
  const net::LinkStats stats = push->getStats();
  EXPECT_EQ(stats.sent, std::uint64_t(kTotal));
  EXPECT_GT(stats.resent, 0u);
  EXPECT_TRUE(waitFor([&] { return push->getStats().acknowledged == std::uint64_t(kTotal); }));
}

TEST(NetLink, CurveLetsAllowedClientsInAndRefusesOthers) {
  char serverPublic[41], serverSecret[41], allowedPublic[41], allowedSecret[41], strangerPublic[41],
      strangerSecret[41];
  ASSERT_EQ(zmq_curve_keypair(serverPublic, serverSecret), 0) << "libzmq without CURVE";
  ASSERT_EQ(zmq_curve_keypair(allowedPublic, allowedSecret), 0);
  ASSERT_EQ(zmq_curve_keypair(strangerPublic, strangerSecret), 0);
  auto context = net::Context::createInstance();
  MessagePort port;
  std::atomic<int> received{0};
  std::vector<int> numbers;
  port.getMessageDispenser().addMessageHandler<Every>([&](Message* message) {
    numbers.push_back(static_cast<Every*>(message)->number);
    ++received;
  });
  Served served(port);
  Warnings warnings;
  net::LinkOptions server;
  server.curveSecretKey = serverSecret;
  server.allowedClients = {allowedPublic};
  auto pull = net::Link::createInstance(context, net::LinkKind::kPull, port, server);
  ASSERT_TRUE(pull);
  ASSERT_TRUE(pull->bind("tcp://127.0.0.1:*"));
  auto client = [&](const char* publicKey, const char* secretKey) {
    net::LinkOptions options;
    options.curveServerKey = serverPublic;
    options.curvePublicKey = publicKey;
    options.curveSecretKey = secretKey;
    auto push = net::Link::createInstance(context, net::LinkKind::kPush, MessagePort(), options);
    EXPECT_TRUE(push && push->connect(pull->getBoundEndpoint()));
    return push;
  };
  // The stranger connects first: its messages never arrive, and the allowed client's do.
  auto stranger = client(strangerPublic, strangerSecret);
  for (int i = 0; i < 5; ++i)
    stranger->send(nettest::makeEvery(1000 + i), 100ms);
  ASSERT_TRUE(waitFor([&] { return warnings.count(L"refused a CURVE client") >= 1; }));
  auto allowed = client(allowedPublic, allowedSecret);
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(allowed->send(nettest::makeEvery(i)));
  ASSERT_TRUE(waitFor([&] { return received >= 5; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2, 3, 4}));
  // A client without CURVE is not let in either.
  auto plain = net::Link::createInstance(context, net::LinkKind::kPush);
  ASSERT_TRUE(plain->connect(pull->getBoundEndpoint()));
  plain->send(nettest::makeEvery(2000), 100ms);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(received, 5);
  // A key that is not a key is refused when the link is made.
  net::LinkOptions bad;
  bad.curveSecretKey = "short";
  EXPECT_FALSE(net::Link::createInstance(context, net::LinkKind::kPull, port, bad));
}

namespace {
// A message that knows the thread that decoded it.
class Traced : public Message {
  VEMO_DECLARE_PROPERTY(Traced, Message)

 public:
  int number = 0;
  std::thread::id decodedOn;
  void importFrom(InputStream& is) override {
    is >> number;
    decodedOn = std::this_thread::get_id();
  }
  void exportTo(OutputStream& os) const override { os << number; }

 protected:
  Traced() = default;
};
VEMO_IMPLEMENT_PROPERTY(Traced, VEMO_PROPERTY(number, L"Number"))

// What a pull link's port dispatched, per sender (number / 1000000), in order, and how many of
// them the handler's own thread decoded; a number of -1 makes the handler take 30 ms.
struct Arrivals {
  void onTraced(Message* message) {
    const Traced* traced = static_cast<Traced*>(message);
    const int number = traced->number;
    if (traced->decodedOn == std::this_thread::get_id()) ++decodedHere;
    if (number == -1) {
      std::this_thread::sleep_for(30ms);
      ++slow;
      return;
    }
    std::lock_guard<std::mutex> guard(lock);
    bySender[number / 1000000].push_back(number % 1000000);
    ++total;
  }
  int count() {
    std::lock_guard<std::mutex> guard(lock);
    return total;
  }
  // Each sender's numbers, which must be 0, 1, 2... without a gap or a repeat.
  bool inOrder(int senders, int each, std::string& why) {
    std::lock_guard<std::mutex> guard(lock);
    for (int sender = 0; sender < senders; ++sender) {
      const std::vector<int>& got = bySender[sender];
      if (static_cast<int>(got.size()) != each) {
        why = "sender " + std::to_string(sender) + ": " + std::to_string(got.size()) + " of " +
              std::to_string(each);
        return false;
      }
      for (int i = 0; i < each; ++i)
        if (got[static_cast<std::size_t>(i)] != i) {
          why = "sender " + std::to_string(sender) + ": " + std::to_string(got[i]) + " at " +
                std::to_string(i);
          return false;
        }
    }
    return true;
  }
  std::mutex lock;
  std::map<int, std::vector<int>> bySender;
  int total = 0;
  std::atomic<int> slow{0};
  std::atomic<int> decodedHere{0};
};

// A system bound to a port that never takes anything from it.
class Deaf : public System {
 public:
  bool init() override {
    if (!System::init()) return false;
    setIdleWait(true);
    return true;
  }
  void onTick(unsigned int elapsed) override {
    ++passes;
    System::onTick(elapsed);
  }
  std::atomic<int> passes{0};
};
}  // namespace

// The consumer of a pull link's port takes what the socket holds while it is awake, and the
// link's thread receives while it sleeps: every message still arrives once and in its sender's
// order, in bursts from two senders at once, one at a time with the consumer asleep in between,
// while a handler runs longer than the link waits for its consumer, with no consumer bound (the
// port fills; a later procMessage takes the rest), and with a bound consumer that never comes.
TEST(NetLink, APullPortsConsumerTakesFromTheSocketAndNothingIsLostOrReordered) {
  vemo::tests::finishWithin(std::chrono::seconds(240), "pull consumer", [&] {
    auto pulling = net::Context::createInstance();
    auto pushing = net::Context::createInstance();
    MessagePort port;
    Arrivals arrivals;
    port.getMessageDispenser().addMessageHandler<Traced>(
        [&](Message* message) { arrivals.onTraced(message); });
    auto pull = net::Link::createInstance(pulling, net::LinkKind::kPull, port);
    ASSERT_TRUE(pull->bind("tcp://127.0.0.1:*"));
    net::LinkOptions roomy;
    roomy.highWaterMark = 100000;  // a burst fits in ZeroMQ's queues while nobody reads
    std::vector<Unknown::Handle_T<net::Link>> pushes;
    for (int sender = 0; sender < 2; ++sender) {
      pushes.push_back(
          net::Link::createInstance(pushing, net::LinkKind::kPush, MessagePort(), roomy));
      ASSERT_TRUE(pushes.back()->connect(pull->getBoundEndpoint()));
    }
    std::vector<int> next(2, 0);
    const auto send = [&](int sender, int count) {
      for (int i = 0; i < count; ++i) {
        auto m = Traced::createInstance();
        m->number = sender * 1000000 + next[static_cast<std::size_t>(sender)]++;
        ASSERT_TRUE(pushes[static_cast<std::size_t>(sender)]->send(m, 30s))
            << net::Link::getLastError();
      }
    };
    const auto burst = [&](int count) {
      std::thread other([&] { send(1, count); });
      send(0, count);
      other.join();
    };
    int expected = 0;
    std::string why;
    {
      auto served = std::make_unique<Served>(port);
      // Bursts from two senders at once.
      burst(20000);
      expected += 40000;
      ASSERT_TRUE(waitFor([&] { return arrivals.count() == expected; }, 120s)) << arrivals.count();
      // Woken, the consumer decodes what the socket holds on its own thread.
      EXPECT_GT(arrivals.decodedHere.load(), 0);
      // One at a time: the consumer sleeps before each arrives.
      for (int i = 0; i < 100; ++i) {
        send(i % 2, 1);
        ++expected;
        ASSERT_TRUE(waitFor([&] { return arrivals.count() == expected; })) << i;
      }
      // A handler that takes longer than the link waits for its consumer, a burst behind it.
      auto slow = Traced::createInstance();
      slow->number = -1;
      ASSERT_TRUE(pushes[0]->send(slow));
      burst(3000);
      expected += 6000;
      ASSERT_TRUE(waitFor([&] { return arrivals.count() == expected; }, 60s));
      EXPECT_EQ(arrivals.slow.load(), 1);
      ASSERT_TRUE(arrivals.inOrder(2, next[0], why)) << why;
    }
    // Nobody bound: the link queues into the port, and a later call takes it all, with what
    // is still in the socket.
    const std::uint64_t before = pull->getStats().received;
    burst(2000);
    ASSERT_TRUE(waitFor([&] { return pull->getStats().received >= before + 1000; }));
    int taken = 0;
    waitFor([&] {
      taken += port.procMessage(1000);
      return arrivals.count() >= expected + 4000;
    });
    expected += 4000;
    EXPECT_EQ(taken, 4000);
    ASSERT_EQ(arrivals.count(), expected);
    // Bound to a system that never takes anything: the link still moves everything into the
    // port, where a consumer finds it later.
    Unknown::Handle_T<Deaf> deaf(new Deaf());
    Unknown::Handle_T<Thread> thread = Thread::createInstance();
    ASSERT_TRUE(thread->start(deaf));
    port.bind(deaf);
    const std::uint64_t unserved = pull->getStats().received;
    const int decodedBefore = arrivals.decodedHere.load();
    burst(1000);
    EXPECT_TRUE(waitFor([&] { return pull->getStats().received == unserved + 2000; }))
        << pull->getStats().received - unserved;
    port.unbind();
    EXPECT_TRUE(thread->shutdown());
    // The link counts a batch just before it goes into the port, and a call that finds the link
    // still queueing it ends: what is on its way comes with a later call.
    int fromPort = 0;
    EXPECT_TRUE(waitFor([&] {
      fromPort += port.procMessage(10000);
      return fromPort >= 2000;
    }));
    EXPECT_EQ(fromPort, 2000);
    EXPECT_EQ(arrivals.decodedHere.load(), decodedBefore);  // all on the link's thread
    expected += 2000;
    EXPECT_EQ(arrivals.count(), expected);
    EXPECT_TRUE(arrivals.inOrder(2, next[0], why)) << why;
    EXPECT_EQ(pull->getStats().received, static_cast<std::uint64_t>(expected) + 1);

    // A second pull link into the same port feeds its consumer from then on; the first one's
    // messages still arrive (its thread receives them), and once the first is gone, the second
    // still feeds.
    auto second = net::Link::createInstance(pulling, net::LinkKind::kPull, port);
    ASSERT_TRUE(second->bind("tcp://127.0.0.1:*"));
    auto toSecond = net::Link::createInstance(pushing, net::LinkKind::kPush, MessagePort(), roomy);
    ASSERT_TRUE(toSecond->connect(second->getBoundEndpoint()));
    const auto sendToSecond = [&](int count) {
      for (int i = 0; i < count; ++i) {
        auto m = Traced::createInstance();
        m->number = 2 * 1000000 + next[2]++;
        ASSERT_TRUE(toSecond->send(m, 30s)) << net::Link::getLastError();
      }
    };
    next.push_back(0);
    {
      Served served(port);
      std::thread third([&] { sendToSecond(5000); });
      burst(5000);
      third.join();
      expected += 15000;
      EXPECT_TRUE(waitFor([&] { return arrivals.count() == expected; }, 60s)) << arrivals.count();
      pull = nullptr;
      pushes.clear();
      const int decodedBefore = arrivals.decodedHere.load();
      sendToSecond(5000);
      expected += 5000;
      EXPECT_TRUE(waitFor([&] { return arrivals.count() == expected; }, 60s)) << arrivals.count();
      EXPECT_GT(arrivals.decodedHere.load(), decodedBefore);
    }
    EXPECT_TRUE(arrivals.inOrder(2, next[0], why)) << why;
    std::lock_guard<std::mutex> guard(arrivals.lock);
    EXPECT_EQ(arrivals.bySender[2].size(), 10000u);
    for (int i = 0; i < 10000 && i < static_cast<int>(arrivals.bySender[2].size()); ++i)
      ASSERT_EQ(arrivals.bySender[2][static_cast<std::size_t>(i)], i);
  });
}

// Request and reply links let their ports' systems take from the sockets themselves, asleep on
// them between messages: one round trip after another, each answer is decoded on the
// requester's own system thread, and so is each request on the replier's; a replier busy in a
// handler while requests pile up answers them all once it returns; with the replier's system
// gone and one bound that never serves the port, the link's thread receives the requests into the
// port, and answers given later from another thread still reach the requester.
TEST(NetLink, RequestsAndAnswersReachSystemsAsleepOnTheSocketsAndWaitForBusyOrAbsentOnes) {
  vemo::tests::finishWithin(std::chrono::seconds(240), "request and reply systems", [&] {
    auto replying = net::Context::createInstance();
    auto requesting = net::Context::createInstance();
    MessagePort replyPort, requestPort;
    Unknown::Handle_T<net::Link> replyLink;
    std::atomic<bool> holdBusy{false};
    std::atomic<int> busyEntered{0}, requestsDecodedHere{0}, requestsHandled{0};
    replyPort.getMessageDispenser().addMessageHandler<Traced>([&](Message* message) {
      const Traced* request = static_cast<Traced*>(message);
      if (request->decodedOn == std::this_thread::get_id()) ++requestsDecodedHere;
      if (request->number == -2) {
        ++busyEntered;
        while (holdBusy.load())
          std::this_thread::yield();
      }
      auto answer = Traced::createInstance();
      answer->number = request->number * 2;
      EXPECT_TRUE(replyLink->reply(answer, 30s)) << net::Link::getLastError();
      ++requestsHandled;
    });
    std::mutex lock;
    std::vector<int> answers;
    std::atomic<int> answersDecodedHere{0};
    requestPort.getMessageDispenser().addMessageHandler<Traced>([&](Message* message) {
      const Traced* answer = static_cast<Traced*>(message);
      if (answer->decodedOn == std::this_thread::get_id()) ++answersDecodedHere;
      std::lock_guard<std::mutex> guard(lock);
      answers.push_back(answer->number);
    });
    const auto answered = [&] {
      std::lock_guard<std::mutex> guard(lock);
      return answers.size();
    };
    auto replier = std::make_unique<Served>(replyPort);
    Served requester(requestPort);
    replyLink = net::Link::createInstance(replying, net::LinkKind::kReply, replyPort);
    ASSERT_TRUE(replyLink->bind("tcp://127.0.0.1:*"));
    auto requestLink = net::Link::createInstance(requesting, net::LinkKind::kRequest, requestPort);
    ASSERT_TRUE(requestLink->connect(replyLink->getBoundEndpoint()));
    const auto request = [&](int number) {
      auto m = Traced::createInstance();
      m->number = number;
      return requestLink->send(m, 30s);
    };

    // One at a time: both systems sleep before each message reaches them.
    for (int i = 1; i <= 300; ++i) {
      ASSERT_TRUE(request(i)) << net::Link::getLastError();
      ASSERT_TRUE(waitFor([&] { return answered() == static_cast<std::size_t>(i); })) << i;
    }
    const int decodedByRequester = answersDecodedHere.load();
    const int decodedByReplier = requestsDecodedHere.load();
    EXPECT_GE(decodedByRequester, 290) << "answers decoded on the requester's system thread";
    EXPECT_GE(decodedByReplier, 290) << "requests decoded on the replier's system thread";

    // A busy replier: requests wait for it, and all are answered once its handler returns.
    holdBusy = true;
    ASSERT_TRUE(request(-2));
    ASSERT_TRUE(waitFor([&] { return busyEntered.load() == 1; }));
    for (int i = 301; i <= 400; ++i)
      ASSERT_TRUE(request(i)) << net::Link::getLastError();
    holdBusy = false;
    ASSERT_TRUE(waitFor([&] { return answered() == 401; }, 60s)) << answered();

    // The replier gone, a system bound to the port that never serves it: it finds the requests
    // twice without taking them and leaves the socket to the link's thread, which receives them
    // into the port, and it is not kept awake by them meanwhile. Then nobody bound: answers given
    // from this thread later still arrive.
    replier.reset();
    Unknown::Handle_T<Deaf> deaf(new Deaf());
    Unknown::Handle_T<Thread> deafThread = Thread::createInstance();
    ASSERT_TRUE(deafThread->start(deaf));
    replyPort.bind(deaf);
    const std::uint64_t before = replyLink->getStats().received;
    for (int i = 401; i <= 450; ++i)
      ASSERT_TRUE(request(i)) << net::Link::getLastError();
    ASSERT_TRUE(waitFor([&] { return replyLink->getStats().received == before + 50; }))
        << replyLink->getStats().received - before;
    EXPECT_LT(deaf->passes.load(), 1000) << "a system that does not feed was kept awake";
    replyPort.unbind();
    EXPECT_TRUE(deafThread->shutdown());
    const int handledBefore = requestsHandled.load();
    // The link counts a batch just before it goes into the port: what is on its way comes with
    // a later call.
    int fromPort = 0;
    EXPECT_TRUE(waitFor([&] {
      fromPort += replyPort.procMessage(10000);
      return fromPort >= 50;
    }));
    EXPECT_EQ(fromPort, 50);
    EXPECT_EQ(requestsHandled.load(), handledBefore + 50);
    ASSERT_TRUE(waitFor([&] { return answered() == 451; }, 60s)) << answered();

    std::lock_guard<std::mutex> guard(lock);
    std::vector<int> expected;
    for (int i = 1; i <= 300; ++i)
      expected.push_back(2 * i);
    expected.push_back(-4);
    for (int i = 301; i <= 450; ++i)
      expected.push_back(2 * i);
    EXPECT_EQ(answers, expected);
    replyLink = nullptr;
  });
}
