// Fuzz target: the start of a Netware outbox file as the gateway reads it
// (sender line, sender and recipient lists) and the sender line made from
// a stored address.
//
// Besides memory safety it checks that a readable head names a first line
// inside the text, and that no recipient or sender line carries a line
// break into the SMTP session or the rewritten header.
#include "spool/CNetwareImport.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool wholeFile = (data[0] & 1) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1),
                                std::min<std::size_t>(size - 1, CNetwareImport::kHeadBytes));

    const CNetwareImport::Head head = CNetwareImport::ReadHead(text, wholeFile);
    if (head.problem.empty()) {
        if (head.firstLineLength == 0 || head.firstLineLength > text.size()) std::abort();
        for (const std::string& recipient : head.recipients)
            if (recipient.empty() || recipient.find_first_of("\r\n") != std::string::npos) std::abort();
    }

    const std::string line = CNetwareImport::SenderLine(std::string(text.substr(0, 400)));
    if (line.find_first_of("\r\n") != std::string::npos) std::abort();
    CNetwareImport::SenderPath(line);
    return 0;
}
