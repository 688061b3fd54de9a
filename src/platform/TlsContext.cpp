// TlsContext: OpenSSL contexts.
#include "platform/TlsContext.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

// TLS 1.2 suites: forward secrecy and AEAD only (TLS 1.3 has nothing else).
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

}  // namespace

void TlsContext::Free::operator()(void* handle) const {
    SSL_CTX_free(static_cast<SSL_CTX*>(handle));
}

TlsContext::TlsContext() = default;
TlsContext::~TlsContext() = default;

std::string TlsContext::LibraryError() {
    // The first error is the cause; what follows only says who passed it on.
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return {};
    const char* reason = ERR_reason_error_string(code);
    if (reason) return reason;
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    return line;
}

namespace {

// A file the library is to read, or why it cannot be read.
bool Readable(const std::string& what, const std::string& path, std::string& reason) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = "the " + what + " " + path + " cannot be read: " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

bool TlsContext::Create(bool asServer, std::string& reason) {
    ERR_clear_error();
    context.reset(SSL_CTX_new(asServer ? TLS_server_method() : TLS_client_method()));
    auto* ctx = static_cast<SSL_CTX*>(context.get());
    if (!ctx) {
        reason = "the TLS library cannot make a context: " + LibraryError();
        return false;
    }
    server = asServer;
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                 SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 || SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) {
        reason = "the TLS library refuses the protocol settings: " + LibraryError();
        context.reset();
        return false;
    }
    // Writes may be retried from a moved buffer (the session's pending text).
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    return true;
}

bool TlsContext::InitServer(const std::string& certificateFile, const std::string& keyFile, std::string& reason) {
    if (certificateFile.empty() || keyFile.empty()) {
        reason = certificateFile.empty() ? "no certificate file is set" : "no key file is set";
        return false;
    }
    if (!Readable("certificate file", certificateFile, reason) || !Readable("key file", keyFile, reason) ||
        !Create(true, reason))
        return false;
    auto* ctx = static_cast<SSL_CTX*>(context.get());
    if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1) {
        reason = "the certificate file " + certificateFile + " cannot be used: " + LibraryError();
    } else if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 &&
               ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
        reason = "the key file " + keyFile + " cannot be used: " + LibraryError();
    } else if (SSL_CTX_check_private_key(ctx) != 1) {
        reason = "the key file " + keyFile + " does not belong to the certificate " + certificateFile;
        ERR_clear_error();
    } else {
        return true;
    }
    context.reset();
    return false;
}

bool TlsContext::InitClient(bool verifyPeer, const std::string& caFile, std::string& reason) {
    if (!Create(false, reason)) return false;
    auto* ctx = static_cast<SSL_CTX*>(context.get());
    verify = verifyPeer;
    if (!verify) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        return true;
    }
    if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
        reason = "the system's CA store cannot be read: " + LibraryError();
        context.reset();
        return false;
    }
    if (!caFile.empty() && !Readable("CA file", caFile, reason)) {
        context.reset();
        return false;
    }
    if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        reason = "the CA file " + caFile + " cannot be used: " + LibraryError();
        context.reset();
        return false;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return true;
}
