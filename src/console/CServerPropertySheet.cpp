// CServerPropertySheet: the server pages as tabs.
#include "console/CServerPropertySheet.h"

#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

#include "console/CConsolePage.h"
#include "console/ConsolePageList.h"

CServerPropertySheet::CServerPropertySheet(ConsoleContext& context, QWidget* parent) : QWidget(parent) {
    setObjectName("serverPropertySheet");
    pages = new QTabWidget(this);
    pages->setObjectName("serverPages");
    for (const ConsolePageEntry& entry : ConsolePageList::ServerPages(context, pages))
        pages->addTab(entry.page, entry.title);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (pages->count() == 0) {
        auto* none = new QLabel(tr("No server pages are available in this build."), this);
        layout->addWidget(none);
    }
    layout->addWidget(pages, 1);
    // A page reads its data again whenever it comes forward.
    connect(pages, &QTabWidget::currentChanged, this, [this](int index) {
        if (auto* page = qobject_cast<CConsolePage*>(pages->widget(index))) page->Reload();
    });
}

bool CServerPropertySheet::ShowPage(const QString& title) {
    for (int i = 0; i < pages->count(); ++i) {
        QString caption = pages->tabText(i);
        if (caption.remove('&') == QString(title).remove('&')) {
            pages->setCurrentIndex(i);
            return true;
        }
    }
    return false;
}

void CServerPropertySheet::Reload() {
    if (auto* page = qobject_cast<CConsolePage*>(pages->currentWidget())) page->Reload();
}
