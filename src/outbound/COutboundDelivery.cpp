// COutboundDelivery: the delivery pass.
#include "outbound/COutboundDelivery.h"

#include <algorithm>
#include <memory>

#include "foundation/CMailContent.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/COwnNames.h"
#include "foundation/COutboundRows.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "outbound/CFailedMails.h"
#include "outbound/COutboundQueueReader.h"
#include "foundation/COutboundReplies.h"
#include "platform/Registry.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"
#include "smtp/CSmtpConnection.h"

namespace {

constexpr const char* kOutboxDirectory = "Outbox";
constexpr const char* kMasked = "***";

std::atomic<std::uint32_t> g_sendBlockSize{COutboundDelivery::kDefaultBlockSize};
std::atomic<std::uint32_t> g_receiveBlockSize{COutboundDelivery::kDefaultBlockSize};

// The port of a stored domain value "host:port"; fallback when there is none.
int DomainPort(const std::string& domain, int fallback) {
    const std::size_t colon = domain.find(':');
    if (colon == std::string::npos) return fallback;
    long port = 0;
    for (std::size_t i = colon + 1; i < domain.size() && domain[i] >= '0' && domain[i] <= '9'; ++i) {
        port = port * 10 + (domain[i] - '0');
        if (port > 65535) return fallback;
    }
    return port == 0 ? fallback : static_cast<int>(port);
}

// The domain of a recipient address: a stored ":port" suffix says where to
// connect and is no part of any address.
std::string AddressDomain(const std::string& domain) {
    return domain.substr(0, domain.find(':'));
}

}  // namespace

COutboundDelivery::COutboundDelivery() : passStart(std::time(nullptr)) {
    // A value missing from the existing key reads 0; without the key, the defaults.
    receiveThreadCount = settings::Dword{settings::kPreferences, "ReceiveThreadCount"}.ValueOrZero();
    errorMailDayCount = settings::Dword{settings::kPreferences, "ErrorMailDayCount"}.ValueOrZero();
    g_sendBlockSize = settings::Dword{settings::kPreferences, "SendBufferSize"}.ValueOrZero();
    g_receiveBlockSize = settings::Dword{settings::kPreferences, "ReceiveBufferSize"}.ValueOrZero();
    mxPort = static_cast<int>(settings::Dword{settings::kPorts, "MX Port"}.Value());

    // Empty when no name is known: each session then greets with its address literal.
    heloName = COwnNames::Domain();
}

COutboundDelivery::~COutboundDelivery() = default;

std::uint32_t COutboundDelivery::SendBlockSize() {
    return g_sendBlockSize;
}

std::uint32_t COutboundDelivery::ReceiveBlockSize() {
    return g_receiveBlockSize;
}

void COutboundDelivery::AttachDatabase(CMailDatabase* db) {
    database = db;
    connection = db ? db->GetConnectionHandle() : SQL_NULL_HDBC;
    if (connection == SQL_NULL_HDBC) return;
    COutboundRows::PurgeSent(connection);
}

void COutboundDelivery::SetStatusWindow(StatusWindow* window) {
    statusWindow = window;
}

void COutboundDelivery::SetStopSignal(const StopSignal* stop) {
    stopRequested = stop;
}

void COutboundDelivery::PostStatus(const std::string& text) {
    if (statusWindow) statusWindow->Post(StatusWindow::kStatusLine, 0, text, 0);
}

bool COutboundDelivery::StopRequested() const {
    return stopRequested && stopRequested->Raised();
}

void COutboundDelivery::MarkOutboundRows(const std::string& domain, const std::string* mailFile,
                                         const std::string* user, bool sent, int failureCode) {
    COutboundRows::Mark(connection, domain, mailFile, user, sent, failureCode);
}

void COutboundDelivery::MarkFailure(const std::string& domain, const std::string* mailFile, const std::string* user,
                                    int failureCode) {
    // A step the stop cut short failed for no reason of the peer's.
    if (!StopRequested()) MarkOutboundRows(domain, mailFile, user, false, failureCode);
}

