// ServiceNotify: what the service manager (systemd) is told about the
// running server, and whether one started us.
//
// Ready goes once every listener is bound, so a unit ordered after ours
// finds the ports open; Heartbeat answers the manager's watchdog from the
// server's main loop; Stopping marks the orderly stop. Without libsystemd in
// the build, or when no manager asked (no NOTIFY_SOCKET), each is a no-op.
#pragma once

#include <chrono>
#include <string_view>

class ServiceNotify {
public:
    // True when this build can notify (it was built with libsystemd).
    static bool Supported();
    // READY=1, with a one-line status for `systemctl status`.
    static void Ready(std::string_view status);
    static void Heartbeat();
    static void Stopping();
    // How often to send Heartbeat: half the watchdog period the manager set
    // for this process (WATCHDOG_USEC), zero when it set none.
    static std::chrono::milliseconds HeartbeatInterval();
    // True when a service manager runs us: it gave us a notification socket,
    // or JOURNAL_STREAM names our standard error (the journal reads it).
    static bool UnderServiceManager();
};
