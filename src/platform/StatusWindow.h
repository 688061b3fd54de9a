// StatusWindow: where the engine's progress and status notifications go.
//
// The engine has no windows. A component that would send window messages to
// a status window (the SMTP client's transfer progress, the send and receive
// cycle's status line) posts them to a StatusWindow instead: each message
// keeps its number and both parameters, and the receiver takes them off its
// queue one at a time on its own thread. A closed window drops what is
// posted to it, as a destroyed window would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <string>

#include "platform/MutexLock.h"

// One window message. Text parameters (a pointer to text on the original
// platform) travel as a copy in `text`; integer parameters in `lparam`.
struct StatusMessage {
    unsigned message = 0;
    unsigned long wparam = 0;
    std::string text;
    long lparam = 0;
};

class StatusWindow {
public:
    // Message numbers of the status window.
    static constexpr unsigned kStatusLine = 0x498;       // text: a status line or refused reply code
    static constexpr unsigned kProgressPercent = 0x499;  // lparam: percentage 0..100
    static constexpr unsigned kProgressText = 0x49A;     // text: progress line, empty when done

    virtual ~StatusWindow() = default;
    // Posts one message; false when the window is gone or its queue is full.
    virtual bool Post(const StatusMessage& message) = 0;
    bool Post(unsigned message, unsigned long wparam, const std::string& text, long lparam) {
        return Post(StatusMessage{message, wparam, text, lparam});
    }
};

// The message queue of one receiver. Bounded like a window's message queue:
// a receiver that stops reading makes further posts fail instead of growing
// the queue without end.
class StatusWindowQueue : public StatusWindow {
public:
    static constexpr std::size_t kDefaultCapacity = 10000;

    explicit StatusWindowQueue(std::size_t capacity = kDefaultCapacity) : capacity(capacity) {}

    using StatusWindow::Post;
    bool Post(const StatusMessage& message) override;
    // Takes the oldest message, waiting at most `wait`; false when none came
    // or the window was closed and its queue is empty.
    bool Get(StatusMessage& message, std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    // The window is destroyed: later posts are dropped, waiting readers wake.
    void Close();
    bool IsOpen() const;
    std::size_t Pending() const;

private:
    mutable Mutex lock;  // the queue and whether the window is open
    std::condition_variable_any arrived;
    std::deque<StatusMessage> queue GUARDED_BY(lock);
    std::size_t capacity;
    bool open GUARDED_BY(lock) = true;
};
