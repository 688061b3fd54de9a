// ProcessSettings: the switches read once when the server starts and kept
// for the life of the process; every other setting is read when the
// operation that needs it starts.
#pragma once

#include <string>

struct ProcessSettings {
    bool routeAllMailsToPostmaster = false;
    bool accessControl = false;
    bool cleanUpAfterDelete = false;
    bool changeToAddress = false;
    bool sendReceiveOnStartup = false;
    bool changeFromAddress = true;
    bool storeMailLog = true;
    unsigned sendOnMailCount = 0;
    std::string allMailLogMailBox;
    // The local SMTP server's port as text; "25" when the Ports key cannot be read.
    std::string localSmtpPort = "25";

    // Reads the Preferences switches and the SMTP port.
    void Load();

    // The process's copy, loaded at start-up.
    static ProcessSettings& Current();
};
