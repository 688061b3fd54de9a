// MessageThread and MessageWindow: window messages without windows.
//
// The engine's components talk to each other the way the window system let
// them: a message is a number and two parameters sent or posted to a window,
// and every window belongs to one thread that handles its messages one at a
// time. A MessageThread runs that loop; a MessageWindow is a receiver on it.
// Send waits for the handler's result (a send from the owner thread itself
// runs the handler at once); Post queues and returns. The quit message ends
// the loop; whatever is still queued for a window that goes away is dropped,
// and a Send that can no longer be handled answers 0.
//
// Only a MessageThreadOwner starts a thread, and its destructor stops and
// joins it before the thread object goes: ExitInstance always runs on a
// whole object, and no subclass has to remember to stop in its destructor.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <string>
#include <thread>

#include "platform/MutexLock.h"

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr unsigned WM_QUIT = 18;
constexpr unsigned WM_USER = 0x400;

class MessageWindow;
template <class Thread>
class MessageThreadOwner;

class MessageThread {
public:
    MessageThread();
    // The owner has joined the thread by now.
    virtual ~MessageThread();
    MessageThread(const MessageThread&) = delete;
    MessageThread& operator=(const MessageThread&) = delete;

    // Posts the quit message: the loop ends after the messages before it.
    void PostQuitMessage();
    bool IsRunning() const;
    bool IsCurrentThread() const;
    // True when no message is waiting in the queue.
    bool QueueEmpty() const;

protected:
    // Run on the thread before the loop: make the windows here.
    virtual bool InitInstance() { return true; }
    // Run on the thread after the loop: destroy the windows here.
    virtual int ExitInstance() { return 0; }

private:
    friend class MessageWindow;
    template <class Thread>
    friend class MessageThreadOwner;
    struct Item {
        MessageWindow* window;
        unsigned message;
        WPARAM wparam;
        LPARAM lparam;
        std::promise<LRESULT>* reply;  // set for a Send from another thread
    };

    LRESULT SendTo(MessageWindow* window, unsigned message, WPARAM wparam, LPARAM lparam);
    bool PostTo(MessageWindow* window, unsigned message, WPARAM wparam, LPARAM lparam);
    void Forget(MessageWindow* window);
    void Loop();
    // Starts the thread, runs InitInstance on it and returns its result once
    // it has run; on false the thread ends at once.
    bool CreateThread();
    // Posts the quit message and waits for the thread to end (ExitInstance
    // has run by then); nothing happens when it never started.
    void Stop();

    mutable Mutex lock;  // the queue and whether it takes messages
    std::condition_variable_any arrived;
    std::deque<Item> queue GUARDED_BY(lock);
    bool accepting GUARDED_BY(lock) = false;  // the loop runs (or is about to) and takes messages
    std::thread thread;
    std::thread::id threadId;
};

class MessageWindow {
public:
    MessageWindow(MessageThread& owner, std::string title);
    // Drops the window's queued messages; pending Sends answer 0.
    virtual ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    LRESULT Send(unsigned message, WPARAM wparam = 0, LPARAM lparam = 0);
    bool Post(unsigned message, WPARAM wparam = 0, LPARAM lparam = 0);

    const std::string& GetTitle() const { return title; }
    MessageThread& GetThread() const { return owner; }

protected:
    friend class MessageThread;
    // Handles one message on the owner thread; the result goes to a sender.
    virtual LRESULT OnMessage(unsigned message, WPARAM wparam, LPARAM lparam) = 0;

private:
    MessageThread& owner;
    std::string title;
};
