// Fuzzes the spool file reader: any bytes either read back as a bounded
// message or are refused, and a message that reads back survives being
// spooled again and re-read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include "../support/NullAccountDatabase.h"
#include "spool/SpoolFile.h"

namespace {

// One private directory per fuzzing process, holding the input file, the
// re-spooled files and the temporary message files.
class WorkDirectoryHolder {
public:
    WorkDirectoryHolder() {
        char pattern[] = "/tmp/velmora-fuzz-spool-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        ::setenv("TMPDIR", pattern, 1);
        path = pattern;
    }
    ~WorkDirectoryHolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

const std::string& WorkDirectory() {
    static const WorkDirectoryHolder holder;
    return holder.path;
}

std::string ContentOf(CMailContent& content) {
    std::string text;
    content.Rewind();
    char block[4096];
    for (int n; (n = content.Read(block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = WorkDirectory() + "/input.tmp";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
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
        reread->mayRelay != mail->mayRelay ||
        reread->recipients.size() != mail->recipients.size() ||
        ContentOf(*reread->content) != ContentOf(*mail->content))
        std::abort();
    for (std::size_t i = 0; i < mail->recipients.size(); ++i)
        if (reread->recipients[i]->user != mail->recipients[i]->user ||
            reread->recipients[i]->domain != mail->recipients[i]->domain)
            std::abort();
    return 0;
}
