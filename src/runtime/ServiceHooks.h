// What the service host's portable and platform files share, and the hooks through which the
// tests point the Linux service functions at a unit directory, a systemctl program and a
// "systemd is running" marker of their own. Not settings for users: the tests set them.
#pragma once

#include <string>

#include "vemo/core/Export.h"

namespace vemo {
namespace service_detail {

// Ticks completed by every ServiceSystem so far.
unsigned long tickCount();

// Empty strings restore the defaults (/etc/systemd/system, systemctl from PATH,
// /run/systemd/system).
VEMO_CORE_API void setTestHooks(const std::string& unitDirectory, const std::string& systemctl,
                                const std::string& runningMarker);

}  // namespace service_detail
}  // namespace vemo
