// TestContent: message contents for tests, as temporary message files.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/CTempMailContent.h"

inline std::unique_ptr<CTempMailContent> Content(const std::string& text) {
    auto content = std::make_unique<CTempMailContent>();
    EXPECT_TRUE(content->Open());
    EXPECT_TRUE(content->Write(text.data(), static_cast<std::uint32_t>(text.size())));
    return content;
}

inline std::string ReadAll(CMailContent& content) {
    std::string text;
    char block[4096];
    content.Rewind();
    for (int n; (n = content.Read(block, sizeof block)) > 0;) text.append(block, static_cast<std::size_t>(n));
    return text;
}
