// The tie between a message port's queue and the system bound to it (MessagePort::bind). The
// queue points to its system without owning it; the system keeps the queues bound to it and,
// when it is destroyed, takes itself out of each of them.
#pragma once

#include "vemo/core/MessagePort.h"
#include "vemo/core/System.h"
#include "vemo/core/Unknown.h"

namespace vemo {
namespace detail {

// Unbinds `system` from the queue (a port's shared queue), when it is still bound there; it
// waits for a push that is notifying the system.
void forgetConsumer(Unknown* queue, System* system);

// The feeder set on the queue (a port's shared queue), or null.
Unknown::Handle_T<MessageFeeder> queueFeeder(Unknown* queue);

}  // namespace detail
}  // namespace vemo
