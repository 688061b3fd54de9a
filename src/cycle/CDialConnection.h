// CDialConnection: the dial object: brings one phone-book entry's link up
// for a send and receive cycle (or the shell's connect), retries a failed
// dial, and takes the link down again.
//
// Dialing runs the entry's up command on a thread of its own (the platform's
// dial thread) with the credentials in its environment, and reports the
// link's states through Callback as the platform's dial notification would:
// "Opening Port", "Connecting Device", then "Connected" with the done bit,
// or the state it failed in with an error code. Error codes keep their
// dial-up meanings: 623 no such phone-book entry, 631 the user ended the
// call (the up command was ended by a signal we did not send), 633 the
// command cannot be started, 651 it failed (non-zero exit), 718 it did not
// finish in time and was killed. When the entry has a status command, the
// link counts as up once that reports it, within the entry's time limit
// (an up command such as `pon` returns before the link is there).
//
// Retry rule: each error uses up one of the retries left; when none is left
// the dial is cancelled, otherwise the link is hung up and the state is
// "failed, may redial" until the caller's next tick dials again (after the
// redial interval, in seconds). Without a console nobody can press Cancel,
// so the user ending the call cancels too (cancelOnUserEnd).
//
// The caller is told through hooks, never by a call back into its own
// locks: connected (the link is up), cancelled (the dial gave up).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "cycle/CPhoneBook.h"
#include "foundation/SettingValue.h"
#include "platform/MutexLock.h"

class CDialConnection {
public:
    enum State : int { kDialing = 0, kConnected = 1, kCancelled = 2, kFailed = 3 };
    static constexpr std::uint32_t kDoneBit = 0x2000;
    static constexpr std::uint32_t kStateOpenPort = 0;
    static constexpr std::uint32_t kStateConnectDevice = 2;
    static constexpr std::uint32_t kStateProjection = 10;
    static constexpr std::uint32_t kStateConnected = 0x2000;
    static constexpr std::uint32_t kStateDisconnected = 0x2001;

    static constexpr std::uint32_t kErrorNoEntry = 623;
    static constexpr std::uint32_t kErrorUserEnded = 631;
    static constexpr std::uint32_t kErrorCannotStart = 633;
    static constexpr std::uint32_t kErrorCommandFailed = 651;
    static constexpr std::uint32_t kErrorTimedOut = 718;

    // The port is left free this long after a hang-up (`Preferences`/
    // "DialHangUpPause" in milliseconds, read when the dial object is made).
    static constexpr std::chrono::milliseconds kHangUpPause{
        settings::Dword{settings::kPreferences, "DialHangUpPause"}.Default()};
    // How often a status command is asked while waiting for the link.
    static constexpr std::chrono::seconds kStatusPoll{1};
    // The file whose lock marks a call in progress, in any process.
    static constexpr const char* kLockFile = "dialing.lock";

    using Clock = std::chrono::steady_clock;
    struct Hooks {
        std::function<void(const std::string&)> show;  // the "Connect" dialog's status line
        std::function<void()> connected;               // the link is up
        std::function<void()> cancelled;               // the dial gave up
        std::function<void(Clock::duration)> pause;    // default: sleep
        std::function<Clock::time_point()> now;        // default: the steady clock
        bool cancelOnUserEnd = true;                   // no console: error 631 cancels
    };

    CDialConnection(CPhoneBook phoneBook, Hooks hooks);
    // Gives up a dial that still runs (its command is killed) and waits for it.
    ~CDialConnection();
    CDialConnection(const CDialConnection&) = delete;
    CDialConnection& operator=(const CDialConnection&) = delete;

    // Stores the credentials; retriesLeft = retries. interval: seconds
    // between a failed dial and the next (its leading digits; else none).
    void Configure(const std::string& entryName, const std::string& userName, const std::string& password,
                   std::uint32_t retries, const std::string& interval = "");
    // State 0, then dials on the dial thread. False when the dial cannot
    // even start (no such entry, no up command): shown, then cancelled.
    bool Dial();
    // When a link was started: runs the down command, pauses, forgets it.
    void HangUp();
    // The dialog's Cancel: state 2, hang-up, no retries left, cancelled hook.
    void Cancel();
    // The dial notification (state, error), as the dial thread reports it.
    void Callback(std::uint32_t state, std::uint32_t error);

    int GetState() const { return state.load(); }
    std::uint32_t RetriesLeft() const { return retriesLeft.load(); }
    bool MadeConnection() const { return state.load() == kConnected; }
    // Failed, retries left and the redial interval over.
    bool RedialDue() const;
    const std::string& EntryName() const { return entryName; }

    // True when some process is dialing now.
    static bool CallInProgress();
    static std::string StateText(std::uint32_t state);
    // The platform's text for an error code; empty when it has none.
    static std::string ErrorText(std::uint32_t error);

private:
    void DialThread(const CPhoneBook::Entry* entry);  // an entry of phoneBook
    void Show(const std::string& text) const;
    // Waits for the entry's status command to report the link up.
    bool WaitForStatus(const CPhoneBook::Entry& entry);

    CPhoneBook phoneBook;
    Hooks hooks;
    std::string entryName, userName, password;
    std::chrono::seconds interval{0};
    std::chrono::milliseconds hangUpPause{kHangUpPause};

    std::atomic<int> state{kDialing};
    std::atomic<std::uint32_t> retriesLeft{0};
    std::atomic<bool> abandon{false};
    std::atomic<Clock::rep> failedAt{0};

    Mutex hangUpLock;                         // one hang-up at a time
    const CPhoneBook::Entry* linkEntry GUARDED_BY(hangUpLock) = nullptr;  // the handle: a link was started
    Mutex threadLock;                         // guards dialThread
    std::thread dialThread GUARDED_BY(threadLock);
};
