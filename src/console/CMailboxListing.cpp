// CMailboxListing: one account's folders and messages, through the store.
#include "console/CMailboxListing.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "delivery/CGeneratedMailPolicy.h"
#include "store/CUserRecord.h"
#include "delivery/DeliveryReceipts.h"
#include "foundation/CFileRangeContent.h"
#include "foundation/CAccountList.h"
#include "foundation/CMailContent.h"
#include "foundation/CMailDatabase.h"
#include "message/CMailHeader.h"
#include "message/CMimeMessage.h"
#include "platform/Text.h"
#include "store/CSqlMailboxStore.h"
#include "store/CStoredMail.h"

namespace {

enum Column { kFrom, kSubject, kDate, kSize, kRead };

// Mail is mostly UTF-8 or ISO-8859-1 text; bytes that are not valid UTF-8
// are shown as the latter rather than as replacement marks.
QString Decode(const std::string& bytes) {
    const QString text = QString::fromUtf8(bytes);
    return text.contains(QChar::ReplacementCharacter) ? QString::fromLatin1(bytes) : text;
}

// Up to limit bytes of content from where it stands; more is set when there
// was more to read.
std::string ReadPrefix(CMailContent& content, std::size_t limit, bool& more) {
    std::string bytes;
    char block[8192];
    more = false;
    while (bytes.size() < limit) {
        const std::uint32_t want = static_cast<std::uint32_t>(std::min(sizeof block, limit - bytes.size()));
        const int n = content.Read(block, want);
        if (n <= 0) return bytes;
        bytes.append(block, static_cast<std::size_t>(n));
    }
    more = content.Read(block, 1) > 0;
    return bytes;
}

// The viewer's text: the header as written and the text body, each bounded.
QString ViewerText(CMailContent& content) {
    content.Rewind();
    bool more = false;
    std::string head = ReadPrefix(content, CMailboxListing::kMaxHeaderBytes, more);
    const std::size_t end = head.find("\r\n\r\n");
    if (end != std::string::npos) head.resize(end);
    QString text = Decode(head);
    text.replace("\r\n", "\n");
    text += "\n\n";
    content.Rewind();
    CMimeMessage mime;
    if (!mime.Parse(&content, "") || !mime.GetBody()) return text + "[The body could not be read]";
    CTempMailContent* body = mime.GetBody();
    body->Rewind();
    QString bodyText = Decode(ReadPrefix(*body, CMailboxListing::kMaxBodyBytes, more));
    bodyText.replace("\r\n", "\n");
    text += bodyText;
    if (more)
        text += QStringLiteral("\n\n[Only the first %1 KB of the text are shown]").arg(CMailboxListing::kMaxBodyBytes / 1024);
    return text;
}

}  // namespace

CMailboxListing::CMailboxListing(ConsoleContext& context, QWidget* parent) : QWidget(parent), context(context) {
    setWindowTitle("Mailboxes");
    accounts = new QComboBox(this);
    accounts->setObjectName("mailboxAccount");
    folders = new QListWidget(this);
    folders->setObjectName("folders");
    messages = new QTreeWidget(this);
    messages->setObjectName("messages");
    messages->setRootIsDecorated(false);
    messages->setHeaderLabels({"From", "Subject", "Date", "Size", "Read"});
    viewer = new QPlainTextEdit(this);
    viewer->setObjectName("viewer");
    viewer->setReadOnly(true);
    moveTarget = new QComboBox(this);
    moveTarget->setObjectName("moveTarget");
    status = new QLabel(this);
    status->setObjectName("status");
    auto* markRead = new QPushButton("Mark &Read", this);
    markRead->setObjectName("markRead");
    auto* remove = new QPushButton("&Delete", this);
    remove->setObjectName("deleteMessage");
    auto* move = new QPushButton("&Move To", this);
    move->setObjectName("moveMessage");

    auto* top = new QHBoxLayout;
    auto* accountLabel = new QLabel("&Account :", this);
    accountLabel->setBuddy(accounts);
    top->addWidget(accountLabel);
    top->addWidget(accounts, 1);
    auto* right = new QSplitter(Qt::Vertical, this);
    right->addWidget(messages);
    right->addWidget(viewer);
    auto* middle = new QSplitter(Qt::Horizontal, this);
    middle->addWidget(folders);
    middle->addWidget(right);
    middle->setStretchFactor(0, 1);
    middle->setStretchFactor(1, 4);
    messages->header()->resizeSection(kFrom, 200);
    messages->header()->resizeSection(kSubject, 220);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(status, 1);
    buttons->addWidget(markRead);
    buttons->addWidget(remove);
    buttons->addWidget(move);
    buttons->addWidget(moveTarget);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(middle, 1);
    layout->addLayout(buttons);

    resize(860, 560);
    connect(accounts, &QComboBox::currentIndexChanged, this, &CMailboxListing::AccountChosen);
    connect(folders, &QListWidget::currentRowChanged, this, &CMailboxListing::FolderChosen);
    connect(messages, &QTreeWidget::itemDoubleClicked, this, &CMailboxListing::ShowMessage);
    connect(messages, &QTreeWidget::currentItemChanged, this, &CMailboxListing::ShowMessage);
    connect(markRead, &QPushButton::clicked, this, &CMailboxListing::MarkRead);
    connect(remove, &QPushButton::clicked, this, &CMailboxListing::Delete);
    connect(move, &QPushButton::clicked, this, &CMailboxListing::Move);
    ShowAccount(std::string());
}

