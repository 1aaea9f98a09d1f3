// Application boxes served on a ZeroMQ endpoint, and the call that reaches them.
#include "vemo/net/BoxEndpoint.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "BoxPlatform.h"
#include "vemo/core/Log.h"
#include "vemo/core/Message.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/System.h"
#include "vemo/core/Thread.h"
#include "vemo/core/Tick.h"

namespace vemo {
namespace net {

// The two messages of the exchange. A class id comes from the class's short name, so these
// names carry the library's prefix, away from an application's own message classes.

// A command for a box: its words (the command's name first) and how long the caller waits.
class VemoBoxCommand : public Message {
  VEMO_DECLARE_PROPERTY(VemoBoxCommand, Message)
  VEMO_MESSAGE_FIELDS(words, timeout)

 public:
  std::vector<String> words;
  unsigned int timeout = 0;

 protected:
  VemoBoxCommand() = default;
};
VEMO_IMPLEMENT_PROPERTY(VemoBoxCommand)

// The box's answer: an AppReply::Outcome and the lines the command wrote.
class VemoBoxAnswer : public Message {
  VEMO_DECLARE_PROPERTY(VemoBoxAnswer, Message)
  VEMO_MESSAGE_FIELDS(outcome, lines)

 public:
  int outcome = 0;
  std::vector<String> lines;

 protected:
  VemoBoxAnswer() = default;
};
VEMO_IMPLEMENT_PROPERTY(VemoBoxAnswer)

namespace {

// The longest an endpoint waits for its box on one command, whatever the caller asked for.
constexpr unsigned int kLongestCall = 10 * 60 * 1000;

unsigned int milliseconds(std::chrono::milliseconds timeout) {
  if (timeout.count() <= 0) return 0;
  if (timeout.count() >= 0xFFFFFFFEll) return 0xFFFFFFFEu;
  return static_cast<unsigned int>(timeout.count());
}

bool validOutcome(int outcome) {
  return outcome >= static_cast<int>(AppReply::Outcome::kOk) &&
         outcome <= static_cast<int>(AppReply::Outcome::kTimedOut);
}

}  // namespace

// The endpoint's system: it serves the reply link's port on a thread of its own and runs each
// command through its own connection to the box.
class BoxEndpoint::Impl : public System {
 public:
  explicit Impl(App* app) : _box(App::createInstance(app->getThread(), app->getAppBox())) {
    _port.getMessageDispenser().addMessageHandler<VemoBoxCommand>(
        [this](VemoBoxCommand& command) { serve(command); });
  }

  bool open(Context* context, const std::string& endpoint, const LinkOptions& options) {
    _link = Link::createInstance(context, LinkKind::kReply, _port, options);
    if (!_link) return false;
    if (!_link->bind(endpoint)) {
      _link = nullptr;
      return false;
    }
    _endpoint = _link->getBoundEndpoint();
    if (_endpoint.compare(0, 6, "ipc://") == 0) _socket = noteSocketFile(_endpoint.substr(6));
    _thread = Thread::createInstance();
    if (!_thread->start(this)) {
      Log::error(L"BoxEndpoint: the thread serving %S did not start", endpoint.c_str());
      _link = nullptr;
      removeSocketFile(_socket);
      return false;
    }
    return true;
  }

  void close() {
    // The command being served is answered before the thread ends, and its reply goes out
    // while the link lingers.
    if (_thread) _thread->shutdown();
    _link = nullptr;
    _thread = nullptr;
    removeSocketFile(_socket);
  }

  bool init() override {
    if (!System::init()) return false;
    return _port.serveOn(this, std::chrono::milliseconds(50));
  }

  const std::string& endpoint() const { return _endpoint; }

 private:
  void serve(const VemoBoxCommand& command) {
    Handle_T<VemoBoxAnswer> answer = VemoBoxAnswer::createInstance();
    AppReply reply;
    if (command.words.empty() || command.words[0].isEmpty()) {
      reply.outcome = AppReply::Outcome::kNotACommand;
    } else {
      reply = _box->call(command.words, std::min(command.timeout, kLongestCall));
    }
    answer->outcome = static_cast<int>(reply.outcome);
    answer->lines = std::move(reply.lines);
    if (!_link->reply(answer))
      Log::warning(L"BoxEndpoint %S: the reply was not sent: %S", _endpoint.c_str(),
                   Link::getLastError().c_str());
  }

