#include "vemo/core/Exception.h"

#include "CodeAddress.h"
#include "CrashHandler.h"
#include "vemo/core/CallStack.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"

namespace vemo {

// The stack of an exception starts where its constructor was called, at the throw site: the
// frames inside this library before it are left out.
VEMO_NOINLINE Exception::Exception(const wchar_t* file, int line, const wchar_t* function, int code,
                                   const wchar_t* description)
    : _file(file),
      _line(line),
      _function(function),
      _code(code),
      _description(description),
      _what(StringHelper::wideToUtf8(description).getBuffer()),
      _callStack(CallStack::captureFrom(VEMO_RETURN_ADDRESS())) {}

VEMO_NOINLINE Exception::Exception(const wchar_t* file, int line, const char* function, int code,
                                   const wchar_t* description)
    : _file(file),
      _line(line),
      _function(StringHelper::utf8ToWide(function).getBuffer()),
      _code(code),
      _description(description),
      _what(StringHelper::wideToUtf8(description).getBuffer()),
      _callStack(CallStack::captureFrom(VEMO_RETURN_ADDRESS())) {}

Exception::Exception(const Exception& other)
    : std::exception(other),
      _file(other._file),
      _line(other._line),
      _function(other._function),
      _code(other._code),
      _description(other._description),
      _what(other._what),
      _callStack(other._callStack) {
  if (_callStack) _callStack->addRef();
}

Exception& Exception::operator=(const Exception& other) {
  if (this == &other) return *this;
  _file = other._file;
  _line = other._line;
  _function = other._function;
  _code = other._code;
  _description = other._description;
  _what = other._what;
  if (other._callStack) other._callStack->addRef();
  if (_callStack) _callStack->destroy();
  _callStack = other._callStack;
  return *this;
}

Exception::~Exception() {
  if (_callStack) _callStack->destroy();
}

void Exception::report() const {
  Log::error(L"%s", _description.c_str());
  if (_callStack) {
    DumpCallStack_Log log;
    _callStack->dump(log);
  }
}

long Exception::DealExceptionInformation(ExceptionPointers* pointers) {
  return detail::crashFilter(pointers);
}

void handled_exception_filter() {
  detail::installCrashHandler();
}

void handled_exception_thread() {
  // Made on the thread's first call, released by its end.
  thread_local detail::ThreadCrashStack stack;
}

}  // namespace vemo
