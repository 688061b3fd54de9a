// CConnectDialog: the dial's status line and its Cancel button.
#include "console/CConnectDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CConnectDialog::CConnectDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("connectDialog");
    setWindowTitle(tr("Connect"));
    status = new QLabel(tr("Connecting"), this);
    status->setObjectName("connectStatus");
    status->setMinimumWidth(260);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName("connectCancel");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(status);
    layout->addWidget(cancel, 0, Qt::AlignRight);
    connect(cancel, &QPushButton::clicked, this, &CConnectDialog::reject);
}

void CConnectDialog::ShowStatus(const QString& text) {
    status->setText(text);
    if (!isVisible()) show();
}

void CConnectDialog::reject() {
    // The dial gives up on the cycle's next tick; the dialog goes now.
    emit cancelPressed();
    QDialog::reject();
}
