// COutboundQueuePage: lists the queue and deletes entries through
// COutboundQueueView.
#include "console/COutboundQueuePage.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "outbound/COutboundQueueView.h"

namespace {
constexpr int kRecipient = 0, kSubject = 1, kDate = 2;
}

COutboundQueuePage::COutboundQueuePage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    auto* layout = new QVBoxLayout(this);
    queue = new QTreeWidget(this);
    queue->setObjectName("queue");
    queue->setRootIsDecorated(false);
    queue->setHeaderLabels({QStringLiteral("Recipient"), QStringLiteral("Subject"), QStringLiteral("Date"),
                            QStringLiteral("Destination"), QStringLiteral("Failure Code")});
    layout->addWidget(queue);
    auto* buttons = new QHBoxLayout;
    auto* refresh = new QPushButton(QStringLiteral("&Refresh"), this);
    refresh->setObjectName("refresh");
    auto* remove = new QPushButton(QStringLiteral("&Delete"), this);
    remove->setObjectName("delete");
    buttons->addWidget(refresh);
    buttons->addWidget(remove);
    buttons->addStretch();
    layout->addLayout(buttons);
    connect(refresh, &QPushButton::clicked, this, &COutboundQueuePage::Reload);
    connect(remove, &QPushButton::clicked, this, &COutboundQueuePage::DeleteEntry);
    Reload();
}

COutboundQueuePage::~COutboundQueuePage() {
    StopPreviews();
}

void COutboundQueuePage::StopPreviews() {
    if (stopPreviews) stopPreviews->store(true);
    if (previewer.joinable()) previewer.join();
    stopPreviews.reset();
}

void COutboundQueuePage::WaitForPreviews() {
    if (previewer.joinable()) previewer.join();
    QCoreApplication::processEvents();
}

void COutboundQueuePage::Reload() {
    StopPreviews();
    queue->clear();
    std::vector<OutboundQueueEntry> listed;
    if (!COutboundQueueView::ListQueue(context.Connection(), listed)) {
        CConsoleMessageBox::Show(this, QStringLiteral("The outbound queue cannot be read from the database"),
                                 QStringLiteral("Marlowin"), CConsoleMessageBox::Icon::Stop);
        entries.clear();
        return;
    }
    entries = std::move(listed);
    std::vector<std::string> files;
    for (const OutboundQueueEntry& e : entries) {
        new QTreeWidgetItem(queue,
                            {QString(), QString(), QString(), QString::fromStdString(e.destUser + "@" + e.domain),
                             QString::number(e.failureCode)});
        files.push_back(e.mailFile);
    }
    // Each row's head is posted back as it is read; a newer listing stops
    // the old reader and drops what it had not posted.
    stopPreviews = std::make_shared<std::atomic<bool>>(false);
    QPointer<COutboundQueuePage> page(this);
    QTreeWidget* list = queue;
    previewer = std::thread([page, list, files = std::move(files), stop = stopPreviews] {
        for (std::size_t i = 0; i < files.size() && !stop->load(); ++i) {
            OutboundQueuePreview preview;
            COutboundQueueView::PreviewQueuedMail(files[i], preview);
            const QStringList texts = {QString::fromStdString(preview.recipient),
                                       QString::fromStdString(preview.subject), QString::fromStdString(preview.date)};
            QMetaObject::invokeMethod(
                page.data(),
                [page, list, stop, i, texts] {
                    if (!page || stop->load()) return;
                    QTreeWidgetItem* row = list->topLevelItem(static_cast<int>(i));
                    if (!row) return;
                    row->setText(kRecipient, texts[0]);
                    row->setText(kSubject, texts[1]);
                    row->setText(kDate, texts[2]);
                },
                Qt::QueuedConnection);
        }
    });
}

void COutboundQueuePage::DeleteEntry() {
    QTreeWidgetItem* row = queue->currentItem();
    if (!row) return;
    const int index = queue->indexOfTopLevelItem(row);
    if (index < 0 || static_cast<std::size_t>(index) >= entries.size()) return;
    if (!CConsoleMessageBox::Ask(this, QStringLiteral("Are you sure you want to delete the selected mail"),
                                 QStringLiteral("Confirm Delete Operation")))
        return;
    if (!COutboundQueueView::DeleteQueueEntry(context.Connection(), entries, static_cast<std::size_t>(index))) {
        CConsoleMessageBox::Show(this, QStringLiteral("Delete Operation failed"));
        return;
    }
    Reload();
}
