/// \file
/// Application boxes: named applications that run as a System on a thread of their own and are
/// driven only through text commands over in-memory pipes.
///
/// \code
/// class Counter : public vemo::AppBox {
///  public:
///   static Handle_T<AppBox> create(const wchar_t* name, const wchar_t* parameters) {
///     return Handle_T<AppBox>(new Counter(name, parameters));
///   }
///  protected:
///   using AppBox::AppBox;
///   bool docmd(vemo::AppPipe* pipe, wchar_t** words, int count) override {
///     return count == 1 && std::wcscmp(words[0], L"add") == 0 && ++_count;
///   }
///   int _count = 0;
/// };
///
/// vemo::setUpApp(L"Counter", &Counter::create);
/// Handle_T<App> app = vemo::startApp(L"Counter", L"counter-1", L"");
/// vemo::AppReply reply = app->call(L"add");          // sends "$COMMAND add", waits for
/// if (reply.ok()) { ... }                            // "$BEGIN add" ... "$END OK"
/// vemo::exitApp(app);   // the pipe reads "$BYE" last
/// \endcode
///
/// or, line by line: app->getPipe()->write(L"$COMMAND add"), then the pipe reads "$HELLO",
/// "$BEGIN add", "$END OK" (read(line, timeout) waits for each, woken by the box's writes).
///
/// The protocol, seen from a connection (an App's pipe), one string per reply:
/// - "$HELLO" once, on the first box tick after the connection was made;
/// - a line that begins with "$COMMAND " and has words after it: "$BEGIN " and the first word
///   (blanks before it are skipped), then "$END OK" when docmd returned true, or "$END FAILED"
///   and "$NOTHING" when it returned false, or "$END FAILED" alone when docmd threw (any C++
///   exception, which is logged);
/// - any other line, "$COMMAND " with nothing but blanks after it among them: "$NOTHING" (unless
///   an override of dosamething handles it);
/// - "$BYE" when the connection is removed or the box ends.
/// Replies go only to the connection that sent the line, in the order of its lines. Each tick
/// serves at most 64 lines of each connection, so one that keeps writing cannot hold up the
/// others, the box's tasks or its shutdown. Strings travel in the library's string encoding (a
/// Varint byte count and UTF-8); there are no line ends.
///
/// A box waits for work (System::setIdleWait, on from construction): it sleeps until a line is
/// written into one of its pipes, a connection is made or dropped, a message is posted to its
/// thread, it is shut down, or one of its tasks is due. A box whose own tasks fire on every pass
/// (a Yield among them) stays awake as a system without idle wait; one that should poll calls
/// setIdleWait(false).
///
/// Threads: every dosamething and docmd call runs on the box's thread. addPipe and removePipe may
/// be called from any thread; a pipe's two directions have their own locks, so a caller may
/// write while the box reads and answers.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "vemo/core/Callback.h"
#include "vemo/core/Duration.h"
#include "vemo/core/Export.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/SharedPtr.h"
#include "vemo/core/Stream.h"
#include "vemo/core/String.h"
#include "vemo/core/System.h"
#include "vemo/core/Thread.h"
#include "vemo/core/Unknown.h"

namespace vemo {

class AppPipe;
namespace detail {
// What the two ends of an App's connection share: the count of lines the caller wrote, of those
// the box has answered, whether the box said "$BYE", and the wake-up of the caller's waits.
class AppConnection;
AppConnection* connectionOf(AppPipe* pipe);
}  // namespace detail

/// One end of a connection: strings are read from one stream and written to another, each under
/// the lock that its other end shares.
class VEMO_CORE_API AppPipe : public virtual Unknown {
 public:
  /// A pipe that reads strings from `input` under `inputLock` and writes them to `output` under
  /// `outputLock`.
  static Handle_T<AppPipe> createInstance(Input* input, const SharedPtr<Mutex>& inputLock,
                                          Output* output, const SharedPtr<Mutex>& outputLock);
  ~AppPipe() override;

  /// The next string, when one has arrived: false when none waits. A malformed string is logged
  /// (Exception::report) and gives false too.
  bool read(String& line);
  ///@{
  /// The same, waiting at most `ms` milliseconds (4294967295: without end) for a string to
  /// arrive. The caller's end of an App is woken by the box's writes; another pipe looks again
  /// every millisecond.
  bool read(String& line, unsigned int ms);
  template <class Rep, class Period>
  bool read(String& line, std::chrono::duration<Rep, Period> timeout) {
    return read(line, detail::toMilliseconds(timeout));
  }
  ///@}
  /// Writes `line` as one string; true.
  bool write(const String& line);
  /// The system that reads what this pipe writes: notified (System::notify) of every string
  /// written. Set before the pipe is shared between threads; App sets the box for its caller's
  /// end.
  void setReader(System* reader) { _reader = reader; }

