// TestCertificates: the test authority and its localhost certificate.
#include "TestCertificates.h"

#include <filesystem>

#include "TestHome.h"
#include "TestPeers.h"

bool TestCertificates::Make(const std::string& directory, std::string& why) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    ca = directory + "/ca.pem";
    certificate = directory + "/server.pem";
    key = directory + "/server.key";
    const std::string caKey = directory + "/ca.key";
    const std::string request = directory + "/server.csr";
    const std::string extensions = directory + "/server.ext";
    TestHome::WriteFile(extensions,
                        "basicConstraints = CA:FALSE\nsubjectAltName = DNS:localhost\nextendedKeyUsage = serverAuth\n");
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
         caKey, "-out", ca, "-days", "2", "-subj", "/CN=Velmora Test CA", "-addext",
         "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
        {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
         "-out", request, "-subj", "/CN=localhost"},
        {"openssl", "x509", "-req", "-in", request, "-CA", ca, "-CAkey", caKey, "-CAcreateserial", "-out",
         certificate, "-days", "2", "-extfile", extensions},
    };
    for (const auto& step : steps) {
        const RunResult run = RunProgram(step, std::chrono::seconds(30));
        if (run.status != 0) {
            why = run.output;
            return false;
        }
    }
    return true;
}
