// Log: the library's one process-wide log.
//
// Messages are formatted like String::format and handed to every registered LogListener, in
// order of registration. Nothing is written anywhere by the library itself: where messages go
// is the business of the listeners. Until the first addListener every call does nothing.
//
// Dispatch is serialised by one recursive lock, so listeners need no lock of their own. A
// message logged while another is being dispatched (a listener that logs) is dropped rather
// than recursing, and an exception thrown by a listener is swallowed so the next one still
// hears the message. Messages shorter than 32768 characters are formatted without the heap.
#pragma once

#include "vemo/core/Export.h"

namespace vemo {

// A destination for log messages. The application owns its listeners and must remove a
// listener before destroying it.
class VEMO_CORE_API LogListener {
 public:
  virtual const wchar_t* getName() = 0;
  virtual bool setparam(const wchar_t* param) = 0;
  virtual void error(const wchar_t* text) = 0;
  virtual void warning(const wchar_t* text) = 0;
  virtual void message(const wchar_t* text) = 0;
  virtual void debug(const wchar_t* text) = 0;
  // Reports the outcome of the step that the preceding message announced.
  virtual void whistle(bool ok) = 0;

 protected:
  ~LogListener() = default;
};

class VEMO_CORE_API Log {
 public:
  Log() = delete;

  // Appends a listener; null and listeners already registered are ignored.
  static void addListener(LogListener* listener);
  static void removeListener(LogListener* listener);
  // The first listener whose getName() equals `name`, or null.
  static LogListener* getLogListener(const wchar_t* name);
  // "name@parameter": calls setparam("parameter") on the listener called "name". False when
  // there is no '@' or no such listener; otherwise the listener's answer.
  static bool setparam(const wchar_t* param);

  static void error(const wchar_t* format, ...);
  static void warning(const wchar_t* format, ...);
  static void message(const wchar_t* format, ...);
  static void debug(const wchar_t* format, ...);
  static void whistle(bool ok);
};

}  // namespace vemo
