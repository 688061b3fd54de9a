// CGeneratedMailSessions: the engine's own SMTP sessions that hand generated
// mail (notices, receipts, auto-responses, forwarded copies) to the local
// SMTP server through the loopback address.
//
// A loopback client may relay, but mail the engine generates must not gain
// that right by coming back that way. The sending side registers the local
// port of such a session while it is open; the receiving server asks, for
// the socket a client came in on, whether it is one of them. The answer can
// only take a right away, so a wrong "yes" costs a notice, never a relay.
//
// Mail fetched from remote mailboxes comes back the same way but is outside
// mail: its sessions are registered as fetched, and the server filters them
// as it filters a stranger's.
#pragma once

#include <cstdint>

class CGeneratedMailSessions {
public:
    // The session whose loopback socket has this local port carries
    // generated mail until Remove. A port may be added more than once.
    enum class Kind { Generated, Fetched };
    static void Add(std::uint16_t localPort, Kind kind = Kind::Generated);
    static void Remove(std::uint16_t localPort, Kind kind = Kind::Generated);

    // True when acceptedSocket (a server-side socket) comes from the
    // loopback address and a registered local port: one of the engine's
    // own generated-mail sessions.
    static bool IsGeneratedMailSession(int acceptedSocket);
    // The same for a session that hands over fetched mail.
    static bool IsFetchedMailSession(int acceptedSocket);

    // The local port of a connected socket, 0 when it has none.
    static std::uint16_t LocalPortOf(int socket);
};
