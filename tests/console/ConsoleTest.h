// ConsoleTest: a provisioned home with its account database, the home as
// working directory, and the context a console page is made with. Message
// boxes are recorded, not shown, and questions answered yes
// (CConsoleMessageBox::Script). Also
// writes screenshots of pages when VELMORA_SCREENSHOT_DIR names a directory.
#pragma once

#include <QCoreApplication>
#include <QWidget>
#include <cstdlib>
#include <string>

#include "DatabaseTest.h"
#include "console/CConsoleMessageBox.h"
#include "console/ConsoleContext.h"

class ConsoleTest : public DatabaseTest {
protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        WorkInHome();
        context.home = home.Path();
        context.database = &db;
        CConsoleMessageBox::Script(true);
    }
    void TearDown() override {
        CConsoleMessageBox::Unscript();
        DatabaseTest::TearDown();
    }
    // Lets queued signals and posted events run.
    static void Settle() {
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    }
    // Writes the widget as <name>.png into VELMORA_SCREENSHOT_DIR, when set.
    static void Screenshot(QWidget& widget, const std::string& name) {
        const char* dir = std::getenv("VELMORA_SCREENSHOT_DIR");
        if (!dir || !*dir) return;
        widget.show();
        Settle();
        widget.grab().save(QString::fromStdString(std::string(dir) + "/" + name + ".png"));
    }
    ConsoleContext context;
};
