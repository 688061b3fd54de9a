// CPop3Listener: the POP3 service on the shared listener (see the header).
#include "CPop3Listener.h"

CPop3Listener::CPop3Listener(CAccountDatabase* database) {
    environment.database = database;
    environment.throttle = &throttle;
    environment.stopFd = tcp.StopFd();
}

// The sessions use this object's members: they end before any of them goes.
CPop3Listener::~CPop3Listener() { tcp.Shutdown(); }

bool CPop3Listener::Start() {
    settings = CPop3Settings::Read();
    CTcpListener::Options options;
    options.name = "POP3";
    options.port = settings.port;
    options.maxSessions = settings.maxSessions;
    options.busyReply = "-ERR [SYS/TEMP] Too many sessions, try again later\r\n";
    return tcp.Start(options);
}

void CPop3Listener::Serve(UniqueFd client, const CClientAddress& peer) {
    CPop3Session(std::move(client), peer, environment, settings).Run();
}
