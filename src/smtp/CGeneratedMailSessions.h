// CGeneratedMailSessions: the engine's own SMTP sessions that hand generated
// mail (notices, receipts, auto-responses, forwarded copies) to the local
// SMTP server through the loopback address.
//
// A loopback client may relay, but mail the engine generates must not gain
// that right by coming back that way. The sending side registers the local
// port of such a session while it is open; the receiving server asks, for
// the socket a client came in on, whether it is one of them. The answer can
// only take a right away, so a wrong "yes" costs a notice, never a relay.
#pragma once

#include <cstdint>

class CGeneratedMailSessions {
public:
    // The session whose loopback socket has this local port carries
    // generated mail until Remove. A port may be added more than once.
    static void Add(std::uint16_t localPort);
    static void Remove(std::uint16_t localPort);

    // True when acceptedSocket (a server-side socket) comes from the
    // loopback address and a registered local port: one of the engine's
    // own generated-mail sessions.
    static bool IsGeneratedMailSession(int acceptedSocket);

    // The local port of a connected socket, 0 when it has none.
    static std::uint16_t LocalPortOf(int socket);
};
