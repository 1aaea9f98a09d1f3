// Must not compile: a message field that is a vector of wchar_t, whose bytes differ between
// platforms (and which has no stream operators of its own).
#include <vector>

#include "vemo/core/Message.h"

class Samples : public vemo::Message {
  VEMO_DECLARE_PROPERTY(Samples, vemo::Message)
  VEMO_MESSAGE_FIELDS(id, values)

 public:
  int id = 0;
  std::vector<wchar_t> values;

 protected:
  Samples() = default;
};

void use(vemo::OutputStream& os, const Samples& samples) {
  samples.exportTo(os);
}
