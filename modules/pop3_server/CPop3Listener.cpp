// CPop3Listener: the POP3 service on the shared listener.
#include "CPop3Listener.h"

CPop3Listener::CPop3Listener(CAccountDatabase* database) {
    environment.database = database;
    environment.throttle = &throttle;
    environment.stopFd = tcp.StopFd();
    environment.tls = &tls;
}

// The sessions use this object's members: they end before any of them goes.
CPop3Listener::~CPop3Listener() {
    implicitTcp.Stop();
    tcp.Shutdown();
    implicitTcp.Shutdown();
}

bool CPop3Listener::Start() {
    settings = CPop3Settings::Read();
    tls.Load("POP3");
    CTcpListener::Options options;
    options.name = "POP3";
    options.listenAddress = settings.listenAddress;
    options.addressSetting = "Ports\\POP3 Listen Address";
    options.port = settings.port;
    options.maxSessions = settings.maxSessions;
    options.busyReply = "-ERR [SYS/TEMP] Too many sessions, try again later\r\n";
    if (!tcp.Start(options)) return false;
    if (settings.tlsPort == 0 || !tls.Available()) return true;
    options.name = "POP3S";
    options.port = settings.tlsPort;
    // A client that expects TLS would take a plain refusal for a broken handshake.
    options.busyReply.clear();
    if (implicitTcp.Start(options)) return true;
    tcp.Stop();
    return false;
}

void CPop3Listener::Stop() {
    tcp.Stop();
    implicitTcp.Stop();
}

std::string CPop3Listener::Admit(const CClientAddress& peer) {
    if (clients.Admit(peer, settings.sessionsPerClient)) return {};
    // Sent on the implicit-TLS port too: the client's handshake fails either way.
    return "-ERR [SYS/TEMP] Too many sessions from your address, try again later\r\n";
}

void CPop3Listener::Serve(UniqueFd client, const CClientAddress& peer) {
    CPop3Session(std::move(client), peer, environment, settings).Run();
}

void CPop3Listener::ImplicitTls::Serve(UniqueFd client, const CClientAddress& peer) {
    CPop3Session::Environment environment = owner.environment;
    environment.implicitTls = true;
    environment.stopFd = owner.implicitTcp.StopFd();
    CPop3Session(std::move(client), peer, environment, owner.settings).Run();
}