void COutboundDelivery::MarkDelivered(const std::string& mailFile, const std::vector<Recipient>& accepted,
                                      const std::string& sender, CMailContent& message) {
    COutboundRows::MarkSent(connection, mailFile, accepted);
    if (acceptedHook)
        for (const auto& [user, domain] : accepted) acceptedHook(sender, user + "@" + AddressDomain(domain), message);
}

bool COutboundDelivery::KeepReply(const CSmtpConnection& smtp, const std::string& mailFile,
                                  const Recipient& recipient, const char* step) {
    // Only what the peer said counts: a session that broke or timed out
    // tells nothing about the recipient, and is retried.
    const std::string& code = smtp.LastCode();
    if (code.size() != 3 || (code[0] != '4' && code[0] != '5')) return false;
    std::string reply = COutboundReplies::Clean(smtp.LastReply());
    if (reply.compare(0, 3, code) != 0) reply = code;
    const bool permanent = COutboundReplies::IsPermanent(reply);
    const auto& [user, domain] = recipient;
    if (!COutboundReplies::Record(connection, {mailFile, user, domain}, reply))
        g_moduleLog.Write("*** The reply could not be kept with its queue row");
    const std::string address = user + "@" + AddressDomain(domain);
    g_moduleLog.Write(StringPrintf("*** %s for %s refused %s: %s", step, address.c_str(),
                                   permanent ? "for good" : "for now (retried)", reply.c_str()));
    PostStatus("Remote reply for " + address + ": " + reply);
    return permanent;
}

void COutboundDelivery::DataFailed(const CSmtpConnection& smtp, const std::string& mailFile,
                                   const std::vector<Recipient>& accepted, int failureCode) {
    // Only the transaction's own rows: a recipient refused at RCPT keeps its
    // code and its reply.
    for (const Recipient& recipient : accepted) {
        KeepReply(smtp, mailFile, recipient, "Data");
        MarkFailure(recipient.second, &mailFile, &recipient.first, failureCode);
    }
}

// --- Direct delivery.

void COutboundDelivery::DeliverDirect() {
    CSmtpConnection smtp;
    const std::string gateway = settings::Text{settings::kPorts, "RemoteGateway Server"}.Value(256);
    smtp.SetStopSignal(stopRequested);
    smtp.SetChunkSize(SendBlockSize());
    // Exchangers are found through DNS: nothing proves which certificate
    // is right, so TLS only keeps the mail from passive eyes (RFC 7435).
    smtp.SetTlsPolicy(CSmtpConnection::TlsPolicy::Opportunistic);
    const COutboundRows::Listing domains = COutboundRows::Domains(connection);
    if (domains.step == COutboundRows::Step::NoHandle) PostStatus(domains.handleError);
    if (!domains.Ok()) return;
    smtp.SetOwnName(heloName);
    for (const std::string& domain : domains.values) {
        if (StopRequested()) break;
        DeliverDomain(smtp, domain, gateway);
    }
    ProcessFailedMails();
}

void COutboundDelivery::ConnectFailed(const std::string& domain, int port, int result, const std::string& gateway) {
    if (!gateway.empty()) {
        // Tells an unreachable domain from an unreachable network; the
        // probe carries no mail and is closed at once.
        CSmtpConnection probe;
        probe.SetStopSignal(stopRequested);
        probe.SetOwnName(heloName);
        const int probed = probe.Connect(gateway, port, true);
        if (probed == CSmtpConnection::kConnected) probe.Quit();
        probe.Disconnect();
        if (probed == CSmtpConnection::kConnectFailed)
            PostStatus("Error in Connecting to " + domain);
        else
            PostStatus(StringPrintf("Error in Connecting to %s %d", domain.c_str(), result));
    } else {
        PostStatus(StringPrintf("Error in Connecting to %s %d", domain.c_str(), result));
    }
    MarkOutboundRows(domain, nullptr, nullptr, false, result == CSmtpConnection::kUnknownHost ? 5 : 1);
}

