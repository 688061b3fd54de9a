// CMxResolver: the mail exchangers of a domain, by DNS over TCP, cached for
// three days in the MXCache table.
//
// One resolver serves one connection attempt: it reads the name servers from
// the DNS settings key at construction (none there: the "nameserver" lines
// of the system's resolver configuration; none there either: a public
// default), and ResolveMx looks in the cache,
// else asks each name server in turn until one names exchangers, storing
// every error-free answer in the cache. The resolver owns its database
// connection for the duration of ResolveMx only, so a broken database merely
// disables the cache.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "foundation/SettingsCatalogue.h"
#include "smtp/DnsMessage.h"

class OdbcEnvironment;
class OdbcConnection;
class StopSignal;

class CMxResolver {
public:
    static constexpr int kDnsPort = 53;
    static constexpr int kCacheDays = 3;
    static constexpr std::chrono::seconds kReplyWait{120};

    // At most this many "nameserver" lines count, as for the system's resolver.
    static constexpr std::size_t kMaxResolvConfServers = 3;

    // resolvConf: the resolver configuration read when the DNS key names no server.
    explicit CMxResolver(const std::string& resolvConf = settings::kResolvConfPath);
    ~CMxResolver();
    CMxResolver(const CMxResolver&) = delete;
    CMxResolver& operator=(const CMxResolver&) = delete;

    // Exchanger host names in preference order; empty when none was found.
    // Called at most once per resolver.
    const std::vector<std::string>& ResolveMx(const std::string& domain);

    // Set when a name server accepted the TCP connection for this look-up.
    bool serverReached = false;

    // The name servers to ask, in order ("address", "address:port" or
    // "[v6-address]:port"): the DNS key's, else the resolver configuration's,
    // else the default public server.
    const std::vector<std::string>& NameServers() const { return nameServers; }
    // Bounds the wait for each name server's whole reply (120 seconds unless set).
    void SetReplyWait(std::chrono::milliseconds wait) { replyWait = wait; }
    // A raised signal ends the look-up's waits at once (not owned; null: none).
    void SetStopSignal(const StopSignal* signal) { stopSignal = signal; }

    // Splits a name-server entry into host and port (53 unless given); false
    // for an entry that names no host or an invalid port.
    static bool ParseNameServer(const std::string& entry, std::string& host, int& port);
    // The literal addresses of the first "nameserver" lines of a resolver
    // configuration's text, in order; other lines and other values are passed over.
    static std::vector<std::string> ResolvConfServers(const std::string& text);

private:
    bool OpenDatabase();
    void CloseDatabase();
    void ReadCache();
    void AskNameServer(const std::string& entry);
    void StoreAnswer(const std::list<dns::MxRecord>& records);

    std::list<dns::MxRecord> mxRecords;
    std::vector<std::string> nameServers;
    bool databaseOpen = false;
    std::unique_ptr<OdbcEnvironment> environment;
    std::unique_ptr<OdbcConnection> connectionHandle;
    std::string domain;
    std::vector<std::string> mxHosts;
    std::chrono::milliseconds replyWait = kReplyWait;
    const StopSignal* stopSignal = nullptr;
};
