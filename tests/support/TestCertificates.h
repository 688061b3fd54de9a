// TestCertificates: a private certificate authority for the TLS tests, made
// with the openssl command in a directory of the test's own: the
// authority's certificate (ca.pem, which a test trusts through TLS\CA File)
// and a server certificate for the name "localhost" only, with its key
// (server.pem, server.key). Connecting by another name, 127.0.0.1
// included, must fail a certificate check.
#pragma once

#include <string>

class TestCertificates {
public:
    // False with the openssl output in why.
    bool Make(const std::string& directory, std::string& why);
    const std::string& CaFile() const { return ca; }
    const std::string& CertificateFile() const { return certificate; }
    const std::string& KeyFile() const { return key; }

private:
    std::string ca;
    std::string certificate;
    std::string key;
};
