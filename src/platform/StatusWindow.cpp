// StatusWindow: the bounded message queue of a status window receiver.
#include "platform/StatusWindow.h"

bool StatusWindowQueue::Post(const StatusMessage& message) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!open || queue.size() >= capacity) return false;
        queue.push_back(message);
    }
    arrived.notify_one();
    return true;
}

bool StatusWindowQueue::Get(StatusMessage& message, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> guard(lock);
    arrived.wait_for(guard, wait, [this] { return !queue.empty() || !open; });
    if (queue.empty()) return false;
    message = std::move(queue.front());
    queue.pop_front();
    return true;
}

void StatusWindowQueue::Close() {
    {
        std::lock_guard<std::mutex> guard(lock);
        open = false;
    }
    arrived.notify_all();
}

bool StatusWindowQueue::IsOpen() const {
    std::lock_guard<std::mutex> guard(lock);
    return open;
}

std::size_t StatusWindowQueue::Pending() const {
    std::lock_guard<std::mutex> guard(lock);
    return queue.size();
}
