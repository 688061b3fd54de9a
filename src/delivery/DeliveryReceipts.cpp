// DeliveryReceipts: composing and sending the two confirmations.
#include "delivery/DeliveryReceipts.h"

#include "delivery/CGeneratedMailPolicy.h"
#include "delivery/CSystemNotice.h"
#include "delivery/CUserRecord.h"
#include "foundation/CTempMailContent.h"
#include "message/CMailHeader.h"

namespace {

bool SendConfirmation(CSystemNotice::Kind kind, const char* requestField, const CUserRecord& account,
                      const CMailHeader& header, const CGeneratedMailPolicy& policy) {
    const std::string requester = header.GetField(requestField);
    if (CMailHeader::TrimBlanks(std::string_view(requester)).empty()) return false;
    if (!policy.MaySendTo(requester)) return false;
    // A notice never asks for one, but a forged one might: notices are not
    // answered with notices.
    if (CSystemNotice::IsNoticeMailer(header.GetField("X-Mailer"))) return false;
    CTempMailContent notice;
    if (!notice.Open()) return false;
    if (!CSystemNotice::ComposeNotice(notice, requester, CSystemNotice::SubjectOf(kind),
                                      CSystemNotice::FirstSentenceOf(kind), true, header.GetField("Date"),
                                      account.GetEmailId(), header.GetField("Subject")))
        return false;
    return CSystemNotice::SendNotice(notice, requester);
}

}  // namespace

bool SendDeliveryConfirmation(const CUserRecord& account, const CMailHeader& header,
                              const CGeneratedMailPolicy& policy) {
    return SendConfirmation(CSystemNotice::Kind::Delivered, "X-QIRN-Receipt", account, header, policy);
}

bool SendReadConfirmation(const CUserRecord& account, const CMailHeader& header, const CGeneratedMailPolicy& policy) {
    return SendConfirmation(CSystemNotice::Kind::Read, "X-QIRN-Read-Notify", account, header, policy);
}
