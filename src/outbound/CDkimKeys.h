// CDkimKeys: the home's DKIM signing keys.
//
// They live in the home's dkim/ directory, one set per signing domain:
//   dkim/<domain>.selector             the selector in use (one line)
//   dkim/<domain>.<selector>.rsa.pem   RSA private key (PKCS#8 PEM, 0600)
//   dkim/<domain>.<selector>.ed25519.pem  optional Ed25519 private key (0600)
// The Ed25519 key is published under its own DNS name, "<selector>-ed"
// (DnsSelector): a verifier takes one key record per name.
// A domain without a selector file is not signed. A new selector (key
// rotation) is a new pair of files and a new selector file; the old files
// stay until the office removes them, after its DNS no longer needs them.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct evp_pkey_st;

class CDkimKeys {
public:
    static constexpr const char* kDirectory = "dkim";
    static constexpr const char* kDefaultSelector = "velmora";
    // Key and selector files are small: more than this is not one.
    static constexpr std::size_t kMaxKeyFileBytes = 16 * 1024;
    static constexpr std::size_t kMaxSelectorBytes = 256;
    static constexpr int kRsaBits = 2048;
    static constexpr int kMinRsaBits = 1024;

    enum class Algorithm { Rsa, Ed25519 };

    struct KeyFree {
        void operator()(evp_pkey_st* key) const;
    };
    using Key = std::unique_ptr<evp_pkey_st, KeyFree>;

    // What a domain's keys are, for signing and for `dkim list`. A key that
    // is absent has an empty problem and no key; a bad one has a problem.
    struct DomainKeys {
        std::string domain;
        std::string selector;
        std::string problem;  // of the selector file
        Key rsa;
        std::string rsaProblem;
        Key ed25519;
        std::string ed25519Problem;
    };

    // directory: the home's dkim/ directory.
    explicit CDkimKeys(std::string directory);
    // Home::PathOf(kDirectory).
    static std::string HomeDirectory();

    static bool IsSelector(const std::string& selector);
    // The selector of the DNS record and the s= tag: the Ed25519 key's ends in "-ed".
    static std::string DnsSelector(const std::string& selector, Algorithm algorithm);
    // Whether the domain has a selector file at all.
    bool Has(const std::string& domain) const;
    // The selector and keys, checked (mode, type, size).
    DomainKeys Load(const std::string& domain) const;
    // Every domain with a selector file, loaded.
    std::vector<DomainKeys> List() const;
    // Makes both keys for selector and makes it the domain's selector.
    // Refuses to overwrite existing key files.
    bool Create(const std::string& domain, const std::string& selector, std::string& reason) const;

    // "v=DKIM1; k=rsa; p=..." (or k=ed25519) for the key's public half; "" on failure.
    static std::string DnsText(evp_pkey_st* key, Algorithm algorithm);
    static int Bits(evp_pkey_st* key);
    // The text as a zone-file TXT value: quoted strings of at most 255 characters.
    static std::string ZoneStrings(const std::string& text);

private:
    std::string KeyPath(const std::string& domain, const std::string& selector, Algorithm algorithm) const;
    Key LoadKey(const std::string& path, Algorithm algorithm, std::string& problem) const;

    std::string directory;
};
