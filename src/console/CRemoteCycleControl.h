// CRemoteCycleControl: the cycle of a server that runs in another process on
// the same home, for `velmora console`. Every 500 ms (on a QTimer, on the
// console's thread) it asks the server for "status-json" and tells the
// observer when the cycle's part changed; Send/Receive and Stop go to the
// server as "send-receive" and "stop-cycle". A server that went away shows
// as an idle cycle whose main text says so; polling goes on, so a server
// started again is seen again.
#pragma once

#include <QObject>
#include <string>

#include "console/CCycleControl.h"

class QTimer;

class CRemoteCycleControl : public QObject, public CCycleControl {
    Q_OBJECT
public:
    static constexpr int kPollMilliseconds = 500;
    static constexpr const char* kNoServerText = "No server is running on this home";

    explicit CRemoteCycleControl(std::string home, QObject* parent = nullptr);

    CCycleStatus::Snapshot Status() const override { return status; }
    void SetObserver(Observer observer) override { this->observer = std::move(observer); }
    void StartCycle() override;
    // The dial runs in the server and shows no dialog here.
    void CancelDial() override {}
    void RequestStop() override;

    // Asks for the status now; false when the server did not answer.
    bool Poll();
    bool ServerReachable() const { return reachable; }
    // One request line to the server; its reply's text after "OK", or why not on error.
    bool Send(const std::string& request, std::string& answer) const;

private:
    void Apply(const std::string& json);

    std::string home;
    Observer observer;
    CCycleStatus::Snapshot status;
    std::string shownCycle;  // the cycle's part of the last reply, to tell a change
    bool reachable = false;
    QTimer* timer;
};
