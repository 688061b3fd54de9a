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
#include "delivery/CLocalAccount.h"
#include "foundation/CAccountList.h"
#include "foundation/CMailContent.h"
#include "foundation/CMailDatabase.h"
#include "message/CMimeMessage.h"
#include "platform/Text.h"
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
    // The worker uses the account: it ends before the account goes.
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
    folders->clear();
    messages->clear();
    viewer->clear();
    moveTarget->clear();
    account.reset();
    if (accounts->currentIndex() <= 0 || !context.database) return;
    const long id = static_cast<long>(accounts->currentData().toLongLong());
    account.reset(context.database->GetAccountById(id));
    if (!account) {
        CConsoleMessageBox::Show(this, "The account could not be read");
        return;
    }
    CLocalAccount* loading = account.get();
    RunInBackground([loading] { return loading->LoadAllFolders() ? QString() : QString("Some folders could not be read"); },
                    [this](const QString& problem) {
                        status->setText(problem);
                        const CUserRecord& record = account->GetUserRecord();
                        for (int number = 1; number <= record.GetFolderCount(); ++number) {
                            const QString name = QString::fromUtf8(record.GetFolderName(number));
                            if (name.trimmed().isEmpty()) continue;
                            auto* item = new QListWidgetItem(name, folders);
                            item->setData(Qt::UserRole, number);
                            moveTarget->addItem(name, number);
                        }
                        folders->setCurrentRow(0);
                    });
}

int CMailboxListing::ChosenFolder() const {
    const QListWidgetItem* item = folders->currentItem();
    return item ? item->data(Qt::UserRole).toInt() : 0;
}

long CMailboxListing::SelectedMessage() const {
    const QTreeWidgetItem* item = messages->currentItem();
    return item ? static_cast<long>(item->data(kFrom, Qt::UserRole).toLongLong()) : 0;
}

void CMailboxListing::FolderChosen() {
    FillMessages();
}

void CMailboxListing::FillMessages() {
    const QSignalBlocker quiet(messages);
    messages->clear();
    viewer->clear();
    const int folder = ChosenFolder();
    if (!account || folder == 0) return;
    const long count = account->GetMessageCount(true, folder);
    for (long number = 1; number <= count; ++number) {
        const CStoredMail* mail = account->GetStoredMail(number, folder);
        if (!mail || mail->IsDeleted()) continue;
        auto* item = new QTreeWidgetItem(messages);
        item->setText(kFrom, Decode(mail->GetSender()));
        item->setText(kSubject, Decode(mail->GetSubject()));
        item->setText(kDate, QString::fromLatin1(mail->GetReceivedDate()));
        item->setText(kSize, QString::number(mail->GetSize()));
        item->setText(kRead, mail->IsRead() ? "Yes" : "No");
        item->setData(kFrom, Qt::UserRole, QVariant::fromValue<qlonglong>(number));
    }
    status->setText(QStringLiteral("%1 messages").arg(messages->topLevelItemCount()));
}

void CMailboxListing::ShowMessage() {
    const long number = SelectedMessage();
    const int folder = ChosenFolder();
    if (!account || number == 0 || worker) return;
    CLocalAccount* reading = account.get();
    RunInBackground(
        [reading, number, folder] {
            std::unique_ptr<CMailContent> content(reading->ReadMessage(number, folder));
            return content ? ViewerText(*content) : QString("The message could not be read");
        },
        [this](const QString& text) { viewer->setPlainText(text); });
}

void CMailboxListing::ChangeInBackground(std::function<bool(CLocalAccount&)> change, const QString& failure) {
    CLocalAccount* changing = account.get();
    RunInBackground(
        [changing, change = std::move(change), failure] {
            // The store is changed only while the console holds the
            // account's session, so a mail client cannot list it half-changed.
            if (!changing->Lock())
                return QString("The mailbox is in use by a mail client; try again when it has logged off");
            const bool done = change(*changing);
            changing->Unlock();
            return done ? QString() : failure;
        },
        [this](const QString& problem) {
            if (!problem.isEmpty()) CConsoleMessageBox::Show(this, problem);
            FillMessages();
        });
}

void CMailboxListing::MarkRead() {
    const long number = SelectedMessage();
    const int folder = ChosenFolder();
    if (!account || number == 0) return;
    ChangeInBackground([number, folder](CLocalAccount& a) { return a.MarkRead(folder, number); },
                       "The message could not be marked read");
}

void CMailboxListing::Delete() {
    const long number = SelectedMessage();
    const int folder = ChosenFolder();
    if (!account || number == 0) return;
    if (!CConsoleMessageBox::Ask(this, "Are you sure you want to delete the selected message",
                                 "Confirm Delete Operation"))
        return;
    ChangeInBackground(
        [number, folder](CLocalAccount& a) {
            if (!a.MarkDeleted(number, folder)) return false;
            if (a.CommitDeletions()) return true;
            a.UndoDeletions();
            return false;
        },
        "The message could not be deleted");
}

void CMailboxListing::Move() {
    const long number = SelectedMessage();
    const int folder = ChosenFolder();
    const int target = moveTarget->currentData().toInt();
    if (!account || number == 0 || target == 0) return;
    if (target == folder) {
        CConsoleMessageBox::Show(this, "The message is in that folder already");
        return;
    }
    ChangeInBackground([number, folder, target](CLocalAccount& a) { return a.MoveMessage(number, folder, target); },
                       "The message could not be moved");
}
