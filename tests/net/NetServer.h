// A system that serves a message port whenever a push wakes it (idle wait, no polling): the way
// the net tests' processes take what their links receive.
#pragma once

#include <chrono>

#include "vemo/core/MessagePort.h"
#include "vemo/core/System.h"

namespace nettest {

class PortServer : public vemo::System {
 public:
  explicit PortServer(vemo::MessagePort& port) : _port(port) {}
  static Handle_T<PortServer> createInstance(vemo::MessagePort& port) {
    return Handle_T<PortServer>(new PortServer(port));
  }

 private:
  struct Serve : vemo::System::Task {
    explicit Serve(vemo::MessagePort& port) : port(port) {}
    void onTick(unsigned int) override { port.procMessage(std::chrono::milliseconds(10)); }
    unsigned int nextDue() const override { return kDueOnWake; }
    vemo::MessagePort& port;
  };
  bool init() override {
    if (!System::init()) return false;
    setIdleWait(true);
    _port.bind(this);
    return Handle_T<Serve>(new Serve(_port))->start(this);
  }
  void exit() override {
    _port.unbind();
    System::exit();
  }
  vemo::MessagePort& _port;
};

}  // namespace nettest
