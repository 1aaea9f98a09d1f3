// Links and their I/O thread. Every ZeroMQ socket of a context is used by its I/O thread only,
// with these exceptions: the command socket, which callers use under the context's command
// lock; each link's mailbox, which senders use under the link's send lock (or, at-least-once,
// its outbox lock) to hand messages to the I/O thread; and the socket of a plain push or publish
// link, which receives nothing and so needs no polling: its senders use it directly, under the
// send lock (ZeroMQ lets a socket pass between threads across a full barrier such as a mutex),
// which saves a hand-over between threads per message. The sockets of plain request and reply
// links are shared the same way: senders use them under the send lock, and the I/O thread
// polls their ZMQ_FD (not the socket) and receives under the same lock. As ZeroMQ asks of a
// ZMQ_FD user, whoever used such a socket looks at its ZMQ_EVENTS afterwards: the I/O thread
// before it sleeps, a sender after its send, waking the I/O thread (poke) when messages wait. The
// I/O thread drains a link's mailbox only while the link's socket takes messages, so a peer that
// stops reading fills ZeroMQ's queues, then the mailbox, and then makes send() wait and fail:
// memory stays bounded.
//
// The socket of a plain pull link is shared the same way, and its port's consumer receives on it
// too: when the consumer finds its queue empty it asks the link for more (MessageFeeder), takes
// a batch from the socket on its own thread and goes on dispatching, so that while it is awake
// no message crosses from the I/O thread to it. The I/O thread receives for a consumer that
// sleeps. Both receive under the link's receive lock, taken before the send lock and kept until
// the batch is in the port, so batches reach the port in the order they left the socket. A
// consumer that leaves messages in the socket (it took a full batch) comes back for them, and
// while it does the I/O thread leaves the socket alone, looking every few milliseconds whether
// it still comes; one that finds the socket empty gives it back to the I/O thread.
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "NetPlatform.h"
#include "Wire.h"
#include "vemo/core/Log.h"
#include "vemo/net/Net.h"

namespace vemo {
namespace net {

namespace {

using Clock = std::chrono::steady_clock;

// A lock that a thread waits for until a deadline, made of a mutex and a condition variable:
// std::timed_mutex waits with pthread_mutex_clocklock, which ThreadSanitizer does not see, so
// that it reports every unlock as one of an unlocked mutex. Taking a free lock and giving back
// one nobody waits for is one atomic operation each: senders take it once per message.
class TimedLock {
 public:
  bool try_lock() {
    // Sequentially consistent, failure included: a waiter's failed try and its count must not
    // pass an unlock's release and its look at the count (x86 pays nothing more for it).
    bool expected = false;
    return _held.compare_exchange_strong(expected, true);
  }
  void lock() { try_lock_until(Clock::time_point::max()); }
  bool try_lock_until(Clock::time_point deadline) {
    if (try_lock()) return true;
    std::unique_lock<std::mutex> guard(_mutex);
    // Counted before the lock is looked at again: an unlock either lets this try succeed or
    // sees the waiter and wakes it (both are sequentially consistent).
    _waiters.fetch_add(1);
    const auto free = [this] { return try_lock(); };
    const bool taken = deadline == Clock::time_point::max()
                           ? (_released.wait(guard, free), true)
                           : _released.wait_until(guard, deadline, free);
    _waiters.fetch_sub(1);
    return taken;
  }
  void unlock() {
    _held.store(false);
    if (_waiters.load() == 0) return;
    // Through the mutex: a waiter between its look at the lock and its wait is not missed.
    { std::lock_guard<std::mutex> guard(_mutex); }
    _released.notify_one();
  }

 private:
  std::mutex _mutex;
  std::condition_variable _released;
  std::atomic<bool> _held{false};
  std::atomic<int> _waiters{0};
};
using wire::FrameOutput;
using wire::Refusal;

// Received messages with bodies up to this size go into the port as objects (handed over).
constexpr std::size_t kHandOverLimit = 4096;
// How long a pull link's I/O thread leaves waiting messages to the port's consumer, woken for
// them, before it receives them itself (the consumer runs a long handler, or no longer serves the
// port).
constexpr std::chrono::milliseconds kConsumerPatience{5};

thread_local std::string t_lastError;

bool fail(std::string text) {
  t_lastError = std::move(text);
  return false;
}

std::string zmqError(const char* what) {
  return std::string(what) + ": " + zmq_strerror(zmq_errno());
}

// A send's time-out, read from the clock only once the send has to wait: most sends find the
// lock free and room in the queue, and a clock read per message is a cost worth saving.
class SendDeadline {
 public:
  explicit SendDeadline(std::chrono::milliseconds timeout) : _timeout(timeout) {}
  Clock::time_point get() {
    if (!_started) {
      _deadline = Clock::now() + _timeout;
      _started = true;
    }
    return _deadline;
  }
  // What is left, in whole milliseconds, for a ZeroMQ time-out (0: none left).
  int leftMs() {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(get() - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)) : 0;
  }
  bool busy() const {
    return fail("send timed out after " + std::to_string(_timeout.count()) +
                " ms: other threads are sending on this link and waiting for room");
  }
  bool noRoom() const {
    return fail("send timed out after " + std::to_string(_timeout.count()) +
                " ms: no peer takes messages (none connected, or all stopped reading)");
  }

 private:
  const std::chrono::milliseconds _timeout;
  Clock::time_point _deadline;
  bool _started = false;
};

std::uint64_t randomSession() {
  std::random_device device;
  std::uint64_t value = 0;
  while (value == 0)
    value = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  return value;
}

// Closes a message part on every path.
struct Part {
  Part() { zmq_msg_init(&msg); }
  ~Part() { zmq_msg_close(&msg); }
  Part(const Part&) = delete;
  Part& operator=(const Part&) = delete;
  const unsigned char* data() { return static_cast<const unsigned char*>(zmq_msg_data(&msg)); }
  std::size_t size() { return zmq_msg_size(&msg); }
  zmq_msg_t msg;
};

// The frame encoder of a sending thread and its stream, reused for every message it sends.
struct Encoder {
  Unknown::Handle_T<FrameOutput> output{new FrameOutput()};
  OutputStream stream{output.get()};
  // The message's frame, in `output`'s buffer until the next encode.
  std::string_view encode(const Message& message, wire::Kind kind) {
    wire::encode(*output, stream, message, kind);
    return output->view();
  }
};
Encoder& threadEncoder() {
  thread_local Encoder encoder;
  return encoder;
}

const char* kindName(LinkKind kind) {
  switch (kind) {
    case LinkKind::kPush:
      return "push";
    case LinkKind::kPull:
      return "pull";
    case LinkKind::kPublish:
      return "publish";
    case LinkKind::kSubscribe:
      return "subscribe";
    case LinkKind::kRequest:
      return "request";
    case LinkKind::kReply:
      return "reply";
  }
  return "?";
}

// A requester as a replier's link knows it: the origin of its requests.
class Peer final : public MessageOrigin {
 public:
  Peer(std::uint64_t link, std::string routing) : link(link), routing(std::move(routing)) {}
  const std::uint64_t link;
  const std::string routing;
};

// A reliable sender as its puller knows it; the origin of the messages it sent, counting those
// that have been handled.
class Session final : public MessageOrigin {
 public:
  Session(std::uint64_t id, std::uint64_t last)
      : id(id), lastPushed(last), base(last), acked(last) {}
  void delivered() override { handled.fetch_add(1, std::memory_order_release); }
  std::uint64_t handledUpTo() const {
    return base.load(std::memory_order_acquire) + handled.load(std::memory_order_acquire);
  }

