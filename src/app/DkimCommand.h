// DkimCommand: DKIM keys and the office's DNS records from the shell.
//   velmora dkim add DOMAIN [--selector S]   make the keys, print their TXT records
//   velmora dkim list                        the domains with keys, and what is wrong
//   velmora dns DOMAIN                       MX, SPF, DKIM and DMARC records to publish
// Keys live in the home's dkim/ directory (CDkimKeys); a running server
// uses new keys from its next message on.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class DkimCommand {
public:
    // Exit codes: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static int RunDns(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
    static void PrintDnsUsage(std::ostream& out);
    // An address of this machine that the world could reach (neither
    // loopback nor private), IPv4 first; "" when it has none.
    static std::string PublicAddress();
};
