// CConnectDialog: the "Connect" dialog shown while a send and receive cycle
// dials: its status line ("Connecting", "Dialing <entry>", the link's
// states) and Cancel, which gives the dial up.
#pragma once

#include <QDialog>

class QLabel;

class CConnectDialog : public QDialog {
    Q_OBJECT
public:
    explicit CConnectDialog(QWidget* parent = nullptr);
    // The dial's latest line; shows the dialog when it is hidden.
    void ShowStatus(const QString& text);

signals:
    void cancelPressed();

protected:
    void reject() override;

private:
    QLabel* status;
};
