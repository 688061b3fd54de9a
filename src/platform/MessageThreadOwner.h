// MessageThreadOwner: the one place a MessageThread starts and stops.
//
// It holds the thread object (a MessageThread or a subclass) and is the only
// code that may start it. Its destructor posts the quit message and joins
// before the object goes, so ExitInstance still finds every member of the
// subclass, however the subclass is written.
#pragma once

#include <type_traits>
#include <utility>

#include "platform/MessageThread.h"

template <class Thread>
class MessageThreadOwner {
    static_assert(std::is_base_of_v<MessageThread, Thread>, "owns MessageThreads only");

public:
    template <class... Args>
    explicit MessageThreadOwner(Args&&... args) : thread(std::forward<Args>(args)...) {}
    ~MessageThreadOwner() { thread.Stop(); }
    MessageThreadOwner(const MessageThreadOwner&) = delete;
    MessageThreadOwner& operator=(const MessageThreadOwner&) = delete;

    // Starts the thread; true once its InitInstance succeeded.
    bool Start() { return thread.CreateThread(); }
    // Ends the loop after the messages already queued and joins; a second
    // call does nothing.
    void Stop() { thread.Stop(); }

    Thread& operator*() { return thread; }
    Thread* operator->() { return &thread; }
    const Thread* operator->() const { return &thread; }

private:
    Thread thread;
};
