// CImapSearch: SEARCH criteria (see the header).
#include "CImapSearch.h"

#include <algorithm>
#include <cctype>

#include "CImapDate.h"
#ifdef VELMORA_IMAP_MESSAGE
#include "CImapMessage.h"
#endif

namespace {

constexpr unsigned kMaxDepth = 16;
constexpr std::size_t kMaxNodes = 512;

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           }) != haystack.end();
}

bool InRanges(const CImapCommandParser::Ranges& ranges, std::uint32_t value, std::uint32_t star) {
    for (auto [low, high] : ranges) {
        if (low == CImapCommandParser::kStar) low = star;
        if (high == CImapCommandParser::kStar) high = star;
        if (low > high) std::swap(low, high);
        if (value >= low && value <= high) return true;
    }
    return false;
}

}  // namespace

std::optional<CImapSearch> CImapSearch::Parse(const std::vector<CImapValue>& args, std::string& error,
                                              bool& badCharset) {
    CImapSearch search;
    badCharset = false;
    std::size_t pos = 0;
    if (pos < args.size() && args[pos].IsAtom() && Upper(args[pos].text) == "CHARSET") {
        if (pos + 1 >= args.size() || !args[pos + 1].IsAString()) {
            error = "CHARSET needs a name";
            return std::nullopt;
        }
        const std::string charset = Upper(args[pos + 1].text);
        if (charset != "UTF-8" && charset != "US-ASCII") {
            badCharset = true;
            error = "Unsupported charset";
            return std::nullopt;
        }
        pos += 2;
    }
    if (pos >= args.size()) {
        error = "Missing search criteria";
        return std::nullopt;
    }
    Node all;
    all.key = Key::And;
    search.nodes.push_back(all);
    while (pos < args.size()) {
        const auto child = search.ParseKey(args, pos, 0, error);
        if (!child) return std::nullopt;
        search.nodes[0].children.push_back(*child);
    }
    return search;
}

std::optional<std::size_t> CImapSearch::ParseKey(const std::vector<CImapValue>& args, std::size_t& pos,
                                                 unsigned depth, std::string& error) {
    if (depth > kMaxDepth || nodes.size() >= kMaxNodes) {
        error = "Search too complex";
        return std::nullopt;
    }
    if (pos >= args.size()) {
        error = "Missing search key";
        return std::nullopt;
    }
    const CImapValue& value = args[pos++];
    Node node;
    auto argument = [&](std::string& out) {
        if (pos >= args.size() || !args[pos].IsAString()) {
            error = "Missing search argument";
            return false;
        }
        out = args[pos++].text;
        return true;
    };
    if (value.IsList()) {
        node.key = Key::And;
        std::size_t inner = 0;
        if (value.items.empty()) {
            error = "Empty search group";
            return std::nullopt;
        }
        while (inner < value.items.size()) {
            const auto child = ParseKey(value.items, inner, depth + 1, error);
            if (!child) return std::nullopt;
            node.children.push_back(*child);
        }
        nodes.push_back(std::move(node));
        return nodes.size() - 1;
    }
    if (!value.IsAtom()) {
        error = "Search key expected";
        return std::nullopt;
    }
    const std::string key = Upper(value.text);
    struct FlagKey {
        const char* name;
        Key key;
        std::uint32_t flag;
    };
    static constexpr FlagKey kFlags[] = {
        {"ANSWERED", Key::Flag, mailbox::kAnswered},   {"DELETED", Key::Flag, mailbox::kDeleted},
        {"DRAFT", Key::Flag, mailbox::kDraft},         {"FLAGGED", Key::Flag, mailbox::kFlagged},
        {"SEEN", Key::Flag, mailbox::kSeen},           {"UNANSWERED", Key::NoFlag, mailbox::kAnswered},
        {"UNDELETED", Key::NoFlag, mailbox::kDeleted}, {"UNDRAFT", Key::NoFlag, mailbox::kDraft},
        {"UNFLAGGED", Key::NoFlag, mailbox::kFlagged}, {"UNSEEN", Key::NoFlag, mailbox::kSeen},
    };
    std::string text;
    for (const FlagKey& flag : kFlags) {
        if (key == flag.name) {
            node.key = flag.key;
            node.flag = flag.flag;
            nodes.push_back(std::move(node));
            return nodes.size() - 1;
        }
    }
    // No message is ever recent here: NEW and RECENT match none, OLD all.
    if (key == "ALL" || key == "OLD") {
        node.key = Key::All;
    } else if (key == "NEW" || key == "RECENT") {
        node.key = Key::Never;
    } else if (key == "KEYWORD" || key == "UNKEYWORD") {
        node.key = key == "KEYWORD" ? Key::Keyword : Key::NoKeyword;
        if (!argument(node.text)) return std::nullopt;
    } else if (key == "BEFORE" || key == "ON" || key == "SINCE" || key == "SENTBEFORE" || key == "SENTON" ||
               key == "SENTSINCE") {
        node.key = key == "BEFORE"       ? Key::Before
                   : key == "ON"         ? Key::On
                   : key == "SINCE"      ? Key::Since
                   : key == "SENTBEFORE" ? Key::SentBefore
                   : key == "SENTON"     ? Key::SentOn
                                         : Key::SentSince;
        if (!argument(text)) return std::nullopt;
        const auto day = CImapDate::ParseDay(text);
        if (!day) {
            error = "Malformed date";
            return std::nullopt;
        }
        node.number = static_cast<std::uint64_t>(*day + (1L << 40));
        if (key.rfind("SENT", 0) == 0) readsMessages = true;
    } else if (key == "LARGER" || key == "SMALLER") {
        node.key = key == "LARGER" ? Key::Larger : Key::Smaller;
        if (!argument(text)) return std::nullopt;
        if (text.empty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
            error = "Malformed size";
            return std::nullopt;
        }
        node.number = std::stoull(text);
    } else if (key == "UID") {
        node.key = Key::Uid;
        if (!argument(text)) return std::nullopt;
        auto ranges = CImapCommandParser::SequenceSet(text);
        if (!ranges) {
            error = "Malformed UID set";
            return std::nullopt;
        }
        node.ranges = std::move(*ranges);
    } else if (key == "HEADER" || key == "FROM" || key == "TO" || key == "CC" || key == "BCC" || key == "SUBJECT") {
        node.key = Key::Header;
        if (key == "HEADER") {
            if (!argument(node.text)) return std::nullopt;
        } else {
            node.text = key;
        }
        if (!argument(node.value)) return std::nullopt;
        readsMessages = true;
    } else if (key == "TEXT" || key == "BODY") {
        node.key = key == "TEXT" ? Key::Text : Key::Body;
        if (!argument(node.value)) return std::nullopt;
        readsMessages = true;
    } else if (key == "NOT") {
        node.key = Key::Not;
        const auto child = ParseKey(args, pos, depth + 1, error);
        if (!child) return std::nullopt;
        node.children.push_back(*child);
    } else if (key == "OR") {
        node.key = Key::Or;
        for (int i = 0; i < 2; ++i) {
            const auto child = ParseKey(args, pos, depth + 1, error);
            if (!child) return std::nullopt;
            node.children.push_back(*child);
        }
    } else if (auto ranges = CImapCommandParser::SequenceSet(value.text)) {
        node.key = Key::Sequence;
        node.ranges = std::move(*ranges);
    } else {
        error = "Unknown search key " + value.text.substr(0, 40);
        return std::nullopt;
    }
#ifndef VELMORA_IMAP_MESSAGE
    if (node.key == Key::Header || node.key == Key::Text || node.key == Key::Body || key.rfind("SENT", 0) == 0) {
        error = "Search key not available";
        return std::nullopt;
    }
#endif
    nodes.push_back(std::move(node));
    return nodes.size() - 1;
}

