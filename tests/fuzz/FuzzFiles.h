// FuzzFiles: what the fuzz targets of file readers share: a private work
// directory per fuzzing process (also the process's TMPDIR, for temporary
// message files), the input written there as a file, and a message's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "foundation/CMailContent.h"

namespace fuzzfiles {

class WorkDirectoryHolder {
public:
    WorkDirectoryHolder() {
        char pattern[] = "/tmp/velmora-fuzz-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        ::setenv("TMPDIR", pattern, 1);
        path = pattern;
    }
    ~WorkDirectoryHolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

inline const std::string& WorkDirectory() {
    static const WorkDirectoryHolder holder;
    return holder.path;
}

// The input as the file WORK/input.tmp; its path.
inline std::string WriteInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = WorkDirectory() + "/input.tmp";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

inline std::string ContentOf(CMailContent& content) {
    std::string text;
    content.Rewind();
    char block[4096];
    for (int n; (n = content.Read(block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
    return text;
}

}  // namespace fuzzfiles
