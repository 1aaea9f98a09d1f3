#include "NetMessages.h"

namespace nettest {
VEMO_IMPLEMENT_PROPERTY(Inner, VEMO_PROPERTY(label, L"Label"))
VEMO_IMPLEMENT_PROPERTY(Every, VEMO_PROPERTY(number, L"Number"))
VEMO_IMPLEMENT_PROPERTY(Other, VEMO_PROPERTY(number, L"Number"))
}  // namespace nettest