  const std::uint64_t id;
  std::atomic<std::uint64_t> handled{0};
  // The I/O thread's own.
  std::string routing;
  std::uint64_t lastPushed;         // the last sequence number pushed into the port
  std::atomic<std::uint64_t> base;  // handled counts from here
  std::uint64_t acked;              // the last acknowledged
  bool resendAsked = false;         // a gap was reported, and nothing taken since
  bool ackDue = false;              // a duplicate came: acknowledge even without progress
  Clock::time_point lastAck = Clock::now();
};

// CURVE servers' allow-lists, by ZAP domain ("vemo-<link id>"): read by the I/O threads'
// ZAP handlers.
std::mutex g_allowLock;
std::map<std::string, std::set<std::string>> g_allowed;

std::string zapDomain(std::uint64_t link) {
  return "vemo-" + std::to_string(link);
}

bool setKey(void* socket, int option, const std::string& key, const char* what,
            std::string& error) {
  if (key.size() != 40 || zmq_setsockopt(socket, option, key.c_str(), 41) != 0) {
    error = std::string("the CURVE ") + what + " is not a 40-character Z85 key";
    return false;
  }
  return true;
}

bool applyCurve(void* socket, const LinkOptions& options, std::uint64_t link, std::string& error) {
  if (!options.curveSecretKey.empty() && options.curveServerKey.empty()) {
    const int server = 1;
    if (zmq_setsockopt(socket, ZMQ_CURVE_SERVER, &server, sizeof server) != 0) {
      error = zmqError("CURVE (is libzmq built with it?)");
      return false;
    }
    if (!setKey(socket, ZMQ_CURVE_SECRETKEY, options.curveSecretKey, "secret key", error))
      return false;
    if (!options.allowedClients.empty()) {
      std::set<std::string> keys;
      for (const std::string& key : options.allowedClients) {
        if (key.size() != 40) {
          error = "an allowed client's key is not a 40-character Z85 key";
          return false;
        }
        keys.insert(key);
      }
      const std::string domain = zapDomain(link);
      {
        std::lock_guard<std::mutex> guard(g_allowLock);
        g_allowed[domain] = std::move(keys);
      }
      zmq_setsockopt(socket, ZMQ_ZAP_DOMAIN, domain.data(), domain.size());
    }
  } else if (!options.curveServerKey.empty()) {
    if (!setKey(socket, ZMQ_CURVE_SERVERKEY, options.curveServerKey, "server key", error) ||
        !setKey(socket, ZMQ_CURVE_PUBLICKEY, options.curvePublicKey, "public key", error) ||
        !setKey(socket, ZMQ_CURVE_SECRETKEY, options.curveSecretKey, "secret key", error))
      return false;
  }
  return true;
}

void closeCurve(std::uint64_t link) {
  std::lock_guard<std::mutex> guard(g_allowLock);
  g_allowed.erase(zapDomain(link));
}

// Answers one ZAP request (RFC 27): a CURVE client is let in when its server has no allow-list
// or the list has its key.
void answerZap(void* zap) {
  std::vector<std::string> frames;
  for (;;) {
    Part part;
    if (zmq_msg_recv(&part.msg, zap, ZMQ_DONTWAIT) < 0) return;
    frames.emplace_back(reinterpret_cast<const char*>(part.data()), part.size());
    if (!zmq_msg_more(&part.msg)) break;
  }
  if (frames.size() < 6) return;
  const std::string& domain = frames[2];
  const std::string& mechanism = frames[5];
  bool allowed = true;
  std::string reason = "OK";
  {
    std::lock_guard<std::mutex> guard(g_allowLock);
    const auto list = g_allowed.find(domain);
    if (list != g_allowed.end()) {
      allowed = false;
      if (mechanism == "CURVE" && frames.size() >= 7 && frames[6].size() == 32) {
        char key[41];
        zmq_z85_encode(key, reinterpret_cast<const std::uint8_t*>(frames[6].data()), 32);
        allowed = list->second.count(key) != 0;
      }
      if (!allowed) reason = "the client's key is not allowed";
    }
  }
  const std::string status = allowed ? "200" : "400";
  const std::string reply[] = {frames[0], frames[1], status, reason, std::string(), std::string()};
  for (std::size_t i = 0; i < 6; ++i)
    zmq_send(zap, reply[i].data(), reply[i].size(), i < 5 ? ZMQ_SNDMORE : 0);
  if (!allowed) Log::warning(L"net: refused a CURVE client: %S", reason);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The context and its I/O thread.

class Context::Impl {
 public:
  Impl();
  ~Impl();
  // Runs `work` on the I/O thread and waits for it.
  void run(const std::function<void()>& work);
  // Makes the I/O thread look at its links again, without waiting for it.
  void poke();
  void* zmq() const { return _zmq; }
  std::uint64_t newId() { return ++_ids; }
  // I/O thread only.
  void add(Link::Impl* link) { _links.push_back(link); }
  void remove(Link::Impl* link) { _links.erase(std::find(_links.begin(), _links.end(), link)); }

 private:
  struct Command {
    const std::function<void()>* work;
    std::promise<void> done;
  };
  void loop();
  void runCommands();

  void* _zmq = nullptr;
  void* _commandsIn = nullptr;   // the I/O thread's
  void* _commandsOut = nullptr;  // callers', under _commandLock
  void* _zap = nullptr;          // the ZAP handler of the CURVE servers
  std::mutex _commandLock;
  // The commands themselves pass under _commandLock, which orders a caller's command before
  // the I/O thread's use of it; the socket only wakes the I/O thread.
  std::vector<Command*> _commands;
  std::atomic<std::uint64_t> _ids{0};
  std::vector<Link::Impl*> _links;
  bool _stop = false;
  std::thread _thread;
};

class Link::Impl : public Unknown {
 public:
  Impl(Context* context, LinkKind kind, const MessagePort& port, const LinkOptions& options);
  ~Impl() override;

  // On the I/O thread.
  bool open();
  void close();
  // Milliseconds until the link wants the I/O thread to look again (0: a shared socket has
  // messages waiting already), or -1.
  long addPollItems(std::vector<zmq_pollitem_t>& items, std::vector<std::pair<Impl*, int>>& refs);
  void onEvent(int which, short events);
  // Acknowledgements and resends due; returns the milliseconds until the next, or -1.
  long onTimer(Clock::time_point now);

  bool sendFrame(const std::string* routing, std::string_view frame,
                 std::chrono::milliseconds timeout);
  // A plain push, publish, request or reply link: straight into the socket, on the caller's
  // thread (a reply behind the requester's routing part).
  bool sendDirect(const std::string* routing, std::string_view frame,
                  std::chrono::milliseconds timeout);
  // After a thread other than the I/O thread used a shared socket (under the send lock).
  void afterUse();
  bool sendReliable(const Handle_T<Message>& message, std::chrono::milliseconds timeout);

  Handle_T<Context> context;
  Context::Impl& io;
  const LinkKind kind;
  MessagePort port;
  const LinkOptions options;
  const std::uint64_t id;
  const bool reliable;
  // The socket is its senders' (sendLock), not the I/O thread's: see the top of this file.
  const bool direct;
  // ... and the I/O thread receives on it, under the same lock, woken through its ZMQ_FD.
  const bool shared;
  // ... and so does the consumer of its port while it is awake (a plain pull link).
  const bool feeds;
  decltype(zmq_pollitem_t::fd) fd{};
  bool readyNow = false;  // the I/O thread's: messages waited when it last looked
  std::string openError;

  void* socket = nullptr;
  void* mailboxIn = nullptr;   // the I/O thread's end
  void* mailboxOut = nullptr;  // senders' end, under sendLock (outboxLock when reliable)
  TimedLock sendLock;
  // Whoever receives on a shared socket (the I/O thread, a feeding consumer) holds it from
  // before the send lock until the batch is in the port. Only ever tried, never waited for: a
  // holder releases handed-back messages, whose destructors may wait for the I/O thread or
  // consume this very port.
  TimedLock receiveLock;
  // What the receivers of a shared socket took: -1 the receive lock was taken, 0 the socket
  // had no more, 1 more may wait. `queued` counts the messages that went into the port.
  int takeShared(int limit, int& queued);
  // The consumer's feed (MessageFeeder::feed): true when it queued any.
  bool feedConsumer();
  // Systems that sleep on the socket's ZMQ_FD themselves (MessageFeeder::setWatched): while any
  // does, the I/O thread leaves the descriptor alone, and a sender that used the socket wakes
  // the consumer for what waits, not the I/O thread. Request and reply links only.
  std::atomic<int> watchers{0};
  const bool watchable;
  // A watching system found messages twice without feeding in between (it does not serve the
  // port, or its handler ran past its budget): the I/O thread watches the descriptor again, as
  // for a consumer that is not watching, until the consumer feeds.
  std::atomic<bool> watcherBehind{false};
  std::atomic<std::uint64_t> readyFeeds{~std::uint64_t{0}};  // the feeds at the last such look
  bool watched() const {
    return watchers.load(std::memory_order_acquire) > 0 &&
           !watcherBehind.load(std::memory_order_acquire);
  }
  void setWatched(bool watched);
  // Whether messages wait (the look takes the descriptor's signal, as ZeroMQ asks before a wait).
  bool consumerReady();
  // Messages wait in the socket for a feeding consumer: it left them there (it took a full
  // batch), or the I/O thread woke it for them. It counts its feeds so that the I/O thread can
  // tell whether it still comes.
  std::atomic<bool> consumerBehind{false};
  std::atomic<std::uint64_t> consumerFeeds{0};
  // What this link set as its port's feeder (the I/O thread's; it holds the link: let go at
  // close).
  Handle_T<MessageFeeder> feeder;
  mutable std::mutex boundLock;
  std::string bound;

  // Counters; written by the I/O thread (sent: by senders), read by anyone.
  std::atomic<std::uint64_t> sent{0}, received{0}, truncated{0}, badHeader{0}, unknownClass{0},
      undecodable{0}, duplicates{0}, outOfOrder{0}, resent{0}, acknowledged{0};

 private:
  void forwardMailbox();
  bool sendPending();
  // Takes what the socket holds (up to `limit`); `queueAsItGoes` false leaves the batch for
  // flush(), for a caller that holds the send lock. False when it stopped at the limit.
  bool receive(bool queueAsItGoes = true, int limit = 1024);
  // Pushes the messages taken so far into the port, in one step; the count queued.
  int flush();
  void handle(Part& data, Part* routing);
  // Decodes and adds to the batch for the port; false, with the refusal counted and logged, when
  // the message was refused.
  bool deliver(unsigned int classId, const unsigned char* body, std::size_t size,
               MessageOrigin* origin, Part& data, Part* routing);
  void onSequenced(Part& data, Part* routing);
  void onControl(const unsigned char* data, std::size_t size);
  bool socketTypeRoutes() const {
    return kind == LinkKind::kReply || (kind == LinkKind::kPull && reliable);
  }
  void refuse(std::atomic<std::uint64_t>& counter, const std::string& peer, const char* what,
              const std::string& reason);
  std::string peerOf(Part& data, Part* routing);
  void sendControl(Session& session, wire::Kind kind, std::uint64_t sequence);
  bool resendStep();

 public:
  void resumeSession(const Delivery& last) {
    Handle_T<Session>& entry = _sessions[last.session];
    if (!entry || entry->lastPushed < last.sequence)
      entry = Handle_T<Session>(new Session(last.session, last.sequence));
  }

 private:
  // The I/O thread's.
  std::uint64_t _seenFeeds = 0;  // the consumer's feeds when it last looked
  Clock::time_point _fedAt;      // ... and when they last moved
  bool _takeOver = false;        // the consumer stopped coming: receive for it until it feeds
  bool _retrySoon = false;       // the receive lock was taken: look again shortly
  // The I/O thread's (those of receiving shared links: under receiveLock).
  std::vector<Part*> _pending;  // a message taken from the mailbox that the socket refused
  bool _blocked = false;
  wire::Decoder _decoder;
  // Messages decoded and not yet in the port, with their origins (held here: a peer or session
  // may be forgotten before the batch goes).
  std::vector<Handle_T<Message>> _batch;
  bool _batchHasLarge = false;  // a body over kHandOverLimit: the batch is written into the port
  std::vector<Handle_T<MessageOrigin>> _batchOrigins;
  std::vector<MessageOrigin*> _batchPointers;
  // A shared link's refusals to log ("peer\nreason"), taken under the send lock.
  std::vector<std::string> _deferredLogs;
  std::set<std::string> _logged;  // peer and reason already logged
  std::map<std::string, Handle_T<Peer>> _peers;
  std::map<std::uint64_t, Handle_T<Session>> _sessions;

 public:
  // At-least-once sending: the outbox, under outboxLock.
  std::mutex outboxLock;
  std::condition_variable outboxRoom;
  std::deque<std::pair<std::uint64_t, std::string>> outbox;
  std::uint64_t nextSequence = 1;
  bool closed = false;
  const std::uint64_t session;
  // The I/O thread's: the next sequence number to send again (0: not resending), and when the
  // last acknowledgement came.
  std::uint64_t resendFrom = 0;
  Clock::time_point lastProgress = Clock::now();
  int backoff = 1;
};

Context::Impl::Impl() : _zmq(zmq_ctx_new()) {
  if (!_zmq) throw std::runtime_error(zmqError("zmq_ctx_new"));
  char name[64];
  std::snprintf(name, sizeof name, "inproc://vemo-net-commands-%p", static_cast<void*>(this));
  _commandsIn = zmq_socket(_zmq, ZMQ_PULL);
  _commandsOut = zmq_socket(_zmq, ZMQ_PUSH);
  int zero = 0;
  zmq_setsockopt(_commandsIn, ZMQ_RCVHWM, &zero, sizeof zero);
  zmq_setsockopt(_commandsOut, ZMQ_SNDHWM, &zero, sizeof zero);
  zmq_setsockopt(_commandsOut, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(_commandsIn, ZMQ_LINGER, &zero, sizeof zero);
  if (zmq_bind(_commandsIn, name) != 0 || zmq_connect(_commandsOut, name) != 0)
    throw std::runtime_error(zmqError("the I/O thread's command socket"));
  _zap = zmq_socket(_zmq, ZMQ_REP);
  zmq_setsockopt(_zap, ZMQ_LINGER, &zero, sizeof zero);
  if (zmq_bind(_zap, "inproc://zeromq.zap.01") != 0)
    throw std::runtime_error(zmqError("the ZAP handler"));
  _thread = std::thread([this] { loop(); });
}

Context::Impl::~Impl() {
  run([this] { _stop = true; });
  _thread.join();
  zmq_close(_commandsIn);
  zmq_close(_commandsOut);
  zmq_close(_zap);
  zmq_ctx_term(_zmq);
}

void Context::Impl::run(const std::function<void()>& work) {
  if (std::this_thread::get_id() == _thread.get_id()) {
    work();
    return;
  }
  Command command{&work, {}};
  std::future<void> done = command.done.get_future();
  {
    std::lock_guard<std::mutex> guard(_commandLock);
    _commands.push_back(&command);
    const char wake = 0;
    while (zmq_send(_commandsOut, &wake, sizeof wake, 0) < 0 && zmq_errno() == EINTR) {
    }
  }
  done.get();
}

// A wake-up without a command: the I/O thread looks at its sockets again.
void Context::Impl::poke() {
  const char wake = 0;
  std::lock_guard<std::mutex> guard(_commandLock);
  while (zmq_send(_commandsOut, &wake, sizeof wake, ZMQ_DONTWAIT) < 0 && zmq_errno() == EINTR) {
  }
}

void Context::Impl::runCommands() {
  char wake = 0;
  while (zmq_recv(_commandsIn, &wake, sizeof wake, ZMQ_DONTWAIT) >= 0) {
  }
  std::vector<Command*> commands;
  {
    std::lock_guard<std::mutex> guard(_commandLock);
    commands.swap(_commands);
  }
  for (Command* command : commands) {
    try {
      (*command->work)();
      command->done.set_value();
    } catch (...) {
      command->done.set_exception(std::current_exception());
    }
  }
}

void Context::Impl::loop() {
  std::vector<zmq_pollitem_t> items;
  std::vector<std::pair<Link::Impl*, int>> refs;
  while (!_stop) {
    items.clear();
    refs.clear();
    items.push_back({_commandsIn, 0, ZMQ_POLLIN, 0});
    refs.emplace_back(nullptr, 0);
    items.push_back({_zap, 0, ZMQ_POLLIN, 0});
    refs.emplace_back(nullptr, 0);
    long timeout = -1;
    const Clock::time_point now = Clock::now();
    for (Link::Impl* link : _links) {
      // The timers first: one may start a resend, which changes what the link waits for.
      const long due = link->onTimer(now);
      if (due >= 0 && (timeout < 0 || due < timeout)) timeout = due;
      // A shared socket with messages waiting: no sleep.
      const long look = link->addPollItems(items, refs);
      if (look >= 0 && (timeout < 0 || look < timeout)) timeout = look;
    }
    const int ready = zmq_poll(items.data(), static_cast<int>(items.size()), timeout);
    if (ready < 0) {
      if (zmq_errno() == ETERM) break;
      continue;  // EINTR: poll again, the timers are recomputed
    }
    // The links' events first: a command may remove a link.
    for (std::size_t i = 2; i < items.size(); ++i)
      if (items[i].revents || (refs[i].second == 2 && refs[i].first->readyNow))
        refs[i].first->onEvent(refs[i].second, items[i].revents);
    if (items[1].revents) answerZap(_zap);
    if (items[0].revents) runCommands();
  }
}

Context::Context() : _impl(new Impl()) {}

Context::~Context() {
  delete _impl;
}

Unknown::Handle_T<Context> Context::createInstance() {
  try {
    return Handle_T<Context>(new Context());
  } catch (const std::exception& e) {
    Log::error(L"net: no context: %S", e.what());
    return nullptr;
  }
}

bool makeCurveKeyPair(std::string& publicKey, std::string& secretKey) {
  char publicText[41] = {}, secretText[41] = {};
  if (zmq_curve_keypair(publicText, secretText) != 0) return fail(zmqError("CURVE key pair"));
  publicKey.assign(publicText, 40);
  secretKey.assign(secretText, 40);
  return true;
}

// ---------------------------------------------------------------------------------------------
// A link on the I/O thread.

namespace {
// What a plain pull link's port asks for more: the link's socket, read on the consumer's thread.
// Holds the link's state while a feed runs, also past the link's close (the socket is gone then).
class Feeder final : public MessageFeeder {
 public:
  explicit Feeder(Link::Impl* link) : _link(link) {}
  bool feed() override { return _link->feedConsumer(); }
  std::intptr_t getWaitHandle() override {
    return _link->watchable ? static_cast<std::intptr_t>(_link->fd) : -1;
  }
  void setWatched(bool watched) override { _link->setWatched(watched); }
  bool isReady() override { return _link->consumerReady(); }

 private:
  const Unknown::Handle_T<Link::Impl> _link;
};
}  // namespace

Link::Impl::Impl(Context* context_, LinkKind kind_, const MessagePort& port_,
                 const LinkOptions& options_)
    : context(context_),
      io(context_->impl()),
      kind(kind_),
      port(port_),
      options(options_),
      id(io.newId()),
      reliable(options_.reliable),
      direct(!options_.reliable && kind_ != LinkKind::kSubscribe),
      shared(!options_.reliable && (kind_ == LinkKind::kRequest || kind_ == LinkKind::kReply ||
                                    kind_ == LinkKind::kPull)),
      feeds(!options_.reliable &&
            (kind_ == LinkKind::kPull || kind_ == LinkKind::kRequest || kind_ == LinkKind::kReply)),
      watchable(!options_.reliable && (kind_ == LinkKind::kRequest || kind_ == LinkKind::kReply)),
      session(randomSession()) {}

Link::Impl::~Impl() {
  for (Part* part : _pending)
    delete part;
}

bool Link::Impl::open() {
  int type = 0;
  switch (kind) {
    case LinkKind::kPush:
      type = reliable ? ZMQ_DEALER : ZMQ_PUSH;
      break;
    case LinkKind::kPull:
      type = reliable ? ZMQ_ROUTER : ZMQ_PULL;
      break;
    case LinkKind::kPublish:
      type = ZMQ_PUB;
      break;
    case LinkKind::kSubscribe:
      type = ZMQ_SUB;
      break;
    case LinkKind::kRequest:
      type = ZMQ_DEALER;
      break;
    case LinkKind::kReply:
      type = ZMQ_ROUTER;
      break;
  }
  socket = zmq_socket(io.zmq(), type);
  if (!socket) {
    openError = zmqError("zmq_socket");
    return false;
  }
  const std::int64_t maxSize = options.maxMessageSize;
  const int hwm = options.highWaterMark;
  const int linger = (kind == LinkKind::kPush || kind == LinkKind::kPublish || reliable)
                         ? static_cast<int>(options.linger.count())
                         : 0;
  zmq_setsockopt(socket, ZMQ_MAXMSGSIZE, &maxSize, sizeof maxSize);
  zmq_setsockopt(socket, ZMQ_SNDHWM, &hwm, sizeof hwm);
  zmq_setsockopt(socket, ZMQ_RCVHWM, &hwm, sizeof hwm);
  zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
  if (type == ZMQ_ROUTER) {
    // A router drops what it cannot queue for its peer without a word; mandatory routing makes
    // a full peer's queue make the send wait (and fail in time) like every other link's.
    const int mandatory = 1;
    zmq_setsockopt(socket, ZMQ_ROUTER_MANDATORY, &mandatory, sizeof mandatory);
  }
  if (!applyCurve(socket, options, id, openError)) return false;
  if (shared) {
    std::size_t size = sizeof fd;
    if (zmq_getsockopt(socket, ZMQ_FD, &fd, &size) != 0) {
      openError = zmqError("ZMQ_FD");
      return false;
    }
  }
  if (direct) {
    io.add(this);
    if (feeds) {
      // A port has one feeder: of two pull links into one port, the later one feeds its
      // consumer, and the I/O thread receives for the other (its consumer never comes for it).
      feeder = new Feeder(this);
      port.setFeeder(feeder);
    }
    return true;
  }

  // The mailbox: unbounded for an at-least-once sender, whose outbox bounds it.
  char name[64];
  std::snprintf(name, sizeof name, "inproc://vemo-net-mailbox-%llu-%p",
                static_cast<unsigned long long>(id), static_cast<void*>(this));
  mailboxIn = zmq_socket(io.zmq(), ZMQ_PULL);
  mailboxOut = zmq_socket(io.zmq(), ZMQ_PUSH);
  const int mailboxHwm = reliable ? 0 : hwm;
  const int zero = 0;
  zmq_setsockopt(mailboxIn, ZMQ_RCVHWM, &mailboxHwm, sizeof mailboxHwm);
  zmq_setsockopt(mailboxOut, ZMQ_SNDHWM, &mailboxHwm, sizeof mailboxHwm);
  zmq_setsockopt(mailboxIn, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(mailboxOut, ZMQ_LINGER, &zero, sizeof zero);
  if (zmq_bind(mailboxIn, name) != 0 || zmq_connect(mailboxOut, name) != 0) {
    openError = zmqError("the link's mailbox");
    return false;
  }
  io.add(this);
  return true;
}

void Link::Impl::close() {
  // A consumer in the middle of a feed holds the link until it returns; the socket is gone then.
  if (feeder) {
    port.removeFeeder(feeder);
    feeder = nullptr;
    // A system asleep on the descriptor, which goes with the socket, is woken to let go of it.
    if (watchers.load(std::memory_order_acquire) > 0) port.notifyConsumer();
  }
  // What was handled is acknowledged before the link goes (the socket lingers a moment for it).
  if (kind == LinkKind::kPull && reliable && socket)
    for (auto& entry : _sessions) {
      Session& from = *entry.second;
      if (from.handledUpTo() > from.acked) sendControl(from, wire::kAck, from.handledUpTo());
    }
  // What senders handed over still goes out, as ZeroMQ's linger lets a closed socket's queue
  // go out: for up to a second while the socket takes it.
  if (socket && mailboxIn && kind != LinkKind::kPull && kind != LinkKind::kSubscribe) {
    const Clock::time_point deadline = Clock::now() + options.linger;
    while (Clock::now() < deadline) {
      if (_blocked) {
        zmq_pollitem_t item{socket, 0, ZMQ_POLLOUT, 0};
        zmq_poll(&item, 1, 10);
        if (sendPending()) continue;
      } else {
        zmq_pollitem_t item{mailboxIn, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, 0) <= 0) break;
        forwardMailbox();
      }
    }
  }
  {
    // No sender is inside the mailbox once both locks were had.
    std::lock_guard<TimedLock> send(sendLock);
    std::lock_guard<std::mutex> outboxGuard(outboxLock);
    closed = true;
    for (void** s : {&socket, &mailboxIn, &mailboxOut})
      if (*s) {
        zmq_close(*s);
        *s = nullptr;
      }
  }
  outboxRoom.notify_all();
  closeCurve(id);
}

long Link::Impl::addPollItems(std::vector<zmq_pollitem_t>& items,
                              std::vector<std::pair<Impl*, int>>& refs) {
  if (shared) {
    readyNow = false;
    if (feeds && watched()) {
      // The consumer's system waits on the descriptor and looks at the socket before it sleeps:
      // this thread need not wake for it (the last watcher's leave wakes it).
      _retrySoon = false;
      return -1;
    }
    if (_retrySoon) {
      // Someone else receives right now and queues what it took: a look again in a moment, not
      // at once (the descriptor may stay readable meanwhile, and the two cores are shared).
      _retrySoon = false;
      return 1;
    }
    if (feeds && consumerBehind.load(std::memory_order_acquire)) {
      const Clock::time_point now = Clock::now();
      const std::uint64_t feedsNow = consumerFeeds.load(std::memory_order_relaxed);
      if (feedsNow != _seenFeeds) {
        _seenFeeds = feedsNow;
        _fedAt = now;
      }
      const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(now - _fedAt);
      if (since < kConsumerPatience) {
        // The consumer takes what waits: the socket is left to it, and so is the look at its
        // events (the descriptor's signal, when it comes, is taken in onEvent).
        zmq_pollitem_t item{};
        item.fd = fd;
        item.events = ZMQ_POLLIN;
        items.push_back(item);
        refs.emplace_back(this, 2);
        return static_cast<long>((kConsumerPatience - since).count());
      }
      // It stopped coming (a long handler, or its system no longer serves the port): this
      // thread receives for it.
      consumerBehind.store(false, std::memory_order_relaxed);
      _takeOver = true;
    }
    int events = 0;
    std::size_t size = sizeof events;
    {
      std::lock_guard<TimedLock> guard(sendLock);
      if (!socket || zmq_getsockopt(socket, ZMQ_EVENTS, &events, &size) != 0) events = 0;
    }
    readyNow = (events & ZMQ_POLLIN) != 0;
    zmq_pollitem_t item{};
    item.fd = fd;
    item.events = ZMQ_POLLIN;
    items.push_back(item);
    refs.emplace_back(this, 2);
    return readyNow ? 0 : -1;
  }
  short socketEvents = 0;
  if (kind != LinkKind::kPublish && (kind != LinkKind::kPush || reliable))
    socketEvents |= ZMQ_POLLIN;
  if (_blocked || resendFrom) socketEvents |= ZMQ_POLLOUT;
  if (socketEvents) {
    items.push_back({socket, 0, socketEvents, 0});
    refs.emplace_back(this, 0);
  }
  if (mailboxIn && !_blocked && !resendFrom) {
    items.push_back({mailboxIn, 0, ZMQ_POLLIN, 0});
    refs.emplace_back(this, 1);
  }
  return -1;
}

void Link::Impl::onEvent(int which, short events) {
  if (which == 2) {
    // Woken by the descriptor before this thread learnt that the consumer's system waits on it.
    // If this thread's look at the events took the descriptor's signal, the system may have
    // gone to sleep on it just before: it is woken for what waits.
    if (feeds && watched()) {
      if (readyNow) port.notifyConsumer();
      return;
    }
    // Once the consumer feeds again, it is woken for what comes, as before it stopped coming.
    if (_takeOver && consumerFeeds.load(std::memory_order_relaxed) != _seenFeeds) _takeOver = false;
    if (feeds && !_takeOver) {
      // Whether messages wait (the look also takes the descriptor's signal).
      int socketEvents = 0;
      std::size_t size = sizeof socketEvents;
      {
        std::lock_guard<TimedLock> guard(sendLock);
        if (!socket || zmq_getsockopt(socket, ZMQ_EVENTS, &socketEvents, &size) != 0)
          socketEvents = 0;
      }
      if (!(socketEvents & ZMQ_POLLIN) || consumerBehind.load(std::memory_order_acquire)) return;
      // A consumer that is bound takes them itself once woken; the mark goes first, so that a
      // feed that finds the socket empty meanwhile clears it.
      _seenFeeds = consumerFeeds.load(std::memory_order_relaxed);
      _fedAt = Clock::now();
      consumerBehind.store(true, std::memory_order_release);
      if (port.notifyConsumer()) return;
      consumerBehind.store(false, std::memory_order_relaxed);
    }
    int queued = 0;
    if (takeShared(1024, queued) < 0) _retrySoon = true;
    return;
  }
  if (which == 1) {
    forwardMailbox();
    return;
  }
  if (events & ZMQ_POLLIN) receive();
  if (events & ZMQ_POLLOUT) {
    if (resendFrom) {
      while (resendFrom && resendStep()) {
      }
    } else if (sendPending()) {
      forwardMailbox();
    }
  }
}

// Sends what the socket refused before; true when nothing is left.
bool Link::Impl::sendPending() {
  while (!_pending.empty()) {
    Part* part = _pending.front();
    const bool more = _pending.size() > 1;
    if (zmq_msg_send(&part->msg, socket, ZMQ_DONTWAIT | (more ? ZMQ_SNDMORE : 0)) < 0) {
      if (zmq_errno() == EAGAIN || zmq_errno() == EINTR) return false;
      // Refused for good (a reply to a requester that has gone): the message's other parts go
      // with it, or the next one would be taken for a routing part.
      for (Part* rest : _pending)
        delete rest;
      _pending.clear();
      break;
    }
    delete part;
    _pending.erase(_pending.begin());
  }
  _blocked = false;
  return true;
}

void Link::Impl::forwardMailbox() {
  // A bounded batch, so that one busy link does not starve the others.
  for (int n = 0; n < 4096 && !_blocked; ++n) {
    Part* first = new Part();
    if (zmq_msg_recv(&first->msg, mailboxIn, ZMQ_DONTWAIT) < 0) {
      delete first;
      return;
    }
    _pending.push_back(first);
    while (zmq_msg_more(&_pending.back()->msg)) {
      Part* next = new Part();
      zmq_msg_recv(&next->msg, mailboxIn, 0);
      _pending.push_back(next);
    }
    if (!sendPending()) _blocked = true;
  }
}

std::string Link::Impl::peerOf(Part& data, Part* routing) {
  if (routing) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "peer ";
    for (std::size_t i = 0; i < routing->size(); ++i) {
      text += digits[routing->data()[i] >> 4];
      text += digits[routing->data()[i] & 15];
    }
    return text;
  }
  const char* address = zmq_msg_gets(&data.msg, "Peer-Address");
  return address && *address ? std::string(address) : std::string("a peer");
}

void Link::Impl::refuse(std::atomic<std::uint64_t>& counter, const std::string& peer,
                        const char* what, const std::string& reason) {
  counter.fetch_add(1, std::memory_order_relaxed);
  // Once per peer and reason, and only for so many of them: a flood of peers cannot flood the
  // log or the memory.
  if (_logged.size() >= 1024) return;
  if (!_logged.insert(peer + '\n' + what).second) return;
  if (shared) {
    // Under the send lock: logged once it is let go.
    _deferredLogs.push_back(peer + '\n' + reason);
    return;
  }
  Log::warning(L"net: %S link refused a message from %S: %S (further ones are counted, not logged)",
               kindName(kind), peer, reason);
}

int Link::Impl::takeShared(int limit, int& queued) {
  std::vector<std::string> logs;
  int result = 0;
  {
    std::unique_lock<TimedLock> order(receiveLock, std::try_to_lock);
    if (!order.owns_lock()) return -1;
    {
      std::lock_guard<TimedLock> guard(sendLock);
      if (socket && !receive(false, limit)) result = 1;
    }
    // Into the port once the send lock is let go: the port may hand back messages for this
    // thread to release, and their destructors are the application's code (one may send on
    // this very link). Still under the receive lock: whoever receives next queues after this.
    queued = flush();
    logs.swap(_deferredLogs);
  }
  for (const std::string& entry : logs) {
    const std::size_t split = entry.find('\n');
    Log::warning(
        L"net: %S link refused a message from %S: %S (further ones are counted, not logged)",
        kindName(kind), entry.substr(0, split), entry.substr(split + 1));
  }
  return result;
}

bool Link::Impl::feedConsumer() {
  int queued = 0;
  const int taken = takeShared(256, queued);
  if (taken < 0) return false;  // the I/O thread is queueing a batch; its push wakes the consumer
  consumerFeeds.fetch_add(1, std::memory_order_relaxed);
  if (watcherBehind.load(std::memory_order_relaxed))
    watcherBehind.store(false, std::memory_order_release);
  if (taken > 0) {
    // No signal comes while messages wait, and the I/O thread may wait on the descriptor with
    // no end: it is woken to watch whether the consumer comes back for them.
    // A watching system looks again before it sleeps.
    if (!consumerBehind.exchange(true, std::memory_order_acq_rel) && !watched()) io.poke();
  } else {
    // Empty: the next message signals the descriptor, and the I/O thread wakes this consumer.
    consumerBehind.store(false, std::memory_order_release);
  }
  return queued > 0;
}

int Link::Impl::flush() {
  if (_batch.empty()) return 0;
  _batchPointers.clear();
  for (const Handle_T<MessageOrigin>& origin : _batchOrigins)
    _batchPointers.push_back(origin.get());
  // The null records stand for refused messages of a reliable sender (onSequenced).
  const auto nulls = std::count_if(_batch.begin(), _batch.end(),
                                   [](const Handle_T<Message>& message) { return !message; });
  // Counted before they go in, so that a handler that reads the count sees its own message in
  // it; what the port could not take is taken back.
  const auto messages = static_cast<std::uint64_t>(static_cast<long long>(_batch.size()) - nulls);
  received.fetch_add(messages, std::memory_order_relaxed);
  // Just decoded and held by nothing else: queued as they are, not written and read again. A
  // batch with a large message is written, so that the port's memory bound (then its spill
  // file) holds for it: the port keeps a bounded count of objects, not of their bytes.
  const int count = static_cast<int>(_batch.size());
  const int queued = _batchHasLarge
                         ? port.pushMessages(_batch.data(), _batchPointers.data(), count)
                         : port.handOverMessages(_batch.data(), _batchPointers.data(), count);
  _batchHasLarge = false;
  if (static_cast<std::uint64_t>(queued) < messages)
    received.fetch_sub(messages - static_cast<std::uint64_t>(queued), std::memory_order_relaxed);
  _batch.clear();
  _batchOrigins.clear();
  return queued;
}

bool Link::Impl::receive(bool queueAsItGoes, int limit) {
  // A bounded batch (the poll comes back at once while more wait), pushed into the port a few
  // hundred at a time: one lock and one wake-up of its consumer for each of those.
  struct Flush {
    ~Flush() {
      if (now) impl->flush();
    }
    Impl* impl;
    bool now;
  } flushAtEnd{this, queueAsItGoes};
  for (int n = 0; n < limit; ++n) {
    if (queueAsItGoes && _batch.size() >= 256) flush();
    Part first;
    if (zmq_msg_recv(&first.msg, socket, ZMQ_DONTWAIT) < 0) return true;
    if (socketTypeRoutes()) {
      Part data;
      if (!zmq_msg_more(&first.msg) || zmq_msg_recv(&data.msg, socket, ZMQ_DONTWAIT) < 0) continue;
      bool extra = false;
      while (zmq_msg_more(&data.msg)) {
        Part rest;
        if (zmq_msg_recv(&rest.msg, socket, ZMQ_DONTWAIT) < 0) break;
        extra = true;
      }
      if (extra) {
        refuse(badHeader, peerOf(data, &first), "parts", "it has more than one part");
        continue;
      }
      handle(data, &first);
    } else {
      bool extra = false;
      while (zmq_msg_more(&first.msg)) {
        Part rest;
        if (zmq_msg_recv(&rest.msg, socket, ZMQ_DONTWAIT) < 0) break;
        extra = true;
      }
      if (extra) {
        refuse(badHeader, peerOf(first, nullptr), "parts", "it has more than one part");
        continue;
      }
      handle(first, nullptr);
    }
  }
  return false;
}

void Link::Impl::handle(Part& data, Part* routing) {
  const unsigned char* bytes = data.data();
  const std::size_t size = data.size();
  if (size < 2) {
    refuse(truncated, peerOf(data, routing), "short", "it is shorter than its header");
    return;
  }
  if (bytes[0] != wire::kVersion) {
    refuse(badHeader, peerOf(data, routing), "version",
           "format version " + std::to_string(bytes[0]) + " is not known here");
    return;
  }
  switch (bytes[1]) {
    case wire::kMessage: {
      if (size < wire::kHeader) {
        refuse(truncated, peerOf(data, routing), "short", "it is shorter than its header");
        return;
      }
      MessageOrigin* origin = nullptr;
      if (kind == LinkKind::kReply) {
        // The requester's origin, made once per requester.
        std::string key(reinterpret_cast<const char*>(routing->data()), routing->size());
        auto found = _peers.find(key);
        if (found == _peers.end()) {
          if (_peers.size() >= 4096) _peers.clear();
          found = _peers.emplace(key, Handle_T<Peer>(new Peer(id, key))).first;
        }
        origin = found->second.get();
      }
      deliver(wire::get32(bytes + 2), bytes + wire::kHeader, size - wire::kHeader, origin, data,
              routing);
      return;
    }
    case wire::kSequenced:
      if (kind == LinkKind::kPull && reliable) {
        onSequenced(data, routing);
        return;
      }
      break;
    case wire::kAck:
    case wire::kResend:
      if (kind == LinkKind::kPush && reliable) {
        if (size < wire::kControl) {
          refuse(truncated, peerOf(data, routing), "short", "it is shorter than its header");
          return;
        }
        onControl(bytes, size);
        return;
      }
      break;
    default:
      break;
  }
  refuse(badHeader, peerOf(data, routing), "kind",
         "kind " + std::to_string(bytes[1]) + " does not belong on a " + kindName(kind) + " link");
}

bool Link::Impl::deliver(unsigned int classId, const unsigned char* body, std::size_t size,
                         MessageOrigin* origin, Part& data, Part* routing) {
  Refusal refusal;
  std::string reason;
  Handle_T<Message> message = _decoder.decode(classId, body, size, refusal, reason);
  if (!message) {
    if (refusal == Refusal::kUnknownClass)
      refuse(unknownClass, peerOf(data, routing), "class", reason);
    else
      refuse(undecodable, peerOf(data, routing), "body", reason);
    return false;
  }
  if (size > kHandOverLimit) _batchHasLarge = true;
  _batch.push_back(std::move(message));
  _batchOrigins.emplace_back(origin);
  return true;
}

void Link::Impl::onSequenced(Part& data, Part* routing) {
  const unsigned char* bytes = data.data();
  const std::size_t size = data.size();
  if (size < wire::kSequencedHeader) {
    refuse(truncated, peerOf(data, routing), "short", "it is shorter than its header");
    return;
  }
  const std::uint64_t sessionId = wire::get64(bytes + 6);
  const std::uint64_t sequence = wire::get64(bytes + 14);
  const std::uint64_t oldest = wire::get64(bytes + 22);
  if (sequence == 0 || oldest == 0 || oldest > sequence) {
    refuse(badHeader, peerOf(data, routing), "sequence", "its sequence numbers do not fit");
    return;
  }
  auto found = _sessions.find(sessionId);
  if (found == _sessions.end()) {
    // A sender not seen before: what it no longer holds was handled by whoever was here before.
    if (_sessions.size() >= 4096) {
      // The sessions that have been quiet longest go first.
      auto quietest = _sessions.begin();
      for (auto it = _sessions.begin(); it != _sessions.end(); ++it)
        if (it->second->lastAck < quietest->second->lastAck) quietest = it;
      _sessions.erase(quietest);
    }
    found =
        _sessions.emplace(sessionId, Handle_T<Session>(new Session(sessionId, oldest - 1))).first;
  }
  Session& from = *found->second;
  from.routing.assign(reinterpret_cast<const char*>(routing->data()), routing->size());
  if (oldest > from.lastPushed + 1) {
    // The sender no longer holds what comes before `oldest`: it was acknowledged, by this link
    // or by the one before it, and there is nothing to wait for below it.
    const std::uint64_t skipped = oldest - 1 - from.lastPushed;
    from.base.fetch_add(skipped, std::memory_order_release);
    from.lastPushed = oldest - 1;
    from.acked = std::max(from.acked, from.lastPushed);
  }
  if (sequence <= from.lastPushed) {
    duplicates.fetch_add(1, std::memory_order_relaxed);
    from.ackDue = true;
    return;
  }
  if (sequence != from.lastPushed + 1) {
    outOfOrder.fetch_add(1, std::memory_order_relaxed);
    if (!from.resendAsked) {
      from.resendAsked = true;
      sendControl(from, wire::kResend, from.lastPushed + 1);
    }
    return;
  }
  if (!deliver(wire::get32(bytes + 2), bytes + wire::kSequencedHeader,
               size - wire::kSequencedHeader, &from, data, routing)) {
    // Refused for good: taken as handled, so that the sender does not send it for ever; after
    // those before it, so that no acknowledgement covers a message not handled yet.
    if (_batch.empty() && from.handledUpTo() == from.lastPushed) {
      from.delivered();
    } else {
      _batch.emplace_back();
      _batchOrigins.emplace_back(&from);
    }
  }
  from.lastPushed = sequence;
  from.resendAsked = false;
}

void Link::Impl::sendControl(Session& to, wire::Kind controlKind, std::uint64_t sequence) {
  if (to.routing.empty()) return;
  unsigned char frame[wire::kControl];
  frame[0] = wire::kVersion;
  frame[1] = controlKind;
  wire::put64(frame + 2, to.id);
  wire::put64(frame + 10, sequence);
  // Dropped when the sender's queue is full: it asks again by resending.
  if (zmq_send(socket, to.routing.data(), to.routing.size(), ZMQ_DONTWAIT | ZMQ_SNDMORE) < 0)
    return;
  zmq_send(socket, frame, sizeof frame, ZMQ_DONTWAIT);
}

void Link::Impl::onControl(const unsigned char* bytes, std::size_t) {
  if (wire::get64(bytes + 2) != session) return;  // for an earlier link of the same endpoint
  const std::uint64_t sequence = wire::get64(bytes + 10);
  if (bytes[1] == wire::kAck) {
    std::size_t freed = 0;
    {
      std::lock_guard<std::mutex> guard(outboxLock);
      while (!outbox.empty() && outbox.front().first <= sequence) {
        outbox.pop_front();
        ++freed;
      }
      if (resendFrom && !outbox.empty() && resendFrom < outbox.front().first)
        resendFrom = outbox.front().first;
      if (outbox.empty()) resendFrom = 0;
    }
    if (freed) {
      acknowledged.fetch_add(freed, std::memory_order_relaxed);
      lastProgress = Clock::now();
      backoff = 1;
      outboxRoom.notify_all();
    }
  } else {
    std::lock_guard<std::mutex> guard(outboxLock);
    if (!outbox.empty() && sequence <= outbox.back().first)
      resendFrom = std::max(sequence, outbox.front().first);
  }
}

// Sends the outbox's message `resendFrom` again; false when the socket is full or nothing is
// left to send.
bool Link::Impl::resendStep() {
  std::string frame;
  {
    std::lock_guard<std::mutex> guard(outboxLock);
    if (outbox.empty() || resendFrom > outbox.back().first) {
      resendFrom = 0;
      return false;
    }
    if (resendFrom < outbox.front().first) resendFrom = outbox.front().first;
    frame = outbox[static_cast<std::size_t>(resendFrom - outbox.front().first)].second;
    // The oldest the sender holds now: a puller that has not seen this sender starts there.
    wire::put64(reinterpret_cast<unsigned char*>(&frame[22]), outbox.front().first);
  }
  if (zmq_send(socket, frame.data(), frame.size(), ZMQ_DONTWAIT) < 0) return false;
  resent.fetch_add(1, std::memory_order_relaxed);
  ++resendFrom;
  return true;
}

long Link::Impl::onTimer(Clock::time_point now) {
  long due = -1;
  if (kind == LinkKind::kPull && reliable) {
    for (auto& entry : _sessions) {
      Session& from = *entry.second;
      const std::uint64_t handled = from.handledUpTo();
      if (handled > from.acked || from.ackDue) {
        // At once after a batch of them, else after a short while: few acknowledgements under
        // load, a quick one when traffic stops.
        if (handled - from.acked >= 256 || from.ackDue ||
            now - from.lastAck >= std::chrono::milliseconds(5)) {
          sendControl(from, wire::kAck, handled);
          from.acked = handled;
          from.ackDue = false;
          from.lastAck = now;
        } else {
          due = 5;
        }
      }
      if (from.lastPushed > from.handledUpTo()) due = 5;
    }
  } else if (kind == LinkKind::kPush && reliable) {
    bool waiting;
    {
      std::lock_guard<std::mutex> guard(outboxLock);
      waiting = !outbox.empty();
    }
    if (!waiting) {
      lastProgress = now;
      backoff = 1;
    } else if (!resendFrom) {
      const auto wait = options.resendAfter * backoff;
      if (now - lastProgress >= wait) {
        // No acknowledgement for a while: the puller may have gone, and its successor needs
        // everything not acknowledged.
        std::lock_guard<std::mutex> guard(outboxLock);
        if (!outbox.empty()) resendFrom = outbox.front().first;
        lastProgress = now;
        if (backoff < 8) backoff *= 2;
      } else {
        due = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(wait - (now - lastProgress))
                .count() +
            1);
      }
    }
  }
  return due;
}

bool Link::Impl::sendFrame(const std::string* routing, std::string_view frame,
                           std::chrono::milliseconds timeout) {
  SendDeadline deadline(timeout);
  std::unique_lock<TimedLock> guard(sendLock, std::try_to_lock);
  if (!guard.owns_lock() && !guard.try_lock_until(deadline.get())) return deadline.busy();
  if (!mailboxOut) return fail("the link is closed");
  // The first part decides whether the message goes (a later part is never refused for room).
  const auto sendParts = [&](int flags) {
    const std::string_view first = routing ? std::string_view(*routing) : frame;
    if (zmq_send(mailboxOut, first.data(), first.size(), flags | (routing ? ZMQ_SNDMORE : 0)) < 0)
      return false;
    if (routing)
      while (zmq_send(mailboxOut, frame.data(), frame.size(), 0) < 0)
        if (zmq_errno() != EINTR) return false;
    return true;
  };
  // A first try that does not wait: the common case, with no clock read and no socket option.
  bool sentNow = sendParts(ZMQ_DONTWAIT);
  while (!sentNow && (zmq_errno() == EAGAIN || zmq_errno() == EINTR)) {
    const int wait = deadline.leftMs();
    zmq_setsockopt(mailboxOut, ZMQ_SNDTIMEO, &wait, sizeof wait);
    sentNow = sendParts(0);
    if (!sentNow && zmq_errno() == EAGAIN) return deadline.noRoom();
  }
  if (!sentNow) return fail(zmqError("send"));
  sent.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void Link::Impl::afterUse() {
  if (!shared || !socket) return;
  int events = 0;
  std::size_t size = sizeof events;
  if (zmq_getsockopt(socket, ZMQ_EVENTS, &events, &size) != 0 || !(events & ZMQ_POLLIN)) return;
  // The look took the descriptor's signal: whoever waits on it is woken for what waits.
  if (feeds && watched() && port.notifyConsumer()) return;
  io.poke();
}

void Link::Impl::setWatched(bool watched) {
  if (watched) {
    watchers.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  // The last watcher gone: the I/O thread polls the descriptor again (and looks at the socket
  // first, since the system may have left messages there).
  if (watchers.fetch_sub(1, std::memory_order_acq_rel) == 1) io.poke();
}

bool Link::Impl::consumerReady() {
  int events = 0;
  std::size_t size = sizeof events;
  {
    std::lock_guard<TimedLock> guard(sendLock);
    if (!socket || zmq_getsockopt(socket, ZMQ_EVENTS, &events, &size) != 0) return false;
  }
  if (!(events & ZMQ_POLLIN)) return false;
  const std::uint64_t feedsNow = consumerFeeds.load(std::memory_order_relaxed);
  if (readyFeeds.exchange(feedsNow, std::memory_order_relaxed) != feedsNow) return true;
  // Left there since the last look: the system does not take them, so it sleeps, and the I/O
  // thread takes over the descriptor. Woken every time: this look took the descriptor's signal,
  // which the I/O thread, polling the descriptor too by now, may not have seen.
  watcherBehind.store(true, std::memory_order_release);
  io.poke();
  return false;
}

bool Link::Impl::sendDirect(const std::string* routing, std::string_view frame,
                            std::chrono::milliseconds timeout) {
  SendDeadline deadline(timeout);
  std::unique_lock<TimedLock> guard(sendLock, std::try_to_lock);
  if (!guard.owns_lock() && !guard.try_lock_until(deadline.get())) return deadline.busy();
  struct AfterUse {
    ~AfterUse() {
      if (guard.owns_lock()) impl->afterUse();
    }
    Impl* impl;
    std::unique_lock<TimedLock>& guard;
  } checkAfterUse{this, guard};
  const auto refused = [] {
    if (zmq_errno() == EHOSTUNREACH)
      return fail("the requester is gone: its link closed or its connection dropped");
    return fail(zmqError("send"));
  };
  // A routing part goes with the frame in one call: the frame cannot be refused after it.
  const auto sendParts = [&](int flags) {
    if (routing && zmq_send(socket, routing->data(), routing->size(), flags | ZMQ_SNDMORE) < 0)
      return false;
    return zmq_send(socket, frame.data(), frame.size(), flags) >= 0;
  };
  for (;;) {
    if (!socket) return fail("the link is closed");
    if (sendParts(ZMQ_DONTWAIT)) break;
    if (zmq_errno() == EINTR) continue;
    if (zmq_errno() != EAGAIN) return refused();
    // No room: wait for it in short slices, letting go of the lock between them, so that a
    // connect or a bind from another thread (which may be what brings the room) is not held up
    // for the whole time-out.
    const int left = deadline.leftMs();
    if (left <= 0) return deadline.noRoom();
    const int slice = std::min(left, 10);
    zmq_setsockopt(socket, ZMQ_SNDTIMEO, &slice, sizeof slice);
    if (sendParts(0)) break;
    if (zmq_errno() != EAGAIN && zmq_errno() != EINTR) return refused();
    this->afterUse();
    guard.unlock();
    std::this_thread::yield();
    if (!guard.try_lock_until(deadline.get())) return deadline.busy();
  }
  sent.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool Link::Impl::sendReliable(const Handle_T<Message>& message, std::chrono::milliseconds timeout) {
  Encoder& encoder = threadEncoder();
  const std::string_view frame = encoder.encode(*message, wire::kSequenced);
  unsigned char* head = encoder.output->data();  // the sequenced fields are filled in below
  wire::put64(head + 6, session);
  std::unique_lock<std::mutex> guard(outboxLock);
  const int limit = options.outboxLimit > 0 ? options.outboxLimit : 1;
  if (!outboxRoom.wait_for(guard, timeout, [&] {
        return closed || outbox.size() < static_cast<std::size_t>(limit);
      }))
    return fail("send timed out after " + std::to_string(timeout.count()) +
                " ms: the outbox holds " + std::to_string(limit) +
                " messages that no puller has acknowledged");
  if (closed || !mailboxOut) return fail("the link is closed");
  const std::uint64_t sequence = nextSequence;
  wire::put64(head + 14, sequence);
  wire::put64(head + 22, outbox.empty() ? sequence : outbox.front().first);
  // Never waits: the mailbox of an at-least-once link has no limit (the outbox is its limit).
  if (zmq_send(mailboxOut, frame.data(), frame.size(), ZMQ_DONTWAIT) < 0)
    return fail(zmqError("send"));
  ++nextSequence;
  outbox.emplace_back(sequence, std::string(frame));
  sent.fetch_add(1, std::memory_order_relaxed);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The public face.

Link::Link(LinkKind kind) : _kind(kind) {}

Link::~Link() {
  if (_impl) {
    Impl* impl = _impl;
    if (impl->reliable && _kind == LinkKind::kPush) {
      // What is not acknowledged yet has the linger time to be.
      std::unique_lock<std::mutex> guard(impl->outboxLock);
      impl->outboxRoom.wait_for(guard, impl->options.linger,
                                [impl] { return impl->outbox.empty(); });
    }
    impl->io.run([impl] {
      impl->io.remove(impl);
      impl->close();
    });
  }
}

Unknown::Handle_T<Link> Link::createInstance(Context* context, LinkKind kind,
                                             const MessagePort& port, const LinkOptions& options) {
  if (!context) {
    Log::error(L"net: a link needs a context");
    return nullptr;
  }
  if (options.reliable && kind != LinkKind::kPush && kind != LinkKind::kPull) {
    Log::error(L"net: at-least-once delivery is for push and pull links, not a %S link",
               kindName(kind));
    return nullptr;
  }
  Handle_T<Link> link(new Link(kind));
  Impl* impl = new Impl(context, kind, port, options);
  link->_hold = impl;
  bool opened = false;
  context->impl().run([&] { opened = impl->open(); });
  if (!opened) {
    Log::error(L"net: no %S link: %S", kindName(kind), impl->openError);
    context->impl().run([impl] { impl->close(); });
    return nullptr;
  }
  link->_impl = impl;
  return link;
}

namespace {
bool runEndpoint(Link::Impl& impl, const std::string& endpoint, int (*call)(void*, const char*),
                 const char* what, bool binding) {
  std::string error;
  std::string last;
  const auto work = [&] {
    const bool ipc = binding && endpoint.compare(0, 6, "ipc://") == 0;
    int result;
    if (ipc) {
      // Made with no access for others from the start, then given the link's mode.
      const FileCreationMask restricted;
      result = call(impl.socket, endpoint.c_str());
    } else {
      result = call(impl.socket, endpoint.c_str());
    }
    if (result != 0) {
      error = zmqError(what);
      return;
    }
    if (binding) {
      char buffer[1024];
      std::size_t size = sizeof buffer;
      if (zmq_getsockopt(impl.socket, ZMQ_LAST_ENDPOINT, buffer, &size) == 0) last = buffer;
      if (ipc && !setFileMode(endpoint.substr(6), impl.options.ipcMode))
        error = "cannot set the mode of " + endpoint.substr(6);
    }
  };
  if (impl.direct) {
    // The socket is its senders': used under their lock, on this thread.
    std::lock_guard<TimedLock> guard(impl.sendLock);
    if (impl.socket) {
      work();
      impl.afterUse();
    } else {
      error = "the link is closed";
    }
  } else {
    impl.io.run(work);
  }
  if (!error.empty()) {
    Log::warning(L"net: %S %S: %S", what, endpoint, error);
    return fail(endpoint + ": " + error);
  }
  if (binding) {
    std::lock_guard<std::mutex> guard(impl.boundLock);
    impl.bound = last;
  }
  return true;
}
}  // namespace

bool Link::bind(const std::string& endpoint) {
  return runEndpoint(*_impl, endpoint, zmq_bind, "bind", true);
}
bool Link::connect(const std::string& endpoint) {
  return runEndpoint(*_impl, endpoint, zmq_connect, "connect", false);
}
bool Link::unbind(const std::string& endpoint) {
  return runEndpoint(*_impl, endpoint, zmq_unbind, "unbind", false);
}
bool Link::disconnect(const std::string& endpoint) {
  return runEndpoint(*_impl, endpoint, zmq_disconnect, "disconnect", false);
}

std::string Link::getBoundEndpoint() const {
  std::lock_guard<std::mutex> guard(_impl->boundLock);
  return _impl->bound;
}

bool Link::send(const Handle_T<Message>& message, std::chrono::milliseconds timeout) {
  if (_kind != LinkKind::kPush && _kind != LinkKind::kPublish && _kind != LinkKind::kRequest)
    return fail(std::string("a ") + kindName(_kind) + " link does not send");
  if (!message) return fail("a null message is not sent");
  try {
    if (_impl->reliable) return _impl->sendReliable(message, timeout);
    const std::string_view frame = threadEncoder().encode(*message, wire::kMessage);
    if (_impl->direct) return _impl->sendDirect(nullptr, frame, timeout);
    return _impl->sendFrame(nullptr, frame, timeout);
  } catch (const Exception& e) {
    return fail(std::string("the message does not encode: ") + e.what());
  }
}

bool Link::reply(const Handle_T<Message>& message, std::chrono::milliseconds timeout) {
  return replyTo(MessagePort::getCurrentOrigin(), message, timeout);
}

bool Link::replyTo(MessageOrigin* request, const Handle_T<Message>& message,
                   std::chrono::milliseconds timeout) {
  if (_kind != LinkKind::kReply)
    return fail(std::string("a ") + kindName(_kind) + " link does not reply");
  const Peer* peer = dynamic_cast<const Peer*>(request);
  if (!peer || peer->link != _impl->id) return fail("not a request that came through this link");
  if (!message) return fail("a null message is not sent");
  try {
    const std::string_view frame = threadEncoder().encode(*message, wire::kMessage);
    if (_impl->direct) return _impl->sendDirect(&peer->routing, frame, timeout);
    return _impl->sendFrame(&peer->routing, frame, timeout);
  } catch (const Exception& e) {
    return fail(std::string("the message does not encode: ") + e.what());
  }
}

namespace {
std::string subscription(unsigned int classId) {
  unsigned char prefix[wire::kHeader] = {wire::kVersion, wire::kMessage};
  wire::put32(prefix + 2, classId);
  return std::string(reinterpret_cast<const char*>(prefix), classId ? wire::kHeader : 2);
}
}  // namespace

bool Link::subscribe(unsigned int classId) {
  if (_kind != LinkKind::kSubscribe) return fail("only a subscribe link subscribes");
  const std::string prefix = subscription(classId);
  Impl* impl = _impl;
  impl->io.run([&] { zmq_setsockopt(impl->socket, ZMQ_SUBSCRIBE, prefix.data(), prefix.size()); });
  return true;
}

bool Link::unsubscribe(unsigned int classId) {
  if (_kind != LinkKind::kSubscribe) return fail("only a subscribe link subscribes");
  const std::string prefix = subscription(classId);
  Impl* impl = _impl;
  impl->io.run(
      [&] { zmq_setsockopt(impl->socket, ZMQ_UNSUBSCRIBE, prefix.data(), prefix.size()); });
  return true;
}

Delivery Link::getCurrentDelivery() {
  const Session* from = dynamic_cast<const Session*>(MessagePort::getCurrentOrigin());
  if (!from) return Delivery();
  return Delivery{from->id, from->handledUpTo() + 1};
}

void Link::resume(const Delivery& lastHandled) {
  if (!_impl->reliable || _kind != LinkKind::kPull || !lastHandled.session) return;
  Impl* impl = _impl;
  impl->io.run([&] { impl->resumeSession(lastHandled); });
}

LinkStats Link::getStats() const {
  const Impl& impl = *_impl;
  LinkStats stats;
  stats.sent = impl.sent.load();
  stats.received = impl.received.load();
  stats.truncated = impl.truncated.load();
  stats.badHeader = impl.badHeader.load();
  stats.unknownClass = impl.unknownClass.load();
  stats.undecodable = impl.undecodable.load();
  stats.duplicates = impl.duplicates.load();
  stats.outOfOrder = impl.outOfOrder.load();
  stats.resent = impl.resent.load();
  stats.acknowledged = impl.acknowledged.load();
  return stats;
}

const std::string& Link::getLastError() {
  return t_lastError;
}

}  // namespace net
}  // namespace vemo
