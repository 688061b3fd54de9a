// CMxResolver: name servers from the settings, the TCP exchange with a name
// server, and the MXCache table.
#include "smtp/CMxResolver.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "foundation/CModuleLog.h"
#include "foundation/OdbcConnection.h"
#include "foundation/CMxCacheRows.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/SettingsCheck.h"
#include "platform/RegistryValues.h"
#include "platform/Text.h"
#include "platform/WholeFile.h"
#include "smtp/TcpSocket.h"

namespace {

constexpr std::size_t kNameServerValueSize = 256;  // up to 255 bytes of text
constexpr std::size_t kReplyPiece = 1024;
// A resolver configuration is a few lines; anything past this is not read.
constexpr std::size_t kResolvConfSize = 64 * 1024;

// Appends "#1" .. "#N" of the DNS key, N being the key's value count. A
// number whose value is missing (the key may hold other values) is skipped.
void ReadNameServers(std::vector<std::string>& servers) {
    DWORD subKeys = 0, values = 0;
    if (registry::CountEntries(settings::kDnsKeyPath, subKeys, values) != ERROR_SUCCESS) return;
    for (DWORD k = 1; k <= values; ++k) {
        registry::StoredValue stored;
        const std::string name = "#" + std::to_string(k);
        if (registry::ReadStored(settings::kDnsKeyPath, name.c_str(), stored, kNameServerValueSize - 1) !=
            ERROR_SUCCESS)
            continue;
        std::string entry(Trim(stored.data.substr(0, ::strnlen(stored.data.c_str(), stored.data.size()))));
        if (!entry.empty()) servers.push_back(entry);
    }
}

}  // namespace

CMxResolver::CMxResolver(const std::string& resolvConf) {
    ReadNameServers(nameServers);
    // The machine's own resolvers know the local network (a split horizon, a
    // firewall that blocks outside name servers) better than a public default.
    if (nameServers.empty()) {
        std::string text;
        if (ReadWholeFile(resolvConf, kResolvConfSize, text)) nameServers = ResolvConfServers(text);
    }
    if (nameServers.empty()) nameServers.push_back(settings::kDefaultDnsServer);
}

CMxResolver::~CMxResolver() {
    CloseDatabase();
}

bool CMxResolver::ParseNameServer(const std::string& entry, std::string& host, int& port) {
    const std::string text(Trim(entry));
    std::string portText;
    bool hasPort = false;
    if (!text.empty() && text.front() == '[') {  // [v6-address] or [v6-address]:port
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            hasPort = true;
            portText = text.substr(close + 2);
        }
    } else if (text.find(':') != text.rfind(':')) {  // a bare IPv6 address
        host = text;
    } else if (const std::size_t colon = text.find(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        hasPort = true;
        portText = text.substr(colon + 1);
    } else {
        host = text;
    }
    port = kDnsPort;
    if (hasPort) {
        if (portText.empty() || portText.size() > 5) return false;
        for (char c : portText)
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        port = std::atoi(portText.c_str());
        if (port <= 0 || port > 65535) return false;
    }
    return !host.empty();
}

std::vector<std::string> CMxResolver::ResolvConfServers(const std::string& text) {
    std::vector<std::string> servers;
    std::size_t start = 0;
    while (start < text.size() && servers.size() < kMaxResolvConfServers) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (const std::size_t comment = line.find_first_of("#;"); comment != std::string::npos) line.erase(comment);
        for (char& c : line)
            if (c == '\t' || c == '\r') c = ' ';
        line = std::string(Trim(line));
        constexpr std::string_view keyword = "nameserver ";
        if (line.compare(0, keyword.size(), keyword) != 0) continue;
        const std::string value(Trim(std::string_view(line).substr(keyword.size())));
        // One literal address, nothing after it; no port can be given there.
        if (value.find(' ') != std::string::npos || value.empty() || value.front() == '[') continue;
        if (settings::IsIpAddressText(value)) servers.push_back(value);
    }
    return servers;
}

const std::vector<std::string>& CMxResolver::ResolveMx(const std::string& name) {
    domain = name;
    mxHosts.clear();
    mxRecords.clear();
    // A name the question area cannot hold is refused before anything is asked.
    std::vector<unsigned char> header, question;
    if (!dns::BuildMxQuery(domain, 0, header, question)) return mxHosts;

    databaseOpen = OpenDatabase();
    if (databaseOpen) ReadCache();
    for (std::size_t i = 0; i < nameServers.size() && mxHosts.empty() && !tcp::StopsNow({stopSignal}); ++i)
        AskNameServer(nameServers[i]);
    CloseDatabase();
    return mxHosts;
}

