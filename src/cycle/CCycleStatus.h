// CCycleStatus: what the send and receive status window shows, kept without
// a window: the step text, the progress bar and its text, and the list of
// status lines (newest first), plus the main window's status text.
//
// The window's messages arrive through a StatusWindowQueue and are applied
// here one at a time by the cycle's message thread; readers (the status
// request of the control channel) take a copy under the lock. Every line
// that enters the list also goes to the diagnostic log, so a cycle that ran
// unwatched can be read afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/MutexLock.h"
#include "platform/StatusWindow.h"

class CCycleStatus {
public:
    // The status window's messages. The delivery pass's status lines
    // (StatusWindow::kStatusLine) are detail lines.
    static constexpr unsigned kStepText = 1175;
    static constexpr unsigned kDetailLine = StatusWindow::kStatusLine;      // 1176
    static constexpr unsigned kProgress = StatusWindow::kProgressPercent;   // 1177
    static constexpr unsigned kProgressLine = StatusWindow::kProgressText;  // 1178
    // A list holding more than this many lines is emptied before the next insert.
    static constexpr std::size_t kListLimit = 100;
    static constexpr const char* kFinishingLine = "Finishing Current Queued Process, So Please wait.....";
    static constexpr const char* kStopPressedText =
        "Finishing Current Queued Process, So Please Wait For Some Time.....";

    // The cycle's flags are filled in by the cycle, which owns them.
    struct Snapshot {
        bool busy = false;
        bool sendOnly = false;
        bool stopRequested = false;
        bool shown = false;  // the worker shows the window while it works
        std::uint64_t cyclesCompleted = 0;
        std::string mainText;  // the main window's status field
        std::string step;      // the step text at the top of the status window
        long progress = 0;
        std::string progressText;
        std::vector<std::string> lines;  // newest first
        // The newest delivery failure the outbound side reported since the
        // start (kept when the list is emptied); empty when none.
        std::string lastDeliveryError;
    };

    // Applies one message of the window; stopRequested decides what a detail
    // line shows.
    void Apply(const StatusMessage& message, bool stopRequested);
    // Whether a detail line is one of the outbound delivery's failure lines
    // ("Error in Connecting to ...", "Connection to ... lost").
    static bool IsDeliveryFailure(const std::string& line);
    // Showing the window empties the list.
    void Show();
    // The worker's end: the window goes before the cycle finishes.
    void Hide();
    // The Stop button: its own text, shown as the progress text.
    void StopPressed();
    // log false: the same text reaches the log as a list line.
    void SetMainText(const std::string& text, bool log = true);

    // Called after every change, outside the lock, on the changing thread;
    // set before the status is used.
    void SetListener(std::function<void()> listener) { changed = std::move(listener); }

    // A copy for a reader on another thread, with at most maxLines lines.
    Snapshot Take(std::size_t maxLines = kListLimit + 1) const;

private:
    void AddLine(const std::string& line) REQUIRES(lock);
    void Changed() const {
        if (changed) changed();
    }

    mutable Mutex lock;  // the state and the list
    Snapshot state GUARDED_BY(lock);
    std::deque<std::string> list GUARDED_BY(lock);  // newest first
    std::function<void()> changed;
};
