// CLoginPanel: the login check against the Accounts table, through the
// account database's own check (the SMTP server's AUTH uses the same).
#include "console/CLoginPanel.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "foundation/CAccountRows.h"
#include "foundation/CMailDatabase.h"

CLoginPanel::CLoginPanel(ConsoleContext& context, QWidget* parent) : QWidget(parent), context(context) {
    setObjectName("loginPanel");
    auto* box = new QGroupBox(tr("Login"), this);
    box->setObjectName("loginBox");
    userName = new QLineEdit(box);
    userName->setObjectName("loginUserName");
    password = new QLineEdit(box);
    password->setObjectName("loginPassword");
    password->setEchoMode(QLineEdit::Password);
    auto* form = new QFormLayout;
    auto* nameLabel = new QLabel(tr("Enter &UserName :"), box);
    nameLabel->setBuddy(userName);
    auto* passwordLabel = new QLabel(tr("Enter &Password :"), box);
    passwordLabel->setBuddy(password);
    form->addRow(nameLabel, userName);
    form->addRow(passwordLabel, password);
    auto* login = new QPushButton(tr("&Login"), box);
    login->setObjectName("login");
    login->setDefault(true);
    message = new QLabel(box);
    message->setObjectName("loginMessage");
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->addLayout(form);
    boxLayout->addWidget(login, 0, Qt::AlignRight);
    boxLayout->addWidget(message);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(box);
    layout->addStretch();
    connect(login, &QPushButton::clicked, this, &CLoginPanel::Login);
    connect(password, &QLineEdit::returnPressed, this, &CLoginPanel::Login);
}

void CLoginPanel::Prepare() {
    userName->clear();
    password->clear();
    message->clear();
    userName->setFocus();
}

QString CLoginPanel::Message() const {
    return message->text();
}

void CLoginPanel::Login() {
    const std::string name = userName->text().toStdString();
    const CAccountRows::LoginResult result =
        CAccountRows::CheckLogin(context.Connection(), name, password->text().toStdString());
    message->setText(QString::fromUtf8(CAccountRows::LoginMessage(result)));
    password->clear();
    if (result == CAccountRows::LoginResult::Administrator || result == CAccountRows::LoginResult::User)
        emit loggedIn(QString::fromStdString(name), result == CAccountRows::LoginResult::Administrator);
}
