// FuzzRequire: the fuzz targets' checks. Require(condition) names the target's
// file and line on stderr and aborts, so that libFuzzer keeps the input
// that broke it, in a release build too (unlike assert).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define Require(condition) ((condition) ? (void)0 : fuzzrequire::Fail(__FILE__, __LINE__))

namespace fuzzrequire {

[[noreturn]] inline void Fail(const char* file, int line) {
    const char* slash = std::strrchr(file, '/');
    std::fprintf(stderr, "%s:%d: requirement broken\n", slash ? slash + 1 : file, line);
    std::abort();
}

}  // namespace fuzzrequire
