// A host program that runs one ServiceSystem in the foreground from a terminal, or as a service
// when the service manager started it (systemd with Type=notify, the Windows service control
// manager).
//
//   service_host install [port=8080]   installs the service "vemo-service-host" for this program
//   service_host remove                removes it
//   service_host [port=8080]           runs: Ctrl+C (or SIGTERM) stops it, SIGHUP reloads
//
// A crash of the host leaves a report and a minidump next to the program file.
#include "vemo/core/Log.h"
#include "vemo/core/ServiceApplication.h"

using namespace vemo;

// The host system: sleeps between its passes until there is work (a stop, a reload, the
// watchdog's check).
struct Host : ServiceSystem {
  static Handle_T<ServiceSystem> create() { return Handle_T<ServiceSystem>(new Host()); }
  bool init() override {
    if (!ServiceSystem::init()) return false;
    Log::message(L"%s running on port %s", getSystemName().getBuffer(),
                 getArguments(L"port", L"8080").getBuffer());
    ServiceApplication::setStatus(L"serving");
    setIdleWait(true);
    return true;
  }
};

int main(int argc, char** argv) {
  ServiceApplication app(L"vemo-service-host", L"vemo example service host", &Host::create);
  app.setSupportAddress(L"support@example.org");
  return app.run(argc, argv);
}
