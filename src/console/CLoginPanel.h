// CLoginPanel: the login panel of the main window ("Login"). The console
// starts logged out; a right name and password open the administrator's or
// the user's own view, which the main window decides from loggedIn.
#pragma once

#include <QWidget>
#include <string>

#include "console/ConsoleContext.h"

class QLineEdit;
class QLabel;

class CLoginPanel : public QWidget {
    Q_OBJECT
public:
    explicit CLoginPanel(ConsoleContext& context, QWidget* parent = nullptr);
    // Empties the fields and the message line (the panel is shown again).
    void Prepare();
    // The message line's text (after a login: its greeting).
    QString Message() const;

signals:
    void loggedIn(const QString& userName, bool administrator);

private:
    void Login();

    ConsoleContext& context;
    QLineEdit* userName;
    QLineEdit* password;
    QLabel* message;
};
