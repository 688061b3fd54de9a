// CSpoolRouter: what the spool processor does with one spool file.
//
// The processor owns the scanning and the deletion; the router decides what
// a message means. This base class only checks that the file reads back as
// a whole message; the routing of recipients to local delivery and the
// outbound queue derives from it and replaces RouteSpoolFile.
#pragma once

#include <string>

class CAccountDatabase;

class CSpoolRouter {
public:
    CSpoolRouter() = default;
    virtual ~CSpoolRouter() = default;
    CSpoolRouter(const CSpoolRouter&) = delete;
    CSpoolRouter& operator=(const CSpoolRouter&) = delete;

    // Routes the message in the spool file at path. True when it was dealt
    // with and the file may be deleted; false leaves the file for a later
    // scan, with the reason in reason.
    virtual bool RouteSpoolFile(const std::string& path, CAccountDatabase* database, std::string& reason);
};
