// DeliveryReceipts: the confirmations a sender can ask for with a header
// field, "X-QIRN-Receipt" (the message was stored) and "X-QIRN-Read-Notify"
// (the recipient read it).
//
// Both are system notices from the postmaster, sent through the local SMTP
// server to the field's value, naming the receiving account by its EmailId.
// A failure is silent and nothing is retried. A request names any address
// it likes, so the confirmation goes only where the generated-mail policy
// of the message allows.
#pragma once

class CGeneratedMailPolicy;
class CMailHeader;
class CUserRecord;

// Sends the delivery confirmation for a message just stored for account,
// given the message's parsed header; false when none went out (no request,
// an address the policy refuses, or the notice could not be made or sent).
bool SendDeliveryConfirmation(const CUserRecord& account, const CMailHeader& header,
                              const CGeneratedMailPolicy& policy);
// The same for the read confirmation.
bool SendReadConfirmation(const CUserRecord& account, const CMailHeader& header, const CGeneratedMailPolicy& policy);
