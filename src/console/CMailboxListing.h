// CMailboxListing: the console's mailbox listing and viewer. Per account, its
// folders and their messages (sender, subject, date, size, read mark), a
// viewer with the header and the text body of the selected message, and the
// store's own move, mark-read and delete, all through the shared mailbox
// layer (so a mail client with the mailbox open sees them at once). Reading and changing the store runs
// on a worker thread (a big folder or message, a read confirmation sent to
// the local SMTP server); the result is posted back to the window's thread.
// The viewer shows a bounded prefix: a big message is never held whole.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/ConsoleContext.h"
#include "store/CMailboxStore.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QThread;
class QTreeWidget;

class CMailboxListing : public QWidget {
    Q_OBJECT
public:
    explicit CMailboxListing(ConsoleContext& context, QWidget* parent = nullptr);
    ~CMailboxListing() override;

    // Shows the named account (the choices are read again); with onlyThis
    // the chooser offers no other account (a user who is not an administrator).
    void ShowAccount(const std::string& userName, bool onlyThis = false);

    // The most of a message's header and of its text body the viewer shows.
    static constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
    static constexpr std::size_t kMaxBodyBytes = 64 * 1024;

signals:
    // A background read or change has ended and the window shows its result.
    void OperationFinished();

private:
    void AccountChosen();
    void FolderChosen();
    void ShowMessage();
    void MarkRead();
    void Delete();
    void Move();
    // Lists the messages last read (LoadFolder) in the window.
    void FillMessages();
    // On the worker: opens the folder and reads its messages' summaries.
    QString LoadFolder(int folder);
    // The selected message's UID in the chosen folder, or 0.
    std::uint32_t SelectedMessage() const;
    int ChosenFolder() const;
    // Runs work on a worker thread with the window disabled; done receives
    // its text on the window's thread.
    void RunInBackground(std::function<QString()> work, std::function<void(const QString&)> done);
    // Runs a change of the opened folder, then lists it again; failure is
    // shown when the change answers false.
    void ChangeInBackground(std::function<bool(mailbox::CMailboxView&)> change, const QString& failure);

    struct Row {
        std::uint32_t uid = 0;
        std::string sender, subject, date;
        std::uint32_t size = 0;
        bool read = false;
    };
    ConsoleContext& context;
    // Written by the worker, read by the window's thread once it has ended.
    std::unique_ptr<mailbox::CMailboxStore> store;
    std::unique_ptr<mailbox::CMailboxView> view;
    std::vector<mailbox::FolderInfo> folderList;
    std::vector<Row> rows;
    std::unique_ptr<QThread> worker;
    QComboBox* accounts;
    QListWidget* folders;
    QTreeWidget* messages;
    QPlainTextEdit* viewer;
    QComboBox* moveTarget;
    QLabel* status;
};
