// Objects that server modules pass to the event sinks with their messages.
//
// What these objects are is the modules' own business; the sinks only call
// the operations at the fixed places of their tables: a sink request (0x401)
// is given the file event sink at its third operation, a finished item
// (0x405) is deleted, and a file task (0x414) runs its tenth and fourteenth
// operations before it is deleted.
#pragma once

class MessageWindow;

class CSinkRequest {
public:
    virtual ~CSinkRequest() = default;                      // 1
    virtual void Reserved2() {}                             // 2
    virtual void Attach(MessageWindow* fileEventSink) = 0;  // 3
};

class CSinkItem {
public:
    virtual ~CSinkItem() = default;
};

class CSinkTask {
public:
    virtual ~CSinkTask() = default;  // 1
    virtual void Reserved2() {}      // 2
    virtual void Reserved3() {}      // 3
    virtual void Reserved4() {}      // 4
    virtual void Reserved5() {}      // 5
    virtual void Reserved6() {}      // 6
    virtual void Reserved7() {}      // 7
    virtual void Reserved8() {}      // 8
    virtual void Reserved9() {}      // 9
    virtual void Process() = 0;      // 10
    virtual void Reserved11() {}     // 11
    virtual void Reserved12() {}     // 12
    virtual void Reserved13() {}     // 13
    virtual void Complete() = 0;     // 14
};
