// CConsoleMessageBox: every message box and yes/no question of the console
// goes through here, so the texts and titles are in one place and the
// console's tests can answer the boxes instead of a person (a modal box
// would stop an offscreen test).
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

class CConsoleMessageBox {
public:
    enum class Icon { Information, Warning, Stop };

    // Shows text under title (the console's boxes are titled "Marlowin"
    // unless a dialog names its own).
    static void Show(QWidget* parent, const QString& text, const QString& title = QStringLiteral("Marlowin"),
                     Icon icon = Icon::Information);
    // A yes/no question; true for yes.
    static bool Ask(QWidget* parent, const QString& text, const QString& title);

    // --- For tests: while scripted, no box is shown; each box's title and
    // text are recorded ("title: text") and every question is answered with
    // `answer`.
    static void Script(bool answer);
    static void Unscript();
    static QStringList Shown();
};
