// COutboundQueuePage: the outbound queue view: one row per queued recipient
// with the message's recipient, subject and date, and the delete of one
// entry. The message heads are read from the Outbox files on a worker
// thread, so a long queue does not hold up the console.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "console/CConsolePage.h"

struct OutboundQueueEntry;
class QTreeWidget;

class COutboundQueuePage : public CConsolePage {
    Q_OBJECT
public:
    explicit COutboundQueuePage(ConsoleContext& context, QWidget* parent = nullptr);
    ~COutboundQueuePage() override;
    void Reload() override;

    // For tests: waits until the message heads of the last listing are shown.
    void WaitForPreviews();

private:
    void DeleteEntry();
    void StopPreviews();

    QTreeWidget* queue;
    std::vector<OutboundQueueEntry> entries;
    std::thread previewer;
    std::shared_ptr<std::atomic<bool>> stopPreviews;
};
