// Fuzzes the spool file reader: any bytes either read back as a bounded
// message or are refused, and a message that reads back survives being
// spooled again and re-read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzFiles.h"
#include "../support/NullAccountDatabase.h"
#include "spool/SpoolFile.h"

using fuzzfiles::ContentOf;
using fuzzfiles::WorkDirectory;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzzfiles::WriteInput(data, size);
    NullAccountDatabase accounts;  // every local recipient has gone
    spool::ReadResult result;
    std::unique_ptr<MailInfo> mail = ReadSpoolFile(path, &accounts, &result);
    if (!mail) {
        if (result == spool::ReadResult::Ok) std::abort();
        return 0;
    }
    if (result != spool::ReadResult::Ok || !mail->content || mail->recipients.size() > spool::kMaxRecipients ||
        mail->content->GetLength() > size)
        std::abort();

    std::string again;
    if (!WriteSpoolFile(*mail, WorkDirectory(), &again)) std::abort();
    std::unique_ptr<MailInfo> reread = ReadSpoolFile(again, &accounts, &result);
    ::unlink(again.c_str());
    if (!reread || reread->sender != mail->sender || reread->DotsCount != mail->DotsCount ||
        reread->mayRelay != mail->mayRelay || reread->recipients.size() != mail->recipients.size() ||
        ContentOf(*reread->content) != ContentOf(*mail->content))
        std::abort();
    for (std::size_t i = 0; i < mail->recipients.size(); ++i)
        if (reread->recipients[i]->user != mail->recipients[i]->user ||
            reread->recipients[i]->domain != mail->recipients[i]->domain)
            std::abort();
    return 0;
}