bool CImapSearch::Matches(const Candidate& candidate) const {
    return Test(root, candidate);
}

bool CImapSearch::Test(std::size_t index, const Candidate& candidate) const {
    const Node& node = nodes[index];
    const mailbox::MessageInfo& info = *candidate.info;
    const long day = static_cast<long>(node.number) - (1L << 40);
    switch (node.key) {
        case Key::All:
            return true;
        case Key::Never:
            return false;
        case Key::Flag:
            return (info.flags & node.flag) != 0;
        case Key::NoFlag:
            return (info.flags & node.flag) == 0;
        case Key::Keyword:
        case Key::NoKeyword: {
            const bool has = std::any_of(info.keywords.begin(), info.keywords.end(), [&](const std::string& k) {
                return Upper(k) == Upper(node.text);
            });
            return has == (node.key == Key::Keyword);
        }
        case Key::Sequence:
            return InRanges(node.ranges, candidate.sequence, candidate.lastSequence);
        case Key::Uid:
            return InRanges(node.ranges, info.uid, candidate.lastUid);
        case Key::Before:
            return CImapDate::DayOf(info.received) < day;
        case Key::On:
            return CImapDate::DayOf(info.received) == day;
        case Key::Since:
            return CImapDate::DayOf(info.received) >= day;
        case Key::Larger:
            return info.size > node.number;
        case Key::Smaller:
            return info.size < node.number;
        case Key::Not:
            return !Test(node.children[0], candidate);
        case Key::Or:
            return Test(node.children[0], candidate) || Test(node.children[1], candidate);
        case Key::And:
            for (std::size_t child : node.children)
                if (!Test(child, candidate)) return false;
            return true;
        case Key::SentBefore:
        case Key::SentOn:
        case Key::SentSince:
        case Key::Header:
        case Key::Text:
        case Key::Body:
            break;
    }
#ifdef VELMORA_IMAP_MESSAGE
    const int fd = candidate.file ? candidate.file() : -1;
    if (fd < 0) return false;
    if (node.key == Key::Text || node.key == Key::Body)
        return CImapMessage::Contains(fd, info.size, node.value, node.key == Key::Body);
    const auto message = CImapMessage::AnalyseHeader(fd, info.size);
    if (!message) return false;
    if (node.key == Key::Header) {
        for (const std::string& field : message->HeaderFields(node.text))
            if (ContainsNoCase(field, node.value)) return true;
        return false;
    }
    const std::time_t sent = message->SentDate();
    if (sent == 0) return false;
    const long sentDay = CImapDate::DayOf(sent);
    return node.key == Key::SentBefore ? sentDay < day : node.key == Key::SentOn ? sentDay == day : sentDay >= day;
#else
    (void)ContainsNoCase;
    return false;
#endif
}
