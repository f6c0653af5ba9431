// Tells a service manager what the collector is doing, as systemd's
// Type=notify services do: "READY=1" once it listens, "STOPPING=1" when it
// begins its clean stop. Without a service manager that asked
// ($NOTIFY_SOCKET unset), nothing.
#ifndef LV_COLLECTOR_SERVICE_NOTIFY_H
#define LV_COLLECTOR_SERVICE_NOTIFY_H

namespace lvcollect {

void NotifyServiceManager(const char* state);

}  // namespace lvcollect

#endif
