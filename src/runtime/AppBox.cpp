#include "vemo/core/AppBox.h"

#include <cstdlib>
#include <cwchar>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "LazyGlobal.h"
#include "WaitDeadline.h"
#include "vemo/core/Console.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/Process.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

// The registered application types and the running applications, by name.
struct AppRegistry {
  std::mutex lock;
  std::map<String, AppFactory, StringLess> types;
  std::map<String, Unknown::Handle_T<App>, StringLess> running;
};
detail::LazyGlobal<AppRegistry> g_appRegistry;

const wchar_t kCommand[] = L"$COMMAND ";
const int kCommandLength = 9;

// Lines served per connection in one tick: a connection that keeps writing gets its share of
// each tick, and the others, the tasks and a shutdown theirs.
const int kLinesPerTick = 64;

// The replies, made once: a String that is already made is written without a conversion to it.
// Never destroyed: a box's thread may still say "$BYE" while the process exits.
struct Replies {
  const String hello{L"$HELLO"};
  const String endOk{L"$END OK"};
  const String endFailed{L"$END FAILED"};
  const String nothing{L"$NOTHING"};
  const String bye{L"$BYE"};
};
const Replies& replies() {
  static const Replies* const made = new Replies;
  return *made;
}

// The last reply on a connection; a caller waiting for a reply stops waiting.
void sayBye(AppPipe* pipe);

bool isBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

struct FreeBlock {
  void operator()(wchar_t** block) const { std::free(block); }
};

}  // namespace

class detail::AppConnection : public Unknown {
 public:
  const Handle_T<Semaphore> arrived = Semaphore::createInstance();
  std::atomic<unsigned int> sent{0};    // lines the caller wrote
  std::atomic<unsigned int> served{0};  // of those, the ones the box has answered
  std::atomic<bool> closed{false};      // the box has said "$BYE"
};

detail::AppConnection* detail::connectionOf(AppPipe* pipe) {
  return pipe->_connection.get();
}

namespace {
void sayBye(AppPipe* pipe) {
  pipe->write(replies().bye);
  if (detail::AppConnection* connection = detail::connectionOf(pipe)) {
    connection->closed.store(true, std::memory_order_release);
    connection->arrived->signal();
  }
}
}  // namespace

// AppPipe

AppPipe::AppPipe(Input* input, const SharedPtr<Mutex>& inputLock, Output* output,
                 const SharedPtr<Mutex>& outputLock)
    : _input(input), _inputLock(inputLock), _output(output), _outputLock(outputLock) {}

Unknown::Handle_T<AppPipe> AppPipe::createInstance(Input* input, const SharedPtr<Mutex>& inputLock,
                                                   Output* output,
                                                   const SharedPtr<Mutex>& outputLock) {
  return Handle_T<AppPipe>(new AppPipe(input, inputLock, output, outputLock));
}

// The text is converted outside the locks, which are held only to move the bytes: the other end
// polls the same lock.
bool AppPipe::read(String& line) {
  String_T<char> utf8;
  std::optional<Exception> failure;
  {
    MutexLock guard(*_inputLock);
    if (_input.available() <= 0) return false;
    try {
      _input >> utf8;
    } catch (const Exception& e) {
      failure = e;
    }
  }
  if (failure) {
    failure->report();
    return false;
  }
  line = StringHelper::utf8ToWide(utf8);
  return true;
}

AppPipe::~AppPipe() = default;