  Handle_T<App> _box;
  MessagePort _port;
  Handle_T<Link> _link;
  Handle_T<Thread> _thread;
  std::string _endpoint;
  SocketFile _socket;
};

BoxEndpoint::BoxEndpoint() = default;

BoxEndpoint::~BoxEndpoint() {
  if (_impl) _impl->close();
}

Unknown::Handle_T<BoxEndpoint> BoxEndpoint::createInstance(Context* context, App* app,
                                                           const std::string& endpoint,
                                                           const LinkOptions& options) {
  if (!context || !app || !app->getAppBox() || !app->getThread()) {
    Log::error(L"BoxEndpoint: no context or no running box for %S", endpoint.c_str());
    return Handle_T<BoxEndpoint>();
  }
  Handle_T<BoxEndpoint> result(new BoxEndpoint());
  Handle_T<Impl> impl(new Impl(app));
  if (!impl->open(context, endpoint, options)) return Handle_T<BoxEndpoint>();
  result->_impl = impl.get();
  result->_hold = impl;
  return result;
}

std::string BoxEndpoint::getEndpoint() const {
  return _impl ? _impl->endpoint() : std::string();
}

std::string BoxEndpoint::defaultEndpoint(const String& name) {
  std::string directory;
  if (const char* runtime = std::getenv("RUNTIME_DIRECTORY")) {
    // systemd lists several directories separated by ':'.
    directory = runtime;
    directory = directory.substr(0, directory.find(':'));
  }
  if (directory.empty())
    if (const char* user = std::getenv("XDG_RUNTIME_DIR")) directory = user;
  if (directory.empty()) {
    std::error_code error;
    directory = std::filesystem::temp_directory_path(error).generic_string();
    if (error || directory.empty()) directory = ".";
  }
  while (directory.size() > 1 && directory.back() == '/')
    directory.pop_back();
  std::string file;
  for (const char ch :
       std::string(String_T<char>(std::wstring_view(name.getBuffer())).getBuffer())) {
    const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                       (ch >= '0' && ch <= '9') || ch == '-' || ch == '_' || ch == '.';
    file += plain ? ch : '_';
  }
  if (file.empty()) file = "box";
  return "ipc://" + directory + "/" + file + ".ctl";
}

namespace {

// Runs on the calling thread until the answer came or the time is up.
class BoxCall : public System {
 public:
  BoxCall(Context* context, const std::string& endpoint, const std::vector<String>& words,
          unsigned int ms, const LinkOptions& options)
      : _endpoint(endpoint), _ms(ms) {
    _command = VemoBoxCommand::createInstance();
    _command->words = words;
    _command->timeout = ms;
    _port.getMessageDispenser().addMessageHandler<VemoBoxAnswer>([this](VemoBoxAnswer& answer) {
      if (_answered) return;
      _answered = true;
      _reply.outcome = validOutcome(answer.outcome) ? static_cast<AppReply::Outcome>(answer.outcome)
                                                    : AppReply::Outcome::kFailed;
      _reply.lines = std::move(answer.lines);
      shutdown();
    });
    LinkOptions own = options;
    own.linger = std::chrono::milliseconds(0);  // nothing is left to send once we stop waiting
    _link = Link::createInstance(context, LinkKind::kRequest, _port, own);
  }
  ~BoxCall() override { _link = nullptr; }

  AppReply callOnce(bool& sent) {
    sent = false;
    if (!_link || !_link->connect(_endpoint)) return _reply;
    _deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(_ms);
    if (!load()) return _reply;
    start();
    sent = _sent;
    return _reply;
  }

  bool init() override {
    if (!System::init() || !_port.serveOn(this, std::chrono::milliseconds(50))) return false;
    // Sent once the port wakes this system: the answer cannot arrive unseen.
    if (!_link->send(_command, std::chrono::milliseconds(_ms))) {
      Log::warning(L"callBox %S: the command was not sent: %S", _endpoint.c_str(),
                   Link::getLastError().c_str());
      return false;
    }
    _sent = true;
    return Handle_T<Deadline>(new Deadline(*this))->start(this);
  }

 private:
  // Ends the wait when the time is up.
  struct Deadline : System::Task {
    explicit Deadline(BoxCall& call) : call(call) {}
    // Rounded up to whole milliseconds: the wait never ends before the caller's time is up.
    unsigned int left() const {
      const auto now = std::chrono::steady_clock::now();
      if (now >= call._deadline) return 0;
      return static_cast<unsigned int>(
          std::chrono::ceil<std::chrono::milliseconds>(call._deadline - now).count());
    }
    void onTick(unsigned int) override {
      if (left() == 0) call.shutdown();
    }
    unsigned int nextDue() const override { return left(); }
    BoxCall& call;
  };

  std::string _endpoint;
  unsigned int _ms;
  std::chrono::steady_clock::time_point _deadline;
  MessagePort _port;
  Handle_T<Link> _link;
  Handle_T<VemoBoxCommand> _command;
  AppReply _reply;
  bool _answered = false;
  bool _sent = false;
};

}  // namespace

AppReply callBox(Context* context, const std::string& endpoint, const std::vector<String>& words,
                 std::chrono::milliseconds timeout, const LinkOptions& options) {
  if (!context) return AppReply();
  Unknown::Handle_T<BoxCall> call(
      new BoxCall(context, endpoint, words, milliseconds(timeout), options));
  bool sent = false;
  return call->callOnce(sent);
}

}  // namespace net
}  // namespace vemo
