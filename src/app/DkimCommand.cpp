// DkimCommand: dkim add and list, and dns.
#include "app/DkimCommand.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include "app/CommandLine.h"
#include "foundation/COwnNames.h"
#include "outbound/CDkimKeys.h"
#include "platform/Registry.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

bool Normalise(std::string& domain, const char* command, std::ostream& err) {
    domain = FoldCase(domain);
    if (!domain.empty() && domain.back() == '.') domain.pop_back();
    if (IsFullDomainName(domain)) return true;
    err << "velmora " << command << ": \"" << domain
        << "\" is not a domain name: use labels of letters, digits and '-' separated by dots, such as example.org\n";
    return false;
}

void PrintKeyRecords(const CDkimKeys::DomainKeys& keys, std::ostream& out) {
    const auto name = [&](CDkimKeys::Algorithm algorithm) {
        return CDkimKeys::DnsSelector(keys.selector, algorithm) + "._domainkey." + keys.domain + ".";
    };
    if (keys.rsa)
        out << name(CDkimKeys::Algorithm::Rsa) << " IN TXT "
            << CDkimKeys::ZoneStrings(CDkimKeys::DnsText(keys.rsa.get(), CDkimKeys::Algorithm::Rsa)) << "\n";
    if (keys.ed25519)
        out << name(CDkimKeys::Algorithm::Ed25519) << " IN TXT "
            << CDkimKeys::ZoneStrings(CDkimKeys::DnsText(keys.ed25519.get(), CDkimKeys::Algorithm::Ed25519))
            << "\n";
}

bool IsPublic(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto bytes = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
        return !(bytes[0] == 127 || bytes[0] == 10 || bytes[0] == 0 || (bytes[0] == 172 && (bytes[1] & 0xF0) == 16) ||
                 (bytes[0] == 192 && bytes[1] == 168) || (bytes[0] == 169 && bytes[1] == 254) ||
                 (bytes[0] == 100 && (bytes[1] & 0xC0) == 64));
    }
    if (address->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        // Global unicast only (2000::/3): no loopback, link-local or unique-local.
        return (a.s6_addr[0] & 0xE0) == 0x20;
    }
    return false;
}

}  // namespace

void DkimCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora dkim add DOMAIN [--selector S]\n"
           "       velmora dkim list\n"
           "Mail from this office's people for DOMAIN is signed with the domain's keys (RSA 2048 and\n"
           "Ed25519) once they exist; `add` makes them in the home's dkim/ directory with the selector\n"
           "S (default " << CDkimKeys::kDefaultSelector << ") and prints the TXT records to publish.\n";
}

void DkimCommand::PrintDnsUsage(std::ostream& out) {
    out << "usage: velmora dns DOMAIN\n"
           "Prints the MX, SPF, DKIM and DMARC records DOMAIN should publish for this server.\n";
}

std::string DkimCommand::PublicAddress() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    std::string v4, v6;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !IsPublic(entry->ifa_addr)) continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr->sa_family == AF_INET && v4.empty())
            v4 = ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text,
                             sizeof text);
        else if (entry->ifa_addr->sa_family == AF_INET6 && v6.empty())
            v6 = ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr, text,
                             sizeof text);
    }
    ::freeifaddrs(list);
    return v4.empty() ? v6 : v4;
}

int DkimCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        PrintUsage(err);
        return kUsage;
    }
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    const std::string& verb = args[0];
    std::string selector = CDkimKeys::kDefaultSelector;
    if (verb == "add") line.TakeOption("--selector", selector);
    for (const std::string& arg : line.args)
        if (arg.size() > 1 && arg[0] == '-') {
            PrintUsage(err);
            return kUsage;
        }
    const CDkimKeys keys(CDkimKeys::HomeDirectory());
    if (verb == "add" && line.args.size() == 1) {
        std::string domain = line.args[0];
        if (!Normalise(domain, "dkim", err)) return kRefused;
        std::string reason;
        if (!keys.Create(domain, selector, reason)) {
            err << "velmora dkim: " << reason << "\n";
            return kRefused;
        }
        const CDkimKeys::DomainKeys made = keys.Load(domain);
        out << "DKIM keys for " << domain << " made with the selector " << selector
            << "; mail from " << domain << " is signed from now on. Publish:\n";
        PrintKeyRecords(made, out);
        return kDone;
    }
    if (verb == "list" && line.args.empty()) {
        const std::vector<CDkimKeys::DomainKeys> all = keys.List();
        if (all.empty()) out << "No DKIM keys: mail leaves unsigned (velmora dkim add DOMAIN)\n";
        bool bad = false;
        for (const CDkimKeys::DomainKeys& entry : all) {
            out << entry.domain << "  selector " << (entry.selector.empty() ? "-" : entry.selector);
            if (entry.rsa) out << "  rsa " << CDkimKeys::Bits(entry.rsa.get()) << " bits";
            if (entry.ed25519) out << "  ed25519";
            const bool ok = entry.problem.empty() && entry.rsaProblem.empty() && entry.ed25519Problem.empty();
            out << (ok ? "  signing" : "  NOT SIGNING") << "\n";
            for (const std::string* problem : {&entry.problem, &entry.rsaProblem, &entry.ed25519Problem})
                if (!problem->empty()) out << "  problem: " << *problem << "\n";
            bad = bad || !ok;
        }
        return bad ? kRefused : kDone;
    }
    PrintUsage(err);
    return kUsage;
}

int DkimCommand::RunDns(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) {
        PrintDnsUsage(err);
        return kUsage;
    }
    std::string domain = args[0];
    if (!Normalise(domain, "dns", err)) return kRefused;
    std::string host = COwnNames::Domain();
    const std::string address = PublicAddress();
    out << "; The records " << domain << " should publish for this server\n";
    if (host.empty()) {
        host = "mail." + domain;
        out << "; this machine has no full name: " << host << " stands for it, with an A record of its address\n";
    }
    out << domain << ". IN MX 10 " << host << ".\n";
    if (!address.empty())
        out << host << ". IN " << (address.find(':') == std::string::npos ? "A" : "AAAA") << " " << address
            << "\n";
    std::string spf = "v=spf1 mx a";
    if (!address.empty()) spf += (address.find(':') == std::string::npos ? " ip4:" : " ip6:") + address;
    out << domain << ". IN TXT \"" << spf << " ~all\"\n";
    const CDkimKeys keys(CDkimKeys::HomeDirectory());
    if (keys.Has(domain)) {
        const CDkimKeys::DomainKeys loaded = keys.Load(domain);
        PrintKeyRecords(loaded, out);
        if (!loaded.rsa) out << "; the DKIM keys of " << domain << " are damaged: see velmora dkim list\n";
    } else {
        out << "; no DKIM keys for " << domain << " yet: velmora dkim add " << domain << "\n";
    }
    out << "_dmarc." << domain << ". IN TXT \"v=DMARC1; p=none; rua=mailto:postmaster@" << domain << "\"\n";
    return kDone;
}
