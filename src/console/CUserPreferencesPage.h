// CUserPreferencesPage: the user editor's own "&Preferences" tab: the
// account's e-mail address, its size limits and its read and write rights,
// which the editor passes to the account operations. A new account starts
// with the Preferences\MailSizeLimit setting as its mailbox limit.
#pragma once

#include <QString>

#include "console/CConsolePage.h"

class QCheckBox;
class QLineEdit;

class CUserPreferencesPage : public CConsolePage {
    Q_OBJECT
public:
    struct Values {
        std::string email;
        long mailboxLimit = 0;
        long receiveLimit = 0;
        long sendLimit = 0;
        long allowRead = 1;
        long allowWrite = 1;
        bool operator==(const Values&) const = default;
    };

    explicit CUserPreferencesPage(ConsoleContext& context, QWidget* parent = nullptr);
    void Reload() override;

    // What the fields hold; false with the reason when a limit is not a
    // number of kilobytes.
    bool Read(Values& values, QString& problem) const;
    // What was loaded for the selected account (or a new one's defaults).
    const Values& Loaded() const { return loaded; }

private:
    void Show(const Values& values);

    Values loaded;
    QLineEdit* email;
    QLineEdit* mailboxLimit;
    QLineEdit* receiveLimit;
    QLineEdit* sendLimit;
    QCheckBox* allowRead;
    QCheckBox* allowWrite;
};
