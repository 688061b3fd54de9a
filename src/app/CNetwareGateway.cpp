// CNetwareGateway: the schedule, the outbox scan and the settings.
#include "app/CNetwareGateway.h"

#include <dirent.h>

#include <algorithm>

#include "foundation/CModuleLog.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/StringFormat.h"
#include "platform/FileIo.h"
#include "platform/Text.h"

namespace {

constexpr std::size_t kDirectoryBytes = 260;
// Files taken in one scan; the rest wait for the next one.
constexpr std::size_t kMaxFilesPerScan = 10000;

bool EndsWithCnm(const std::string& name) {
    return name.size() > 4 && EqualsNoCase(std::string_view(name).substr(name.size() - 4), ".cnm");
}

constexpr settings::Dword kAt{settings::kStorage, "At"};
constexpr settings::Dword kHour{settings::kStorage, "Netware Hour"};
constexpr settings::Dword kMinutes{settings::kStorage, "Netware Minutes"};
constexpr settings::Dword kEveryMinutes{settings::kStorage, "EveryMinutes"};
constexpr settings::Text kOutbox{settings::kStorage, "Netware Outbox Directory"};

}  // namespace

CNetwareGateway::Settings CNetwareGateway::ReadSettings() {
    Settings settings;
    settings.at = kAt.Value() != 0;
    settings.hour = kHour.Stored().value_or(settings.hour);
    settings.minutes = kMinutes.Stored().value_or(settings.minutes);
    settings.everyMinutes = kEveryMinutes.Stored().value_or(settings.everyMinutes);
    settings.outboxDirectory = kOutbox.Stored(kDirectoryBytes - 1).value_or(settings.outboxDirectory);
    return settings;
}

bool CNetwareGateway::WriteSettings(const Settings& settings) {
    if (!kAt.KeyOpens()) return false;
    bool written = true;
    if (settings.at) {
        written = kHour.Write(settings.hour) && written;
        written = kMinutes.Write(settings.minutes) && written;
    } else {
        written = kEveryMinutes.Write(settings.everyMinutes) && written;
    }
    written = kAt.Write(settings.at ? 1 : 0) && written;
    written = kOutbox.Write(settings.outboxDirectory) && written;
    return written;
}

CNetwareGateway::CNetwareGateway(FileHandler fileHandler, Clock givenClock)
    : handler(std::move(fileHandler)), clock(std::move(givenClock)) {}

CNetwareGateway::~CNetwareGateway() {
    Stop();
}

bool CNetwareGateway::Start(std::chrono::milliseconds period) {
    if (thread.joinable()) return false;
    {
        MutexLock guard(lock);
        stopping = false;
    }
    current = ReadSettings();
    lastAt = current.at;
    thread = std::thread([this, period] { Run(period); });
    return true;
}

void CNetwareGateway::Stop() {
    {
        MutexLock guard(lock);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
}

void CNetwareGateway::Run(std::chrono::milliseconds period) {
    // Ticks keep to a fixed schedule, so a long scan does not push the
    // following ones (and an "At" minute) later and later.
    auto next = std::chrono::steady_clock::now() + period;
    MutexLock guard(lock);
    while (!stopping) {
        while (!stopping && wake.wait_until(guard, next) != std::cv_status::timeout) {
        }
        if (stopping) break;
        guard.unlock();
        OnGatewayTimer();
        guard.lock();
        const auto now = std::chrono::steady_clock::now();
        next += period;
        // A tick missed entirely (a scan longer than the period) is dropped.
        while (next <= now) next += period;
    }
}

void CNetwareGateway::OnGatewayTimer() {
    if (busy) return;
    if (IsGatewayDue()) ScanNetwareOutbox();
}

bool CNetwareGateway::IsGatewayDue() {
    current = ReadSettings();
    if (!lastAt || *lastAt != current.at) {
        minuteCounter = 0;
        lastScanMinute.reset();
    }
    lastAt = current.at;
    if (current.at) {
        const std::time_t now = clock();
        std::tm local{};
        localtime_r(&now, &local);
        if (static_cast<DWORD>(local.tm_hour) != current.hour || static_cast<DWORD>(local.tm_min) != current.minutes)
            return false;
        const std::time_t minute = now - local.tm_sec;
        if (lastScanMinute && *lastScanMinute == minute) return false;
        lastScanMinute = minute;
        return true;
    }
    if (current.everyMinutes == 0) return false;
    if (++minuteCounter < current.everyMinutes) return false;
    minuteCounter = 0;
    return true;
}

std::size_t CNetwareGateway::ScanNetwareOutbox() {
    busy = true;
    ++scans;
    // Read afresh: a scan may also be asked for without a tick.
    std::string directory = ForwardSlashes(std::string(Trim(ReadSettings().outboxDirectory)));
    std::size_t handed = 0;
    if (!directory.empty()) {
        if (directory.back() != '/') directory += '/';
        std::vector<std::string> names;
        if (DIR* listing = ::opendir(directory.c_str())) {
            while (const dirent* entry = ::readdir(listing)) {
                const std::string name = entry->d_name;
                // Hidden names are files being written (ours or a client's).
                if (name[0] != '.' && EndsWithCnm(name)) names.push_back(name);
            }
            ::closedir(listing);
        } else {
            g_moduleLog.Write(StringPrintf("*** Netware outbox %s cannot be read", directory.c_str()));
        }
        std::sort(names.begin(), names.end());
        if (names.size() > kMaxFilesPerScan) names.resize(kMaxFilesPerScan);
        for (const std::string& name : names) {
            handler(directory + name);
            ++handed;
        }
    }
    busy = false;
    return handed;
}
