#include "vemo/core/Tick.h"

#include "ThreadSleep.h"

namespace vemo {

// ---- Tick ------------------------------------------------------------------------------

Unknown::Handle_T<Tick> Tick::createInstance() {
  return Handle_T<Tick>(new Tick());
}

bool Tick::addTickHandler(void (*function)(unsigned int)) {
  if (!function) return false;
  return addTickHandler(Handler(function));
}

// Nothing to call is refused, as a message dispenser refuses it: the pass would call it.
bool Tick::addTickHandler(const Handler& handler) {
  if (handler.isNull()) return false;
  for (const Handler& listed : _handlers) {
    if (listed == handler) return true;
  }
  _handlers.push_back(handler);
  return true;
}

void Tick::removeTickHandler(void (*function)(unsigned int)) {
  if (function) removeTickHandler(Handler(function));
}

void Tick::removeTickHandler(const Handler& handler) {
  for (auto listed = _handlers.begin(); listed != _handlers.end(); ++listed) {
    if (*listed == handler) {
      _handlers.erase(listed);
      return;
    }
  }
}

void Tick::clearAllTickHandler() {
  _handlers.clear();
}

void Tick::onTick(unsigned int elapsed) {
  for (const Handler& handler : _handlers)
    handler(elapsed);
}

// ---- Yield -----------------------------------------------------------------------------

Unknown::Handle_T<Yield> Yield::createInstance() {
  return Handle_T<Yield>(new Yield());
}

Unknown::Handle_T<Yield> Yield::createInstance(unsigned int ms) {
  return Handle_T<Yield>(new Yield(ms));
}

void Yield::onTick(unsigned int) {
  detail::sleepMilliseconds(_yieldTime);
}

}  // namespace vemo
