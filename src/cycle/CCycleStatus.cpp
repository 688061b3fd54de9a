// CCycleStatus: the status window's messages applied to its state.
#include "cycle/CCycleStatus.h"

#include <algorithm>
#include <string_view>

#include "foundation/CModuleLog.h"

namespace {

// One line of the diagnostic log per status line, marked as the cycle's.
void Log(const std::string& text) {
    g_moduleLog.Write("Send and Receive: " + text);
}

}  // namespace

void CCycleStatus::Apply(const StatusMessage& message, bool stopRequested) {
    {
        MutexLock guard(lock);
        switch (message.message) {
            case kStepText:
                state.step = message.text;
                AddLine(message.text);
                break;
            case kDetailLine:
                // While a stop is pending the window says so instead of the detail.
                AddLine(stopRequested ? kFinishingLine : message.text);
                if (IsDeliveryFailure(message.text)) state.lastDeliveryError = message.text;
                break;
            case kProgress:
                if (message.lparam != state.progress) state.progress = message.lparam;
                state.progressText = message.text;
                break;
            case kProgressLine:
                state.progressText = message.text;
                AddLine(message.text);
                break;
            default:
                break;
        }
    }
    Changed();
}

bool CCycleStatus::IsDeliveryFailure(const std::string& line) {
    static constexpr const char* kFailures[] = {"Error in Connecting to ", "Error Sending Mail ", "Error 1 in Query ",
                                                "Error 2 in Query ", "Error 3 in Query "};
    for (const char* prefix : kFailures)
        if (line.rfind(prefix, 0) == 0) return true;
    constexpr std::string_view lost = " lost";
    return line.rfind("Connection to ", 0) == 0 && line.size() > lost.size() &&
           line.compare(line.size() - lost.size(), lost.size(), lost) == 0;
}

void CCycleStatus::AddLine(const std::string& line) {
    if (list.size() > kListLimit) list.clear();
    list.push_front(line);
    Log(line);
}

void CCycleStatus::Show() {
    {
        MutexLock guard(lock);
        list.clear();
        state.shown = true;
    }
    Changed();
}

void CCycleStatus::Hide() {
    {
        MutexLock guard(lock);
        state.shown = false;
    }
    Changed();
}

void CCycleStatus::StopPressed() {
    {
        MutexLock guard(lock);
        state.progressText = kStopPressedText;
        Log(kStopPressedText);
    }
    Changed();
}

void CCycleStatus::SetMainText(const std::string& text, bool log) {
    {
        MutexLock guard(lock);
        state.mainText = text;
        if (log) Log(text);
    }
    Changed();
}

CCycleStatus::Snapshot CCycleStatus::Take(std::size_t maxLines) const {
    MutexLock guard(lock);
    Snapshot copy = state;
    const std::size_t count = std::min(maxLines, list.size());
    copy.lines.assign(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(count));
    return copy;
}
