// CRemoteCycleControl: the running server's cycle through the control socket.
#include "console/CRemoteCycleControl.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <chrono>

#include "app/CControlClient.h"

namespace {

// The console waits on its own thread: a server that hangs must not freeze it long.
constexpr std::chrono::seconds kReplyWait{2};

}  // namespace

CRemoteCycleControl::CRemoteCycleControl(std::string home, QObject* parent)
    : QObject(parent), home(std::move(home)), timer(new QTimer(this)) {
    status.mainText = kNoServerText;
    connect(timer, &QTimer::timeout, this, [this] { Poll(); });
    timer->start(kPollMilliseconds);
    Poll();
}

bool CRemoteCycleControl::Send(const std::string& request, std::string& answer) const {
    std::string reply, error;
    switch (CControlClient::Request(home, request, reply, error, kReplyWait)) {
        case CControlClient::Result::NoServer:
            answer = kNoServerText;
            return false;
        case CControlClient::Result::Failed:
            answer = error;
            return false;
        case CControlClient::Result::Replied:
            break;
    }
    const std::size_t end = reply.find('\n');
    const std::string head = reply.substr(0, end);
    answer = end == std::string::npos ? std::string() : reply.substr(end + 1);
    if (head == "OK") return true;
    answer = head.rfind("ERR ", 0) == 0 ? head.substr(4) : head;
    return false;
}

bool CRemoteCycleControl::Poll() {
    std::string answer;
    reachable = Send("status-json", answer);
    if (reachable) {
        Apply(answer);
        return true;
    }
    // What the main window's status field says until the server answers again.
    const std::string key = "unreachable:" + answer;
    if (shownCycle == key) return false;
    shownCycle = key;
    const std::uint64_t completed = status.cyclesCompleted;
    status = {};
    status.cyclesCompleted = completed;
    status.mainText = answer;
    if (observer.changed) observer.changed();
    return false;
}

void CRemoteCycleControl::Apply(const std::string& json) {
    const QJsonObject reply = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    const QJsonObject cycle = reply.value("cycle").toObject();
    const std::string key = QJsonDocument(cycle).toJson(QJsonDocument::Compact).toStdString();
    if (key == shownCycle) return;
    shownCycle = key;
    CCycleStatus::Snapshot next;
    next.busy = cycle.value("busy").toBool();
    next.sendOnly = cycle.value("sendOnly").toBool();
    next.stopRequested = cycle.value("stopRequested").toBool();
    next.shown = cycle.value("shown").toBool();
    next.cyclesCompleted = static_cast<std::uint64_t>(cycle.value("cyclesCompleted").toInteger());
    next.mainText = cycle.value("mainText").toString().toStdString();
    next.step = cycle.value("step").toString().toStdString();
    next.progress = static_cast<long>(cycle.value("progress").toInteger());
    next.progressText = cycle.value("progressText").toString().toStdString();
    for (const QJsonValue& line : cycle.value("lines").toArray()) next.lines.push_back(line.toString().toStdString());
    next.lastDeliveryError = reply.value("lastDeliveryError").toString().toStdString();
    status = std::move(next);
    if (observer.changed) observer.changed();
}

void CRemoteCycleControl::StartCycle() {
    std::string answer;
    Send("send-receive", answer);
    Poll();
}

void CRemoteCycleControl::RequestStop() {
    std::string answer;
    if (Send("stop-cycle", answer)) status.progressText = CCycleStatus::kStopPressedText;
    Poll();
}
