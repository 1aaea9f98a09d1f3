#include "vemo/core/AppBox.h"

#include <cstdlib>
#include <cwchar>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "LazyGlobal.h"
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

bool isBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

struct FreeBlock {
  void operator()(wchar_t** block) const { std::free(block); }
};

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

bool AppPipe::hasInput() {
  MutexLock guard(*_inputLock);
  return _input.available() > 0;
}

bool AppPipe::write(const String& line) {
  const String_T<char> utf8 = StringHelper::wideToUtf8(line);
  {
    MutexLock guard(*_outputLock);
    _output << utf8;
  }
  if (_reader) _reader->notify();
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
    found->second->write(replies().bye);
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
    for (; served < kLinesPerTick && pipe->read(line); ++served)
      if (!dosamething(pipe, line.getBuffer())) pipe->write(replies().nothing);
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

bool AppBox::docmd(AppPipe*, wchar_t**, int) {
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
    entry.second->write(replies().bye);
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
  if (_box) _box->addPipe(_boxPipe);
}

App::~App() {
  if (_box) _box->removePipe(_boxPipe);
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
