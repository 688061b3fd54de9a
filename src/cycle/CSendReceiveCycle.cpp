// CSendReceiveCycle: triggers, worker and finish of the send and receive cycle.
#include "cycle/CSendReceiveCycle.h"

#include <algorithm>
#include <system_error>

#include "cycle/CConnectionSettings.h"
#include "cycle/CDialConnection.h"
#include "cycle/CPhoneBook.h"
#include "cycle/CScheduler.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/CRemoteServerAccounts.h"
#include "foundation/ProcessSettings.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "maillog/CMailLog.h"
#include "outbound/COutboundDelivery.h"
#include "retrieval/CMappedDownloader.h"
#include "retrieval/CRemoteMailSpooler.h"
#include "spool/CMailRouter.h"

namespace {

// Ports/"Use Smart SMTP"; 0 (the relay host) when it cannot be read.
DWORD ReadUseSmartSmtp() {
    return settings::Dword{settings::kPorts, "Use Smart SMTP"}.Stored().value_or(0);
}

}  // namespace

CSendReceiveCycle::CSendReceiveCycle(DatabaseMaker databaseMaker) : databaseMaker(std::move(databaseMaker)) {
    status.SetListener([this] { Notify(); });
}

void CSendReceiveCycle::SetObserver(Observer replacement) {
    MutexLock guard(observerLock);
    observer = std::move(replacement);
}

void CSendReceiveCycle::Notify() {
    MutexLock guard(observerLock);
    if (observer.changed) observer.changed();
}

void CSendReceiveCycle::NotifyDial(const std::string* text) {
    MutexLock guard(observerLock);
    if (text && observer.dialStatus) observer.dialStatus(*text);
    if (!text && observer.dialEnded) observer.dialEnded();
}

CSendReceiveCycle::~CSendReceiveCycle() {
    Stop();
    SetObserver({});
}

void CSendReceiveCycle::AttachScheduler(CScheduler* attached, std::chrono::milliseconds period) {
    scheduler = attached;
    schedulerPeriod = period;
}

bool CSendReceiveCycle::Start() {
    if (started) return true;
    constexpr settings::Dword kOnStartup{settings::kPreferences, "SendReceiveOnStartup"};
    if (kOnStartup.KeyOpens()) {
        // A value missing from the existing key reads 0.
        sendReceiveOnStartup = kOnStartup.ValueOrZero() != 0;
        sendOnMailCount = settings::Dword{settings::kPreferences, "SendOnMailCount"}.ValueOrZero();
        tick = std::chrono::milliseconds(settings::Dword{settings::kPreferences, "SendReceiveTick"}.Value());
    }
    ending = false;
    // The start-up cycle starts before the thread whose ticks could start
    // one too; its first lines wait in the queue.
    started = true;
    if (sendReceiveOnStartup) StartCycle();
    try {
        messageThread = std::thread(&CSendReceiveCycle::MessageLoop, this);
    } catch (const std::system_error&) {
        g_moduleLog.Write("*** The send and receive cycle cannot start its thread");
        Stop();
        return false;
    }
    return true;
}

void CSendReceiveCycle::Stop() {
    if (!started) return;
    started = false;
    // No tick may start a cycle once the running one was told to stop.
    ending = true;
    statusQueue.Close();
    if (messageThread.joinable()) messageThread.join();
    RequestStop();
    {
        // A dial still running is given up; its hooks reach into this object.
        MutexLock guard(dialLock);
        dial.reset();
    }
    MutexLock guard(workerLock);
    if (worker.joinable()) worker.join();
}

void CSendReceiveCycle::PostMessage(unsigned message) {
    if (message == kCycleRequest) cycleRequested = true;
    if (message == kStartCycle) {
        startAsked = true;
        // Wakes the message thread; should the queue be full, the next tick serves.
        statusQueue.Post(0, 0, "", 0);
    }
}

void CSendReceiveCycle::RequestStop() {
    if (!busy) return;
    stopRequested.Raise();
    status.StopPressed();
}

CCycleStatus::Snapshot CSendReceiveCycle::Status(std::size_t maxLines) const {
    CCycleStatus::Snapshot snapshot = status.Take(maxLines);
    snapshot.busy = busy;
    snapshot.sendOnly = sendOnly;
    snapshot.stopRequested = stopRequested.Raised();
    snapshot.cyclesCompleted = cyclesCompleted;
    return snapshot;
}

