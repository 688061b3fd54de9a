// Fuzz target: the IMAP message reader over a message file. Input: a byte
// giving the length of a search text (low 4 bits), that text, then the
// message.
//
// Analyses the file (whole, and its top header alone), writes ENVELOPE and
// BODYSTRUCTURE, resolves sections along the first parts, and searches it. Checks that every section range
// lies inside the file, the whole message is served as its size, ENVELOPE
// and BODYSTRUCTURE each read as one well-formed list, and that
// the streamed search finds whatever a search of the whole file held at
// once finds.
#include "CImapMessage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Folded(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void CheckSection(const CImapMessage& message, std::uint32_t size, const std::string& brackets, const char* partial) {
    const auto section = CFetchSection::Parse(brackets, partial);
    if (!section) std::abort();
    const auto pieces = message.Section(*section);
    if (!pieces) return;
    std::uint64_t total = 0;
    for (const auto& piece : *pieces) {
        if (!piece.generated && piece.offset + piece.length > size) std::abort();
        total += piece.generated ? piece.text.size() : piece.length;
    }
    if (section->partial && total > section->length) std::abort();
}

// Whether text is exactly one parenthesised list of NIL, numbers, quoted
// strings, literals and lists, as a client's parser reads it.
bool IsOneList(const std::string& text) {
    std::size_t at = 0;
    int depth = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '(') {
            ++depth;
            ++at;
        } else if (c == ')') {
            if (--depth < 0) return false;
            ++at;
            if (depth == 0) return at == text.size();
        } else if (c == ' ') {
            ++at;
        } else if (c == '"') {
            for (++at; at < text.size() && text[at] != '"'; ++at) {
                if (text[at] == '\\') ++at;
                if (at >= text.size() || text[at] == '\r' || text[at] == '\n' || text[at] == '\0') return false;
            }
            if (at++ >= text.size()) return false;
        } else if (c == '{') {
            const std::size_t close = text.find("}\r\n", at);
            if (close == std::string::npos) return false;
            const std::size_t length = std::strtoul(text.c_str() + at + 1, nullptr, 10);
            at = close + 3 + length;
            if (at > text.size()) return false;
        } else if (text.compare(at, 3, "NIL") == 0) {
            at += 3;
        } else if (c >= '0' && c <= '9') {
            while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        } else {
            return false;
        }
        if (depth == 0) return false;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = ::memfd_create("message", 0);
    if (fd < 0 || size < 1) return 0;
    const std::size_t needleLength = std::min<std::size_t>(data[0] & 15, size - 1);
    const std::string needle(reinterpret_cast<const char*>(data + 1), needleLength);
    const std::string text(reinterpret_cast<const char*>(data + 1 + needleLength), size - 1 - needleLength);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        std::abort();
    const auto fileSize = static_cast<std::uint32_t>(text.size());

    const auto message = CImapMessage::Analyse(fd, fileSize);
    if (!message) std::abort();
    if (!IsOneList(message->Envelope()) || !IsOneList(message->BodyStructure(false)) ||
        !IsOneList(message->BodyStructure(true)))
        std::abort();
    (void)message->SentDate();
    (void)message->HeaderFields("To");
    if (message->HeaderSize() > fileSize) std::abort();
    const auto whole = message->Section(*CFetchSection::Parse("", ""));
    if (!whole || (fileSize && (whole->size() != 1 || whole->front().length != fileSize))) std::abort();
    for (const char* text : {"", "HEADER", "TEXT", "HEADER.FIELDS (FROM SUBJECT)", "HEADER.FIELDS.NOT (TO)"})
        CheckSection(*message, fileSize, text, "1.7");
    // The top header alone gives the same envelope and header.
    const auto header = CImapMessage::AnalyseHeader(fd, fileSize);
    if (!header || header->Envelope() != message->Envelope() || header->HeaderSize() != message->HeaderSize())
        std::abort();
    for (int a = 1; a <= 3; ++a) {
        const std::string first = std::to_string(a);
        for (const char* tail : {"", ".MIME", ".HEADER", ".TEXT", ".HEADER.FIELDS (DATE)"})
            CheckSection(*message, fileSize, first + tail, "");
        for (int b = 1; b <= 3; ++b) {
            CheckSection(*message, fileSize, first + "." + std::to_string(b), "");
            CheckSection(*message, fileSize, first + "." + std::to_string(b) + ".1.MIME", "0.3");
        }
    }
    // Decoded text parts may match where the raw bytes do not; never the reverse.
    const bool found = CImapMessage::Contains(fd, fileSize, needle, false);
    if (!found && (needle.empty() || Folded(text).find(Folded(needle)) != std::string::npos)) std::abort();
    (void)CImapMessage::Contains(fd, fileSize, needle, true);
    return 0;
}
