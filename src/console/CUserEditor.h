// CUserEditor: the user editor (create, alter and delete an account), with
// the pages of the selected account as tabs. It keeps the list of every
// account with its password while it is shown, checks its fields in the
// editor's order and changes accounts only through the account database's
// operations, the ones `velmora account` uses.
#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "console/ConsoleContext.h"
#include "foundation/CAccountRows.h"
#include "foundation/CMailDatabase.h"

class CConsolePage;
class CUserPreferencesPage;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;

class CUserEditor : public QWidget {
    Q_OBJECT
public:
    explicit CUserEditor(ConsoleContext& context, QWidget* parent = nullptr);

    // Reads the account list again and clears the fields.
    void Reload();
    // A user who is not an administrator sees only its own account.
    void SetOwnView(const std::string& ownName);
    void SetAdministratorView();
    // A line for the message line from outside (the login's greeting).
    void ShowMessage(const QString& text);

private:
    void Select(const std::string& name);
    void Create();
    void Alter();
    void Delete();
    void Say(const QString& text);
    // The account database's cause of a change that did not happen, in one box.
    void DatabaseFailure();
    CAccountRows::AccountEntry* Find(const std::string& name);
    void ClearFields();

    ConsoleContext& context;
    std::vector<CAccountRows::AccountEntry> accounts;
    std::string ownName;  // non-empty: the user's own view

    QListWidget* userList;
    QLineEdit* userName;
    QLineEdit* password;
    QLineEdit* confirmPassword;
    QCheckBox* admin;
    QPushButton* createUser;
    QPushButton* alterUser;
    QPushButton* deleteUser;
    QLabel* message;
    QTabWidget* pages;
    CUserPreferencesPage* preferences;
    std::vector<CConsolePage*> accountPages;
};
