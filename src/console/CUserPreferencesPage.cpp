// CUserPreferencesPage: reads the account's address, limits and rights
// through the engine's account record, and checks what was typed.
#include "console/CUserPreferencesPage.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <algorithm>
#include <optional>

#include "foundation/CAccountRows.h"
#include "store/CUserRecord.h"
#include "foundation/AccountEditorCheck.h"
#include "foundation/CMailDatabase.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"

namespace {

constexpr std::uint32_t kMaxLimit32 = 2147483647u;

bool ParseLimit(const QString& text, long& value) {
    return AccountEditorCheck::CheckLimit(text.trimmed().toStdString(), value) == AccountEditorCheck::Outcome::Ok;
}

QLineEdit* Field(QWidget* parent, const char* name) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    return field;
}

}  // namespace

CUserPreferencesPage::CUserPreferencesPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    setObjectName("preferencesPage");
    email = Field(this, "email");
    mailboxLimit = Field(this, "mailboxLimit");
    receiveLimit = Field(this, "receiveLimit");
    sendLimit = Field(this, "sendLimit");
    allowRead = new QCheckBox(tr("Allow &Read"), this);
    allowRead->setObjectName("allowRead");
    allowWrite = new QCheckBox(tr("Allow &Write"), this);
    allowWrite->setObjectName("allowWrite");
    auto* form = new QFormLayout(this);
    form->addRow(tr("&Email Address :"), email);
    form->addRow(tr("&Mailbox Limit (KB) :"), mailboxLimit);
    form->addRow(tr("Recei&ve Limit (KB) :"), receiveLimit);
    form->addRow(tr("&Send Limit (KB) :"), sendLimit);
    form->addRow(allowRead);
    form->addRow(allowWrite);
    auto* note = new QLabel(
        tr("Please specify email address for user in \"Preferences\" before clicking on create user button."), this);
    note->setWordWrap(true);
    form->addRow(note);
    Reload();
}

void CUserPreferencesPage::Reload() {
    Values values;
    const DWORD defaultLimit = settings::Dword{settings::kPreferences, "MailSizeLimit"}.Value();
    values.mailboxLimit = static_cast<long>(std::min<DWORD>(defaultLimit, kMaxLimit32));
    const std::optional<long> id =
        userName.empty() ? std::nullopt : CAccountRows::AccountIdByName(context.Connection(), userName);
    if (id) {
        const CUserRecord record(context.Connection(), *id);
        values.email = record.GetEmailId();
        values.mailboxLimit = static_cast<long>(std::min<std::uint32_t>(record.GetMailboxLimit(), kMaxLimit32));
        values.receiveLimit = static_cast<long>(std::min<std::uint32_t>(record.GetRecvmailLimit(), kMaxLimit32));
        values.sendLimit = static_cast<long>(std::min<std::uint32_t>(record.GetSendMailLimit(), kMaxLimit32));
        CAccountRows::ReadAccessRights(context.Connection(), *id, values.allowRead, values.allowWrite);
    }
    loaded = values;
    Show(values);
}

void CUserPreferencesPage::Show(const Values& values) {
    email->setText(QString::fromStdString(values.email));
    mailboxLimit->setText(QString::number(values.mailboxLimit));
    receiveLimit->setText(QString::number(values.receiveLimit));
    sendLimit->setText(QString::number(values.sendLimit));
    allowRead->setChecked(values.allowRead != 0);
    allowWrite->setChecked(values.allowWrite != 0);
}

bool CUserPreferencesPage::Read(Values& values, QString& problem) const {
    values.email = email->text().toStdString();
    if (!ParseLimit(mailboxLimit->text(), values.mailboxLimit) ||
        !ParseLimit(receiveLimit->text(), values.receiveLimit) || !ParseLimit(sendLimit->text(), values.sendLimit)) {
        problem = QString::fromUtf8(AccountEditorCheck::EditorMessage(AccountEditorCheck::Outcome::BadLimit));
        return false;
    }
    values.allowRead = allowRead->isChecked() ? 1 : 0;
    values.allowWrite = allowWrite->isChecked() ? 1 : 0;
    return true;
}
