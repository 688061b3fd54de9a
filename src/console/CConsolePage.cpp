// CConsolePage: the common part of every console page.
#include "console/CConsolePage.h"

CConsolePage::CConsolePage(ConsoleContext& context, QWidget* parent) : QWidget(parent), context(context) {}

void CConsolePage::SetUser(const std::string& name) {
    userName = name;
    Reload();
}

void CConsolePage::Reload() {}
