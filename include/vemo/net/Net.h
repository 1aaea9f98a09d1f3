/// \file
/// vemo_net: message ports linked across processes and machines over ZeroMQ.
///
/// A Link joins a local MessagePort to ZeroMQ endpoints ("tcp://host:port", "ipc:///path",
/// "inproc://name") in one of the usual patterns:
///
/// \code
/// kPush / kPull            pipeline: a pusher hands each message to one of the connected
///                          pullers in turn; a puller's messages go into its port.
/// kPublish / kSubscribe    a subscriber's port receives the classes it subscribed to; the
///                          filtering is ZeroMQ's, by the class id at the head of each message,
///                          so other classes never reach the subscribing process.
/// kRequest / kReply        a requester sends, the replier's handler answers with reply(), and
///                          the answer goes into the requester's port.
///
/// vemo::Handle_T<vemo::net::Context> context = vemo::net::Context::createInstance();
/// vemo::MessagePort inbox;                       // handlers as usual; bind it to a system
/// auto pull = vemo::net::Link::createInstance(context, vemo::net::LinkKind::kPull, inbox);
/// pull->bind("tcp://127.0.0.1:5555");
/// ...
/// auto push = vemo::net::Link::createInstance(context, vemo::net::LinkKind::kPush);
/// push->connect("tcp://127.0.0.1:5555");
/// push->send(chat);                              // any thread
/// \endcode
///
/// Messages arrive exactly as local ones: they are pushed into the port (waking the system it is
/// bound to) and dispatched there by class id. Each context runs one I/O thread that receives
/// for its links and owns the sockets of at-least-once links; the other links' sockets are also
/// used by the threads that send, one at a time under the link's send lock (ZeroMQ allows a
/// socket to pass between threads that way), so send() from any thread writes straight to the
/// socket without a hand-over. A plain pull link becomes its port's feeder
/// (MessagePort::setFeeder): the port's consumer, when it finds the queue empty, takes what the
/// socket holds and decodes it on its own thread, and the I/O thread only wakes a consumer that
/// sleeps (or, after 5 ms without it, receives for it). Request and reply links feed their
/// ports the same way, and a system that serves such a port with idle wait sleeps on the
/// link's socket itself (MessageFeeder::getWaitHandle): an answer or a request wakes it without
/// the I/O thread, which receives for the port only while no such system waits (one that lets
/// messages lie, or none bound). A port has one feeder: of several links into one port, the last
/// made feeds it, and the I/O thread receives for the others.
///
/// Wire format: one ZeroMQ message per library message, a header and the body that the
/// message's exportTo writes (the library's stream encoding):
///
/// \code
/// byte 0      format version, 1
/// byte 1      kind: 0 a message, 1 a sequenced message (at-least-once), 2 an acknowledgement,
///             3 a request to resend
/// bytes 2-5   the class id, little-endian (kinds 0 and 1)
/// kind 1:     then the sender's session (8 bytes), the message's sequence number (8 bytes) and
///             the oldest sequence number the sender still holds (8 bytes), then the body
/// kinds 2, 3: the session (8 bytes) and a sequence number (8 bytes), nothing else
/// \endcode
///
/// Received messages that are not well formed (a short header, another version or kind, a class
/// id that is not registered here, a body that does not decode or leaves bytes over) are
/// counted by reason, logged once per peer and reason, and dropped; the link goes on serving.
/// A message larger than the link's maximum (ZMQ_MAXMSGSIZE, 16 MiB unless set) makes ZeroMQ
/// drop the connection of the peer that sent it.
///
/// A plain link delivers at most once: what is in a pipe to a peer that dies is lost, and so is
/// what a destroyed sending link could not send within its linger time (LinkOptions::linger).
///
/// At-least-once (LinkOptions::reliable, for kPush and kPull): the pusher numbers its messages
/// and keeps each in a bounded outbox until the puller acknowledges it; the puller acknowledges a
/// message once its handler has run (or it left the port otherwise), so messages in a puller that
/// dies are sent again to its successor, and drops those it has already taken, so that each is
/// handled once and in order per sender. When the outbox is full, send() waits up to its time-out
/// and then fails. What is lost: the messages in a sender's outbox when the sender itself dies,
/// and a puller that dies after handling a message but before its acknowledgement left will see
/// that message again from its successor unless the successor is told where the last one stopped
/// (resume()). A reliable pusher talks to one puller at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "vemo/core/Message.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/Unknown.h"
#include "vemo/net/NetExport.h"

namespace vemo {
namespace net {

/// The I/O thread and the ZeroMQ context of a group of links. Lives while a link or a handle
/// holds it.
class VEMO_NET_API Context : public virtual Unknown {
 public:
  /// A new context with its I/O thread.
  static Handle_T<Context> createInstance();
  ~Context() override;

  class Impl;
  /// The library's own state of the context.
  Impl& impl() { return *_impl; }

