// CFailedMails: retiring failed rows and their notices (see the header).
#include "outbound/CFailedMails.h"

#include <utility>

CFailedMails::CFailedMails(SQLHDBC connection, std::string heloName, std::uint32_t errorMailDayCount,
                           std::time_t passStart)
    : connection(connection), heloName(std::move(heloName)), errorMailDayCount(errorMailDayCount),
      passStart(passStart) {}

void CFailedMails::Process() {
    (void)connection;
    (void)errorMailDayCount;
    (void)passStart;
}

void CFailedMails::SendFailureNotice(const std::string&, const std::string&, const std::string&, std::uint32_t) {}
