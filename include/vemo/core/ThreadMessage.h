/// \file
/// Messages posted to a thread: an id with two parameters, or a call to make, served one at a
/// time by the thread's System tick (System.h) before its scheduling pass.
///
/// \code
/// // on the system's thread, once:
/// setThreadMessageHook([](unsigned int id, std::uintptr_t w, std::intptr_t l) { ... });
/// // from any thread:
/// postThreadMessage(system->getRunThreadId(), kRedraw, 0, 0);
/// postThreadCall(system->getRunThreadId(), [box] { box->reload(); });
/// \endcode
///
/// On Windows these are the thread's own window-message queue (PostThreadMessageW; a call
/// travels as a registered message whose parameter points to it, and serving the message makes
/// the call). Elsewhere the library keeps a first-in first-out queue per thread that it made one
/// for: a thread that runs a System or a Thread has one, another thread makes its own with
/// createThreadMessageQueue. A posted message also wakes a system sleeping in System::sleep on
/// that thread, so that the next tick serves it.
///
/// Thread ids are those of Thread::getCurrentThreadId (and System::getRunThreadId).
#pragma once

#include <cstdint>
#include <functional>

#include "vemo/core/Export.h"

namespace vemo {

/// Receives the id messages (not the calls) that a tick serves, on the serving thread. On
/// Windows it also sees every other message posted to the thread without a window.
using ThreadMessageHook = void (*)(unsigned int id, std::uintptr_t wParam, std::intptr_t lParam);

/// Posts an id message to the thread; false when the thread has no queue (or has ended, or the
/// id is 0).
VEMO_CORE_API bool postThreadMessage(unsigned long threadId, unsigned int id, std::uintptr_t wParam,
                                     std::intptr_t lParam);
/// Posts a call to make on the thread; false (and the call is dropped) when the thread has no
/// queue. An exception thrown by the call passes to the caller of the tick that served it (a
/// System's run loop logs it and goes on). Calls still queued when the thread ends are dropped
/// without being made.
VEMO_CORE_API bool postThreadCall(unsigned long threadId, std::function<void()> call);
/// Sets the process-wide hook for id messages and returns the previous one (null: the messages
/// are dropped once served).
VEMO_CORE_API ThreadMessageHook setThreadMessageHook(ThreadMessageHook hook);
/// Makes sure the calling thread has a queue, so that posts to it are taken from now on.
VEMO_CORE_API void createThreadMessageQueue();
/// Serves one message posted to the calling thread: makes the call, or gives an id message to
/// the hook. False when none was waiting. System::tick calls this.
VEMO_CORE_API bool dispatchThreadMessage();

}  // namespace vemo
