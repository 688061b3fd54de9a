// Fuzz target: the DNS reply parser of MX resolution. Whatever the bytes,
// parsing must end, stay inside the buffer, and yield either an answer whose
// exchangers are clean host names in preference order or nothing at all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include "smtp/DnsMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::list<dns::MxRecord> records;
    std::uint16_t id = 0;
    const dns::ReplyStatus status = dns::ParseMxReply(data, size, records, id);
    if (status != dns::ReplyStatus::Answered && !records.empty()) std::abort();
    for (const dns::MxRecord& r : records)
        if (r.exchange.empty() || r.exchange.size() > dns::kMaxNameLength ||
            r.exchange.find_first_of(",\" \r\n") != std::string::npos)
            std::abort();
    const std::string joined = dns::JoinExchanges(records);
    if (joined.size() > dns::kMaxJoinedLength) std::abort();
    std::vector<std::string> hosts;
    dns::SplitHostList(joined, hosts);
    if (hosts.size() > records.size()) std::abort();
    return 0;
}
