// Must not compile: a reflected member whose type has no converter.
#include "vemo/core/PropertyConverter.h"

class Gauge : public vemo::Property {
  VEMO_DECLARE_PROPERTY(Gauge, vemo::Property)
 public:
  unsigned long long reading = 0;

 protected:
  Gauge() = default;
};
VEMO_IMPLEMENT_PROPERTY(Gauge, VEMO_PROPERTY(reading, L"No converter for this type"))