 protected:
  /// See createInstance.
  AppPipe(Input* input, const SharedPtr<Mutex>& inputLock, Output* output,
          const SharedPtr<Mutex>& outputLock);

 private:
  InputStream _input;
  SharedPtr<Mutex> _inputLock;
  OutputStream _output;
  friend class AppBox;
  friend class App;
  friend detail::AppConnection* detail::connectionOf(AppPipe* pipe);
  // Whether bytes wait to be read (after a read that failed, the rest of them).
  bool hasInput();

  SharedPtr<Mutex> _outputLock;
  Handle_T<System> _reader;
  // The state an App's two ends share (null for other pipes), and whether this is the
  // caller's end.
  Handle_T<detail::AppConnection> _connection;
  bool _callerEnd = false;
};

/// What a box answered to one command (App::call).
struct AppReply {
  /// How the box ended its reply.
  enum class Outcome {
    kOk,           ///< "$END OK": docmd succeeded
    kFailed,       ///< "$END FAILED" and "$NOTHING": docmd returned false
    kThrew,        ///< "$END FAILED" alone: docmd threw
    kNotACommand,  ///< "$NOTHING": the line was no command (no words)
    kClosed,       ///< "$BYE": the box dropped the connection or ended
    kTimedOut,     ///< no complete reply within the time
  };
  Outcome outcome = Outcome::kTimedOut;  ///< How the reply ended.
  /// What the command wrote to the connection between "$BEGIN" and "$END".
  std::vector<String> lines;

  /// True when the command succeeded ("$END OK").
  bool ok() const { return outcome == Outcome::kOk; }
};

/// An application: a System that answers the lines arriving on its connected pipes.
class VEMO_CORE_API AppBox : public System {
 public:
  /// A box of that name and parameters that answers no command (docmd fails).
  static Handle_T<AppBox> createInstance(const String& appName, const String& parameters);

  /// The application's name, as startApp gave it.
  const String& getAppName() const { return _appName; }
  /// The parameters, as startApp gave them.
  const String& getParameters() const { return _parameters; }

  /// Queue a connection to be made or dropped on the box's next tick; any thread.
  ///@{
  void addPipe(AppPipe* pipe);
  void removePipe(AppPipe* pipe);
  ///@}

  /// Unlists the box from the running applications (when it is still listed under its name),
  /// makes and drops the queued connections, says "$BYE" to every connection and drops it, and
  /// ends like System::exit.
  void exit() override;
  /// Makes and drops the queued connections, answers the lines waiting on each connection (at
  /// most 64 of each), then runs the tasks.
  void onTick(unsigned int elapsed) override;

  /// One received line; false when it was not handled (the sender then gets "$NOTHING"). The
  /// base runs "$COMMAND " lines through docmd.
  virtual bool dosamething(AppPipe* pipe, const wchar_t* line);
  /// One command: `words[0]` is the command's name, `count` >= 1. The base gives the words to
  /// the other docmd, as Strings.
  virtual bool docmd(AppPipe* pipe, wchar_t** words, int count);
  /// The same with the words as Strings (`words[0]` the command's name); override either. The
  /// base fails every command.
  virtual bool docmd(AppPipe* pipe, const std::vector<String>& words);

  /// Whether exit has begun for the current run (a box loaded again runs anew): from then on the
  /// box takes no new connections.
  bool hasExited() const { return _exitedLoad.load() == getLoadCount(); }

 protected:
  /// See createInstance.
  AppBox(const String& appName, const String& parameters);
  AppBox(const AppBox&) = delete;
  AppBox& operator=(const AppBox&) = delete;

 private:
  using PipeMap = std::map<AppPipe*, Handle_T<AppPipe>>;

  void addPipes();
  void removePipes();

  String _appName;
  String _parameters;
  PipeMap _pipes;  // the box's thread only
  std::mutex _addLock;
  PipeMap _additions;
  std::mutex _removeLock;
  PipeMap _removals;
  std::atomic<bool> _queued{false};  // set with every queued addition or removal
  // The load (System::getLoadCount) whose run has begun its exit; none at first.
  std::atomic<unsigned int> _exitedLoad{0xFFFFFFFFu};
};

/// A caller's connection to a box running on a thread: its own pair of pipes, the box side
/// connected to the box while the App lives.
class VEMO_CORE_API App : public Unknown {
 public:
  /// Connects a new pair of in-memory pipes to `box`, which runs on `thread`.
  static Handle_T<App> createInstance(Thread* thread, AppBox* box);
  /// Drops the connection (the box says "$BYE" on it).
  ~App() override;

  /// The thread the box runs on.
  Thread* getThread() const { return _thread.get(); }
  /// The box.
  AppBox* getAppBox() const { return _box.get(); }
  /// The caller's end: write lines to the box, read its replies.
  AppPipe* getPipe() const { return _callerPipe.get(); }

