// CDkimKeys: reading, checking and making the home's DKIM keys.
#include "outbound/CDkimKeys.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "message/CBase64Encoder.h"
#include "platform/FileIo.h"
#include "platform/Home.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "platform/WholeFile.h"

namespace {

constexpr const char* kSelectorSuffix = ".selector";

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ContextFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};

const char* Suffix(CDkimKeys::Algorithm algorithm) {
    return algorithm == CDkimKeys::Algorithm::Rsa ? ".rsa.pem" : ".ed25519.pem";
}

bool WriteNewKey(const std::string& path, const std::string& text, std::string& reason) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd || ::fchmod(fd.Get(), 0600) != 0 || !WriteAll(fd.Get(), text.data(), text.size()) ||
        ::fsync(fd.Get()) != 0) {
        reason = "cannot write " + path + ": " + std::strerror(errno);
        if (fd) ::unlink(path.c_str());
        return false;
    }
    return true;
}

CDkimKeys::Key Generate(CDkimKeys::Algorithm algorithm) {
    if (algorithm == CDkimKeys::Algorithm::Ed25519) return CDkimKeys::Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    return CDkimKeys::Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(CDkimKeys::kRsaBits)));
}

std::string PrivatePem(EVP_PKEY* key) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

void CDkimKeys::KeyFree::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

CDkimKeys::CDkimKeys(std::string directory) : directory(std::move(directory)) {}

std::string CDkimKeys::HomeDirectory() {
    return Home::PathOf(kDirectory);
}

bool CDkimKeys::IsSelector(const std::string& selector) {
    // One DNS label: it goes in front of "._domainkey." and into file names.
    // Room for the "-ed" of the Ed25519 key's name.
    if (selector.empty() || selector.size() > 60 || selector.front() == '-' || selector.back() == '-') return false;
    return std::all_of(selector.begin(), selector.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    });
}

std::string CDkimKeys::DnsSelector(const std::string& selector, Algorithm algorithm) {
    return algorithm == Algorithm::Rsa ? selector : selector + "-ed";
}

std::string CDkimKeys::KeyPath(const std::string& domain, const std::string& selector, Algorithm algorithm) const {
    return directory + "/" + domain + "." + selector + Suffix(algorithm);
}

bool CDkimKeys::Has(const std::string& domain) const {
    if (!IsFullDomainName(domain)) return false;
    struct stat info {};
    return ::stat((directory + "/" + domain + kSelectorSuffix).c_str(), &info) == 0;
}

CDkimKeys::Key CDkimKeys::LoadKey(const std::string& path, Algorithm algorithm, std::string& problem) const {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno != ENOENT) problem = path + " cannot be read: " + std::strerror(errno);
        return {};
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = path + " is not a file";
        return {};
    }
    if ((info.st_mode & 077) != 0) {
        problem = path + " may be read by others than its owner (chmod 600 it)";
        return {};
    }
    if (static_cast<std::size_t>(info.st_size) > kMaxKeyFileBytes) {
        problem = path + " is too large to be a key";
        return {};
    }
    std::string text;
    if (!ReadWholeFile(path, kMaxKeyFileBytes, text)) {
        problem = path + " cannot be read: " + std::strerror(errno);
        return {};
    }
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        problem = path + " holds no PEM private key";
        return {};
    }
    if (algorithm == Algorithm::Rsa) {
        if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
            problem = path + " is not an RSA key";
            return {};
        }
        if (EVP_PKEY_get_bits(key.get()) < kMinRsaBits) {
            problem = path + " is an RSA key of fewer than 1024 bits";
            return {};
        }
    } else if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
        problem = path + " is not an Ed25519 key";
        return {};
    }
    return key;
}

