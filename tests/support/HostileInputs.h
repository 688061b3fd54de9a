// HostileInputs: the hand-made hostile inputs of a fuzz target, kept as
// files named "hostile_*" in its corpus, so the fuzzers start from them and
// the unit tests assert the exact refusal each must meet.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "TestHome.h"

// Name and bytes of each hostile input of the target (e.g. "fuzz_dnsreply"), sorted by name.
inline std::vector<std::pair<std::string, std::string>> HostileInputs(const std::string& target) {
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(TestHome::SourcePath("tests/fuzz/corpus/" + target))) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("hostile_", 0) == 0) inputs.emplace_back(name, TestHome::ReadFile(entry.path().string()));
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}
