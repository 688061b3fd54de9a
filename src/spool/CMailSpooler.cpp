// CMailSpooler: the spooler handed to the SMTP server module.
//
// Nothing may escape to the module: every operation turns a failure,
// including an exception, into its result, so a bad message costs the
// module one refused transaction, never its process.
#include "spool/CMailSpooler.h"

#include "foundation/CModuleLog.h"
#include "foundation/StringFormat.h"
#include "spool/SpoolFile.h"

#include <dirent.h>
#include <exception>
#include <memory>
#include <unistd.h>
#include <utility>

namespace {

// Closes a directory stream on every path.
class DirectoryStream {
public:
    explicit DirectoryStream(const std::string& path) : stream(::opendir(path.c_str())) {}
    ~DirectoryStream() {
        if (stream) ::closedir(stream);
    }
    DirectoryStream(const DirectoryStream&) = delete;
    DirectoryStream& operator=(const DirectoryStream&) = delete;
    DIR* Get() const { return stream; }

private:
    DIR* stream;
};

}  // namespace

CMailSpooler::CMailSpooler(CAccountDatabase* database, std::string directory)
    : database(database), directory(std::move(directory)) {}

CMailSpooler::~CMailSpooler() = default;

int CMailSpooler::FindSpoolFile() {
    DirectoryStream dir(directory);
    if (!dir.Get()) return 0;
    while (const dirent* entry = ::readdir(dir.Get())) {
        if (spool::IsSpoolFileName(entry->d_name)) {
            MutexLock guard(currentLock);
            currentFile = directory + "/" + entry->d_name;
            return 1;
        }
    }
    return 0;
}

MailInfo* CMailSpooler::ReadSpoolFile() {
    const std::string path = GetCurrentFile();
    if (path.empty()) return nullptr;
    try {
        MutexLock guard(lock);
        return ::ReadSpoolFile(path, database).release();
    } catch (const std::exception& error) {
        g_moduleLog.Write(std::string("*** Exception reading spool file: ") + error.what());
        return nullptr;
    }
}

int CMailSpooler::InsertMail(MailInfo* info) {
    // Ours from here on, whatever happens.
    std::unique_ptr<MailInfo> owned(info);
    g_moduleLog.WriteVerbose("Inserting mail..");
    if (!owned) {
        g_moduleLog.Write("MailInfo is NULL");
        return 0;
    }
    bool saved = false;
    try {
        // Sessions spool at once: every file has a name of its own, made
        // exclusively, so the syncs of one session never wait for another's.
        g_moduleLog.WriteVerbose("Saving Mail transaction");
        std::string spooled;
        saved = WriteSpoolFile(*owned, directory, &spooled);
        if (saved)
            g_moduleLog.Write(StringPrintf("Accepted %s from <%s> for %zu recipient(s)",
                                           spooled.substr(spooled.rfind('/') + 1).c_str(), owned->sender.c_str(),
                                           owned->recipients.size()));
        owned.reset();
    } catch (const std::exception& error) {
        // WriteSpoolFile removes its partial file as the exception passes.
        g_moduleLog.Write(std::string("*** Exception in writing to file: ") + error.what());
        saved = false;
    }
    if (saved)
        g_moduleLog.WriteVerbose("returning true");
    else
        g_moduleLog.Write("returning false");
    return saved ? 1 : 0;
}

void CMailSpooler::RemoveSpoolFile() {
    const std::string path = GetCurrentFile();
    if (!path.empty()) ::unlink(path.c_str());
}

std::string CMailSpooler::GetCurrentFile() const {
    MutexLock guard(currentLock);
    return currentFile;
}
