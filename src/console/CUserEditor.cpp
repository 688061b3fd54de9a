// CUserEditor: the editor's checks and messages around the account
// database's CreateAccount, AlterAccountWithLimits and DeleteAccount.
#include "console/CUserEditor.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include "foundation/CAccountRows.h"
#include "console/CConsoleMessageBox.h"
#include "console/CConsolePage.h"
#include "console/CUserPreferencesPage.h"
#include "console/ConsolePageList.h"
#include "foundation/AccountEditorCheck.h"
#include "foundation/DataSource.h"
#include "platform/Home.h"
#include "platform/Text.h"

namespace {

using Outcome = AccountEditorCheck::Outcome;

QString Message(Outcome outcome) {
    return QString::fromUtf8(AccountEditorCheck::EditorMessage(outcome));
}

QLineEdit* Field(QWidget* parent, const char* name, bool secret) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    if (secret) field->setEchoMode(QLineEdit::Password);
    return field;
}

}  // namespace

CUserEditor::CUserEditor(ConsoleContext& context, QWidget* parent) : QWidget(parent), context(context) {
    setObjectName("userEditor");
    userList = new QListWidget(this);
    userList->setObjectName("userList");
    userName = Field(this, "userName", false);
    password = Field(this, "password", true);
    confirmPassword = Field(this, "confirmPassword", true);
    admin = new QCheckBox(tr("A&dmin"), this);
    admin->setObjectName("admin");
    createUser = new QPushButton(tr("&Create User"), this);
    createUser->setObjectName("createUser");
    alterUser = new QPushButton(tr("&Alter User"), this);
    alterUser->setObjectName("alterUser");
    deleteUser = new QPushButton(tr("D&elete User"), this);
    deleteUser->setObjectName("deleteUser");
    message = new QLabel(this);
    message->setObjectName("message");
    pages = new QTabWidget(this);
    pages->setObjectName("userPages");

    // The pages in the editor's order: its own Preferences before Netware.
    preferences = new CUserPreferencesPage(context, pages);
    int preferencesAt = -1;
    for (const ConsolePageEntry& entry : ConsolePageList::UserPages(context, pages)) {
        if (entry.title == QStringLiteral("&Netware") && preferencesAt < 0) preferencesAt = pages->count();
        pages->addTab(entry.page, entry.title);
        accountPages.push_back(entry.page);
    }
    pages->insertTab(preferencesAt < 0 ? pages->count() : preferencesAt, preferences, tr("&Preferences"));

    auto* form = new QFormLayout;
    auto* nameLabel = new QLabel(tr("&UserName :"), this);
    nameLabel->setBuddy(userName);
    auto* passwordLabel = new QLabel(tr("&Password :"), this);
    passwordLabel->setBuddy(password);
    auto* confirmLabel = new QLabel(tr("&Confirm Password :"), this);
    confirmLabel->setBuddy(confirmPassword);
    form->addRow(nameLabel, userName);
    form->addRow(passwordLabel, password);
    form->addRow(confirmLabel, confirmPassword);
    form->addRow(admin);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(createUser);
    buttons->addWidget(alterUser);
    buttons->addWidget(deleteUser);
    auto* fields = new QVBoxLayout;
    fields->addLayout(form);
    fields->addLayout(buttons);
    fields->addWidget(message);
    fields->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(userList, 1);
    top->addLayout(fields, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(pages, 1);

    connect(userList, &QListWidget::currentTextChanged, this,
            [this](const QString& name) { Select(name.toStdString()); });
    connect(createUser, &QPushButton::clicked, this, &CUserEditor::Create);
    connect(alterUser, &QPushButton::clicked, this, &CUserEditor::Alter);
    connect(deleteUser, &QPushButton::clicked, this, &CUserEditor::Delete);
    Reload();
}

void CUserEditor::Reload() {
    message->clear();
    const bool read = context.database && CAccountRows::ListAccounts(context.database->GetConnectionHandle(), accounts);
    if (!read) {
        accounts.clear();
        DatabaseFailure();
    }
    QSignalBlocker block(userList);
    userList->clear();
    for (const CAccountRows::AccountEntry& entry : accounts)
        if (ownName.empty() || EqualsNoCase(entry.userName, ownName))
            userList->addItem(QString::fromStdString(entry.userName));
    if (!ownName.empty()) {
        Select(ownName);
    } else {
        ClearFields();
        Select("");
    }
}

void CUserEditor::SetOwnView(const std::string& name) {
    ownName = name;
    userName->setReadOnly(true);
    admin->setEnabled(false);
    createUser->setEnabled(false);
    deleteUser->setEnabled(false);
    // Limits and rights are the administrator's to give.
    preferences->setEnabled(false);
    Reload();
}

void CUserEditor::SetAdministratorView() {
    ownName.clear();
    userName->setReadOnly(false);
    admin->setEnabled(true);
    createUser->setEnabled(true);
    deleteUser->setEnabled(true);
    preferences->setEnabled(true);
    Reload();
}

CAccountRows::AccountEntry* CUserEditor::Find(const std::string& name) {
    for (CAccountRows::AccountEntry& entry : accounts)
        if (EqualsNoCase(entry.userName, name)) return &entry;
    return nullptr;
}

void CUserEditor::Select(const std::string& name) {
    userName->setText(QString::fromStdString(name));
    password->clear();
    confirmPassword->clear();
    const CAccountRows::AccountEntry* entry = Find(name);
    admin->setChecked(entry && entry->isAdmin);
    preferences->SetUser(entry ? entry->userName : "");
    for (CConsolePage* page : accountPages) page->SetUser(entry ? entry->userName : "");
}

void CUserEditor::ClearFields() {
    userName->clear();
    password->clear();
    confirmPassword->clear();
    admin->setChecked(false);
}

void CUserEditor::ShowMessage(const QString& text) {
    Say(text);
}

void CUserEditor::Say(const QString& text) {
    message->setText(text);
}

void CUserEditor::DatabaseFailure() {
    const std::string why = DataSource::Diagnose(Home::Dir());
    CConsoleMessageBox::Show(this,
                             why.empty() ? tr("The account database did not take the change; nothing was changed.")
                                         : QString::fromStdString(why),
                             QStringLiteral("Marlowin"), CConsoleMessageBox::Icon::Warning);
}

void CUserEditor::Create() {
    const std::string name = userName->text().toStdString();
    const std::string typed = password->text().toStdString();
    CUserPreferencesPage::Values values;
    QString problem;
    const bool valuesRead = preferences->Read(values, problem);
    const Outcome check = AccountEditorCheck::CheckCreate(name, typed, confirmPassword->text().toStdString(),
                                                          values.email);
    if (check != Outcome::Ok) return Say(Message(check));
    if (!valuesRead) return Say(problem);
    if (Find(name)) return Say(Message(Outcome::UserExists));
    // Someone else (the shell, another console) may have made it meanwhile.
    const CAccountRows::Presence presence = CAccountRows::AccountExists(context.database->GetConnectionHandle(), name);
    if (presence == CAccountRows::Presence::Present) return Say(Message(Outcome::UserExists));
    if (presence == CAccountRows::Presence::Unknown ||
        !context.database->CreateAccount(name, typed, false, admin->isChecked(), values.email, values.mailboxLimit,
                                         values.allowRead, values.allowWrite, values.receiveLimit, values.sendLimit)) {
        Say(Message(Outcome::NotCreated));
        return DatabaseFailure();
    }
    accounts.push_back({name, typed, admin->isChecked()});
    userList->addItem(QString::fromStdString(name));
    userName->clear();
    password->clear();
    confirmPassword->clear();
    Say(Message(Outcome::Created));
}

void CUserEditor::Alter() {
    const std::string name = userName->text().toStdString();
    const std::string typed = password->text().toStdString();
    const Outcome check = AccountEditorCheck::CheckAlter(name, typed, confirmPassword->text().toStdString());
    if (check != Outcome::Ok) return Say(Message(check));
    CAccountRows::AccountEntry* entry = Find(name);
    if (!entry) return Say(Message(Outcome::NoSuchUser));
    CUserPreferencesPage::Values values;
    QString problem;
    if (!preferences->Read(values, problem)) return Say(problem);
    if (!AccountEditorCheck::IsValidEmail(values.email)) return Say(Message(Outcome::BadEmail));
    const bool makeAdmin = admin->isChecked();
    // The last administrator keeps its rights, whatever else changes.
    if (!makeAdmin && CAccountRows::IsOnlyAdministrator(context.database->GetConnectionHandle(), entry->userName)) {
        CConsoleMessageBox::Show(this, Message(Outcome::OnlyAdministratorRevoke), tr("Abort Alter Operation"),
                                 CConsoleMessageBox::Icon::Stop);
        return;
    }
    if (typed == entry->password && makeAdmin == entry->isAdmin && values == preferences->Loaded())
        return Say(Message(Outcome::NothingToChange));
    if (!context.database->AlterAccountWithLimits(entry->userName, typed, false, makeAdmin, values.email,
                                                  values.mailboxLimit, values.allowRead, values.allowWrite,
                                                  values.receiveLimit, values.sendLimit)) {
        Say(Message(Outcome::NotAltered));
        return DatabaseFailure();
    }
    entry->password = typed;
    entry->isAdmin = makeAdmin;
    preferences->Reload();
    Say(Message(Outcome::Altered));
}

void CUserEditor::Delete() {
    const std::string name = userName->text().toStdString();
    if (name.empty()) return Say(Message(Outcome::NoUserSelected));
    if (CAccountRows::IsOnlyAdministrator(context.database->GetConnectionHandle(), name)) {
        CConsoleMessageBox::Show(this, Message(Outcome::OnlyAdministrator), tr("Abort Delete Operation"),
                                 CConsoleMessageBox::Icon::Stop);
        return;
    }
    if (!CConsoleMessageBox::Ask(this, tr("Are you sure you want to delete the selected user"),
                                 tr("Confirm Delete Operation")))
        return;
    const CAccountRows::AccountEntry* entry = Find(name);
    if (!entry || entry->password != password->text().toStdString()) return Say(Message(Outcome::UserDoesNotExist));
    const std::string stored = entry->userName;
    if (!context.database->DeleteAccount(stored)) {
        Say(Message(Outcome::NotDeleted));
        return DatabaseFailure();
    }
    std::erase_if(accounts, [&](const CAccountRows::AccountEntry& e) { return e.userName == stored; });
    for (QListWidgetItem* item : userList->findItems(QString::fromStdString(stored), Qt::MatchExactly))
        delete item;
    ClearFields();
    Say(Message(Outcome::Deleted));
}