CDkimKeys::DomainKeys CDkimKeys::Load(const std::string& domain) const {
    DomainKeys keys;
    keys.domain = domain;
    if (!IsFullDomainName(domain)) {
        keys.problem = "\"" + domain + "\" is not a domain name";
        return keys;
    }
    const std::string selectorPath = directory + "/" + domain + kSelectorSuffix;
    std::string text;
    if (!ReadWholeFile(selectorPath, kMaxSelectorBytes, text)) {
        keys.problem = selectorPath + " cannot be read: " + std::strerror(errno);
        return keys;
    }
    keys.selector = std::string(Trim(text));
    if (!IsSelector(keys.selector)) {
        keys.problem = selectorPath + " names no selector (one DNS label of letters, digits and '-')";
        keys.selector.clear();
        return keys;
    }
    keys.rsa = LoadKey(KeyPath(domain, keys.selector, Algorithm::Rsa), Algorithm::Rsa, keys.rsaProblem);
    if (!keys.rsa && keys.rsaProblem.empty())
        keys.rsaProblem = KeyPath(domain, keys.selector, Algorithm::Rsa) + " is missing";
    keys.ed25519 =
        LoadKey(KeyPath(domain, keys.selector, Algorithm::Ed25519), Algorithm::Ed25519, keys.ed25519Problem);
    return keys;
}

std::vector<CDkimKeys::DomainKeys> CDkimKeys::List() const {
    std::vector<std::string> domains;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            const std::size_t suffix = std::strlen(kSelectorSuffix);
            if (name.size() > suffix && name.compare(name.size() - suffix, suffix, kSelectorSuffix) == 0)
                domains.push_back(name.substr(0, name.size() - suffix));
        }
        ::closedir(dir);
    }
    std::sort(domains.begin(), domains.end());
    std::vector<DomainKeys> result;
    for (const std::string& domain : domains) result.push_back(Load(domain));
    return result;
}

bool CDkimKeys::Create(const std::string& domain, const std::string& selector, std::string& reason) const {
    if (!IsFullDomainName(domain)) {
        reason = "\"" + domain + "\" is not a domain name";
        return false;
    }
    if (!IsSelector(selector)) {
        reason = "\"" + selector + "\" is not a selector: use one DNS label of letters, digits and '-'";
        return false;
    }
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        reason = "cannot make " + directory + ": " + std::strerror(errno);
        return false;
    }
    const std::string rsaPath = KeyPath(domain, selector, Algorithm::Rsa);
    const std::string edPath = KeyPath(domain, selector, Algorithm::Ed25519);
    struct stat info {};
    if (::stat(rsaPath.c_str(), &info) == 0 || ::stat(edPath.c_str(), &info) == 0) {
        reason = "keys for the selector " + selector + " of " + domain +
                 " exist already: choose another selector with --selector";
        return false;
    }
    Key rsa = Generate(Algorithm::Rsa);
    Key ed = Generate(Algorithm::Ed25519);
    const std::string rsaPem = rsa ? PrivatePem(rsa.get()) : std::string();
    const std::string edPem = ed ? PrivatePem(ed.get()) : std::string();
    if (rsaPem.empty() || edPem.empty()) {
        reason = "the keys could not be made";
        return false;
    }
    if (!WriteNewKey(rsaPath, rsaPem, reason)) return false;
    if (!WriteNewKey(edPath, edPem, reason)) {
        ::unlink(rsaPath.c_str());
        return false;
    }
    if (!WriteWholeFile(directory + "/" + domain + kSelectorSuffix, selector + "\n")) {
        reason = "cannot write the selector file in " + directory + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string CDkimKeys::DnsText(evp_pkey_st* key, Algorithm algorithm) {
    std::string publicBytes;
    if (algorithm == Algorithm::Rsa) {
        // The SubjectPublicKeyInfo DER (RFC 6376 3.6.1).
        unsigned char* der = nullptr;
        const int length = i2d_PUBKEY(key, &der);
        if (length <= 0) return {};
        publicBytes.assign(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
        OPENSSL_free(der);
    } else {
        // The bare 32-byte key (RFC 8463 4.2).
        unsigned char raw[64];
        std::size_t length = sizeof raw;
        if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1) return {};
        publicBytes.assign(reinterpret_cast<const char*>(raw), length);
    }
    return std::string("v=DKIM1; k=") + (algorithm == Algorithm::Rsa ? "rsa" : "ed25519") +
           "; p=" + CBase64Encoder().Encode(publicBytes);
}

int CDkimKeys::Bits(evp_pkey_st* key) {
    return EVP_PKEY_get_bits(key);
}

std::string CDkimKeys::ZoneStrings(const std::string& text) {
    std::string result;
    for (std::size_t at = 0; at < text.size(); at += 255) {
        if (!result.empty()) result.push_back(' ');
        result += "\"" + text.substr(at, 255) + "\"";
    }
    return result;
}