  /// Sends one command ("$COMMAND " and the line) and waits at most `ms` milliseconds for its
  /// whole reply. Replies to earlier lines that are still unread are waited for first (within
  /// the same time) and dropped, as is "$HELLO". One caller at a time per App.
  AppReply call(const String& commandLine, unsigned int ms = 10000);
  ///@{
  /// The same with the words of the command, quoted as needed (a word with blanks or quotes, or
  /// an empty one) so that the box's docmd receives them as given. The command's name cannot
  /// hold a double quote.
  AppReply call(const std::vector<String>& words, unsigned int ms = 10000);
  template <class Rep, class Period>
  AppReply call(const String& commandLine, std::chrono::duration<Rep, Period> timeout) {
    return call(commandLine, detail::toMilliseconds(timeout));
  }
  template <class Rep, class Period>
  AppReply call(const std::vector<String>& words, std::chrono::duration<Rep, Period> timeout) {
    return call(words, detail::toMilliseconds(timeout));
  }
  ///@}

 private:
  App(Thread* thread, AppBox* box);
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  Handle_T<Thread> _thread;
  Handle_T<AppBox> _box;
  Handle_T<AppPipe> _boxPipe;
  Handle_T<AppPipe> _callerPipe;
};

/// Makes a box of a registered type from the application's name and parameters.
using AppCreator = Unknown::Handle_T<AppBox> (*)(const wchar_t* appName, const wchar_t* parameters);

/// A creator of any kind: an AppCreator, or any other callable taking the application's name and
/// parameters and giving a handle to a box (a lambda that captures the data its boxes need, a
/// std::function, a function object). Like a callback (Callback.h) it has an identity: a
/// function's address, or for another callable "#" and a number drawn when it is made, which its
/// copies share.
class VEMO_CORE_API AppFactory {
 public:
  /// The form every creator is kept in.
  using Function = std::function<Unknown::Handle_T<AppBox>(const wchar_t*, const wchar_t*)>;

  /// A null creator.
  AppFactory() = default;
  /// The creator function; its identity is its address ("%p"). Null gives a null creator.
  AppFactory(AppCreator creator);
  /// Any other callable; its identity is "#" and a number drawn now. An empty std::function
  /// gives a null creator.
  template <class F, class = std::enable_if_t<
                         !std::is_convertible<F&&, AppCreator>::value &&
                         !std::is_same<std::decay_t<F>, AppFactory>::value &&
                         std::is_invocable_r<Unknown::Handle_T<AppBox>, std::decay_t<F>&,
                                             const wchar_t*, const wchar_t*>::value>>
  AppFactory(F&& callable)
      : _function(std::forward<F>(callable)),
        _identity(_function ? detail::nextCallableIdentity() : String()) {}

  /// A box made by the creator; null for a null creator.
  Unknown::Handle_T<AppBox> operator()(const wchar_t* appName, const wchar_t* parameters) const;
  /// True without a creator.
  bool isNull() const { return !_function; }
  /// The identity text; empty for a null creator.
  const String& getIdentity() const { return _identity; }
  ///@{
  /// By identity.
  friend bool operator==(const AppFactory& a, const AppFactory& b) {
    return a._identity == b._identity;
  }
  friend bool operator!=(const AppFactory& a, const AppFactory& b) { return !(a == b); }
  ///@}

 private:
  Function _function;
  String _identity;
};

/// Registers `creator` under the type name: true when the name was free or is bound to the same
/// creator. A name bound to another creator keeps it: the console shows
/// "App: (<type>) has been setup!" in yellow, and the result is false.
VEMO_CORE_API bool setUpApp(const wchar_t* typeName, AppCreator creator);
/// The same with a creator of any kind; two creators are the same when their identities are.
VEMO_CORE_API bool setUpApp(const wchar_t* typeName, const AppFactory& creator);
/// Forgets the type of that name.
VEMO_CORE_API void tearDownApp(const wchar_t* typeName);
/// Makes a box of the registered type, starts it on a new Thread and connects to it; the running
/// applications then list it under its name (replacing any other of that name) until it ends.
/// Null when the type is unknown, the creator gives no box or the thread does not start.
VEMO_CORE_API Unknown::Handle_T<App> startApp(const wchar_t* typeName, const wchar_t* appName,
                                              const wchar_t* parameters);
/// A new connection to the running application of that name, or null.
VEMO_CORE_API Unknown::Handle_T<App> getApp(const wchar_t* appName);
/// Shuts the app's box down and waits for its thread to end (unless called on that thread, when
/// the box ends after the current tick). Afterwards the box is no longer listed and its
/// connections have been told "$BYE", even when its run had not begun.
VEMO_CORE_API void exitApp(App* app);

}  // namespace vemo
