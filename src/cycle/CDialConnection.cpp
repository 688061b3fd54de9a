// CDialConnection: the dial thread, the retry rule and the hang-up.
#include "cycle/CDialConnection.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "foundation/CModuleLog.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "platform/CommandProcess.h"
#include "platform/Home.h"
#include "platform/UniqueFd.h"

namespace {

// The lock that marks a dial in progress; invalid when another holds it.
UniqueFd TakeDialLock() {
    UniqueFd fd(::open(Home::PathOf(CDialConnection::kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (fd && ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) fd.Reset();
    return fd;
}

std::string CommandLineText(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

}  // namespace

CDialConnection::CDialConnection(CPhoneBook phoneBook, Hooks hooks)
    : phoneBook(std::move(phoneBook)), hooks(std::move(hooks)) {
    if (!this->hooks.pause) this->hooks.pause = [](Clock::duration d) { std::this_thread::sleep_for(d); };
    if (!this->hooks.now) this->hooks.now = [] { return Clock::now(); };
    hangUpPause = std::chrono::milliseconds(settings::Dword{settings::kPreferences, "DialHangUpPause"}.Value());
}

CDialConnection::~CDialConnection() {
    abandon = true;
    MutexLock guard(threadLock);
    if (dialThread.joinable()) dialThread.join();
}

void CDialConnection::Configure(const std::string& entry, const std::string& user, const std::string& secret,
                                std::uint32_t retries, const std::string& intervalText) {
    entryName = entry;
    userName = user;
    password = secret;
    retriesLeft = retries;
    const std::size_t digits = std::min<std::size_t>(intervalText.find_first_not_of("0123456789"), 5);
    interval = std::chrono::seconds(digits == 0 ? 0 : std::atol(intervalText.substr(0, digits).c_str()));
}

void CDialConnection::Show(const std::string& text) const {
    if (hooks.show) hooks.show(text);
}

bool CDialConnection::Dial() {
    state = kDialing;
    const CPhoneBook::Entry* entry = phoneBook.Select(entryName);
    if (!entry || entry->up.empty()) {
        // The dial cannot even start. Nobody would close the dialog of a
        // server without a console, so the dial gives up.
        Show(entry ? StringPrintf("Undefined RAS Dial Error (%ld).", static_cast<long>(kErrorCannotStart))
                   : ErrorText(kErrorNoEntry));
        g_moduleLog.Write("Dial-up: no phone-book entry \"" + entryName + "\" with an up command in " +
                          CPhoneBook::DefaultPath());
        Cancel();
        return false;
    }
    abandon = false;
    MutexLock guard(threadLock);
    // A redial follows a dial thread that has reported its failure and ends.
    if (dialThread.joinable()) dialThread.join();
    Show("Dialing " + entry->name);
    try {
        dialThread = std::thread(&CDialConnection::DialThread, this, entry);
    } catch (const std::system_error&) {
        Callback(kStateOpenPort, kErrorCannotStart);
        return false;
    }
    return true;
}

void CDialConnection::DialThread(const CPhoneBook::Entry* dialed) {
    const CPhoneBook::Entry& entry = *dialed;
    const UniqueFd lock = TakeDialLock();
    Callback(kStateOpenPort, 0);
    {
        MutexLock guard(hangUpLock);
        linkEntry = dialed;
    }
    Callback(kStateConnectDevice, 0);
    const std::vector<std::string> environment = {"VELMORA_DIAL_ENTRY=" + entry.name, "VELMORA_DIAL_USER=" + userName,
                                                  "VELMORA_DIAL_PASSWORD=" + password, "VELMORA_DIAL_DOMAIN=*"};
    const CommandProcess::RunResult up = CommandProcess::Run(entry.up, environment, entry.timeout, &abandon);
    if (up.abandoned) return;
    std::uint32_t error = 0;
    if (!up.started) {
        error = kErrorCannotStart;
        g_moduleLog.Write("Dial-up: \"" + CommandLineText(entry.up) +
                          "\" cannot be started: " + std::strerror(up.errorNumber));
    } else if (up.timedOut) {
        error = kErrorTimedOut;
        g_moduleLog.Write("Dial-up: \"" + CommandLineText(entry.up) + "\" took longer than " +
                          std::to_string(entry.timeout.count()) + " s and was stopped");
    } else if (up.signal != 0) {
        error = kErrorUserEnded;
        g_moduleLog.Write("Dial-up: \"" + CommandLineText(entry.up) + "\" was ended by signal " +
                          std::to_string(up.signal));
    } else if (up.exitStatus != 0) {
        error = kErrorCommandFailed;
        g_moduleLog.Write("Dial-up: \"" + CommandLineText(entry.up) + "\" exited with status " +
                          std::to_string(up.exitStatus));
    }
    if (error != 0) {
        Callback(kStateConnectDevice, error);
        return;
    }
    if (!entry.status.empty()) {
        Callback(kStateProjection, 0);
        if (!WaitForStatus(entry)) {
            if (abandon) return;
            g_moduleLog.Write("Dial-up: \"" + CommandLineText(entry.status) + "\" did not report the link up within " +
                              std::to_string(entry.timeout.count()) + " s");
            Callback(kStateProjection, kErrorTimedOut);
            return;
        }
    }
    Callback(kStateConnected, 0);
}

bool CDialConnection::WaitForStatus(const CPhoneBook::Entry& entry) {
    const Clock::time_point deadline = Clock::now() + entry.timeout;
    const std::vector<std::string> environment = {"VELMORA_DIAL_ENTRY=" + entry.name};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || abandon) return false;
        if (CommandProcess::Run(entry.status, environment, left, &abandon).Succeeded()) return true;
        for (auto waited = Clock::duration::zero(); waited < kStatusPoll && !abandon && Clock::now() < deadline;
             waited += std::chrono::milliseconds(100))
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void CDialConnection::Callback(std::uint32_t rasState, std::uint32_t error) {
    Show(StateText(rasState));
    if (error != 0) {
        const std::string text = ErrorText(error);
        Show(text.empty() ? StringPrintf("Error %u", static_cast<unsigned>(error)) : text);
        if (retriesLeft > 0) --retriesLeft;
        if (error == kErrorUserEnded) {
            // The dialog's user ends a call with Cancel; without one, this is it.
            if (hooks.cancelOnUserEnd) Cancel();
            return;
        }
        if (retriesLeft < 1) {
            Cancel();
        } else {
            HangUp();
            failedAt = hooks.now().time_since_epoch().count();
            state = kFailed;
        }
        return;
    }
    if ((rasState & kDoneBit) != 0) {
        Show("Connected");
        state = kConnected;
        retriesLeft = 0;
        if (hooks.connected) hooks.connected();
    }
}

bool CDialConnection::RedialDue() const {
    if (state.load() != kFailed || retriesLeft.load() == 0) return false;
    const Clock::time_point failed{Clock::duration(failedAt.load())};
    return hooks.now() >= failed + interval;
}

void CDialConnection::HangUp() {
    MutexLock guard(hangUpLock);
    if (!linkEntry) return;
    if (!linkEntry->down.empty()) {
        const CommandProcess::RunResult down =
            CommandProcess::Run(linkEntry->down, {"VELMORA_DIAL_ENTRY=" + linkEntry->name}, linkEntry->timeout);
        if (!down.Succeeded())
            g_moduleLog.Write("Dial-up: \"" + CommandLineText(linkEntry->down) + "\" failed" +
                              (down.timedOut ? " (stopped after the time limit)" : ""));
    }
    hooks.pause(hangUpPause);
    linkEntry = nullptr;
}

void CDialConnection::Cancel() {
    state = kCancelled;
    abandon = true;
    HangUp();
    retriesLeft = 0;
    if (hooks.cancelled) hooks.cancelled();
}

bool CDialConnection::CallInProgress() {
    return !TakeDialLock();
}

std::string CDialConnection::StateText(std::uint32_t rasState) {
    switch (rasState) {
        case 0:
            return "Opening Port";
        case 1:
            return "Port Opened";
        case 2:
            return "Connecting Device";
        case 3:
            return "Device Connected";
        case 4:
            return "All Devices Connected";
        case 5:
            return "Starting Authentication";
        case 6:
            return "Authentication Notify";
        case 7:
            return "Authentication Retry";
        case 8:
            return "CallBack Requested";
        case 9:
            return "Change Password Requested";
        case 10:
            return "Projection Phase Started";
        case 11:
            return "Link Speed Calculation";
        case 12:
            return "Authentication Acknowledged";
        case 13:
            return "Reauthentication Started";
        case 14:
            return "Authenticated";
        case 15:
            return "Preparation For Callback";
        case 16:
            return "Waiting For Modem Reset";
        case 17:
            return "Waiting For Callback";
        case 4096:
            return "Interactive";
        case 4097:
            return "Retry Authentication";
        case 4098:
            return "Callback Set By Caller";
        case 4099:
            return "Password Expired";
        case 8192:
            return "Connected";
        case 8193:
            return "Disconnected";
        default:
            return "Undefined Error Code";
    }
}

std::string CDialConnection::ErrorText(std::uint32_t error) {
    switch (error) {
        case kErrorNoEntry:
            return "The phone book entry for this connection was not found.";
        case kErrorUserEnded:
            return "The link was disconnected by the user.";
        case kErrorCannotStart:
            return "The link command could not be started.";
        case kErrorCommandFailed:
            return "The link command reported an error.";
        case kErrorTimedOut:
            return "The link command did not finish in time and was stopped.";
        default:
            return "";
    }
}
