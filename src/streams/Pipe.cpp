#include "vemo/core/Pipe.h"

namespace vemo {
namespace {

// Runs a call under a lock when there is one.
template <class Call>
int locked(const SharedPtr<Mutex>& lock, Call call) {
  if (!lock) return call();
  MutexLock guard(*lock);
  return call();
}

}  // namespace

Unknown::Handle_T<Pipe> Pipe::createInstance(Input* input, Output* output) {
  return Handle_T<Pipe>(new Pipe(input, output));
}

Unknown::Handle_T<MutexPipe> MutexPipe::createInstance(Input* input,
                                                       const SharedPtr<Mutex>& inputLock,
                                                       Output* output,
                                                       const SharedPtr<Mutex>& outputLock) {
  return Handle_T<MutexPipe>(new MutexPipe(input, inputLock, output, outputLock));
}

int MutexPipe::available() const {
  return locked(_inputLock, [this] { return _input ? _input->available() : -1; });
}

int MutexPipe::peek(void* buffer, int size) const {
  return locked(_inputLock, [&] { return _input ? _input->peek(buffer, size) : -1; });
}

int MutexPipe::read(void* buffer, int size) {
  return locked(_inputLock, [&] { return _input ? _input->read(buffer, size) : -1; });
}

int MutexPipe::write(const void* data, int size) {
  return locked(_outputLock, [&] { return _output ? _output->write(data, size) : -1; });
}

}  // namespace vemo
