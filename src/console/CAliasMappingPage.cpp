// CAliasMappingPage: one account's aliases.
#include "console/CAliasMappingPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "foundation/AliasNameCheck.h"
#include "foundation/CAccountList.h"
#include "foundation/CAliasMapping.h"
#include "platform/Text.h"

namespace {
enum Column { kUser, kAlias };
}

CAliasMappingPage::CAliasMappingPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    list = new QTreeWidget(this);
    list->setObjectName("aliases");
    list->setRootIsDecorated(false);
    list->setHeaderLabels({"UserId", "Alias Name"});
    user = new QComboBox(this);
    user->setObjectName("aliasUser");
    alias = new QLineEdit(this);
    alias->setObjectName("aliasName");
    message = new QLabel(this);
    message->setObjectName("message");
    auto* add = new QPushButton("&Add", this);
    add->setObjectName("addAlias");
    auto* remove = new QPushButton("&Delete", this);
    remove->setObjectName("deleteAlias");
    auto* form = new QFormLayout;
    // The page's own captions; the same texts answer an Add without them.
    form->addRow("Select Username", user);
    form->addRow("Enter Alias name", alias);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(message, 1);
    buttons->addWidget(add);
    buttons->addWidget(remove);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list);
    layout->addLayout(form);
    layout->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, &CAliasMappingPage::Add);
    connect(remove, &QPushButton::clicked, this, &CAliasMappingPage::Delete);
}

void CAliasMappingPage::Reload() {
    list->clear();
    user->clear();
    message->clear();
    setEnabled(!userName.empty());
    if (userName.empty()) return;
    // The first entry is the empty choice: a user has to be picked.
    user->addItem(QString());
    std::vector<CAccountList::Entry> accounts;
    if (!CAccountList::List(context.Connection(), accounts)) message->setText("The accounts could not be read");
    for (const CAccountList::Entry& account : accounts) user->addItem(QString::fromStdString(account.userName));
    CAliasMapping aliases(context.Connection(), userName);
    if (!aliases.ListAliases()) {
        message->setText("The aliases could not be read");
        return;
    }
    for (const CAliasMapping::Entry& entry : aliases.Entries()) {
        auto* item = new QTreeWidgetItem(list);
        item->setText(kUser, QString::fromStdString(entry.userId));
        item->setText(kAlias, QString::fromStdString(entry.aliasName));
    }
}

void CAliasMappingPage::Add() {
    const std::string target = user->currentText().toStdString();
    // Distribution looks aliases up by the lower-cased recipient text.
    const std::string name = FoldCase(alias->text().toStdString());
    if (target.empty()) {
        message->setText("Select Username");
        return;
    }
    switch (AliasNameCheck::Check(name)) {
        case AliasNameCheck::Outcome::Ok:
            break;
        case AliasNameCheck::Outcome::NoName:
            message->setText("Enter Alias name");
            return;
        case AliasNameCheck::Outcome::NameTooLong:
            message->setText(
                QStringLiteral("The alias name is longer than %1 characters").arg(CAliasMapping::kMaxName));
            return;
        case AliasNameCheck::Outcome::BadName:
            message->setText("An alias name has no blanks at either end and none of , ; @ < > ( ) \"");
            return;
    }
    CAliasMapping aliases(context.Connection(), userName);
    if (!aliases.ListAliases()) {
        CConsoleMessageBox::Show(this, "The aliases could not be read");
        return;
    }
    for (const CAliasMapping::Entry& entry : aliases.Entries())
        if (entry.aliasName == name) {
            message->setText(QString::fromStdString("The alias " + name + " leads to " + entry.userId + " already"));
            return;
        }
    if (!aliases.AddAlias(target, name)) {
        CConsoleMessageBox::Show(this, "The alias could not be added: the database did not take the change");
        return;
    }
    Reload();
    message->setText(QString::fromStdString("Alias " + name + " added"));
}

void CAliasMappingPage::Delete() {
    QTreeWidgetItem* item = list->currentItem();
    if (!item) {
        message->setText("Select an alias to delete");
        return;
    }
    if (!CConsoleMessageBox::Ask(this, "Are you sure you want to delete the selected User-Alias",
                                 "Confirm Delete Operation"))
        return;
    CAliasMapping aliases(context.Connection(), userName);
    if (!aliases.DeleteAlias(item->text(kUser).toStdString(), item->text(kAlias).toStdString())) {
        CConsoleMessageBox::Show(this, "The alias could not be deleted: the database did not take the change");
        return;
    }
    Reload();
}