void COutboundDelivery::DeliverDomain(CSmtpConnection& smtp, const std::string& domain, const std::string& gateway) {
    PostStatus("Connecting to " + domain);
    const int port = DomainPort(domain, mxPort);
    const std::string host = AddressDomain(domain);
    const int result = smtp.Connect(host, port, true);
    if (result != CSmtpConnection::kConnected) {
        // A connection the stop cut short says nothing about the domain.
        if (!StopRequested()) ConnectFailed(domain, port, result, gateway);
        return;
    }

    // Each failing step has its own line; a missing handle shows the
    // database's own text.
    COutboundRows::Listing listing = COutboundRows::FilesOfDomain(connection, domain);
    if (!listing.Ok()) {
        smtp.Quit();
        smtp.Disconnect();
        switch (listing.step) {
            case COutboundRows::Step::NoHandle:
                PostStatus(listing.handleError);
                break;
            case COutboundRows::Step::Prepare:
                PostStatus("Error 1 in Query " + domain);
                break;
            case COutboundRows::Step::Bind:
                PostStatus("Error 2 in Query " + domain);
                break;
            default:
                PostStatus("Error 3 in Query " + domain);
                break;
        }
        return;
    }
    const std::vector<std::string> files = std::move(listing.values);
    for (std::size_t n = 0; n < files.size(); ++n) {
        if (StopRequested()) break;
        if (!DeliverDirectFile(smtp, domain, host, port, files[n], gateway)) break;
        if (smtp.IsConnected() || StopRequested()) continue;
        // One time-out per domain and pass: a silent exchanger would make
        // every further file wait as long again.
        PostStatus("Connection to " + domain + " lost");
        for (std::size_t rest = n + 1; rest < files.size(); ++rest)
            MarkOutboundRows(domain, &files[rest], nullptr, false, 1);
        break;
    }
    smtp.Quit();
    smtp.Disconnect();
}

bool COutboundDelivery::DeliverDirectFile(CSmtpConnection& smtp, const std::string& domain, const std::string& host,
                                          int port, const std::string& mailFile, const std::string& gateway) {
    COutboundQueueReader reader(kOutboxDirectory);
    const bool opened = reader.OpenMailFile(mailFile);
    const std::string sender = opened ? reader.ReadSender() : std::string();
    if (!opened || !smtp.MailFrom(sender)) {
        smtp.Reset();
        MarkFailure(domain, &mailFile, nullptr, 3);
        PostStatus("Error Sending Mail From " + sender);
        return true;
    }
    PostStatus("Sending Mail From " + sender + " ");

    COutboundRows::Listing unsent = COutboundRows::UnsentUsers(connection, domain, mailFile);
    if (!unsent.Ok()) {
        smtp.Quit();
        smtp.Disconnect();
        return false;
    }
    const std::vector<std::string> users = std::move(unsent.values);

    std::vector<Recipient> accepted;
    for (const std::string& user : users) {
        const std::string address = user + "@" + host;
        PostStatus("Sending Mail To " + address + " ");
        if (smtp.RcptTo(address)) {
            // Written Sent only once the data is accepted: a pass that dies
            // before leaves the row to the next one.
            accepted.emplace_back(user, domain);
        } else {
            PostStatus("Error Sending Mail To " + address + " ");
            KeepReply(smtp, mailFile, {user, domain}, "Rcpt To");
            MarkFailure(domain, &mailFile, &user, 2);
        }
    }

    if (!accepted.empty()) {
        std::unique_ptr<CMailContent> body = reader.ExtractBody();
        if (!body) {
            MarkFailure(domain, &mailFile, nullptr, 4);
        } else {
            smtp.SetProgressWindow(statusWindow);
            smtp.SetChunkSize(SendBlockSize());
            if (smtp.SendData(*body))
                MarkDelivered(mailFile, accepted, sender, *body);
            else
                DataFailed(smtp, mailFile, accepted, 6);
        }
        // A refused or broken transfer leaves no open transaction behind;
        // an extraction failure does.
        if (!body) smtp.Reset();
        return true;
    }

    // A server that refuses RSET gets a fresh session; a broken one is left
    // to the domain's loop.
    if (!smtp.Reset() && smtp.IsConnected()) {
        smtp.Quit();
        smtp.Disconnect();
        const int result = smtp.Connect(host, port, true);
        if (result != CSmtpConnection::kConnected && !StopRequested()) ConnectFailed(domain, port, result, gateway);
    }
    return true;
}

// --- Relayed delivery.