bool CMxResolver::OpenDatabase() {
    environment = std::make_unique<OdbcEnvironment>();
    if (!environment->Ok()) return false;
    connectionHandle = std::make_unique<OdbcConnection>();
    return connectionHandle->Allocate(*environment) && connectionHandle->Connect();
}

void CMxResolver::CloseDatabase() {
    // Connection before environment, as ODBC requires.
    connectionHandle.reset();
    environment.reset();
    databaseOpen = false;
}

void CMxResolver::ReadCache() {
    // The hosts were cleared for this look-up: nothing kept leaves none.
    const std::optional<std::string> kept =
        CMxCacheRows::Read(connectionHandle->Handle(), domain, std::time(nullptr) - kCacheDays * 24 * 60 * 60);
    if (kept) dns::SplitHostList(*kept, mxHosts);
}

void CMxResolver::AskNameServer(const std::string& entry) {
    std::string host;
    int port = kDnsPort;
    if (!ParseNameServer(entry, host, port)) return;

    // The query ID comes from the C library generator, reseeded per query.
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    const auto id = static_cast<std::uint16_t>(std::rand() % 32768);
    std::vector<unsigned char> header, question;
    if (!dns::BuildMxQuery(domain, id, header, question)) return;

    std::vector<unsigned char> reply;
    bool replied = false;
    const tcp::StopWatch watch{stopSignal};
    {
        UniqueFd socket = tcp::Connect(host, port, watch);
        if (!socket) return;
        const std::size_t length = header.size() + question.size();
        const unsigned char prefix[2] = {static_cast<unsigned char>(length >> 8),
                                         static_cast<unsigned char>(length & 0xff)};
        const auto deadline = tcp::Clock::now() + replyWait;
        if (tcp::SendAll(socket.Get(), prefix, sizeof prefix, deadline, watch) &&
            tcp::SendAll(socket.Get(), header.data(), header.size(), deadline, watch) &&
            tcp::SendAll(socket.Get(), question.data(), question.size(), deadline, watch)) {
            // The whole reply, not only its first byte, must come within the wait:
            // a server that trickles or stalls must not hold the session.
            unsigned char size[2];
            std::size_t have = 0;
            bool ok = true;
            while (ok && have < sizeof size) {
                long n = tcp::WaitReadable(socket.Get(), deadline, watch)
                             ? tcp::Receive(socket.Get(), size + have, sizeof size - have)
                             : -1;
                if (n <= 0)
                    ok = false;
                else
                    have += static_cast<std::size_t>(n);
            }
            if (ok) {
                const std::size_t expected = (static_cast<std::size_t>(size[0]) << 8) | size[1];
                reply.resize(expected);
                have = 0;
                while (ok && have < expected) {
                    const std::size_t piece = std::min(kReplyPiece, expected - have);
                    long n = tcp::WaitReadable(socket.Get(), deadline, watch)
                                 ? tcp::Receive(socket.Get(), reply.data() + have, piece)
                                 : -1;
                    if (n <= 0)
                        ok = false;
                    else
                        have += static_cast<std::size_t>(n);
                }
            }
            replied = ok;
        }
    }
    // A look-up the stop cut short proves nothing about the domain.
    if (tcp::StopsNow(watch)) return;
    serverReached = true;
    if (!replied) return;

    std::uint16_t replyId = 0;
    std::list<dns::MxRecord> records;
    if (dns::ParseMxReply(reply.data(), reply.size(), records, replyId) != dns::ReplyStatus::Answered) return;
    // An answer to some other question is no answer.
    if (replyId != id) return;
    mxRecords = std::move(records);
    StoreAnswer(mxRecords);
}

void CMxResolver::StoreAnswer(const std::list<dns::MxRecord>& records) {
    const std::string joined = dns::JoinExchanges(records);
    if (databaseOpen) CMxCacheRows::Store(connectionHandle->Handle(), domain, joined, std::time(nullptr));
    mxHosts.clear();
    dns::SplitHostList(joined, mxHosts);
}
