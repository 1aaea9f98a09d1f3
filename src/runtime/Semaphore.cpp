#include "vemo/core/Semaphore.h"

namespace vemo {

Unknown::Handle_T<Semaphore> Semaphore::createInstance() {
  return Handle_T<Semaphore>(new Semaphore());
}

}  // namespace vemo