void COutboundDelivery::UploadMailsToRemoveServer() {
    g_moduleLog.Write("Begin UploadMailsToRemoveServer()");
    CSmtpConnection smtp;
    // A relay host that stalls must not hold the pass forever.
    smtp.SetBoundedReplies(true);
    smtp.SetStopSignal(stopRequested);
    gatewayHost = settings::Text{settings::kPorts, "RemoteGateway Server"}.Value(256);
    gatewayUser = settings::Text{settings::kPorts, "SMTPUser"}.Value(256);
    gatewayPassword = settings::Text{settings::kPorts, "SMTPPassword"}.Value(256);
    useAuthentication = settings::Dword{settings::kPorts, "UseAuthenticated"}.Value();
    // Out of range (0 among them) reads as no port: the relay host's is SMTP's own.
    const std::uint32_t port = settings::Dword{settings::kPorts, "RemotePort"}.Value();
    gatewayPort = port == 0 ? 25 : static_cast<int>(port);
    constexpr settings::Dword kGatewayTls{settings::kPorts, "Gateway TLS"};
    const std::uint32_t tlsMode = kGatewayTls.Stored().value_or(kGatewayTls.Default());
    static constexpr CSmtpConnection::TlsPolicy kGatewayPolicies[] = {
        CSmtpConnection::TlsPolicy::None, CSmtpConnection::TlsPolicy::Opportunistic,
        CSmtpConnection::TlsPolicy::Required, CSmtpConnection::TlsPolicy::Implicit};
    // An unknown mode is taken as the strictest one short of another port.
    smtp.SetTlsPolicy(tlsMode <= 3 ? kGatewayPolicies[tlsMode] : CSmtpConnection::TlsPolicy::Required);
    g_moduleLog.Write(StringPrintf("RemoveGatewayServer = %s", gatewayHost.c_str()));
    g_moduleLog.Write(StringPrintf("SMTPUser = %s", gatewayUser.c_str()));
    g_moduleLog.Write(StringPrintf("SMTPPassword = %s", kMasked));
    g_moduleLog.Write(StringPrintf("User Authenticated = %d", static_cast<int>(useAuthentication)));
    g_moduleLog.Write(StringPrintf("Remote Port = %d", gatewayPort));
    g_moduleLog.Write(StringPrintf("Gateway TLS = %d", static_cast<int>(tlsMode)));

    smtp.SetChunkSize(SendBlockSize());
    COutboundRows::Listing listing = COutboundRows::Files(connection);
    if (!listing.Ok()) return;
    const std::vector<std::string> files = std::move(listing.values);
    smtp.SetOwnName(heloName);
    PostStatus("Connecting to " + gatewayHost);
    if (!OpenGatewaySession(smtp)) return;

    for (const std::string& file : files) {
        if (StopRequested()) break;
        const UploadStep step = UploadFile(smtp, file);
        if (step == UploadStep::EndPass) return;
        if (step == UploadStep::LeaveLoop) break;
        // A broken session is not opened again in this pass.
        if (!smtp.IsConnected()) {
            g_moduleLog.Write("*** The relay host's session broke off; the rest waits for the next pass");
            break;
        }
    }
    ProcessFailedMails();
    smtp.Quit();
    smtp.Disconnect();
}