void CSendReceiveCycle::MessageLoop() {
    auto nextTick = std::chrono::steady_clock::now() + tick;
    auto nextSchedulerTick = std::chrono::steady_clock::now() + schedulerPeriod;
    for (;;) {
        // Dropped while a cycle runs, as every other trigger.
        if (startAsked.exchange(false) && !ending && !busy) {
            sendOnly = false;
            StartCycle();
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextTick) {
            // The scheduler's timer arrives as a tick of its own.
            const bool schedulerTimer = scheduler && now >= nextSchedulerTick;
            if (schedulerTimer) nextSchedulerTick = std::max(nextSchedulerTick + schedulerPeriod, now);
            if (!ending) Tick(schedulerTimer);
            ++ticks;
            // A late tick is not made up for: the clock only paces the triggers.
            nextTick = std::max(nextTick + tick, now);
            continue;
        }
        StatusMessage message;
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now) + std::chrono::milliseconds(1);
        if (statusQueue.Get(message, wait)) {
            status.Apply(message, stopRequested.Raised());
            continue;
        }
        if (ending && !statusQueue.IsOpen()) {
            while (statusQueue.Get(message)) status.Apply(message, stopRequested.Raised());
            return;
        }
    }
}

void CSendReceiveCycle::TickDialUp() {
    if (!busy) return;
    {
        MutexLock guard(dialLock);
        if (dialCancelAsked.exchange(false) && dial) dial->Cancel();
        if (dial && dial->RetriesLeft() > 0 && dial->GetState() == CDialConnection::kFailed && dial->RedialDue())
            dial->Dial();
    }
    if (dialConnected.exchange(false)) StartWorker();
    // Nobody closes the dialog of a dial that gave up: the cycle ends here.
    if (dialCancelled.exchange(false)) FinishCycle();
}

void CSendReceiveCycle::Tick(bool schedulerTimer) {
    TickDialUp();
    ScheduledRun(schedulerTimer);

    // The mail-count trigger: a send-only cycle; lost while one runs.
    if (sendOnMailCount != 0 && CMailRouter::PendingOutbound() >= sendOnMailCount) {
        CMailRouter::ResetPendingOutbound();
        if (!busy) {
            sendOnly = true;
            StartCycle();
        }
    }
    // The cycle request; dropped while a cycle runs.
    if (cycleRequested.exchange(false)) {
        if (!busy) {
            sendOnly = false;
            StartCycle();
        }
    }
}

void CSendReceiveCycle::ScheduledRun(bool schedulerTimer) {
    if (!scheduler) return;
    // A due entry's command runs first, on its own thread; its cycle comes
    // on the first tick after it ended.
    bool start = scheduler->TakeCycleAfterCommand();
    if (schedulerTimer && !busy && scheduler->OnTimer()) start = true;
    if (start && !busy) {
        CMailRouter::ResetPendingOutbound();
        sendOnly = false;
        StartCycle();
    }
}

void CSendReceiveCycle::StartCycle() {
    busy = true;
    status.SetMainText("Preparing for Send and Receive");
    remoteAccountCount = 0;
    activeRasConnections = 1;
    if (!StartDialUp()) StartWorker();
}

bool CSendReceiveCycle::StartDialUp() {
    CConnectionSettings settings;
    settings.Load();
    if (!settings.IsDialUp()) return false;
    if (CDialConnection::CallInProgress()) {
        // The cycle runs over whatever link the other call brings.
        status.SetMainText("Call in Progress. Please try to connect after some time");
        return false;
    }
    if (std::unique_ptr<CMailDatabase> database = databaseMaker ? databaseMaker() : nullptr) {
        CRemoteServerAccounts* accounts = database->GetRemoteServerAccounts();
        remoteAccountCount = accounts ? static_cast<std::uint32_t>(accounts->Count()) : 0;
    }
    if (remoteAccountCount == 0) return false;
    CPhoneBook phoneBook;
    phoneBook.Load();
    activeRasConnections = static_cast<std::uint32_t>(phoneBook.CountActive());
    if (activeRasConnections >= 1) return false;

    status.SetMainText("Establishing Connection");
    CDialConnection::Hooks hooks;
    hooks.show = [this](const std::string& text) {
        status.SetMainText(text);
        NotifyDial(&text);
    };
    hooks.connected = [this] {
        if (busy) dialConnected = true;
        NotifyDial(nullptr);
    };
    hooks.cancelled = [this] {
        if (busy) dialCancelled = true;
        NotifyDial(nullptr);
    };
    dialCancelAsked = false;
    MutexLock guard(dialLock);
    dial.reset();
    dial = std::make_unique<CDialConnection>(std::move(phoneBook), std::move(hooks));
    dial->Configure(settings.entryName, settings.userName, settings.password, settings.retries, settings.interval);
    dial->Dial();
    return true;
}

