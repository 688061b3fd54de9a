// CDkimSigner: building and signing DKIM-Signature fields.
#include "outbound/CDkimSigner.h"

#include <openssl/evp.h>

#include <memory>

#include "foundation/CModuleLog.h"
#include "foundation/StringFormat.h"
#include "message/AddressFunctions.h"
#include "message/CBase64Encoder.h"
#include "message/DkimCanonical.h"
#include "platform/Registry.h"
#include "platform/Text.h"

namespace {

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// The width of the signature's folded lines.
constexpr std::size_t kFoldWidth = 72;

std::string DomainOf(std::string_view address) {
    std::string host = FoldCase(SplitAddress(Trim(ExtractAngleAddress(address))).host);
    while (!host.empty() && (host.back() == '>' || host.back() == ' ')) host.pop_back();
    return IsFullDomainName(host) ? host : std::string();
}

std::string Fold(const std::string& value) {
    std::string out;
    for (std::size_t at = 0; at < value.size(); at += kFoldWidth) {
        if (at > 0) out.append("\r\n\t ");
        out.append(value, at, kFoldWidth);
    }
    return out;
}

bool DigestSign(EVP_PKEY* key, const EVP_MD* md, const std::string& data, std::string& signature) {
    std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    std::size_t length = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, md, nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, bytes, data.size()) != 1)
        return false;
    signature.resize(length);
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes,
                       data.size()) != 1)
        return false;
    signature.resize(length);
    return true;
}

}  // namespace

const std::vector<std::string>& CDkimSigner::SignedFieldNames() {
    static const std::vector<std::string> names = {"from",       "to",       "cc",           "subject",
                                                   "date",       "message-id", "reply-to",   "mime-version",
                                                   "content-type", "content-transfer-encoding"};
    return names;
}

std::string CDkimSigner::SigningDomain(std::string_view header, const std::string& envelopeSender) {
    for (const DkimField& field : SplitDkimFields(header)) {
        if (!EqualsNoCase(field.name, "from")) continue;
        std::string value(field.raw.substr(field.raw.find(':') + 1));
        for (char& c : value)
            if (c == '\r' || c == '\n') c = ' ';
        const std::string domain = DomainOf(value);
        if (!domain.empty()) return domain;
        break;
    }
    return DomainOf(envelopeSender);
}

CDkimSigner::CDkimSigner(const CDkimKeys& store, const std::string& domain) {
    // No keys for the domain: simply not signed, nothing to say.
    if (domain.empty() || !store.Has(domain)) return;
    keys = store.Load(domain);
    std::string problem = keys.problem;
    if (problem.empty()) problem = keys.rsaProblem;
    if (problem.empty()) problem = keys.ed25519Problem;
    if (!problem.empty()) {
        g_moduleLog.Write(StringPrintf("DKIM: %s, the message leaves unsigned", problem.c_str()));
        return;
    }
    ready = true;
}

std::string CDkimSigner::SignOne(CDkimKeys::Algorithm algorithm, evp_pkey_st* key, const std::string& fieldData,
                                 const std::string& signedNames, const std::string& bodyHash,
                                 std::time_t now) const {
    const bool rsa = algorithm == CDkimKeys::Algorithm::Rsa;
    CBase64Encoder base64;
    std::string field = "DKIM-Signature: v=1; a=";
    field += rsa ? "rsa-sha256" : "ed25519-sha256";
    field += "; c=relaxed/relaxed; d=" + keys.domain + "; s=" + CDkimKeys::DnsSelector(keys.selector, algorithm) + ";\r\n\tt=" +
             std::to_string(static_cast<long long>(now)) + "; h=" + signedNames + ";\r\n\tbh=" +
             base64.Encode(bodyHash) + ";\r\n\tb=";
    // The field itself is signed last, with an empty b= and no line break.
    std::string data = fieldData + RelaxedDkimField(field);
    std::string signature;
    if (rsa) {
        if (!DigestSign(key, EVP_sha256(), data, signature)) return {};
    } else {
        // Ed25519 signs the SHA-256 of the data (RFC 8463 3).
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
        if (!DigestSign(key, nullptr, std::string(reinterpret_cast<const char*>(digest), length), signature))
            return {};
    }
    return field + Fold(base64.Encode(signature)) + "\r\n";
}

std::string CDkimSigner::Sign(std::string_view header, const std::string& bodyHash, std::time_t now) const {
    if (!ready || bodyHash.empty()) return {};
    std::string signedNames;
    const std::string fieldData = DkimSignedFields(SplitDkimFields(header), SignedFieldNames(), signedNames);
    std::string result = SignOne(CDkimKeys::Algorithm::Rsa, keys.rsa.get(), fieldData, signedNames, bodyHash, now);
    if (result.empty()) return {};
    if (keys.ed25519) {
        const std::string second =
            SignOne(CDkimKeys::Algorithm::Ed25519, keys.ed25519.get(), fieldData, signedNames, bodyHash, now);
        if (second.empty()) return {};
        result += second;
    }
    return result;
}
