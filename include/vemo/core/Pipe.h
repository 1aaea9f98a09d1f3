/// \file
/// Pipe and MutexPipe: one Input and one Output joined into a single IO.
///
/// Reading reads from the input, writing writes to the output; nothing is buffered. MutexPipe
/// holds a lock per direction around each call; pipes given the same lock for the same end are
/// serialised together, and reading never waits for writing. A missing end reads or writes -1.
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/SharedPtr.h"
#include "vemo/core/Stream.h"

namespace vemo {

/// An IO that reads from one stream and writes to another; -1 where a side is missing.
class VEMO_CORE_API Pipe : public IO {
 public:
  /// A pipe that reads from `input` and writes to `output` (either may be null).
  static Handle_T<Pipe> createInstance(Input* input, Output* output);

  int available() const override { return _input ? _input->available() : -1; }
  int peek(void* buffer, int size) const override {
    return _input ? _input->peek(buffer, size) : -1;
  }
  int read(void* buffer, int size) override { return _input ? _input->read(buffer, size) : -1; }
  int write(const void* data, int size) override {
    return _output ? _output->write(data, size) : -1;
  }

  ///@{
  /// The copy reads and writes the same streams.
  Pipe(const Pipe& other) = default;
  Pipe& operator=(const Pipe& other) = default;
  ///@}

 private:
  Pipe(Input* input, Output* output) : _input(input), _output(output) {}

  Handle_T<Input> _input;
  Handle_T<Output> _output;
};

/// A Pipe whose reads and writes each take the lock of their side, so that the two ends of a
/// connection on different threads share the streams safely.
class VEMO_CORE_API MutexPipe : public IO {
 public:
  /// A pipe over `input` under `inputLock` and `output` under `outputLock`.
  static Handle_T<MutexPipe> createInstance(Input* input, const SharedPtr<Mutex>& inputLock,
                                            Output* output, const SharedPtr<Mutex>& outputLock);

  int available() const override;
  int peek(void* buffer, int size) const override;
  int read(void* buffer, int size) override;
  int write(const void* data, int size) override;

  ///@{
  /// The copy shares the streams and the locks.
  MutexPipe(const MutexPipe& other) = default;
  MutexPipe& operator=(const MutexPipe& other) = default;
  ///@}

 private:
  MutexPipe(Input* input, const SharedPtr<Mutex>& inputLock, Output* output,
            const SharedPtr<Mutex>& outputLock)
      : _input(input), _inputLock(inputLock), _output(output), _outputLock(outputLock) {}

  Handle_T<Input> _input;
  SharedPtr<Mutex> _inputLock;
  Handle_T<Output> _output;
  SharedPtr<Mutex> _outputLock;
};

}  // namespace vemo
