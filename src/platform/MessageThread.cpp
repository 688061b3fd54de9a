// MessageThread and MessageWindow: the message loop.
#include "platform/MessageThread.h"

MessageThread::MessageThread() = default;

MessageThread::~MessageThread() = default;

bool MessageThread::CreateThread() {
    std::promise<bool> started;
    std::future<bool> result = started.get_future();
    {
        MutexLock guard(lock);
        if (thread.joinable()) return false;
        accepting = true;
    }
    thread = std::thread([this, &started] {
        {
            MutexLock guard(lock);
            threadId = std::this_thread::get_id();
        }
        bool ok = InitInstance();
        started.set_value(ok);
        if (ok) Loop();
        {
            MutexLock guard(lock);
            accepting = false;
        }
        // Messages left for windows that ExitInstance is about to destroy.
        std::deque<Item> left;
        {
            MutexLock guard(lock);
            left.swap(queue);
        }
        for (Item& item : left)
            if (item.reply) item.reply->set_value(0);
        ExitInstance();
    });
    return result.get();
}

void MessageThread::PostQuitMessage() {
    MutexLock guard(lock);
    if (!accepting) return;
    queue.push_back({nullptr, WM_QUIT, 0, 0, nullptr});
    arrived.notify_one();
}

void MessageThread::Stop() {
    PostQuitMessage();
    if (thread.joinable() && std::this_thread::get_id() != thread.get_id()) thread.join();
}

bool MessageThread::IsRunning() const {
    MutexLock guard(lock);
    return accepting;
}

bool MessageThread::IsCurrentThread() const {
    MutexLock guard(lock);
    return threadId == std::this_thread::get_id();
}

bool MessageThread::QueueEmpty() const {
    MutexLock guard(lock);
    return queue.empty();
}

void MessageThread::Loop() {
    for (;;) {
        Item item;
        {
            MutexLock guard(lock);
            while (queue.empty()) arrived.wait(guard);
            item = queue.front();
            queue.pop_front();
            if (item.message == WM_QUIT && item.window == nullptr) return;
        }
        LRESULT result = item.window->OnMessage(item.message, item.wparam, item.lparam);
        if (item.reply) item.reply->set_value(result);
    }
}

LRESULT MessageThread::SendTo(MessageWindow* window, unsigned message, WPARAM wparam, LPARAM lparam) {
    if (IsCurrentThread()) return window->OnMessage(message, wparam, lparam);
    std::promise<LRESULT> reply;
    std::future<LRESULT> result = reply.get_future();
    {
        MutexLock guard(lock);
        if (!accepting) return 0;
        queue.push_back({window, message, wparam, lparam, &reply});
        arrived.notify_one();
    }
    return result.get();
}

bool MessageThread::PostTo(MessageWindow* window, unsigned message, WPARAM wparam, LPARAM lparam) {
    MutexLock guard(lock);
    if (!accepting) return false;
    queue.push_back({window, message, wparam, lparam, nullptr});
    arrived.notify_one();
    return true;
}

void MessageThread::Forget(MessageWindow* window) {
    MutexLock guard(lock);
    for (auto it = queue.begin(); it != queue.end();) {
        if (it->window != window) {
            ++it;
            continue;
        }
        if (it->reply) it->reply->set_value(0);
        it = queue.erase(it);
    }
}

MessageWindow::MessageWindow(MessageThread& thread, std::string windowTitle)
    : owner(thread), title(std::move(windowTitle)) {}

MessageWindow::~MessageWindow() {
    owner.Forget(this);
}

LRESULT MessageWindow::Send(unsigned message, WPARAM wparam, LPARAM lparam) {
    return owner.SendTo(this, message, wparam, lparam);
}

bool MessageWindow::Post(unsigned message, WPARAM wparam, LPARAM lparam) {
    return owner.PostTo(this, message, wparam, lparam);
}
