// DnsMessage: MX query construction and bounded reply parsing (RFC 1035).
#include "smtp/DnsMessage.h"
#include "platform/Text.h"

#include <cctype>

namespace dns {
namespace {

void Put16(std::vector<unsigned char>& out, std::uint16_t v) {
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v & 0xff));
}

std::uint16_t Get16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Exchange names end up in a comma-separated cache text and in getaddrinfo;
// anything but host-name characters would corrupt the one or mislead the other.
bool IsHostName(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

}  // namespace

bool BuildMxQuery(std::string_view domain, std::uint16_t id, std::vector<unsigned char>& header,
                  std::vector<unsigned char>& question) {
    if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
    if (domain.empty()) return false;
    std::vector<unsigned char> name;
    std::size_t labels = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = domain.find('.', start);
        std::string_view label =
            domain.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (label.empty() || label.size() > kMaxLabelLength || ++labels > kMaxLabels) return false;
        name.push_back(static_cast<unsigned char>(label.size()));
        name.insert(name.end(), label.begin(), label.end());
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    name.push_back(0);
    if (name.size() > kMaxNameLength) return false;

    header.clear();
    Put16(header, id);
    Put16(header, kFlagRecursionDesired);
    Put16(header, 1);  // QDCOUNT
    Put16(header, 0);  // ANCOUNT
    Put16(header, 0);  // NSCOUNT
    Put16(header, 0);  // ARCOUNT
    question = std::move(name);
    Put16(question, kTypeMx);
    Put16(question, kClassIn);
    return true;
}

bool ReadName(const unsigned char* data, std::size_t size, std::size_t pos, std::string& name, std::size_t& next) {
    name.clear();
    std::size_t wireLength = 1;      // the closing zero byte
    std::size_t segmentStart = pos;  // where the labels being followed began
    bool jumped = false;
    for (;;) {
        if (pos >= size) return false;
        const unsigned char length = data[pos];
        if ((length & 0xC0) == 0xC0) {
            if (pos + 1 >= size) return false;
            const std::size_t target = (static_cast<std::size_t>(length & 0x3F) << 8) | data[pos + 1];
            // Only strictly earlier text may be referenced: no loops, no forward jumps.
            if (target < kHeaderLength || target >= segmentStart) return false;
            if (!jumped) next = pos + 2;
            jumped = true;
            pos = segmentStart = target;
            continue;
        }
        if (length & 0xC0) return false;  // extended label types: not ours to read
        if (length == 0) {
            if (!jumped) next = pos + 1;
            return true;
        }
        if (pos + 1 + length > size) return false;
        wireLength += 1 + length;
        if (wireLength > kMaxNameLength) return false;
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(data + pos + 1), length);
        pos += 1 + length;
    }
}

ReplyStatus ParseMxReply(const unsigned char* data, std::size_t size, std::list<MxRecord>& records, std::uint16_t& id) {
    records.clear();
    if (!data || size < kHeaderLength) return ReplyStatus::Malformed;
    id = Get16(data);
    const std::uint16_t flags = Get16(data + 2);
    const std::uint16_t questions = Get16(data + 4);
    const std::uint16_t answers = Get16(data + 6);
    if ((flags & 0x000F) != 0) return ReplyStatus::ErrorCode;

    std::size_t pos = kHeaderLength;
    std::string name;
    std::size_t next = 0;
    for (unsigned q = 0; q < questions; ++q) {
        if (!ReadName(data, size, pos, name, next) || next + 4 > size) return ReplyStatus::Malformed;
        pos = next + 4;  // type, class
    }
    std::list<MxRecord> found;
    for (unsigned a = 0; a < answers; ++a) {
        if (!ReadName(data, size, pos, name, next) || next + 10 > size) return ReplyStatus::Malformed;
        const std::uint16_t type = Get16(data + next);
        const std::uint16_t rdLength = Get16(data + next + 8);
        const std::size_t rdStart = next + 10;
        const std::size_t rdEnd = rdStart + rdLength;
        if (rdEnd > size) return ReplyStatus::Malformed;
        if (type == kTypeMx) {
            if (rdLength < 3) return ReplyStatus::Malformed;
            MxRecord record;
            record.preference = Get16(data + rdStart);
            std::size_t nameEnd = 0;
            if (!ReadName(data, size, rdStart + 2, record.exchange, nameEnd) || nameEnd > rdEnd)
                return ReplyStatus::Malformed;
            if (IsHostName(record.exchange)) {
                record.exchange = UpperCase(std::move(record.exchange));
                InsertByPreference(found, std::move(record));
            }
        }
        pos = rdEnd;
    }
    records = std::move(found);
    return ReplyStatus::Answered;
}

void InsertByPreference(std::list<MxRecord>& records, MxRecord record) {
    if (records.empty() || records.front().preference > record.preference) {
        records.push_front(std::move(record));
        return;
    }
    auto at = records.begin();
    for (auto following = std::next(at); following != records.end() && following->preference < record.preference;
         ++following)
        at = following;
    records.insert(std::next(at), std::move(record));
}

std::string JoinExchanges(const std::list<MxRecord>& records) {
    std::string joined;
    for (const MxRecord& r : records) {
        const std::size_t extra = r.exchange.size() + (joined.empty() ? 0 : 1);
        if (joined.size() + extra > kMaxJoinedLength) continue;
        if (!joined.empty()) joined += ',';
        joined += r.exchange;
    }
    return joined;
}

void SplitHostList(std::string_view text, std::vector<std::string>& hosts) {
    std::string rest(text);
    rest += ',';
    std::size_t start = 0;
    for (std::size_t comma; (comma = rest.find(',', start)) != std::string::npos; start = comma + 1) {
        std::string_view item(rest.data() + start, comma - start);
        const std::size_t quote = item.rfind('"');
        if (quote != std::string_view::npos) item.remove_prefix(quote + 1);
        std::string host(Trim(item));
        if (!host.empty()) hosts.push_back(std::move(host));
    }
}

}  // namespace dns
