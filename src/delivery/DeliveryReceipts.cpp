// DeliveryReceipts: composing and sending the two confirmations.
#include "delivery/DeliveryReceipts.h"

#include "delivery/CSystemNotice.h"
#include "store/CUserRecord.h"
#include "message/CMailHeader.h"

namespace {

bool SendConfirmation(CSystemNotice::Kind kind, const char* requestField, const CUserRecord& account,
                      const CMailHeader& header, const CGeneratedMailPolicy& policy) {
    // A notice never asks for one, but a forged one might: the notice path
    // does not answer notices with notices.
    return CSystemNotice::Send(kind, CSystemNotice::SourceOf(header), header.GetField(requestField),
                               account.GetEmailId(), policy) == CSystemNotice::Outcome::Sent;
}

}  // namespace

bool SendDeliveryConfirmation(const CUserRecord& account, const CMailHeader& header,
                              const CGeneratedMailPolicy& policy) {
    return SendConfirmation(CSystemNotice::Kind::Delivered, "X-QIRN-Receipt", account, header, policy);
}

bool SendReadConfirmation(const CUserRecord& account, const CMailHeader& header, const CGeneratedMailPolicy& policy) {
    return SendConfirmation(CSystemNotice::Kind::Read, "X-QIRN-Read-Notify", account, header, policy);
}
