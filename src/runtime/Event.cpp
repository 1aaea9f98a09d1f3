#include "vemo/core/Event.h"

namespace vemo {

VEMO_IMPLEMENT_CLASS(Event)

Event::~Event() = default;

EventDispenser::~EventDispenser() = default;

namespace {

// Entries that are registered (not merely awaiting erasure).
bool isLive(const EventDispenser::Entry& entry) {
  return !entry.removed;
}

// Marks the entry as being called while it lives; then erases it if it was removed meanwhile.
class CallScope {
 public:
  CallScope(EventDispenser::HandlerList& list, EventDispenser::HandlerList::iterator entry)
      : _list(list), _entry(entry) {
    ++_entry->calls;
  }
  ~CallScope() {
    if (--_entry->calls == 0 && _entry->removed) _list.erase(_entry);
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  EventDispenser::HandlerList& _list;
  EventDispenser::HandlerList::iterator _entry;
};

}  // namespace

bool EventDispenser::addEventHandler(const EventHandler& handler) {
  SharedPtr<HandlerList>& list = _handlers[handler.getClassId()];
  if (!list) list = SharedPtr<HandlerList>(new HandlerList());
  for (const Entry& entry : *list)
    if (isLive(entry) && entry.callback == handler.getCallbackHandler()) return true;
  list->emplace_back(handler.getCallbackHandler());
  return true;
}

void EventDispenser::removeEventHandler(const EventHandler& handler) {
  const auto found = _handlers.find(handler.getClassId());
  if (found == _handlers.end()) return;
  HandlerList& list = *found->second;
  bool empty = true;
  bool removed = false;
  for (auto entry = list.begin(); entry != list.end();) {
    if (!isLive(*entry)) {
      ++entry;
      continue;
    }
    if (!removed && entry->callback == handler.getCallbackHandler()) {
      removed = true;
      if (entry->calls > 0) {
        entry->removed = true;  // erased when its call returns
        ++entry;
      } else {
        entry = list.erase(entry);
      }
      continue;
    }
    empty = false;
    ++entry;
  }
  if (empty) _handlers.erase(found);
}

void EventDispenser::sendEvent(const Event* event) {
  if (!event) return;
  const auto found = _handlers.find(event->getClassId());
  if (found == _handlers.end()) return;
  // Keeps the list alive if the handlers empty it or clear the dispenser.
  const SharedPtr<HandlerList> list = found->second;
  auto entry = list->begin();
  while (entry != list->end()) {
    if (!isLive(*entry) || entry->callback.isNull()) {
      ++entry;
      continue;
    }
    {
      // The entry, and with it its callable, stays while it is being called: a handler that
      // removes itself only marks it.
      const CallScope scope(*list, entry);
      entry->callback(event);
      // Read after the call and before the entry may go: what was appended meanwhile, even
      // behind the last entry, is reached.
      const auto next = std::next(entry);
      entry = next;
    }
  }
}

int EventDispenser::getEventHandlerCount(unsigned int classId) const {
  const auto found = _handlers.find(classId);
  if (found == _handlers.end()) return 0;
  int count = 0;
  for (const Entry& entry : *found->second)
    if (isLive(entry)) ++count;
  return count;
}

}  // namespace vemo
