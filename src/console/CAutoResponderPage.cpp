// CAutoResponderPage: edits an account's automatic reply.
#include "console/CAutoResponderPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/CommandSupport.h"
#include "console/CConsoleMessageBox.h"
#include "delivery/CAutoResponder.h"
#include "store/CUserRecord.h"
#include "foundation/CMailDatabase.h"

CAutoResponderPage::CAutoResponderPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    title = new QLabel(this);
    title->setObjectName("autoResponseTitle");
    editor = new QPlainTextEdit(this);
    editor->setObjectName("autoResponseText");
    message = new QLabel(this);
    message->setObjectName("message");
    auto* save = new QPushButton("&Update", this);
    save->setObjectName("saveAutoResponse");
    auto* row = new QHBoxLayout;
    row->addWidget(message, 1);
    row->addWidget(save);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(editor);
    layout->addLayout(row);
    connect(save, &QPushButton::clicked, this, &CAutoResponderPage::Save);
}

bool CAutoResponderPage::ToReplyBytes(const QString& text, std::string& bytes) {
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(text.size()));
    for (const QChar c : text) {
        if (c.unicode() > 0xFF) return false;
        if (c == QChar('\n')) {
            bytes += "\r\n";
            continue;
        }
        // A CR of its own would end a line only for some readers; the editor
        // shows lines, and lines go out as CR LF.
        if (c == QChar('\r')) continue;
        bytes += static_cast<char>(c.unicode());
    }
    return true;
}

bool CAutoResponderPage::Locate(long& id, std::string& path) {
    if (!AccountId(id)) return false;
    const CUserRecord record(context.Connection(), id);
    path = CAutoResponder::TextFilePath(CommandSupport::MailDirectory(), record.GetMailBox());
    if (path.empty()) {
        CConsoleMessageBox::Show(this, "The reply has no place: the Mail Directory setting or the account's "
                                       "mailbox name is not usable");
        return false;
    }
    return true;
}

void CAutoResponderPage::Reload() {
    editor->clear();
    message->clear();
    title->setText(QString::fromStdString(userName) + "-AutoResponse");
    setEnabled(!userName.empty());
    if (userName.empty()) return;
    long id = 0;
    std::string path;
    if (!Locate(id, path)) return;
    if (!CAutoResponder::IsOn(context.Connection(), id)) return;
    QString text = QString::fromLatin1(CAutoResponder::Load(path));
    text.replace("\r\n", "\n");
    editor->setPlainText(text);
}

void CAutoResponderPage::Save() {
    std::string bytes;
    if (!ToReplyBytes(editor->toPlainText(), bytes)) {
        CConsoleMessageBox::Show(this, "The text holds characters that ISO-8859-1, the reply's character set, "
                                       "cannot carry");
        return;
    }
    if (bytes.size() > CAutoResponder::kMaxTextBytes) {
        CConsoleMessageBox::Show(this, QStringLiteral("The text is longer than %1 KB, the longest reply sent")
                                           .arg(CAutoResponder::kMaxTextBytes / 1024));
        return;
    }
    long id = 0;
    std::string path;
    if (!Locate(id, path)) return;
    const bool wasOn = CAutoResponder::IsOn(context.Connection(), id);
    switch (CAutoResponder::Save(context.Connection(), id, path, bytes, wasOn)) {
        case CAutoResponder::SaveResult::TurnedOn:
            message->setText("AutoResponder turned on");
            return;
        case CAutoResponder::SaveResult::Updated:
            message->setText("AutoResponder updated");
            return;
        case CAutoResponder::SaveResult::TurnedOff:
            message->setText("AutoResponder turned off");
            return;
        case CAutoResponder::SaveResult::Unchanged:
            message->setText("AutoResponder is off");
            return;
        case CAutoResponder::SaveResult::FileFailed:
            CConsoleMessageBox::Show(this, QString::fromStdString("The reply could not be saved: " + path +
                                                                  " cannot be written"));
            return;
        case CAutoResponder::SaveResult::DatabaseFailed:
            break;
    }
    CConsoleMessageBox::Show(this, "The reply could not be saved: the database did not take the change");
}