void CSendReceiveCycle::StartWorker() {
    stopRequested.Clear();
    MutexLock guard(workerLock);
    // The previous worker has finished its cycle (busy was clear); reap it.
    if (worker.joinable()) worker.join();
    try {
        worker = std::thread(&CSendReceiveCycle::Worker, this);
    } catch (const std::system_error&) {
        g_moduleLog.Write("*** The send and receive cycle cannot start its worker thread");
        sendOnly = false;
        FinishCycle();
    }
}

void CSendReceiveCycle::PostStep(const char* text) {
    statusQueue.Post(CCycleStatus::kStepText, 0, text, 0);
    status.SetMainText(text, false);
}

void CSendReceiveCycle::Worker() {
    status.Show();
    PostStep("Sending Mails");

    std::unique_ptr<CMailDatabase> database = databaseMaker ? databaseMaker() : nullptr;
    auto delivery = std::make_unique<COutboundDelivery>();
    if (database) {
        delivery->AttachDatabase(database.get());
    } else {
        g_moduleLog.Write("*** The send and receive cycle has no database connection; nothing is sent");
    }
    delivery->SetStatusWindow(&statusQueue);
    delivery->SetStopSignal(&stopRequested);
    if (database) {
        // The sent-mail log records what an exchanger or the relay host
        // took, on the pass's own connection and thread.
        const SQLHDBC connection = database->GetConnectionHandle();
        delivery->SetAcceptedHook(
            [connection](const std::string& sender, const std::string& recipient, CMailContent& message) {
                if (!ProcessSettings::Current().storeMailLog) return;
                if (CMailLog* log = CMailLog::Installed()) log->LogSent(connection, sender, recipient, &message);
            });
    }

    const DWORD direct = ReadUseSmartSmtp();
    if (database && !stopRequested.Raised()) {
        if (direct == 0)
            delivery->UploadMailsToRemoveServer();
        else
            delivery->DeliverDirect();
    }

    if (!sendOnly) {
        PostStep("Downloading Mails");
        CMappedDownloader mapped;
        if (database && !stopRequested.Raised()) mapped.DownloadMappedAccounts(*database, &statusQueue, stopRequested);
        // The previous pass's remote mail was distributed at its end.
        remoteDownloader.reset();
        remoteDatabase.reset();
        if (database && !stopRequested.Raised()) {
            remoteDownloader = std::make_unique<CRemoteMailSpooler>();
            remoteDownloader->SetDatabase(database.get());
            remoteDownloader->SetStatusWindow(&statusQueue);
            remoteDownloader->SetStopSignal(&stopRequested);
            PostStep("Downloading Remote Server Mails");
            remoteDownloader->DownloadRemoteServerAccounts();
        }
        mapped.WaitForMappedDownloads();
        // Distribution at the end of the pass still needs the connection.
        if (remoteDownloader) remoteDatabase = std::move(database);
    }

    delivery.reset();
    database.reset();
    sendOnly = false;
    status.Hide();
    FinishCycle();
}

void CSendReceiveCycle::FinishCycle() {
    std::unique_ptr<CDialConnection> dialed;
    {
        MutexLock guard(dialLock);
        if (dial && remoteAccountCount != 0 && activeRasConnections < 1 && dial->MadeConnection())
            dialed = std::move(dial);
    }
    if (dialed) {
        status.SetMainText("Disconnecting");
        dialed->HangUp();
        dialed.reset();
        dialConnected = false;
    }
    status.SetMainText("Distributing Mails");
    // After a stop the spool files wait for the next cycle's distribution.
    if (remoteDownloader) remoteDownloader->DistributeRemoteMail();
    stopRequested.Clear();
    status.SetMainText("Send and Receive Completed");
    ++cyclesCompleted;
    busy = false;
    dialConnected = false;
    if (scheduler) scheduler->RunFinished();
    Notify();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
