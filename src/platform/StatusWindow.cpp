// StatusWindow: the bounded message queue of a status window receiver.
#include "platform/StatusWindow.h"

bool StatusWindowQueue::Post(const StatusMessage& message) {
    {
        MutexLock guard(lock);
        if (!open || queue.size() >= capacity) return false;
        queue.push_back(message);
    }
    arrived.notify_one();
    return true;
}

bool StatusWindowQueue::Get(StatusMessage& message, std::chrono::milliseconds wait) {
    MutexLock guard(lock);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (queue.empty() && open && arrived.wait_until(guard, deadline) != std::cv_status::timeout) {
    }
    if (queue.empty()) return false;
    message = std::move(queue.front());
    queue.pop_front();
    return true;
}

void StatusWindowQueue::Close() {
    {
        MutexLock guard(lock);
        open = false;
    }
    arrived.notify_all();
}

bool StatusWindowQueue::IsOpen() const {
    MutexLock guard(lock);
    return open;
}

std::size_t StatusWindowQueue::Pending() const {
    MutexLock guard(lock);
    return queue.size();
}
