// CMailSpooler: the object through which the SMTP server module hands every
// accepted message to this engine.
//
// InsertMail writes the message as one spool file and returns; the spool
// processor routes it later. The module calls these operations through the
// object's virtual table, so their order is part of the module interface and
// must not change.
#pragma once

#include <string>

#include "platform/MutexLock.h"
#include "spool/MailInfo.h"

class CAccountDatabase;

class CMailSpooler {
public:
    // database is used to resolve local recipients when reading spool files;
    // not owned. directory is the spool directory, relative to the home.
    explicit CMailSpooler(CAccountDatabase* database, std::string directory = "SMTPSpooler");
    CMailSpooler(const CMailSpooler&) = delete;
    CMailSpooler& operator=(const CMailSpooler&) = delete;

    // 1. 1 when a spool file exists (it becomes the current file), else 0.
    virtual int FindSpoolFile();
    // 2. The current spool file read back; the caller owns the result. None on failure.
    virtual MailInfo* ReadSpoolFile();
    // 3. Takes ownership of info and everything in it, in every case. 1 only
    //    when the message is safely in the spool directory, else 0.
    virtual int InsertMail(MailInfo* info);
    // 4. Deletes the current spool file; a failure is ignored.
    virtual void RemoveSpoolFile();
    // 5.
    virtual ~CMailSpooler();

    std::string GetCurrentFile() const;
    // Where InsertMail writes (a session may start its spool file there
    // while the data arrives: CSpoolDraft).
    const std::string& GetDirectory() const { return directory; }

private:
    CAccountDatabase* database;
    // Serialises ReadSpoolFile across the module's threads.
    Mutex lock;  // one spool file read at a time (the database handle is shared)
    mutable Mutex currentLock;  // the file being read
    std::string currentFile GUARDED_BY(currentLock);
    std::string directory;
};
