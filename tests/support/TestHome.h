// TestHome: a throw-away home directory for one test, removed afterwards.
#pragma once

#include <optional>
#include <string>

#include "foundation/DataSource.h"

class TestHome {
public:
    TestHome();
    ~TestHome();
    TestHome(const TestHome&) = delete;
    TestHome& operator=(const TestHome&) = delete;

    const std::string& Path() const { return path; }
    std::string File(const std::string& name) const { return path + "/" + name; }
    // Provisions it as `velmora setup` does; false with the reason on stderr.
    // With a test cluster named (PostgresTestServer), on a new database there.
    bool Provision();

    static std::string ReadFile(const std::string& path);
    // A path inside the source tree (e.g. "tests/fuzz/corpus"). Kept out of
    // the compile lines of the test files so that their compiles are cached
    // whatever folder the tree was cloned into.
    static std::string SourcePath(const std::string& relative);
    static void WriteFile(const std::string& path, const std::string& text);

private:
    std::string path;
    // The PostgreSQL database made for the home, when there is one.
    std::optional<DataSource::PostgresTarget> postgres;
};
