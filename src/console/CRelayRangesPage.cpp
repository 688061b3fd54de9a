// CRelayRangesPage: lists, adds and deletes relay ranges through
// CRelayRanges, and writes IPBlocking the moment its box changes.
#include "console/CRelayRangesPage.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/CConsoleMessageBox.h"
#include "foundation/CRelayRanges.h"
#include "foundation/RelayRangeCheck.h"

namespace {

// The address control's "%d.%d.%d.%d"; an empty control reads as 0.0.0.0.
std::string AddressOf(const QLineEdit* field) {
    const QString text = field->text().trimmed();
    return text.isEmpty() ? std::string("0.0.0.0") : text.toStdString();
}

}  // namespace

CRelayRangesPage::CRelayRangesPage(ConsoleContext& context, QWidget* parent) : CConsolePage(context, parent) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("IP Firewall Settings"), this));

    ipBlocking = new QCheckBox(QStringLiteral("Enable IP Blocking"), this);
    ipBlocking->setObjectName("ipBlocking");
    layout->addWidget(ipBlocking);

    auto* form = new QFormLayout;
    startIp = new QLineEdit(this);
    startIp->setObjectName("startIp");
    endIp = new QLineEdit(this);
    endIp->setObjectName("endIp");
    form->addRow(QStringLiteral("Start IP"), startIp);
    form->addRow(QStringLiteral("End IP"), endIp);
    layout->addLayout(form);

    auto* buttons = new QHBoxLayout;
    addRange = new QPushButton(QStringLiteral("&Add Range"), this);
    addRange->setObjectName("addRange");
    deleteRange = new QPushButton(QStringLiteral("&Delete Range"), this);
    deleteRange->setObjectName("deleteRange");
    buttons->addWidget(addRange);
    buttons->addWidget(deleteRange);
    buttons->addStretch();
    layout->addLayout(buttons);

    ranges = new QTreeWidget(this);
    ranges->setObjectName("ranges");
    ranges->setRootIsDecorated(false);
    ranges->setHeaderLabels({QStringLiteral("Start IP"), QStringLiteral("End IP")});
    layout->addWidget(ranges);

    connect(addRange, &QPushButton::clicked, this, &CRelayRangesPage::AddRange);
    connect(deleteRange, &QPushButton::clicked, this, &CRelayRangesPage::DeleteRange);
    connect(ipBlocking, &QCheckBox::toggled, this, &CRelayRangesPage::BlockingToggled);
    Reload();
}

void CRelayRangesPage::Reload() {
    const bool on = CRelayRanges::IpBlocking();
    {
        const QSignalBlocker quiet(ipBlocking);
        ipBlocking->setChecked(on);
    }
    EnableControls(on);
    ranges->clear();
    CRelayRanges list(context.Connection());
    if (!list.ListRelayRanges()) {
        CConsoleMessageBox::Show(this, QStringLiteral("The relay ranges cannot be read from the database"),
                                 QStringLiteral("Marlowin"), CConsoleMessageBox::Icon::Stop);
        return;
    }
    for (const CRelayRanges::Range& range : list.Ranges())
        new QTreeWidgetItem(ranges, {QString::fromStdString(range.first), QString::fromStdString(range.last)});
}

void CRelayRangesPage::EnableControls(bool on) {
    for (QWidget* control : std::initializer_list<QWidget*>{startIp, endIp, addRange, deleteRange})
        control->setEnabled(on);
}

void CRelayRangesPage::BlockingToggled(bool on) {
    if (!CRelayRanges::SetIpBlocking(on)) {
        CConsoleMessageBox::Show(this, QStringLiteral("IPBlocking could not be written to the settings file"),
                                 QStringLiteral("Marlowin"), CConsoleMessageBox::Icon::Stop);
        const QSignalBlocker quiet(ipBlocking);
        ipBlocking->setChecked(!on);
        return;
    }
    EnableControls(on);
}

void CRelayRangesPage::AddRange() {
    const std::string first = AddressOf(startIp);
    const std::string last = AddressOf(endIp);
    switch (RelayRangeCheck::CheckAdd(first, last)) {
        case RelayRangeCheck::Outcome::Ok:
            break;
        case RelayRangeCheck::Outcome::Blank:
            CConsoleMessageBox::Show(this, CRelayRanges::kBlankEntries);
            return;
        case RelayRangeCheck::Outcome::BadFirst:
        case RelayRangeCheck::Outcome::BadLast:
            CConsoleMessageBox::Show(this, QStringLiteral("Each part of an IP address is a number from 0 to 255"));
            return;
        case RelayRangeCheck::Outcome::EndsBeforeStart:
            CConsoleMessageBox::Show(this, QStringLiteral("The End IP must not come before the Start IP"));
            return;
    }
    CRelayRanges list(context.Connection());
    if (list.AddRelayRange(first, last) != CRelayRanges::AddResult::Added) {
        CConsoleMessageBox::Show(this, QStringLiteral("The range could not be added to the database"),
                                 QStringLiteral("Marlowin"), CConsoleMessageBox::Icon::Stop);
        return;
    }
    Reload();
}

void CRelayRangesPage::DeleteRange() {
    QTreeWidgetItem* item = ranges->currentItem();
    if (!item) return;
    CRelayRanges list(context.Connection());
    if (!list.DeleteRelayRange(item->text(0).toStdString())) {
        CConsoleMessageBox::Show(this, QStringLiteral("The range could not be deleted from the database"),
                                 QStringLiteral("Marlowin"), CConsoleMessageBox::Icon::Stop);
        return;
    }
    Reload();
}