CMailboxListing::~CMailboxListing() {
    // The worker uses the store and view: it ends before they go.
    if (worker) worker->wait();
}

void CMailboxListing::ShowAccount(const std::string& userName, bool onlyThis) {
    const QSignalBlocker quiet(accounts);
    accounts->clear();
    std::vector<CAccountList::Entry> entries;
    if (!CAccountList::List(context.Connection(), entries)) status->setText("The accounts could not be read");
    if (!onlyThis) accounts->addItem(QString());
    for (const CAccountList::Entry& entry : entries)
        // User names compare without regard to case, as at login.
        if (!onlyThis || EqualsNoCase(entry.userName, userName))
            accounts->addItem(QString::fromStdString(entry.userName), QVariant::fromValue<qlonglong>(entry.accountId));
    accounts->setCurrentIndex(
        std::max(0, accounts->findText(QString::fromStdString(userName), Qt::MatchFixedString)));
    AccountChosen();
}

void CMailboxListing::RunInBackground(std::function<QString()> work, std::function<void(const QString&)> done) {
    if (worker) return;
    setEnabled(false);
    worker.reset(QThread::create([this, work = std::move(work), done = std::move(done)] {
        const QString result = work();
        QMetaObject::invokeMethod(
            this,
            [this, result, done] {
                worker->wait();
                worker.reset();
                setEnabled(true);
                done(result);
                emit OperationFinished();
            },
            Qt::QueuedConnection);
    }));
    worker->start();
}

void CMailboxListing::AccountChosen() {
    if (worker) return;
    {
        const QSignalBlocker quiet(folders);
        folders->clear();
    }
    messages->clear();
    viewer->clear();
    moveTarget->clear();
    view.reset();
    store.reset();
    rows.clear();
    if (accounts->currentIndex() <= 0 || !context.database) return;
    const long id = static_cast<long>(accounts->currentData().toLongLong());
    store = mailbox::OpenAccountMailbox(context.Connection(), id);
    if (!store) {
        CConsoleMessageBox::Show(this, "The account could not be read");
        return;
    }
    RunInBackground(
        [this] {
            const mailbox::Result<std::vector<mailbox::FolderInfo>> listed = store->ListFolders();
            if (!listed.Ok() || listed.value.empty()) return QString("Some folders could not be read");
            folderList = listed.value;
            return LoadFolder(folderList.front().folderId);
        },
        [this](const QString& problem) {
            {
                const QSignalBlocker quiet(folders);
                for (const mailbox::FolderInfo& folder : folderList) {
                    const QString name = QString::fromStdString(folder.name);
                    auto* item = new QListWidgetItem(name, folders);
                    item->setData(Qt::UserRole, folder.folderId);
                    moveTarget->addItem(name, folder.folderId);
                }
                folders->setCurrentRow(0);
            }
            FillMessages();
            if (!problem.isEmpty()) status->setText(problem);
        });
}

QString CMailboxListing::LoadFolder(int folder) {
    rows.clear();
    view.reset();
    mailbox::Result<std::unique_ptr<mailbox::CMailboxView>> opened = store->Open(folder, false);
    if (!opened.Ok()) return "The folder could not be read";
    view = std::move(opened.value);
    // The summary texts (sender, subject, date) are the store's listing rows.
    for (const mailbox::MessageInfo& m : view->Messages()) {
        Row row{m.uid, {}, {}, {}, m.size, (m.flags & mailbox::kSeen) != 0};
        CStoredMail entry(context.Connection());
        if (entry.Load(m.mailId, folder, store->AccountId())) {
            row.sender = entry.GetSender();
            row.subject = entry.GetSubject();
            row.date = entry.GetReceivedDate();
        }
        rows.push_back(std::move(row));
    }
    return QString();
}

int CMailboxListing::ChosenFolder() const {
    const QListWidgetItem* item = folders->currentItem();
    return item ? item->data(Qt::UserRole).toInt() : 0;
}

std::uint32_t CMailboxListing::SelectedMessage() const {
    const QTreeWidgetItem* item = messages->currentItem();
    return item ? static_cast<std::uint32_t>(item->data(kFrom, Qt::UserRole).toLongLong()) : 0;
}

