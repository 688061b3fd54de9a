// CGeneratedMailSessions: a process-wide count of registered local ports.
#include "smtp/CGeneratedMailSessions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <map>

#include "platform/MutexLock.h"

namespace {

Mutex g_lock;  // the ports below
std::map<std::uint16_t, int> g_ports GUARDED_BY(g_lock);         // generated: port -> sessions holding it
std::map<std::uint16_t, int> g_fetchedPorts GUARDED_BY(g_lock);  // fetched: the same

std::map<std::uint16_t, int>& PortsOf(CGeneratedMailSessions::Kind kind) REQUIRES(g_lock) {
    return kind == CGeneratedMailSessions::Kind::Generated ? g_ports : g_fetchedPorts;
}

bool IsLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && v6.sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

std::uint16_t PortOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

}  // namespace

void CGeneratedMailSessions::Add(std::uint16_t localPort, Kind kind) {
    if (localPort == 0) return;
    MutexLock guard(g_lock);
    ++PortsOf(kind)[localPort];
}

void CGeneratedMailSessions::Remove(std::uint16_t localPort, Kind kind) {
    MutexLock guard(g_lock);
    std::map<std::uint16_t, int>& ports = PortsOf(kind);
    auto found = ports.find(localPort);
    if (found != ports.end() && --found->second <= 0) ports.erase(found);
}

namespace {

bool IsRegistered(int acceptedSocket, CGeneratedMailSessions::Kind kind) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (acceptedSocket < 0 || ::getpeername(acceptedSocket, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        !IsLoopback(peer))
        return false;
    MutexLock guard(g_lock);
    return PortsOf(kind).count(PortOf(peer)) != 0;
}

}  // namespace

bool CGeneratedMailSessions::IsGeneratedMailSession(int acceptedSocket) {
    return IsRegistered(acceptedSocket, Kind::Generated);
}

bool CGeneratedMailSessions::IsFetchedMailSession(int acceptedSocket) {
    return IsRegistered(acceptedSocket, Kind::Fetched);
}

std::uint16_t CGeneratedMailSessions::LocalPortOf(int socket) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (socket < 0 || ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return PortOf(local);
}
