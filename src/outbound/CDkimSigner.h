// CDkimSigner: the DKIM-Signature fields of one outgoing message.
//
// The signing domain is that of the message's From address, else of the
// envelope sender; only a domain with keys in the home (CDkimKeys) signs.
// The RSA key gives an rsa-sha256 signature (RFC 6376) and an Ed25519 key,
// when the domain has one, a second ed25519-sha256 signature (RFC 8463);
// both use relaxed/relaxed canonicalization. A domain whose keys are
// damaged signs nothing and says so once per message in the diagnostic log.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "outbound/CDkimKeys.h"

class CDkimSigner {
public:
    // The fields signed when the message has them; From always.
    static const std::vector<std::string>& SignedFieldNames();

    // The domain to sign for: the From field's address's (lower case), else
    // the envelope sender's; "" when neither has a full domain name.
    static std::string SigningDomain(std::string_view header, const std::string& envelopeSender);

    // Loads the keys of domain from keys; Ready() says whether it signs.
    CDkimSigner(const CDkimKeys& keys, const std::string& domain);
    bool Ready() const { return ready; }

    // The DKIM-Signature fields (whole lines, folded) to put on top of the
    // header (whole lines, without the empty line after it), whose body
    // hashes to bodyHash (CDkimBodyHash); "" when a signature failed.
    std::string Sign(std::string_view header, const std::string& bodyHash, std::time_t now) const;

private:
    std::string SignOne(CDkimKeys::Algorithm algorithm, evp_pkey_st* key, const std::string& fieldData,
                        const std::string& signedNames, const std::string& bodyHash, std::time_t now) const;

    CDkimKeys::DomainKeys keys;
    bool ready = false;
};
