// ServiceNotify: sd_notify when libsystemd is built in, nothing otherwise.
#include "platform/ServiceNotify.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef VELMORA_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

#ifdef VELMORA_HAVE_SYSTEMD
void Send(const std::string& state) {
    // The environment stays: the heartbeat and the stop use the same socket.
    ::sd_notify(0, state.c_str());
}
#endif

}  // namespace

bool ServiceNotify::Supported() {
#ifdef VELMORA_HAVE_SYSTEMD
    return true;
#else
    return false;
#endif
}

void ServiceNotify::Ready(std::string_view status) {
#ifdef VELMORA_HAVE_SYSTEMD
    // One line, bounded: the protocol separates assignments by line feeds.
    std::string line;
    for (char c : status.substr(0, 200)) line += (c == '\n' || c == '\r') ? ' ' : c;
    Send("READY=1\nSTATUS=" + line);
#else
    (void)status;
#endif
}

void ServiceNotify::Heartbeat() {
#ifdef VELMORA_HAVE_SYSTEMD
    Send("WATCHDOG=1");
#endif
}

void ServiceNotify::Stopping() {
#ifdef VELMORA_HAVE_SYSTEMD
    Send("STOPPING=1\nSTATUS=Stopping");
#endif
}

std::chrono::milliseconds ServiceNotify::HeartbeatInterval() {
#ifdef VELMORA_HAVE_SYSTEMD
    std::uint64_t usec = 0;
    if (::sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::chrono::milliseconds(0);
    // At least every millisecond, however short a period a manager set.
    return std::chrono::milliseconds(usec / 2000 > 0 ? usec / 2000 : 1);
#else
    return std::chrono::milliseconds(0);
#endif
}

bool ServiceNotify::UnderServiceManager() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket && *socket) return true;
    // "DEVICE:INODE" of the stream the journal gave the service; it is ours
    // only while standard error is still that stream.
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream || !*stream) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat info {};
    if (::fstat(STDERR_FILENO, &info) != 0) return false;
    return static_cast<unsigned long long>(info.st_dev) == device && static_cast<unsigned long long>(info.st_ino) == inode;
}
