// CRelayHostDialog: the two small dialogs of the port settings page that
// name the relay host: the relay host dialog (the host and its port) and
// the authentication dialog (the host, the SMTP user and password).
#pragma once

#include <QDialog>

class QLineEdit;

class CRelayHostDialog : public QDialog {
    Q_OBJECT
public:
    enum class Kind { RelayHost, Authentication };

    explicit CRelayHostDialog(Kind kind, QWidget* parent = nullptr);

    // Stores the fields (the dialog's OK); false after a message when they
    // were refused or could not be written, and the dialog stays open.
    bool Store();

private:
    void Accept();

    Kind kind;
    QLineEdit* server;
    QLineEdit* port = nullptr;
    QLineEdit* user = nullptr;
    QLineEdit* password = nullptr;
};