bool COutboundDelivery::OpenGatewaySession(CSmtpConnection& smtp) {
    if (useAuthentication < 1) {
        g_moduleLog.Write(StringPrintf("Connecting to server %s on port %d", gatewayHost.c_str(), gatewayPort));
        if (smtp.Connect(gatewayHost, gatewayPort, false) == CSmtpConnection::kConnected) {
            g_moduleLog.Write("success !");
            return true;
        }
        g_moduleLog.Write("connection attempt failed");
        return false;
    }
    g_moduleLog.Write(
        StringPrintf("Attempting ExtendedConnectToServer(%s, %d, false)", gatewayHost.c_str(), gatewayPort));
    if (smtp.ExtendedConnectToServer(gatewayHost, gatewayPort, false) != CSmtpConnection::kConnected) {
        g_moduleLog.Write("ExtendedConnectToServer failed");
        return false;
    }
    static constexpr std::pair<const char*, int> kMethods[] = {
        {"AuthPlainMethod", CSmtpConnection::kAuthPlainMethod},
        {"LoginPlainMethod", CSmtpConnection::kLoginPlainMethod},
        {"AuthLoginMethod", CSmtpConnection::kAuthLoginMethod},
        {"CramMD5Method", CSmtpConnection::kCramMD5Method},
    };
    for (const auto& [name, method] : kMethods) {
        // PLAIN shows the password to anyone who reads the line: only inside TLS.
        if (method == CSmtpConnection::kAuthPlainMethod && !smtp.IsEncrypted()) continue;
        g_moduleLog.Write(StringPrintf("Attempting ExtendedLogin(%s = %d, user = %s, pass = %s)", name, method,
                                       gatewayUser.c_str(), kMasked));
        if (smtp.ExtendedLogin(method, gatewayUser, gatewayPassword)) {
            g_moduleLog.Write("success!");
            return true;
        }
    }
    g_moduleLog.Write("Connection attempt failed");
    smtp.Disconnect();
    return false;
}

COutboundDelivery::UploadStep COutboundDelivery::UploadFile(CSmtpConnection& smtp, const std::string& mailFile) {
    COutboundQueueReader reader(kOutboxDirectory);
    const bool opened = reader.OpenMailFile(mailFile);
    std::vector<Recipient> rows;
    {
        std::vector<COutboundRows::Recipient> read;
        const COutboundRows::Step step = COutboundRows::UnsentRecipientsOfFile(connection, mailFile, read);
        if (step == COutboundRows::Step::NoHandle) return UploadStep::Next;
        if (step != COutboundRows::Step::Done) return UploadStep::LeaveLoop;
        for (auto& [user, domain] : read) rows.emplace_back(std::move(user), std::move(domain));
    }

    const std::string sender = opened ? reader.ReadSender() : std::string();
    g_moduleLog.Write("Mail From= " + sender);
    if (!opened || !smtp.MailFrom(sender)) {
        g_moduleLog.Write("*** MailFrom Failed");
        return UploadStep::Next;
    }

    PostStatus("Sending Mail From " + sender + " ");
    std::vector<Recipient> accepted;
    std::vector<std::string> domains;  // every domain the transaction took rows of
    for (const auto& [user, domain] : rows) {
        if (std::find(domains.begin(), domains.end(), domain) == domains.end()) domains.push_back(domain);
        const std::string address = user + "@" + AddressDomain(domain);
        PostStatus("Sending Mail To " + address + " ");
        g_moduleLog.Write("Mail To = " + address);
        if (smtp.RcptTo(address)) {
            accepted.emplace_back(user, domain);
        } else {
            g_moduleLog.Write("*** Mail To Failed");
            KeepReply(smtp, mailFile, {user, domain}, "Rcpt To");
            MarkFailure(domain, &mailFile, &user, 2);
        }
    }

    if (!accepted.empty()) {
        std::unique_ptr<CMailContent> body = reader.ExtractBody();
        if (!body) {
            // The rows of every domain of the message, not only those of
            // the last row's.
            for (const std::string& domain : domains) MarkFailure(domain, &mailFile, nullptr, 4);
            smtp.Reset();
            return UploadStep::Next;
        }
        smtp.SetProgressWindow(statusWindow);
        smtp.SetChunkSize(SendBlockSize());
        g_moduleLog.Write("Sending Mail..");
        if (smtp.SendData(*body)) {
            g_moduleLog.Write("Send Success!");
            MarkDelivered(mailFile, accepted, sender, *body);
        } else {
            g_moduleLog.Write("*** Send Failed");
            DataFailed(smtp, mailFile, accepted, 3);
        }
        return UploadStep::Next;
    }

    g_moduleLog.Write("*** User does not exist");
    if (!smtp.Reset() && smtp.IsConnected()) {
        smtp.Quit();
        smtp.Disconnect();
        if (!OpenGatewaySession(smtp)) return UploadStep::EndPass;
    }
    return UploadStep::Next;
}

void COutboundDelivery::ProcessFailedMails() {
    CFailedMails(connection, heloName, errorMailDayCount, passStart).Process();
}
