// Fuzz target: header parsing, look-ups, formatting and the address helpers,
// and the per-account actions' reading of a header.
//
// Besides memory safety it checks two properties: the parse result never
// points outside the text, and formatting is stable after one round trip
// (a re-parsed formatted header formats to the same text again).
#include "delivery/CAutoResponder.h"
#include "delivery/CForwarding.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "message/AddressFunctions.h"
#include "message/CMailHeader.h"
#include "message/CTextClassifier.h"
#include "message/EncodedWordText.h"
#include "message/MessageIdText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool caseSensitive = (data[0] & 1) != 0;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    CMailHeader header;
    const int result = header.Parse(text, length, caseSensitive);
    if (result < -1 || (result >= 0 && static_cast<std::size_t>(result) > length)) std::abort();

    // Feeding the same text in two pieces, as block readers do, must be safe too.
    CMailHeader pieces;
    const std::size_t split = length / 2;
    const int first = pieces.Parse(text, split, caseSensitive);
    if (first >= 0)
        pieces.Parse(text + split - static_cast<std::size_t>(first), length - split + static_cast<std::size_t>(first),
                     caseSensitive);

    for (const char* name : {"From", "To", "Received", "Content-Type", "Subject"}) {
        const std::string value = header.GetField(name);
        header.GetFieldParameters(name);
        ExtractAngleAddress(value);
        SplitAddress(value);
        FindReceivedForAddress(value);
    }

    // What a reply quotes of the header: identifiers and encoded words are
    // printable ASCII, whatever the message held.
    const auto printable = [](std::string_view text) {
        for (const char c : text)
            if (c <= ' ' || c >= 127) return false;
        return true;
    };
    for (const char* name : {"Message-ID", "References", "In-Reply-To"})
        ForEachMessageId(header.GetField(name), [&](std::string_view id) {
            if (!printable(id) || id.size() > kMaxMessageIdBytes) std::abort();
        });
    const std::string subject = header.GetField("Subject").substr(0, 300);
    const bool utf8 = CTextClassifier::Of(subject) == CTextClassifier::Kind::Utf8;
    std::string words = EncodedWords(subject, utf8 ? "UTF-8" : "ISO-8859-1", utf8);
    for (std::size_t fold; (fold = words.find("\r\n ")) != std::string::npos;) words.replace(fold, 3, "_");
    if (!printable(words)) std::abort();
    WithoutOpenEncodedWord(subject);

    // The responder's guards, and forwarding's To rewriting: the header
    // part stays within the text and ends with its one new To line.
    CAutoResponder::Judge(header, CGeneratedMailPolicy("a@b.test", false, nullptr));
    std::string rewritten;
    std::size_t headerLength = 0;
    if (CForwarding::RewriteTo(std::string(text, length), "t@u.test", rewritten, headerLength) &&
        (headerLength > length || !rewritten.ends_with("\r\n") ||
         rewritten.find("To: t@u.test\r\n") == std::string::npos))
        std::abort();

    const std::string once = header.Format();
    CMailHeader again;
    if (again.Parse(once.data(), once.size(), caseSensitive) != -1) std::abort();
    const std::string twice = again.Format();
    CMailHeader third;
    third.Parse(twice.data(), twice.size(), caseSensitive);
    if (third.Format() != twice) std::abort();
    return 0;
}
