// Must not compile: a message field whose type has no stream operators.
#include "vemo/core/Message.h"

struct Position {
  int x = 0, y = 0;
};

class Moved : public vemo::Message {
  VEMO_DECLARE_PROPERTY(Moved, vemo::Message)
  VEMO_MESSAGE_FIELDS(id, where)

 public:
  int id = 0;
  Position where;

 protected:
  Moved() = default;
};

void use(vemo::OutputStream& os, const Moved& moved) {
  moved.exportTo(os);
}
