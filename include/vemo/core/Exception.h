/// \file
/// Exception: the one exception type of the library, and error texts of the system.
///
/// Broken input and failed transfers throw an Exception that records where it was thrown (file,
/// line, the function's signature), a code (-1 throughout the library) and a short fixed text.
/// Code that runs work for others catches it, calls report() and goes on.
///
/// An Exception also carries the call stack of the thread that made it. Copies share that one
/// capture; report() writes it to the log after the description.
#pragma once

#include <exception>
#include <string>

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

#if defined(_WIN32)
struct _EXCEPTION_POINTERS;
#endif

namespace vemo {

class CallStack;

#if defined(_WIN32)
using ExceptionPointers = ::_EXCEPTION_POINTERS;
#else
/// What a fatal signal's handler is given: the signal, its siginfo_t and its ucontext_t.
struct ExceptionPointers {
  int signalNumber;  ///< the signal
  void* signalInfo;  ///< its siginfo_t
  void* context;     ///< its ucontext_t
};
#endif

/// The answers of an exception filter, with the values the system gives them.
constexpr long kExceptionExecuteHandler = 1;  ///< the fault has been dealt with: run the handler
constexpr long kExceptionContinueSearch = 0;  ///< leave the fault to the next handler

/// The library's one exception type: where it was thrown, a code, a description and the call
/// stack of the thread that made it. Copies share the call stack.
class VEMO_CORE_API Exception : public std::exception {
 public:
  /// An exception thrown at `line` of `file` in `function`, with a code and a description;
  /// captures the calling thread's call stack.
  Exception(const wchar_t* file, int line, const wchar_t* function, int code,
            const wchar_t* description);
  /// The same with the function's signature as the compiler spells it (UTF-8).
  Exception(const wchar_t* file, int line, const char* function, int code,
            const wchar_t* description);
  ///@{
  /// Copies the texts and shares the call stack.
  Exception(const Exception& other);
  Exception& operator=(const Exception& other);
  ///@}
  ~Exception() override;

  /// The file it was thrown in (the library names its headers without extension).
  const wchar_t* file() const noexcept { return _file.c_str(); }
  /// The line it was thrown at.
  int line() const noexcept { return _line; }
  /// The throwing function's signature.
  const wchar_t* function() const noexcept { return _function.c_str(); }
  /// The code: -1 throughout the library.
  int code() const noexcept { return _code; }
  /// The short text of what went wrong.
  const wchar_t* description() const noexcept { return _description.c_str(); }

  /// The description as UTF-8, for code that catches std::exception.
  const char* what() const noexcept override { return _what.c_str(); }

  /// Logs the description through Log::error, then the call stack through Log::debug.
  void report() const;
  /// The call stack captured when the exception was made; null when it could not be captured.
  CallStack* callStack() const noexcept { return _callStack; }

  /// Hands a fault to the crash handler and returns its answer for an exception filter:
  /// kExceptionContinueSearch when a debugger is attached (nothing is written), otherwise
  /// kExceptionExecuteHandler, once the first crash has been reported. With null pointers the
  /// report describes the calling thread where this is called, and the program goes on. On
  /// Linux the other threads are stopped for the time of such a report as a debugger stops
  /// them (no signal handler of theirs runs), but a system call one of them was blocked in
  /// (read, a sleep, a wait on a condition) may return early with EINTR when it goes on: code
  /// that asks for reports on demand restarts its waits. A fault inside the report's own reading
  /// (a damaged stack, an unwinder led astray) cuts that part of the report short; a lock the
  /// unwinder held there stays taken, so a process whose on-demand report was cut that way
  /// should end rather than go on.
  static long DealExceptionInformation(ExceptionPointers* pointers);

 private:
  std::wstring _file;
  int _line;
  std::wstring _function;
  int _code;
  std::wstring _description;
  std::string _what;  // _description in UTF-8
  CallStack* _callStack;
};

/// Installs the crash handler for the process: a crash (a fatal signal, or an exception the
/// system reports) writes a text report with the call stacks and a minidump file.
/// It prepares what it needs then, so that a crash finds everything ready. Calling it again
/// changes nothing.
VEMO_CORE_API void handled_exception_filter();

/// Prepares the calling thread so that the crash handler can still report a stack overflow on it:
/// on Linux it gives the thread an alternate signal stack of its own, freed when the thread ends
/// (the handler runs on it when the thread's own stack is used up). The threads the library
/// starts (Thread, the service host's) have one already; a thread the program makes itself
/// (std::thread, pthread_create) calls this first thing. Calling it again changes nothing; on
/// Windows, where the report of an overflow is made on a thread of its own, it does nothing.
VEMO_CORE_API void handled_exception_thread();

/// The system's text for an error number (without trailing line breaks); "" when the system
/// does not know the number.
VEMO_CORE_API String getErrorString(unsigned long code);
/// getErrorString of the calling thread's last error.
VEMO_CORE_API String getLastErrorString();

}  // namespace vemo

#define VEMO_WIDEN_(text) L##text
/// The wide form of a narrow literal or macro, for example VEMO_WIDEN(__FILE__).
#define VEMO_WIDEN(text) VEMO_WIDEN_(text)
#if defined(_MSC_VER)
#define VEMO_FUNCTION_SIGNATURE __FUNCSIG__
#else
/// The current function's signature as the compiler spells it.
#define VEMO_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif

/// Throws the library's Exception for the current file and function, with code -1. `line` is
/// the line number that belongs to the throw site's published text, given explicitly.
#define VEMO_THROW(line, description) \
  throw ::vemo::Exception(VEMO_WIDEN(__FILE__), (line), VEMO_FUNCTION_SIGNATURE, -1, (description))

/// The same with the file text given: the library's throw sites name the header of the
/// operation (without extension) so that callers see a stable location.
#define VEMO_THROW_AT(file, line, description) \
  throw ::vemo::Exception((file), (line), VEMO_FUNCTION_SIGNATURE, -1, (description))
