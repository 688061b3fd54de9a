// CImapListener: the IMAP service on the shared listener.
#include "CImapListener.h"

#include "foundation/CAccountDatabase.h"
#include "store/CSqlMailboxStore.h"

namespace {
// Sessions are threads, most of them idle: a small stack each (more under
// the sanitizers, whose frames are larger).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kSessionStack = 2 * 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t kSessionStack = 2 * 1024 * 1024;
#else
constexpr std::size_t kSessionStack = 256 * 1024;
#endif
#else
constexpr std::size_t kSessionStack = 256 * 1024;
#endif
}  // namespace

CImapListener::CImapListener(CAccountDatabase* database) {
    environment.login = [database](const std::string& user, const std::string& password) {
        return CImapLogin::Check(database, user, password);
    };
    // Each session's own store on the account database's connection, as POP3's.
    environment.openMailbox = [database](long accountId) {
        return database ? mailbox::OpenAccountMailbox(database->GetConnectionHandle(), accountId)
                        : std::unique_ptr<mailbox::CMailboxStore>();
    };
    environment.throttle = &throttle;
    environment.stopFd = tcp.StopFd();
    environment.tls = &tls;
}

// The sessions use this object's members: they end before any of them goes.
CImapListener::~CImapListener() {
    implicitTcp.Stop();
    tcp.Shutdown();
    implicitTcp.Shutdown();
}

bool CImapListener::Start() {
    settings = CImapSettings::Read();
    tls.Load("IMAP");
    CTcpListener::Options options;
    options.name = "IMAP";
    options.listenAddress = settings.listenAddress;
    options.addressSetting = "Ports\\IMAP Listen Address";
    options.port = settings.port;
    options.maxSessions = settings.maxSessions;
    options.busyReply = "* BYE Too many sessions, try again later\r\n";
    options.stackBytes = kSessionStack;
    if (!tcp.Start(options)) return false;
    if (settings.tlsPort == 0 || !tls.Available()) return true;
    options.name = "IMAPS";
    options.port = settings.tlsPort;
    options.busyReply.clear();
    if (implicitTcp.Start(options)) return true;
    tcp.Stop();
    return false;
}

void CImapListener::Stop() {
    tcp.Stop();
    implicitTcp.Stop();
}

std::string CImapListener::Admit(const CClientAddress& peer) {
    if (clients.Admit(peer, settings.sessionsPerClient)) return {};
    return "* BYE Too many sessions from your address, try again later\r\n";
}

void CImapListener::Serve(UniqueFd client, const CClientAddress& peer) {
    CImapSession(std::move(client), peer, environment, settings).Run();
}

void CImapListener::ImplicitTls::Serve(UniqueFd client, const CClientAddress& peer) {
    CImapSession::Environment environment = owner.environment;
    environment.implicitTls = true;
    environment.stopFd = owner.implicitTcp.StopFd();
    CImapSession(std::move(client), peer, environment, owner.settings).Run();
}
