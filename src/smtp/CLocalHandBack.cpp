// CLocalHandBack: sessions with the own SMTP listener.
#include "smtp/CLocalHandBack.h"

#include <utility>

#include "foundation/COwnNames.h"
#include "smtp/CSmtpConnection.h"

std::size_t CLocalHandBack::Result::AcceptedCount() const {
    std::size_t count = 0;
    for (const Taken& taken : recipients)
        if (!taken.acceptedAs.empty()) ++count;
    return count;
}

CLocalHandBack::CLocalHandBack(Options options) : options(std::move(options)) {}

CLocalHandBack::~CLocalHandBack() {
    Close();
}

bool CLocalHandBack::IsOpen() const {
    return smtp && smtp->IsConnected();
}

bool CLocalHandBack::Open() {
    if (IsOpen()) return true;
    smtp = std::make_unique<CSmtpConnection>();
    smtp->SetGeneratedMail(options.generatedMail);
    smtp->SetFetchedMail(options.fetchedMail);
    smtp->SetOwnName(options.ownName.empty() ? COwnNames::Domain() : options.ownName);
    smtp->SetChunkSize(options.chunkSize);
    // A listener that stalls must not hold its caller for ever.
    smtp->SetBoundedReplies(true);
    smtp->SetStopSignal(options.stop, true);
    // Port 25 on the loopback address is the configured local SMTP port.
    if (smtp->Connect(CSmtpConnection::kLocalHost, CSmtpConnection::kLocalPort, false) == CSmtpConnection::kConnected)
        return true;
    smtp->Disconnect();
    return false;
}

void CLocalHandBack::Close() {
    if (!smtp) return;
    if (smtp->IsConnected()) smtp->Quit();
    smtp->Disconnect();
    smtp.reset();
}

CLocalHandBack::Result& CLocalHandBack::Fail(Result& result, Step step) {
    result.failedAt = step;
    result.code = smtp->LastCode();
    result.reply = smtp->LastReply();
    result.sessionOpen = smtp->IsConnected();
    if (result.sessionOpen) smtp->Reset();
    return result;
}

CLocalHandBack::Result CLocalHandBack::HandBack(const Envelope& envelope, CMailContent& content) {
    Result result;
    if (!IsOpen()) {
        result.failedAt = Step::Connect;
        return result;
    }
    bool senderTaken = smtp->MailFrom(envelope.sender);
    if (!senderTaken && smtp->IsConnected() && !envelope.fallbackSender.empty() &&
        envelope.fallbackSender != envelope.sender) {
        smtp->Reset();
        senderTaken = smtp->MailFrom(envelope.fallbackSender);
    }
    if (!senderTaken) return Fail(result, Step::Sender);

    for (const Recipient& recipient : envelope.recipients) {
        Result::Taken taken;
        if (smtp->RcptTo(recipient.address))
            taken.acceptedAs = recipient.address;
        else if (!recipient.orElse.empty() && smtp->RcptTo(recipient.orElse))
            taken.acceptedAs = recipient.orElse;
        taken.reply = smtp->LastReply();
        const bool refused = taken.acceptedAs.empty();
        result.recipients.push_back(std::move(taken));
        if (refused && recipient.required) return Fail(result, Step::Recipient);
    }
    if (result.AcceptedCount() == 0) return Fail(result, Step::Recipient);

    if (!smtp->SendData(content)) return Fail(result, Step::Data);
    result.sent = true;
    result.code = smtp->LastCode();
    result.reply = smtp->LastReply();
    result.sessionOpen = smtp->IsConnected();
    return result;
}

CLocalHandBack::Result CLocalHandBack::Once(const Options& options, const Envelope& envelope, CMailContent& content) {
    CLocalHandBack session(options);
    if (!session.Open()) {
        Result result;
        result.failedAt = Step::Connect;
        return result;
    }
    Result result = session.HandBack(envelope, content);
    session.Close();
    return result;
}

CLocalHandBack::Envelope CLocalHandBack::To(const std::string& sender, const std::string& recipient) {
    Envelope envelope;
    envelope.sender = sender;
    envelope.recipients.push_back({recipient, {}, false});
    return envelope;
}
