// CConsoleMessageBox: real boxes, or recorded ones while a test scripts them.
#include "console/CConsoleMessageBox.h"

#include <QMessageBox>

namespace {
bool scripted = false;
bool scriptedAnswer = false;
QStringList shown;

QMessageBox::Icon ToQt(CConsoleMessageBox::Icon icon) {
    switch (icon) {
        case CConsoleMessageBox::Icon::Warning:
            return QMessageBox::Warning;
        case CConsoleMessageBox::Icon::Stop:
            return QMessageBox::Critical;
        case CConsoleMessageBox::Icon::Information:
            break;
    }
    return QMessageBox::Information;
}
}  // namespace

void CConsoleMessageBox::Show(QWidget* parent, const QString& text, const QString& title, Icon icon) {
    if (scripted) {
        shown << title + ": " + text;
        return;
    }
    QMessageBox box(ToQt(icon), title, text, QMessageBox::Ok, parent);
    box.exec();
}

bool CConsoleMessageBox::Ask(QWidget* parent, const QString& text, const QString& title) {
    if (scripted) {
        shown << title + ": " + text;
        return scriptedAnswer;
    }
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

void CConsoleMessageBox::Script(bool answer) {
    scripted = true;
    scriptedAnswer = answer;
    shown.clear();
}

void CConsoleMessageBox::Unscript() {
    scripted = false;
    shown.clear();
}

QStringList CConsoleMessageBox::Shown() {
    return shown;
}
