// CSmtpServerModule: the SMTP server module's object and entry point (see
// the header).
#include "CSmtpServerModule.h"

#include "foundation/CModuleLog.h"

#include <exception>
#include <new>

CSmtpServerModule::CSmtpServerModule() = default;

CSmtpServerModule::~CSmtpServerModule() {
    try {
        std::unique_ptr<CSmtpListener> ending;
        {
            MutexLock guard(lock);
            stopped = true;
            ending = std::move(listener);
        }
        ending.reset();  // stops and joins every thread
    } catch (...) {
        // Joining cannot fail on threads this object started; nothing may escape.
    }
}

int CSmtpServerModule::IsIdle() {
    MutexLock guard(lock);
    return !listener || listener->ActiveSessions() == 0 ? 1 : 0;
}

void CSmtpServerModule::Stop() {
    try {
        MutexLock guard(lock);
        stopped = true;
        if (listener) listener->Stop();
        g_moduleLog.Write("SMTP server stopping");
    } catch (...) {
    }
}

void CSmtpServerModule::SetNotifyWindow(MessageWindow* serverEventSink) {
    MutexLock guard(lock);
    notifyWindow = serverEventSink;
}

void CSmtpServerModule::SetDatabase(CAccountDatabase* accountDatabase) {
    try {
        MutexLock guard(lock);
        database = accountDatabase;
        StartWhenReady();
    } catch (...) {
        g_moduleLog.Write("SMTP server: start failed");
    }
}

void CSmtpServerModule::SetMailSpooler(CMailSpooler* mailSpooler) {
    try {
        MutexLock guard(lock);
        spooler = mailSpooler;
        StartWhenReady();
    } catch (...) {
        g_moduleLog.Write("SMTP server: start failed");
    }
}

void CSmtpServerModule::StartWhenReady() {
    // Sessions hold the database and spooler given now (a missing database
    // makes local recipients wait with 451); both live as long
    // as the host, which deletes this module before either.
    if (stopped || listener || !spooler) return;
    auto starting = std::make_unique<CSmtpListener>(database, spooler);
    if (!starting->Start()) {
        g_moduleLog.Write("SMTP server: not listening");
        return;
    }
    listener = std::move(starting);
}

extern "C" CServerModule* InitServer() {
    try {
        return new CSmtpServerModule;  // the host owns it and deletes it
    } catch (...) {
        return nullptr;
    }
}
