// CSmtpListener: the SMTP service on the shared listener.
#include "CSmtpListener.h"

#include "foundation/CModuleLog.h"
#include "platform/DescriptorLimit.h"

CSmtpListener::CSmtpListener(CAccountDatabase* database, CMailSpooler* spooler) : throttle("SMTP", &g_loginLocks) {
    environment.database = database;
    environment.spooler = spooler;
    environment.tls = &tls;
    environment.throttle = &throttle;
    environment.gate = &gate;
}

// The sessions use this object's members: they end before any of them goes.
CSmtpListener::~CSmtpListener() {
    Stop();
    smtps.tcp.Shutdown();
    submission.tcp.Shutdown();
    relay.tcp.Shutdown();
}

void CSmtpListener::Stop() {
    relay.tcp.Stop();
    submission.tcp.Stop();
    smtps.tcp.Stop();
}

int CSmtpListener::ActiveSessions() const {
    return relay.tcp.ActiveSessions() + submission.tcp.ActiveSessions() + smtps.tcp.ActiveSessions();
}

bool CSmtpListener::StartPort(PortService& port, const char* name, std::uint16_t number) {
    CTcpListener::Options options;
    options.name = name;
    options.listenAddress = settings.listenAddress;
    options.addressSetting = "Ports\\SMTP Listen Address";
    options.port = number;
    options.maxSessions = gate.Cap();
    options.busyReply = "421 " + environment.hostName + " Too many connections, try again later\r\n";
    return port.tcp.Start(options);
}

bool CSmtpListener::Start() {
    settings = CSmtpSettings::Read();
    gate.SetLimits(settings.maxSessions,
                   CSessionGate::CapForDescriptors(DescriptorLimit(), CSmtpSettings::kHardMaxSessions),
                   settings.sessionsPerClient);
    environment.machineNames = CRecipientResolver::MachineNames();
    environment.hostName = environment.machineNames.empty() ? "localhost" : environment.machineNames.back();
    // Every session of every port watches the one stop signal: the relay port's.
    environment.stopFd = relay.tcp.StopFd();
    tls.Load("SMTP");
    if (!StartPort(relay, "SMTP", settings.port)) return false;
    const bool submitting =
        settings.submissionPort == 0 || StartPort(submission, "Submission", settings.submissionPort);
    bool secure = true;
    if (settings.smtpsPort != 0 && tls.Available())
        secure = StartPort(smtps, "SMTPS", settings.smtpsPort);
    else if (settings.smtpsPort != 0)
        g_moduleLog.Write("SMTPS server: not listening on port " + std::to_string(settings.smtpsPort) +
                          ": no usable certificate");
    if (submitting && secure) return true;
    Stop();
    return false;
}

std::string CSmtpListener::PortService::Admit(const CClientAddress& peer) {
    switch (owner.gate.Admit(peer)) {
        case CSessionGate::Verdict::Admitted:
            return {};
        case CSessionGate::Verdict::Full:
            return "421 " + owner.environment.hostName + " Too many connections, try again later\r\n";
        case CSessionGate::Verdict::AddressFull:
            break;
    }
    return "421 " + owner.environment.hostName + " Too many connections from your address, try again later\r\n";
}

void CSmtpListener::PortService::Serve(UniqueFd client, const CClientAddress& peer) {
    CSmtpSettings current = CSmtpSettings::Read();
    current.port = owner.settings.port;
    current.maxSessions = owner.gate.Cap();
    CSmtpSession(std::move(client), peer, owner.environment, current, mode).Run();
}
