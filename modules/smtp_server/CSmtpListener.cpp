// CSmtpListener: the SMTP service on the shared listener (see the header).
#include "CSmtpListener.h"

CSmtpListener::CSmtpListener(CAccountDatabase* database, CMailSpooler* spooler) {
    environment.database = database;
    environment.spooler = spooler;
    environment.stopFd = tcp.StopFd();
}

// The sessions use this object's members: they end before any of them goes.
CSmtpListener::~CSmtpListener() { tcp.Shutdown(); }

bool CSmtpListener::Start() {
    settings = CSmtpSettings::Read();
    environment.machineNames = CRecipientResolver::MachineNames();
    environment.hostName = environment.machineNames.empty() ? "localhost" : environment.machineNames.back();
    CTcpListener::Options options;
    options.name = "SMTP";
    options.listenAddress = settings.listenAddress;
    options.addressSetting = "Ports\\SMTP Listen Address";
    options.port = settings.port;
    options.maxSessions = settings.maxSessions;
    options.busyReply = "421 " + environment.hostName + " Too many connections, try again later\r\n";
    return tcp.Start(options);
}

std::string CSmtpListener::Admit(const CClientAddress& peer) {
    if (clients.Admit(peer, settings.sessionsPerClient)) return {};
    return "421 " + environment.hostName + " Too many connections from your address, try again later\r\n";
}

void CSmtpListener::Serve(UniqueFd client, const CClientAddress& peer) {
    CSmtpSettings current = CSmtpSettings::Read();
    current.port = settings.port;
    current.maxSessions = settings.maxSessions;
    CSmtpSession(std::move(client), peer, environment, current).Run();
}
