// ProcessSettings: the switches read once when the server starts and kept
// for the life of the process; every other setting is read when the
// operation that needs it starts.
#pragma once

#include <string>

struct ProcessSettings {
    bool routeAllMailsToPostmaster = false;
    bool accessControl = false;
    bool changeFromAddress = true;
    bool changeToAddress = false;
    bool storeMailLog = true;
    std::string allMailLogMailBox;

    // Reads the Preferences switches.
    void Load();

    // The process's copy, loaded at start-up.
    static ProcessSettings& Current();
};
