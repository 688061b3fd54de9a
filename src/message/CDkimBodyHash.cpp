// CDkimBodyHash: relaxed body canonicalization and its SHA-256, streamed.
#include "message/CDkimBodyHash.h"

#include <openssl/evp.h>

void CDkimBodyHash::ContextFree::operator()(evp_md_ctx_st* c) const {
    EVP_MD_CTX_free(c);
}

CDkimBodyHash::CDkimBodyHash() : context(EVP_MD_CTX_new()) {
    failed = !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1;
}

CDkimBodyHash::~CDkimBodyHash() = default;

void CDkimBodyHash::Emit(std::string_view text) {
    if (capture) {
        capture->append(text);
        return;
    }
    if (!failed && EVP_DigestUpdate(context.get(), text.data(), text.size()) != 1) failed = true;
}

void CDkimBodyHash::EndLine() {
    // Blanks at the end of a line are dropped: pendingBlank simply lapses.
    pendingBlank = false;
    if (!lineHasText) {
        ++emptyLines;
        return;
    }
    out.append("\r\n");
    lineHasText = false;
}

void CDkimBodyHash::Update(std::string_view bytes) {
    out.clear();
    for (char c : bytes) {
        if (pendingCr) {
            pendingCr = false;
            EndLine();
            if (c == '\n') continue;
        }
        if (c == '\r') {
            pendingCr = true;
            continue;
        }
        if (c == '\n') {
            EndLine();
            continue;
        }
        if (c == ' ' || c == '\t') {
            pendingBlank = true;
            continue;
        }
        // Text after empty lines: they were not the body's end after all.
        for (; emptyLines > 0; --emptyLines) out.append("\r\n");
        if (pendingBlank) {
            // Blanks before text (also at the line's start) become one space.
            out.push_back(' ');
            pendingBlank = false;
        }
        out.push_back(c);
        lineHasText = true;
    }
    Emit(out);
}

std::string CDkimBodyHash::Final() {
    out.clear();
    if (pendingCr) {
        pendingCr = false;
        EndLine();
    }
    // A last line without its break gets one; trailing empty lines go.
    if (lineHasText) out.append("\r\n");
    lineHasText = false;
    emptyLines = 0;
    Emit(out);
    if (capture || failed) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return {};
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string CDkimBodyHash::Canonicalize(std::string_view body) {
    std::string result;
    CDkimBodyHash hash;
    hash.capture = &result;
    hash.Update(body);
    hash.Final();
    return result;
}