bool AppPipe::read(String& line, unsigned int ms) {
  const detail::WaitDeadline deadline(ms);
  for (;;) {
    if (read(line)) return true;
    const unsigned int left = deadline.left();
    if (left == 0) return false;
    if (_connection && _callerEnd) {
      // Every string the box writes signals it: one written since the read above ends the wait
      // at once.
      _connection->arrived->wait(left, true);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

bool AppPipe::hasInput() {
  MutexLock guard(*_inputLock);
  return _input.available() > 0;
}

bool AppPipe::write(const String& line) {
  const String_T<char> utf8 = StringHelper::wideToUtf8(line);
  // Counted before the box can see it: it is answered only after.
  if (_connection && _callerEnd) _connection->sent.fetch_add(1, std::memory_order_acq_rel);
  {
    MutexLock guard(*_outputLock);
    _output << utf8;
  }
  if (_reader) _reader->notify();
  if (_connection && !_callerEnd) _connection->arrived->signal();
  return true;
}

// AppBox

AppBox::AppBox(const String& appName, const String& parameters)
    : _appName(appName), _parameters(parameters) {
  setIdleWait(true);
}

Unknown::Handle_T<AppBox> AppBox::createInstance(const String& appName, const String& parameters) {
  return Handle_T<AppBox>(new AppBox(appName, parameters));
}

void AppBox::addPipe(AppPipe* pipe) {
  if (!pipe) return;
  std::lock_guard<std::mutex> guard(_addLock);
  _additions.emplace(pipe, pipe);
  _queued.store(true, std::memory_order_release);
  notify();
}

void AppBox::removePipe(AppPipe* pipe) {
  if (!pipe) return;
  std::lock_guard<std::mutex> guard(_removeLock);
  _removals.emplace(pipe, pipe);
  _queued.store(true, std::memory_order_release);
  notify();
}

void AppBox::addPipes() {
  PipeMap added;
  {
    std::lock_guard<std::mutex> guard(_addLock);
    if (_additions.empty()) return;
    added.swap(_additions);
  }
  for (auto& entry : added) {
    entry.second->write(replies().hello);
    _pipes.insert(std::move(entry));
  }
}

void AppBox::removePipes() {
  PipeMap removed;
  {
    std::lock_guard<std::mutex> guard(_removeLock);
    if (_removals.empty()) return;
    removed.swap(_removals);
  }
  for (const auto& entry : removed) {
    const auto found = _pipes.find(entry.first);
    if (found == _pipes.end()) continue;
    sayBye(found->second);
    _pipes.erase(found);
  }
}

void AppBox::onTick(unsigned int elapsed) {
  // Most ticks have no connection to make or drop: they take neither lock.
  if (_queued.load(std::memory_order_relaxed) &&
      _queued.exchange(false, std::memory_order_acquire)) {
    addPipes();
    removePipes();
  }
  String line;
  for (const auto& entry : _pipes) {
    AppPipe* pipe = entry.first;
    int served = 0;
    for (; served < kLinesPerTick && pipe->read(line); ++served) {
      if (!dosamething(pipe, line.getBuffer())) pipe->write(replies().nothing);
      // The whole reply is written: a caller waiting for it (App::call) may read it.
      if (detail::AppConnection* connection = pipe->_connection.get()) {
        connection->served.fetch_add(1, std::memory_order_acq_rel);
        connection->arrived->signal();
      }
    }
    // Lines may be left (or the rest after a malformed one): the next pass comes without
    // waiting.
    if (served == kLinesPerTick || pipe->hasInput()) notify();
  }
  System::onTick(elapsed);
}

bool AppBox::dosamething(AppPipe* pipe, const wchar_t* line) {
  if (!line || std::wcsncmp(line, kCommand, kCommandLength) != 0) return false;
  // Blanks between the command word and the command's name belong to neither.
  const wchar_t* rest = line + kCommandLength;
  while (isBlank(*rest))
    ++rest;
  if (!*rest) return false;  // a command word with nothing after it is no command
  wchar_t** words = nullptr;
  int count = 0;
  parseArguments(rest, words, count);
  if (!words) return false;
  const std::unique_ptr<wchar_t*, FreeBlock> block(words);
  if (count == 0) return false;
  String begin(L"$BEGIN ");
  begin += words[0];
  pipe->write(begin);
  // Whatever docmd throws ends its reply; the exception is logged.
  bool done = false;
  try {
    done = docmd(pipe, words, count);
  } catch (const Exception& e) {
    e.report();
    pipe->write(replies().endFailed);
    return true;
  } catch (const std::exception& e) {
    const String text = convertToString(e.what());
    Log::error(L"Unhandled exception in a command: %s", text.getBuffer());
    pipe->write(replies().endFailed);
    return true;
  } catch (...) {
    Log::error(L"Unhandled exception in a command");
    pipe->write(replies().endFailed);
    return true;
  }
  pipe->write(done ? replies().endOk : replies().endFailed);
  return done;
}

bool AppBox::docmd(AppPipe* pipe, wchar_t** words, int count) {
  std::vector<String> strings;
  strings.reserve(count > 0 ? static_cast<std::size_t>(count) : 0);
  for (int i = 0; i < count; ++i)
    strings.emplace_back(words[i]);
  return docmd(pipe, strings);
}

bool AppBox::docmd(AppPipe*, const std::vector<String>&) {
  return false;
}

void AppBox::exit() {
  // Once a run: exitApp runs it for a box that was shut down before its run began.
  const unsigned int load = getLoadCount();
  if (_exitedLoad.exchange(load) == load) return;
  Handle_T<App> unlisted;
  if (AppRegistry* registry = g_appRegistry.get()) {
    std::lock_guard<std::mutex> guard(registry->lock);
    const auto found = registry->running.find(_appName);
    if (found != registry->running.end() && found->second->getAppBox() == this) {
      unlisted = std::move(found->second);
      registry->running.erase(found);
    }
  }
  // The listed connection is dropped outside the registry's lock; its removal is queued and
  // served just below.
  unlisted = nullptr;
  addPipes();
  removePipes();
  PipeMap pipes;
  pipes.swap(_pipes);
  for (const auto& entry : pipes)
    sayBye(entry.second);
  System::exit();
}

// App

App::App(Thread* thread, AppBox* box) : _thread(thread), _box(box) {
  const SharedPtr<Mutex> lockA(new Mutex()), lockB(new Mutex());
  const Handle_T<MemoryStream> a = MemoryStream::createInstance();
  const Handle_T<MemoryStream> b = MemoryStream::createInstance();
  _boxPipe = AppPipe::createInstance(a.get(), lockA, b.get(), lockB);
  _callerPipe = AppPipe::createInstance(b.get(), lockB, a.get(), lockA);
  _callerPipe->setReader(_box.get());
  const Handle_T<detail::AppConnection> connection(new detail::AppConnection());
  _boxPipe->_connection = connection;
  _callerPipe->_connection = connection;
  _callerPipe->_callerEnd = true;
  if (_box) _box->addPipe(_boxPipe);
}

App::~App() {
  if (_box) _box->removePipe(_boxPipe);
}

namespace {

// One word quoted for the command-line splitter, when it needs quotes: in double quotes, with
// the backslashes before a quote (or the closing one) doubled and each quote escaped.
void appendWord(String& line, const String& word, bool first) {
  const wchar_t* text = word.getBuffer() ? word.getBuffer() : L"";
  bool plain = *text != 0;
  for (const wchar_t* c = text; *c && plain; ++c)
    plain = *c != L' ' && *c != L'\t' && *c != L'"';
  if (plain) {
    line += text;
    return;
  }
  line += L"\"";
  if (first) {
    // The command's name follows the quote-toggling rule: no escapes; a quote cannot be in it.
    for (const wchar_t* c = text; *c; ++c)
      if (*c != L'"') line += String(c, 1);
    line += L"\"";
    return;
  }
  int backslashes = 0;
  for (const wchar_t* c = text; *c; ++c) {
    if (*c == L'\\') {
      ++backslashes;
      continue;
    }
    const int repeat = *c == L'"' ? backslashes * 2 + 1 : backslashes;
    for (int i = 0; i < repeat; ++i)
      line += L"\\";
    backslashes = 0;
    line += String(c, 1);
  }
  for (int i = 0; i < backslashes * 2; ++i)
    line += L"\\";
  line += L"\"";
}

bool startsWith(const String& line, const wchar_t* prefix) {
  const wchar_t* text = line.getBuffer();
  return text && std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

}  // namespace

AppReply App::call(const std::vector<String>& words, unsigned int ms) {
  String line;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) line += L" ";
    appendWord(line, words[i], i == 0);
  }
  return call(line, ms);
}

AppReply App::call(const String& commandLine, unsigned int ms) {
  AppReply reply;
  AppPipe* pipe = _callerPipe.get();
  detail::AppConnection& connection = *_callerPipe->_connection;
  const detail::WaitDeadline deadline(ms);
  const auto left = [&] { return deadline.left(); };
  String got;
  const auto drain = [&] {
    while (pipe->read(got)) {
    }
  };
  // Replies to earlier lines are dropped whole, once all of them are there.
  while (connection.served.load(std::memory_order_acquire) !=
         connection.sent.load(std::memory_order_acquire)) {
    drain();
    if (connection.closed.load(std::memory_order_acquire)) break;
    const unsigned int wait = left();
    if (wait == 0) return reply;
    connection.arrived->wait(wait, true);
  }
  drain();
  if (connection.closed.load(std::memory_order_acquire)) {
    reply.outcome = AppReply::Outcome::kClosed;
    return reply;
  }

  String command(kCommand);
  command += commandLine;
  pipe->write(command);
  const unsigned int number = connection.sent.load(std::memory_order_acquire);
  std::vector<String> lines;
  bool complete = false;
  for (;;) {
    // What the box wrote before it said it answered (or closed) is read by the round after.
    const bool answered = connection.served.load(std::memory_order_acquire) >= number;
    const bool closed = connection.closed.load(std::memory_order_acquire);
    while (pipe->read(got)) {
      if (got == replies().bye || (lines.empty() && got == replies().hello)) continue;
      lines.push_back(got);
    }
    if (answered) {
      complete = true;
      break;
    }
    if (closed) {
      reply.outcome = AppReply::Outcome::kClosed;
      reply.lines = std::move(lines);
      return reply;
    }
    const unsigned int wait = left();
    if (wait == 0) break;
    connection.arrived->wait(wait, true);
  }
  if (!complete || lines.empty()) {
    reply.lines = std::move(lines);
    return reply;  // timed out
  }
  if (lines.size() == 1 && lines[0] == replies().nothing) {
    reply.outcome = AppReply::Outcome::kNotACommand;
    return reply;
  }
  // "$BEGIN <name>", what docmd wrote, "$END OK" | "$END FAILED" ["$NOTHING"].
  if (!startsWith(lines[0], L"$BEGIN ")) {
    reply.lines = std::move(lines);
    return reply;  // not a reply of this protocol: reported as a time-out
  }
  std::size_t end = lines.size();
  if (end >= 3 && lines[end - 1] == replies().nothing && lines[end - 2] == replies().endFailed) {
    reply.outcome = AppReply::Outcome::kFailed;
    end -= 2;
  } else if (end >= 2 && lines[end - 1] == replies().endFailed) {
    reply.outcome = AppReply::Outcome::kThrew;
    end -= 1;
  } else if (end >= 2 && lines[end - 1] == replies().endOk) {
    reply.outcome = AppReply::Outcome::kOk;
    end -= 1;
  } else {
    reply.lines = std::move(lines);
    return reply;  // not a reply of this protocol: reported as a time-out
  }
  reply.lines.assign(std::make_move_iterator(lines.begin() + 1),
                     std::make_move_iterator(lines.begin() + static_cast<std::ptrdiff_t>(end)));
  return reply;
}

Unknown::Handle_T<App> App::createInstance(Thread* thread, AppBox* box) {
  return Handle_T<App>(new App(thread, box));
}

// The application registry

AppFactory::AppFactory(AppCreator creator) {
  if (!creator) return;
  _function = creator;
  _identity.format(L"%p", detail::leadingWord(creator));
}

Unknown::Handle_T<AppBox> AppFactory::operator()(const wchar_t* appName,
                                                 const wchar_t* parameters) const {
  if (!_function) return nullptr;
  return _function(appName, parameters);
}

bool setUpApp(const wchar_t* typeName, AppCreator creator) {
  return setUpApp(typeName, AppFactory(creator));
}

bool setUpApp(const wchar_t* typeName, const AppFactory& creator) {
  const String name(typeName);
  bool taken = false;
  {
    AppRegistry* registry = g_appRegistry.make();
    std::lock_guard<std::mutex> guard(registry->lock);
    const auto found = registry->types.find(name);
    if (found == registry->types.end())
      registry->types.emplace(name, creator);
    else
      taken = found->second != creator;
  }
  if (!taken) return true;
  Console::setTextAttribute(14);
  Console::output(L"\nApp: (%s) has been setup!", name.getBuffer());
  Console::setTextAttribute(7);
  return false;
}

void tearDownApp(const wchar_t* typeName) {
  AppRegistry* registry = g_appRegistry.get();
  if (!registry) return;
  std::lock_guard<std::mutex> guard(registry->lock);
  registry->types.erase(String(typeName));
}

Unknown::Handle_T<App> startApp(const wchar_t* typeName, const wchar_t* appName,
                                const wchar_t* parameters) {
  AppRegistry* registry = g_appRegistry.make();
  AppFactory creator;
  {
    std::lock_guard<std::mutex> guard(registry->lock);
    const auto found = registry->types.find(String(typeName));
    if (found != registry->types.end()) creator = found->second;
  }
  if (creator.isNull()) return nullptr;
  const Unknown::Handle_T<Thread> thread = Thread::createInstance();
  const Unknown::Handle_T<AppBox> box =
      creator(appName ? appName : L"", parameters ? parameters : L"");
  if (!box) return nullptr;
  // Both connections are queued before the box runs, so that even a box that ends at once
  // greets them and says goodbye.
  Unknown::Handle_T<App> result = App::createInstance(thread, box);
  Unknown::Handle_T<App> listed = App::createInstance(thread, box);
  if (!thread->start(box)) return nullptr;
  {
    std::lock_guard<std::mutex> guard(registry->lock);
    // A box that has already ended (it may shut itself down at once) is not listed.
    if (!box->hasExited()) std::swap(registry->running[box->getAppName()], listed);
  }
  return result;  // a replaced entry (now in `listed`) is let go here, outside the lock
}

Unknown::Handle_T<App> getApp(const wchar_t* appName) {
  AppRegistry* registry = g_appRegistry.get();
  if (!registry) return nullptr;
  // Made under the lock: a listed box has not begun its exit, which serves this connection.
  std::lock_guard<std::mutex> guard(registry->lock);
  const auto found = registry->running.find(String(appName));
  if (found == registry->running.end()) return nullptr;
  return App::createInstance(found->second->getThread(), found->second->getAppBox());
}

void exitApp(App* app) {
  if (!app || !app->getThread()) return;
  app->getThread()->shutdown();
  AppBox* box = app->getAppBox();
  // A box shut down before its run began never ran its exit: its thread is over, so the caller
  // does it. On the box's own thread the run ends after this tick and exits by itself.
  if (box && !box->hasExited() && box->getRunThreadId() != Thread::getCurrentThreadId())
    box->AppBox::exit();
}

}  // namespace vemo