void CMailboxListing::FolderChosen() {
    const int folder = ChosenFolder();
    if (!store || folder == 0 || worker) return;
    RunInBackground([this, folder] { return LoadFolder(folder); },
                    [this](const QString& problem) {
                        FillMessages();
                        if (!problem.isEmpty()) status->setText(problem);
                    });
}

void CMailboxListing::FillMessages() {
    const QSignalBlocker quiet(messages);
    messages->clear();
    viewer->clear();
    for (const Row& row : rows) {
        auto* item = new QTreeWidgetItem(messages);
        item->setText(kFrom, Decode(row.sender));
        item->setText(kSubject, Decode(row.subject));
        item->setText(kDate, QString::fromLatin1(row.date.c_str()));
        item->setText(kSize, QString::number(row.size));
        item->setText(kRead, row.read ? "Yes" : "No");
        item->setData(kFrom, Qt::UserRole, QVariant::fromValue<qlonglong>(row.uid));
    }
    status->setText(QStringLiteral("%1 messages").arg(messages->topLevelItemCount()));
}

void CMailboxListing::ShowMessage() {
    const std::uint32_t uid = SelectedMessage();
    if (!view || uid == 0 || worker) return;
    mailbox::CMailboxView* reading = view.get();
    RunInBackground(
        [reading, uid] {
            mailbox::Result<mailbox::CMailboxView::OpenedMessage> opened = reading->Open(uid);
            if (!opened.Ok()) return QString("The message could not be read");
            CFileRangeContent content(std::move(opened.value.fd), 0, opened.value.size);
            return ViewerText(content);
        },
        [this](const QString& text) { viewer->setPlainText(text); });
}

void CMailboxListing::ChangeInBackground(std::function<bool(mailbox::CMailboxView&)> change, const QString& failure) {
    const int folder = ChosenFolder();
    if (!view) return;
    RunInBackground(
        [this, folder, change = std::move(change), failure] {
            const bool done = change(*view);
            const QString problem = LoadFolder(folder);
            return done ? problem : failure;
        },
        [this](const QString& problem) {
            if (!problem.isEmpty()) CConsoleMessageBox::Show(this, problem);
            FillMessages();
        });
}

void CMailboxListing::MarkRead() {
    const std::uint32_t uid = SelectedMessage();
    if (!view || uid == 0) return;
    SQLHDBC connection = context.Connection();
    CAccountDatabase* database = context.database;
    const long accountId = store->AccountId();
    ChangeInBackground(
        [uid, connection, database, accountId](mailbox::CMailboxView& v) {
            if (!v.SetFlags({uid}, mailbox::FlagMode::Add, mailbox::kSeen, {}).Ok()) return false;
            // Every marking answers a read-receipt request, also a second one.
            mailbox::Result<mailbox::CMailboxView::OpenedMessage> opened = v.Open(uid);
            if (opened.Ok()) {
                CFileRangeContent content(std::move(opened.value.fd), 0, opened.value.size);
                const std::string head = ReadHead(content, kMessageHeadBytes);
                const CMailHeader header(head.data(), head.size());
                if (!CMailHeader::TrimBlanks(header.GetField("X-QIRN-Read-Notify")).empty()) {
                    const std::unique_ptr<CUserRecord> record = CUserRecord::Fetch(connection, accountId);
                    SendReadConfirmation(*record, header, CGeneratedMailPolicy::ForUnknownOrigin(database));
                }
            }
            return true;
        },
        "The message could not be marked read");
}

void CMailboxListing::Delete() {
    const std::uint32_t uid = SelectedMessage();
    if (!view || uid == 0) return;
    if (!CConsoleMessageBox::Ask(this, "Are you sure you want to delete the selected message",
                                 "Confirm Delete Operation"))
        return;
    ChangeInBackground(
        [uid](mailbox::CMailboxView& v) {
            if (!v.SetFlags({uid}, mailbox::FlagMode::Add, mailbox::kDeleted, {}).Ok()) return false;
            const std::vector<std::uint32_t> only{uid};
            const mailbox::Result<std::vector<std::uint32_t>> removed = v.Expunge(&only);
            return removed.Ok() && removed.value == only;
        },
        "The message could not be deleted");
}

void CMailboxListing::Move() {
    const std::uint32_t uid = SelectedMessage();
    const int folder = ChosenFolder();
    const int target = moveTarget->currentData().toInt();
    if (!view || uid == 0 || target == 0) return;
    if (target == folder) {
        CConsoleMessageBox::Show(this, "The message is in that folder already");
        return;
    }
    ChangeInBackground(
        [uid, target](mailbox::CMailboxView& v) {
            const mailbox::Result<mailbox::CopyResult> moved = v.Move({uid}, target);
            return moved.Ok() && moved.value.uids.size() == 1;
        },
        "The message could not be moved");
}
