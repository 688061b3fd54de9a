// CSendReceiveCycle: the send and receive cycle of a server without windows.
//
// A cycle delivers the outbound queue on a worker thread, then (unless it
// is send-only) fetches the users' mapped POP3 accounts and the remote
// server accounts, and at its end distributes the remote server mail to
// the local users. It reports its progress to a status window, here a
// StatusWindowQueue read by the cycle's own message thread, which also
// stands for the main window's 500 ms clock: on every tick it takes the
// triggers that exist without a console, in order: the dial-up link of a
// cycle waiting for it (redial after a failure, start the worker once the
// link is up, finish a cycle whose dial gave up), the scheduler's due entry
// (on the scheduler's own 60-second timer), the mail-count trigger
// (SendOnMailCount remote recipients queued since the last one: a
// send-only cycle) and the cycle request (message 1135). The start-up
// switch SendReceiveOnStartup starts one cycle in Start.
//
// With the connection method "Ras" in Connect.stg, remote server accounts
// to fetch and no link of the phone book up, a cycle dials first
// (CDialConnection) and hangs up at its end.
//
// While a cycle runs (busy) nothing starts another: a count trigger that
// fires then is lost with its counter, a request is dropped. Stop asks the
// running cycle to skip what is left, waits for it and ends the thread. The
// request is a StopSignal that every socket wait of the cycle watches, so a
// silent peer does not hold a stop: steps end at once, or within the
// signal's grace where a message is in hand.
//
// The flags are atomics: the message thread, the worker and the control
// channel each write some and read the others.
//
// A console watches through an Observer. Its calls come from the engine's
// threads (the message thread, the worker, the dial thread) and touch no
// window: the console posts them to its own thread and reads Status() there.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "cycle/CCycleStatus.h"
#include "foundation/SettingValue.h"
#include "platform/MutexLock.h"
#include "platform/StatusWindow.h"
#include "platform/StopSignal.h"

class CDialConnection;
class CMailDatabase;
class CRemoteMailSpooler;
class CScheduler;

class CSendReceiveCycle {
public:
    // The private message that asks for a cycle at the next tick.
    static constexpr unsigned kCycleRequest = 1135;
    // The main window's Send/Receive: a cycle starts at once, on the
    // cycle's own thread (preparing it may read the database and dial).
    static constexpr unsigned kStartCycle = 1175;
    // The main window's clock; `Preferences`/"SendReceiveTick" (milliseconds,
    // read by Start) changes it.
    static constexpr std::chrono::milliseconds kTick{
        settings::Dword{settings::kPreferences, "SendReceiveTick"}.Default()};

    // The worker's own database connection, made on the worker thread; null
    // when none could be made (the cycle then delivers nothing).
    using DatabaseMaker = std::function<std::unique_ptr<CMailDatabase>()>;

    explicit CSendReceiveCycle(DatabaseMaker databaseMaker);
    ~CSendReceiveCycle();
    CSendReceiveCycle(const CSendReceiveCycle&) = delete;
    CSendReceiveCycle& operator=(const CSendReceiveCycle&) = delete;

    // The scheduler asked on its own timer's ticks (every period); set before Start.
    void AttachScheduler(CScheduler* attached, std::chrono::milliseconds period = std::chrono::minutes(1));

    // Reads the Preferences switches, starts the message thread and, with
    // SendReceiveOnStartup set, one cycle. False when the thread cannot start.
    bool Start();
    // Requests a stop of a running cycle, waits for it, ends the message thread.
    void Stop();

    // A private message to the main window: kCycleRequest is taken on the
    // next tick, kStartCycle at once. Others are ignored.
    void PostMessage(unsigned message);
    // The status window's Stop button.
    void RequestStop();

    bool IsBusy() const { return busy.load(); }
    // Ticks taken since Start.
    std::uint64_t TickCount() const { return ticks.load(); }
    // A console's view of the cycle; every call may come from any engine thread.
    struct Observer {
        std::function<void()> changed;                           // the status or busy flag changed
        std::function<void(const std::string&)> dialStatus;      // a dial runs: the "Connect" dialog's line
        std::function<void()> dialEnded;                         // the link is up or the dial gave up
    };
    // Replaces the observer (an empty one: nobody watches).
    void SetObserver(Observer observer);
    // The "Connect" dialog's Cancel; done on the next tick, not by the caller
    // (hanging up pauses).
    void CancelDial() { dialCancelAsked = true; }

    // What the status window and the main window show now.
    CCycleStatus::Snapshot Status(std::size_t maxLines = CCycleStatus::kListLimit + 1) const;
    // The window the cycle's steps report to.
    StatusWindow& GetStatusWindow() { return statusQueue; }

private:
    void MessageLoop();
    void Tick(bool schedulerTimer = false);
    void ScheduledRun(bool schedulerTimer);
    void StartCycle();
    // Brings the link up when the cycle needs one; false: no dial, start the worker.
    bool StartDialUp();
    void TickDialUp();
    void StartWorker();
    void Worker();
    void FinishCycle();
    void PostStep(const char* text);
    void Notify();
    void NotifyDial(const std::string* text);

    DatabaseMaker databaseMaker;
    std::uint32_t sendOnMailCount = 0;
    bool sendReceiveOnStartup = false;

    std::atomic<bool> busy{false};
    StopSignal stopRequested;
    std::atomic<bool> sendOnly{false};
    std::atomic<bool> cycleRequested{false};
    std::atomic<bool> startAsked{false};
    std::atomic<std::uint64_t> cyclesCompleted{0};
    std::atomic<std::uint64_t> ticks{0};
    std::chrono::milliseconds tick{kTick};
    // Dial-up state of the cycle being prepared, read again at its finish.
    std::uint32_t remoteAccountCount = 0;
    std::uint32_t activeRasConnections = 1;
    std::atomic<bool> dialConnected{false};
    std::atomic<bool> dialCancelled{false};
    std::atomic<bool> dialCancelAsked{false};
    Mutex dialLock;  // guards dial: the tick redials, the finish hangs up
    std::unique_ptr<CDialConnection> dial GUARDED_BY(dialLock);

    CScheduler* scheduler = nullptr;
    Mutex observerLock;  // the console may replace the observer while a thread tells it
    Observer observer GUARDED_BY(observerLock);
    std::chrono::milliseconds schedulerPeriod{std::chrono::minutes(1)};

    StatusWindowQueue statusQueue;
    CCycleStatus status;
    // The last pass's remote server mail and the connection it is
    // distributed on, kept from its download step until the next pass.
    std::unique_ptr<CMailDatabase> remoteDatabase;
    std::unique_ptr<CRemoteMailSpooler> remoteDownloader;

    Mutex workerLock;  // guards the worker thread object
    std::thread worker GUARDED_BY(workerLock);
    std::thread messageThread;
    std::atomic<bool> ending{false};
    bool started = false;
};
