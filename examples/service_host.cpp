// A host program that runs one ServiceSystem in the foreground from a terminal, or as a service
// when the service manager started it (systemd with Type=notify, the Windows service control
// manager).
//
//   service_host install [port=8080]   installs the service "vemo-service-host" for this program
//   service_host remove                removes it
//   service_host [port=8080] [ctl=ENDPOINT]
//                                      runs: Ctrl+C (or SIGTERM) stops it, SIGHUP reloads
//
// The host runs a control box, an application box that answers "status", "echo WORDS..." and
// "stop". Where vemo_net is built it is served on ENDPOINT, by default
// ipc://$RUNTIME_DIRECTORY/vemo-service-host.ctl (RuntimeDirectory= of a systemd unit), so that
//
//   vemo-ctl ipc://$RUNTIME_DIRECTORY/vemo-service-host.ctl status
//
// prints the host's status. A crash of the host leaves a report and a minidump next to the
// program file.
#include <cwchar>

#include "vemo/core/AppBox.h"
#include "vemo/core/Log.h"
#include "vemo/core/ServiceApplication.h"
#if defined(VEMO_EXAMPLE_NET)
#include "vemo/net/BoxEndpoint.h"
#endif

using namespace vemo;

// The control box: its commands run on the box's own thread.
class ControlBox : public AppBox {
 public:
  static Handle_T<AppBox> create(const wchar_t* name, const wchar_t* parameters) {
    return Handle_T<AppBox>(new ControlBox(name, parameters));
  }

 protected:
  using AppBox::AppBox;
  bool docmd(AppPipe* pipe, const std::vector<String>& words) override {
    if (words[0] == L"status") {
      pipe->write(L"name " + ServiceSystem::getSystemName());
      pipe->write(L"port " + ServiceSystem::getArguments(L"port", L"8080"));
      return true;
    }
    if (words[0] == L"echo") {
      for (std::size_t i = 1; i < words.size(); ++i)
        pipe->write(words[i]);
      return true;
    }
    if (words[0] == L"stop" && words.size() == 1) {
      // The host sleeps until woken: its own shutdown wakes it.
      Handle_T<ServiceSystem> host = ServiceSystem::getSystem();
      return host && host->shutdown();
    }
    pipe->write(L"unknown command " + words[0] + L" (status, echo WORDS..., stop)");
    return false;
  }
};

// The host system: sleeps between its passes until there is work (a stop, a reload, the
// watchdog's check).
struct Host : ServiceSystem {
  static Handle_T<ServiceSystem> create() { return Handle_T<ServiceSystem>(new Host()); }
  bool init() override {
    if (!ServiceSystem::init()) return false;
    Log::message(L"%s running on port %s", getSystemName().getBuffer(),
                 getArguments(L"port", L"8080").getBuffer());
    setUpApp(L"ControlBox", &ControlBox::create);
    _control = startApp(L"ControlBox", L"control", L"");
    if (!_control) return false;
#if defined(VEMO_EXAMPLE_NET)
    const String fallback(vemo::net::BoxEndpoint::defaultEndpoint(getSystemName()));
    const String_T<char> endpoint(std::wstring(getArguments(L"ctl", fallback).getBuffer()));
    _context = vemo::net::Context::createInstance();
    _endpoint = vemo::net::BoxEndpoint::createInstance(_context, _control, endpoint.getBuffer());
    if (!_endpoint) return false;
    Log::message(L"control box on %S", _endpoint->getEndpoint().c_str());
#endif
    ServiceApplication::setStatus(L"serving");
    setIdleWait(true);
    return true;
  }
  void exit() override {
#if defined(VEMO_EXAMPLE_NET)
    _endpoint = nullptr;  // before the box it serves ends
    _context = nullptr;
#endif
    if (_control) exitApp(_control);
    _control = nullptr;
    ServiceSystem::exit();
  }

 private:
  Handle_T<App> _control;
#if defined(VEMO_EXAMPLE_NET)
  Handle_T<vemo::net::Context> _context;
  Handle_T<vemo::net::BoxEndpoint> _endpoint;
#endif
};

int main(int argc, char** argv) {
  ServiceApplication app(L"vemo-service-host", L"vemo example service host", &Host::create);
  app.setSupportAddress(L"support@example.org");
  return app.run(argc, argv);
}
