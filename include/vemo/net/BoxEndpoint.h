/// \file
/// Application boxes over the network: a running box answers commands that arrive on a ZeroMQ
/// endpoint, and callBox (the vemo-ctl tool) sends it one.
///
/// \code
///   // the program that runs the box (a service host, say)
///   vemo::Handle<vemo::App> app = vemo::startApp(L"Counter", L"counter", L"");
///   auto context = vemo::net::Context::createInstance();
///   auto control = vemo::net::BoxEndpoint::createInstance(
///       context, app, vemo::net::BoxEndpoint::defaultEndpoint(L"counter"));
///   ...
///   control = nullptr;      // before the box ends
///   vemo::exitApp(app);
/// \endcode
///
/// \code
///   // anywhere else (or: vemo-ctl ipc:///run/counter/counter.ctl add 1)
///   vemo::AppReply reply = vemo::net::callBox(context, "ipc:///run/counter/counter.ctl",
///                                             {L"add", L"1"}, std::chrono::seconds(5));
/// \endcode
///
/// An endpoint serves one command at a time, on a thread of its own, through a connection of its
/// own to the box (App::call): the box sees a "$COMMAND " line with the words quoted as needed, as
/// if it had been written into one of its pipes. The reply carries the outcome and the lines the
/// command wrote between "$BEGIN" and "$END". The endpoint waits for the box at most as long as
/// the caller said it would wait (and never more than ten minutes), so a box that hangs holds up
/// the commands behind it no longer than that.
///
/// On the wire a command and its reply are two messages of this library over a request/reply
/// link (Net.h), so the link's limits and its CURVE options apply: give the same LinkOptions to
/// both sides to encrypt and authenticate a box reached over tcp://. An ipc:// endpoint's socket
/// file is made with mode 0600 (LinkOptions::ipcMode): only the box's own user can reach it.
///
/// Destroy the endpoint before the box ends, and not from the box's own thread (it waits for the
/// command being served, which waits for the box).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "vemo/core/AppBox.h"
#include "vemo/core/String.h"
#include "vemo/core/Unknown.h"
#include "vemo/net/Net.h"
#include "vemo/net/NetExport.h"

namespace vemo {
namespace net {

/// A running box served on a ZeroMQ endpoint (see the top of BoxEndpoint.h).
class VEMO_NET_API BoxEndpoint : public virtual Unknown {
 public:
  /// Binds `endpoint` and serves the box that `app` connects to. Null, after logging why, when
  /// the link cannot be made or bound, or the serving thread does not start.
  static Handle_T<BoxEndpoint> createInstance(Context* context, App* app,
                                              const std::string& endpoint,
                                              const LinkOptions& options = LinkOptions());
  /// Stops serving: waits for the command being served, closes the link and removes an ipc://
  /// socket file while it is still the socket bound (ZeroMQ leaves it behind).
  ~BoxEndpoint() override;

  /// The endpoint bound, with a wildcard tcp port resolved.
  std::string getEndpoint() const;

  /// Where a program called `name` exposes its box unless told otherwise:
  /// "ipc://<directory>/<name>.ctl" in the first directory set of $RUNTIME_DIRECTORY (what a
  /// systemd service with RuntimeDirectory= gets; the first of a list of them), $XDG_RUNTIME_DIR
  /// and the temporary directory. Characters of `name` other than letters, digits, '-', '_' and
  /// '.' become '_'.
  static std::string defaultEndpoint(const String& name);

  /// The serving state (internal).
  class Impl;

 private:
  BoxEndpoint();
  Impl* _impl = nullptr;    // owned through _hold
  Handle_T<Unknown> _hold;  // shared with the serving thread while it runs
};

/// Sends one command (its words, the command's name first) to the box behind `endpoint` and
/// waits at most `timeout` for its reply. The outcome is kTimedOut when no box answered in time
/// (nothing listens there, or the box is busy), kClosed when the box ended before it answered;
/// the others are the box's own (AppBox.h). `options` are those of the requesting link (CURVE).
VEMO_NET_API AppReply callBox(Context* context, const std::string& endpoint,
                              const std::vector<String>& words, std::chrono::milliseconds timeout,
                              const LinkOptions& options = LinkOptions());

}  // namespace net
}  // namespace vemo
