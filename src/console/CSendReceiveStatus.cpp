// CSendReceiveStatus: the status window's controls filled from the cycle's status.
#include "console/CSendReceiveStatus.h"

#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "console/CCycleControl.h"

CSendReceiveStatus::CSendReceiveStatus(CCycleControl& cycle, QWidget* parent) : QDialog(parent), cycle(cycle) {
    setObjectName("sendReceiveStatus");
    setWindowTitle(tr("Tessal - Send & Receive Status"));
    step = new QLabel(this);
    step->setObjectName("stepText");
    progress = new QProgressBar(this);
    progress->setObjectName("progress");
    progress->setRange(0, 100);
    progressText = new QLabel(this);
    progressText->setObjectName("progressText");
    list = new QListWidget(this);
    list->setObjectName("statusList");
    stop = new QPushButton(tr("&Stop"), this);
    stop->setObjectName("stop");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(step);
    layout->addWidget(progress);
    layout->addWidget(progressText);
    layout->addWidget(list, 1);
    layout->addWidget(stop, 0, Qt::AlignRight);
    resize(420, 320);
    connect(stop, &QPushButton::clicked, this, &CSendReceiveStatus::Stop);
}

void CSendReceiveStatus::Refresh(const CCycleStatus::Snapshot& status) {
    step->setText(QString::fromStdString(status.step));
    const int position = static_cast<int>(std::clamp(status.progress, 0L, 100L));
    if (position != progress->value()) progress->setValue(position);
    progressText->setText(QString::fromStdString(status.progressText));
    list->clear();
    for (const std::string& line : status.lines) list->addItem(QString::fromStdString(line));
}

void CSendReceiveStatus::Stop() {
    cycle.RequestStop();
    Refresh(cycle.Status());
}
