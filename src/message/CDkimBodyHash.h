// CDkimBodyHash: the SHA-256 hash of a message body in DKIM's relaxed body
// canonicalization (RFC 6376 3.4.4), fed in blocks as the body streams by.
//
// Lines end as they do on the wire (SendData turns a bare CR or LF into
// CR LF), so the hash matches what the receiver reads. Runs of blanks
// become one space, blanks at a line's end go, empty lines at the end go
// (only counted while pending, never buffered), and a last line without a
// break gets one; an empty body hashes as nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

class CDkimBodyHash {
public:
    CDkimBodyHash();
    ~CDkimBodyHash();
    CDkimBodyHash(const CDkimBodyHash&) = delete;
    CDkimBodyHash& operator=(const CDkimBodyHash&) = delete;

    void Update(std::string_view bytes);
    // The 32-byte digest; "" when the hash could not be computed.
    std::string Final();

    // The canonical form of a whole body, for checks.
    static std::string Canonicalize(std::string_view body);

private:
    void Emit(std::string_view text);
    void EndLine();

    struct ContextFree {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextFree> context;
    std::string* capture = nullptr;  // Canonicalize's output instead of hashing
    bool failed = false;
    bool pendingCr = false;    // a CR whose line end depends on the next byte
    bool pendingBlank = false; // blanks seen since the last other character of the line
    bool lineHasText = false;
    std::size_t emptyLines = 0;  // empty lines held back: they count only if text follows
    std::string out;             // this block's canonical bytes
};
