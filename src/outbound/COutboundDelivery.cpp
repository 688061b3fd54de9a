// COutboundDelivery: the delivery pass (see the header).
#include "outbound/COutboundDelivery.h"

#include "foundation/CMailDatabase.h"
#include "outbound/CFailedMails.h"

COutboundDelivery::COutboundDelivery() : passStart(std::time(nullptr)) {}

COutboundDelivery::~COutboundDelivery() = default;

void COutboundDelivery::AttachDatabase(CMailDatabase* db) {
    database = db;
    connection = db ? db->GetConnectionHandle() : SQL_NULL_HDBC;
}

void COutboundDelivery::SetStatusWindow(StatusWindow* window) {
    statusWindow = window;
}

void COutboundDelivery::SetStopFlag(const std::atomic<bool>* stop) {
    stopRequested = stop;
}

void COutboundDelivery::MarkOutboundRows(const std::string&, const std::string*, const std::string*, bool, int) {}

void COutboundDelivery::DeliverDirect() {}

void COutboundDelivery::UploadMailsToRemoveServer() {}

void COutboundDelivery::ProcessFailedMails() {
    CFailedMails(connection, heloName, errorMailDayCount, passStart).Process();
}
