// Spool benchmark: spools 1,000 messages of 4 KB and one of 50 MB through
// CMailSpooler::InsertMail, reads them back through the spool processor's
// scan, and prints messages per second and the peak resident memory against
// the idle figure, which shows that content never sits whole in memory.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/SetupCommand.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CTempMailContent.h"
#include "foundation/OdbcStatement.h"
#include "platform/Home.h"
#include "spool/CMailSpoolProcessor.h"
#include "spool/CMailSpooler.h"

namespace {

long PeakRssKb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A message of size bytes, written in 64 KB blocks into a temporary file.
MailInfo* MakeMail(CMailDatabase& db, std::size_t size, int number) {
    auto info = std::make_unique<MailInfo>();
    info->sender = "bench" + std::to_string(number) + "@remote.example";
    auto local = std::make_unique<MailRecipient>("alice", "");
    local->account.reset(db.LookupLocalAccount("alice"));
    info->recipients.push_back(std::move(local));
    info->recipients.push_back(std::make_unique<MailRecipient>("bob", "far.example"));
    auto content = std::make_unique<CTempMailContent>();
    if (!content->Open()) return nullptr;
    std::string block(65536, 'x');
    const std::string header = "Subject: bench\r\n\r\n";
    block.replace(0, header.size(), header);
    for (std::size_t written = 0; written < size;) {
        const std::size_t n = std::min(block.size(), size - written);
        if (!content->Write(block.data(), static_cast<std::uint32_t>(n))) return nullptr;
        written += n;
    }
    info->content = std::move(content);
    return info.release();
}

bool Run(const std::string& home) {
    std::ostringstream quiet;
    if (SetupCommand::Run(home, quiet, std::cerr) != 0 || ::chdir(home.c_str()) != 0) return false;
    const std::string tmp = home + "/tmp";
    ::mkdir(tmp.c_str(), 0700);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
    CMailDatabase db;
    if (!db.Open()) return false;
    {
        OdbcStatement insert(db.GetConnectionHandle());
        if (!insert.ExecDirect("INSERT INTO Accounts VALUES (1, 'alice', 'x', 'QIRN1', 0, 1, 0, 0,'',0)")) return false;
    }
    CMailSpooler spooler(&db);
    CMailSpoolProcessor processor;
    processor.SetDatabase(&db);

    const long idleKb = PeakRssKb();
    std::printf("idle peak RSS before spooling: %ld KB\n", idleKb);

    constexpr int kCount = 1000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCount; ++i)
        if (spooler.InsertMail(MakeMail(db, 4096, i)) != 1) return false;
    double spoolSeconds = Seconds(start);
    start = std::chrono::steady_clock::now();
    const int routed = processor.ScanSpoolDirectory();
    double readSeconds = Seconds(start);
    if (routed != kCount) return false;
    std::printf("1000 x 4 KB: spooled %.0f msg/s (%.3f s, each fsync'd), read back %.0f msg/s (%.3f s)\n",
                kCount / spoolSeconds, spoolSeconds, kCount / readSeconds, readSeconds);
    std::printf("peak RSS after the small messages: %ld KB\n", PeakRssKb());

    constexpr std::size_t kLarge = 50u * 1024 * 1024;
    MailInfo* large = MakeMail(db, kLarge, kCount);
    if (!large) return false;
    const long beforeLargeKb = PeakRssKb();
    start = std::chrono::steady_clock::now();
    if (spooler.InsertMail(large) != 1) return false;
    spoolSeconds = Seconds(start);
    start = std::chrono::steady_clock::now();
    if (processor.ScanSpoolDirectory() != 1) return false;
    readSeconds = Seconds(start);
    std::printf("1 x 50 MB: spooled in %.3f s (%.0f MB/s), read back in %.3f s (%.0f MB/s)\n", spoolSeconds,
                50 / spoolSeconds, readSeconds, 50 / readSeconds);
    std::printf("peak RSS before the 50 MB message: %ld KB, after: %ld KB (growth %ld KB)\n", beforeLargeKb,
                PeakRssKb(), PeakRssKb() - beforeLargeKb);
    return true;
}

}  // namespace

int main() {
    std::string home = (std::filesystem::temp_directory_path() / "velmora-spool-bench-XXXXXX").string();
    if (!::mkdtemp(home.data())) return 1;
    ::setenv("ODBCSYSINI", home.c_str(), 1);
    ::setenv("ODBCINI", (home + "/odbc.ini").c_str(), 1);
    Home::Use(home);
    char cwd[4096];
    const bool haveCwd = ::getcwd(cwd, sizeof cwd) != nullptr;
    const bool ok = Run(home);
    if (haveCwd && ::chdir(cwd) != 0) std::perror("chdir");
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    if (!ok) {
        std::fprintf(stderr, "spool_bench: failed\n");
        return 1;
    }
    return 0;
}
