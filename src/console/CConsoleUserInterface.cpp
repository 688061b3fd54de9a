// CConsoleUserInterface: posts each engine message box to the console's thread.
#include "console/CConsoleUserInterface.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "console/CConsoleMessageBox.h"

CConsoleUserInterface::CConsoleUserInterface(QObject* owner) : owner(owner) {}

void CConsoleUserInterface::MessageBox(const std::string& text, const std::string& caption) {
    const QString boxText = QString::fromStdString(text);
    const QString title = caption.empty() ? QStringLiteral("Marlowin") : QString::fromStdString(caption);
    QPointer<QObject> target(owner);
    // Queued even on the console's own thread: a box opened inside an
    // engine call would run a nested event loop in the middle of it.
    QMetaObject::invokeMethod(
        owner,
        [target, boxText, title] {
            if (target) CConsoleMessageBox::Show(qobject_cast<QWidget*>(target.data()), boxText, title);
        },
        Qt::QueuedConnection);
}
