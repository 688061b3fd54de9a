// The IMAP server module in the real program: `velmora setup` registers it,
// `velmora run` loads it, and it answers CAPABILITY on the configured port.
// Real mail clients against it are the IMAP end-to-end suite's.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "E2eFixture.h"

namespace {

// Greeting, CAPABILITY and LOGOUT over a plain socket; prints what came back.
const char* const kCapability = R"(import socket, sys
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=30)
f = s.makefile('rb')
print(f.readline().decode().strip())
s.sendall(b'a CAPABILITY\r\nb LOGOUT\r\n')
for line in f:
    print(line.decode().strip())
    if line.startswith(b'b '): break
)";

class E2eImap : public E2eFixture {};

TEST_F(E2eImap, ProgramLoadsModuleAndAnswersCapability) {
    const char* build = std::getenv("VELMORA_BUILD_DIR");
    if (!build || !std::filesystem::exists(std::string(build) + "/bin/IMAP_Server.so"))
        GTEST_SKIP() << "IMAP_Server.so is not built";
    const int imapPort = FreePort();
    ASSERT_TRUE(home.SetDword("Ports", "IMAP Port", static_cast<std::uint32_t>(imapPort)));
    StartServer();
    ASSERT_TRUE(WaitForPort(imapPort, std::chrono::seconds(10))) << server.Output();
    const RunResult py = RunProgram({"python3", "-c", kCapability, std::to_string(imapPort)});
    ASSERT_EQ(py.status, 0) << py.output;
    EXPECT_EQ(py.output.rfind("* OK [CAPABILITY IMAP4rev1", 0), 0u) << py.output;
    EXPECT_NE(py.output.find("* CAPABILITY IMAP4rev1 LITERAL+"), std::string::npos) << py.output;
    EXPECT_NE(py.output.find("IDLE"), std::string::npos) << py.output;
    EXPECT_NE(py.output.find("b OK"), std::string::npos) << py.output;
}

}  // namespace
