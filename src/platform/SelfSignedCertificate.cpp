// SelfSignedCertificate: key and certificate for a new home.
#include "platform/SelfSignedCertificate.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/FileIo.h"
#include "platform/TlsContext.h"
#include "platform/UniqueFd.h"

namespace {

constexpr long kValidSeconds = 10L * 365 * 24 * 3600;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ExtensionFree {
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};

bool AddExtension(X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// The PEM text that write makes.
template <typename Write>
bool Pem(Write write, std::string& text) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || !write(bio.get())) return false;
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    if (length <= 0) return false;
    text.assign(data, static_cast<std::size_t>(length));
    return true;
}

bool WriteNewFile(const std::string& path, const std::string& text, mode_t mode, std::string& reason) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    // The mode is set again: the umask may have taken bits away, never added.
    if (!fd || ::fchmod(fd.Get(), mode) != 0 || !WriteAll(fd.Get(), text.data(), text.size()) ||
        ::fsync(fd.Get()) != 0) {
        reason = "cannot write " + path + ": " + std::strerror(errno);
        if (fd) ::unlink(path.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool MakeSelfSignedCertificate(const std::string& hostName, const std::string& certificateFile,
                               const std::string& keyFile, std::string& reason) {
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
    std::unique_ptr<X509, CertificateFree> certificate(X509_new());
    if (!key || !certificate) {
        reason = "cannot make a key: " + TlsContext::LibraryError();
        return false;
    }
    X509* cert = certificate.get();
    unsigned char serial[16];
    std::unique_ptr<BIGNUM, void (*)(BIGNUM*)> number(nullptr, BN_free);
    if (RAND_bytes(serial, sizeof serial) == 1) {
        serial[0] &= 0x7F;  // a positive serial number
        number.reset(BN_bin2bn(serial, sizeof serial, nullptr));
    }
    X509_NAME* name = X509_get_subject_name(cert);
    const bool made =
        number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)) && X509_set_version(cert, 2) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(cert), 0) && X509_gmtime_adj(X509_getm_notAfter(cert), kValidSeconds) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(hostName.c_str()),
                                   -1, -1, 0) == 1 &&
        X509_set_issuer_name(cert, name) == 1 && X509_set_pubkey(cert, key.get()) == 1 &&
        AddExtension(cert, NID_basic_constraints, "critical,CA:FALSE") &&
        AddExtension(cert, NID_key_usage, "critical,digitalSignature") &&
        AddExtension(cert, NID_ext_key_usage, "serverAuth") &&
        AddExtension(cert, NID_subject_alt_name, "DNS:" + hostName) && X509_sign(cert, key.get(), EVP_sha256()) > 0;
    std::string keyText, certificateText;
    if (!made ||
        !Pem([&](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr); },
             keyText) ||
        !Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert); }, certificateText)) {
        reason = "cannot make the certificate: " + TlsContext::LibraryError();
        return false;
    }
    if (!WriteNewFile(keyFile, keyText, 0600, reason)) return false;
    if (!WriteNewFile(certificateFile, certificateText, 0644, reason)) {
        ::unlink(keyFile.c_str());
        return false;
    }
    return true;
}