 private:
  Context();
  Impl* _impl = nullptr;
};

/// The ZeroMQ pattern of a link: pipeline (push, pull), publish/subscribe, request/reply.
enum class LinkKind { kPush, kPull, kPublish, kSubscribe, kRequest, kReply };

/// The settings of a link, fixed when it is made.
struct LinkOptions {
  /// Larger incoming messages drop the sender's connection (ZMQ_MAXMSGSIZE); -1: no limit.
  std::int64_t maxMessageSize = 16 * 1024 * 1024;
  /// Messages queued towards the network per link (ZeroMQ's high-water marks and the hand-over to
  /// the I/O thread); send() waits when they are full.
  int highWaterMark = 1000;
  /// At-least-once delivery (kPush and kPull only).
  bool reliable = false;
  /// A reliable sender's outbox: messages sent and not yet acknowledged.
  int outboxLimit = 10000;
  /// How long a reliable sender waits for an acknowledgement before it sends its outbox again.
  std::chrono::milliseconds resendAfter{250};
  /// How long a sending link that is destroyed goes on sending what it holds (ZeroMQ's linger;
  /// at-least-once: waiting for the acknowledgements of its outbox) before it drops the rest.
  std::chrono::milliseconds linger{1000};
  /// Mode of the socket file of an ipc:// endpoint the link binds.
  int ipcMode = 0600;
  /// CURVE: a server's secret key (40 characters, Z85) makes the link a CURVE server; with
  /// allowedClients not empty, only those public keys (Z85) may connect. A client sets its own
  /// key pair and the server's public key.
  std::string curveSecretKey;
  std::vector<std::string> allowedClients;  ///< a CURVE server's clients; empty: any client
  std::string curveServerKey;               ///< a CURVE client: the server's public key
  std::string curvePublicKey;               ///< a CURVE client: its own public key
};

/// Counts of a link, since it was made.
struct LinkStats {
  std::uint64_t sent = 0;          ///< messages handed to ZeroMQ (first sends)
  std::uint64_t received = 0;      ///< messages pushed into the port
  std::uint64_t truncated = 0;     ///< shorter than their header
  std::uint64_t badHeader = 0;     ///< another format version or kind
  std::uint64_t unknownClass = 0;  ///< a class id not registered here
  std::uint64_t undecodable = 0;   ///< a body that failed to decode, or left bytes over
  std::uint64_t duplicates = 0;    ///< at-least-once: taken already, dropped
  std::uint64_t outOfOrder = 0;    ///< at-least-once: a gap before it, dropped until resent
  std::uint64_t resent = 0;        ///< at-least-once: messages sent again
  std::uint64_t acknowledged = 0;  ///< at-least-once: messages acknowledged to this sender
};

/// Where a reliable puller's current message stands in its sender's sequence: what to keep with
/// the message's effect, to resume() a successor after a crash.
struct Delivery {
  std::uint64_t session = 0;   ///< the sender's session; 0 for none
  std::uint64_t sequence = 0;  ///< the message's place in that session
};

/// One ZeroMQ socket that sends messages or pushes those it receives into a MessagePort.
class VEMO_NET_API Link : public virtual Unknown {
 public:
  /// A link of the context; receiving kinds (kPull, kSubscribe, kRequest, kReply) push what
  /// they receive into `port` (a copy that shares its queue). Null, after logging why, when the
  /// options do not fit the kind or ZeroMQ refuses the socket.
  static Handle_T<Link> createInstance(Context* context, LinkKind kind,
                                       const MessagePort& port = MessagePort(),
                                       const LinkOptions& options = LinkOptions());
  ~Link() override;

  /// Endpoints; false, after logging ZeroMQ's reason, when it refuses. Any thread.
  ///@{
  bool bind(const std::string& endpoint);
  bool connect(const std::string& endpoint);
  bool unbind(const std::string& endpoint);
  bool disconnect(const std::string& endpoint);
  ///@}
  /// The endpoint the link last bound, with a wildcard port resolved ("tcp://127.0.0.1:*").
  std::string getBoundEndpoint() const;

  /// Sends a message (kPush, kPublish, kRequest), waiting up to `timeout` for room. False when it
  /// could not be sent: getLastError() on the same thread says why.
  bool send(const Handle_T<Message>& message,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  /// kReply: answers the message whose handler runs now on this thread; replyTo answers the
  /// origin of a request kept from such a handler (MessagePort::getCurrentOrigin()).
  ///@{
  bool reply(const Handle_T<Message>& message,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  bool replyTo(MessageOrigin* request, const Handle_T<Message>& message,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  ///@}

  /// kSubscribe: the classes to receive (by class id); 0 subscribes to every class.
  ///@{
  bool subscribe(unsigned int classId);
  bool unsubscribe(unsigned int classId);
  template <class M>
  bool subscribe() {
    return subscribe(M::getClassId_());
  }
  ///@}

  /// A reliable kPull: the delivery whose handler runs now on this thread (session 0 outside
  /// one), and, for a successor, the last delivery its predecessor handled of a session.
  ///@{
  static Delivery getCurrentDelivery();
  void resume(const Delivery& lastHandled);
  ///@}

  /// The link's counts so far.
  LinkStats getStats() const;
  /// The kind the link was made with.
  LinkKind getKind() const { return _kind; }
  /// Why the last failed call of this thread failed.
  static const std::string& getLastError();

  class Impl;

 private:
  explicit Link(LinkKind kind);
  LinkKind _kind;
  Impl* _impl = nullptr;    // owned through _hold
  Handle_T<Unknown> _hold;  // shared with the I/O thread and the origins of its messages
};

/// A new CURVE key pair, each key 40 characters of Z85 (LinkOptions' form). False when libzmq
/// has no CURVE; getLastError() says so.
VEMO_NET_API bool makeCurveKeyPair(std::string& publicKey, std::string& secretKey);

}  // namespace net
}  // namespace vemo
