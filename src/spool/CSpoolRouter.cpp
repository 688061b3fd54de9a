// CSpoolRouter: the base router reads the message and accepts it.
#include "spool/CSpoolRouter.h"

#include "spool/SpoolFile.h"

bool CSpoolRouter::RouteSpoolFile(const std::string& path, CAccountDatabase* database, std::string& reason) {
    spool::ReadResult result = spool::ReadResult::Ok;
    if (!ReadSpoolFile(path, database, &result)) {
        reason = spool::ReadResultText(result);
        return false;
    }
    return true;
}
