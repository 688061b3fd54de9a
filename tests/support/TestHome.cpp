// TestHome: temporary homes for tests.
#include "TestHome.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "PostgresTestServer.h"
#include "TestPeers.h"
#include "app/SetupCommand.h"
#include "cycle/CScheduleSettings.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/Home.h"

TestHome::TestHome() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path = tmpl;
    // Each test home gets its own data source; a user's ODBCINI must not leak in.
    ::setenv("ODBCSYSINI", path.c_str(), 1);
    ::setenv("ODBCINI", (path + "/odbc.ini").c_str(), 1);
    Home::Use(path);
}

TestHome::~TestHome() {
    if (postgres) PostgresTestServer::DropDatabase(path);
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

bool TestHome::Provision() {
    // The ODBC driver manager reads its data-source files once per process,
    // so a process can serve one database home; ctest runs each test alone.
    static std::string provisioned;
    if (!provisioned.empty() && provisioned != path) {
        std::cerr << "TestHome: only one database home per process; run the tests through ctest "
                     "(or one at a time with --gtest_filter)\n";
        return false;
    }
    provisioned = path;
    const bool fresh = !std::filesystem::exists(path + "/" + Home::kSettingsFile);
    std::ostringstream out;
    const bool made = !PostgresTestServer::FromEnvironment()
                          ? SetupCommand::Run(path, out, std::cerr) == 0
                          // Provisioned again, the home keeps its database.
                          : ((postgres || (postgres = PostgresTestServer::CreateDatabase(path))) &&
                             SetupCommand::Run(path, out, std::cerr, &*postgres) == 0);
    if (!made) return false;
    // Setup's submission and implicit-TLS ports are the well-known ones, which tests running
    // side by side cannot share: a test that wants them sets free ones.
    SetSettingDword(settings::kPortsKeyPath, "Submission Port", 0);
    SetSettingDword(settings::kPortsKeyPath, "SMTPS Port", 0);
    SetSettingDword(settings::kPortsKeyPath, "POP3S Port", 0);
    SetSettingDword(settings::kPortsKeyPath, "IMAPS Port", 0);
    // No cycle starts by itself in a test's home (setup gives a new home a
    // schedule and send-on-count): a test that wants one sets it.
    if (fresh) {
        // Nor the well-known IMAP port: a free one, chosen once.
        SetSettingDword(settings::kPortsKeyPath, "IMAP Port", static_cast<unsigned>(FreePort()));
        SetSettingDword(settings::kPreferencesKeyPath, "SendOnMailCount", 0);
        std::filesystem::remove(Home::PathOf(CScheduleSettings::kFileName));
    }
    return true;
}

std::string TestHome::SourcePath(const std::string& relative) {
    return std::string(VELMORA_SOURCE_DIR) + "/" + relative;
}

std::string TestHome::ReadFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void TestHome::WriteFile(const std::string& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}
