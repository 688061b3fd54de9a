// TlsContext: one OpenSSL context for either side of a connection, shared by
// every TlsStream made from it (OpenSSL lets many threads start connections
// from one context at once).
//
// Every context speaks TLS 1.2 and 1.3 only, with compression and
// renegotiation off; TLS 1.2 offers only forward-secret AEAD ciphers, TLS 1.3
// the library's own defaults. A server context holds one certificate chain
// and its key (PEM files); a client context either checks the peer's
// certificate chain against the system's CA store (plus an optional extra CA
// file) and the peer's name, or checks nothing (opportunistic encryption).
// Failures come back as false with a one-line reason naming the file and
// the library's own explanation.
#pragma once

#include <memory>
#include <string>

class TlsContext {
public:
    TlsContext();
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // A server context from a PEM certificate chain and a PEM private key;
    // false (reason set) when either is missing or unreadable or the key
    // does not belong to the certificate.
    bool InitServer(const std::string& certificateFile, const std::string& keyFile, std::string& reason);
    // A client context. verify: the peer's chain must lead to the system's
    // CA store or to a certificate of caFile (when not empty), and name the
    // host given to TlsStream::Connect. Without verify anything is accepted.
    bool InitClient(bool verify, const std::string& caFile, std::string& reason);

    bool Ready() const { return context != nullptr; }
    bool Verifies() const { return verify; }
    bool IsServer() const { return server; }
    // The library's handle (an SSL_CTX*), for TlsStream only.
    void* Handle() const { return context.get(); }

    // The first queued library error's reason ("" when none), emptying the queue.
    static std::string LibraryError();

private:
    struct Free {
        void operator()(void* handle) const;
    };
    bool Create(bool asServer, std::string& reason);

    std::unique_ptr<void, Free> context;
    bool verify = false;
    bool server = false;
};
