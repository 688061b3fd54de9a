// The real program with its console on a real X display: Xvfb with trayer
// as the system tray host. The tray icon is embedded, the main window is
// mapped, mail is served meanwhile, the screen is captured, and the tray
// menu's Quit (clicked with xdotool) ends the process cleanly. Skipped when
// the X tools are not installed (scripts/install-deps installs them).
#include <unistd.h>

#include <filesystem>
#include <string>

#include "E2eFixture.h"

namespace {

class E2eConsole : public E2eFixture {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "trayer", "xdotool", "xwininfo", "import"})
            if (RunProgram({"sh", "-c", std::string("command -v ") + tool}).status != 0)
                GTEST_SKIP() << "the console's run under X needs " << tool << " (scripts/install-deps installs it)";
        E2eFixture::SetUp();
    }
    // A display number no X server uses.
    static std::string FreeDisplay() {
        for (int n = 60; n < 200; ++n) {
            const std::string number = std::to_string(n);
            if (!std::filesystem::exists("/tmp/.X11-unix/X" + number) &&
                !std::filesystem::exists("/tmp/.X" + number + "-lock"))
                return ":" + number;
        }
        return "";
    }
    RunResult X(const std::vector<std::string>& argv) {
        return RunProgram(argv, std::chrono::seconds(20), {"DISPLAY=" + display});
    }
    std::string display;
    ChildProcess xserver, trayHost;
};

TEST_F(E2eConsole, TrayIconAndWindowWhileServingAndQuitFromTheTray) {
    display = FreeDisplay();
    ASSERT_FALSE(display.empty());
    ASSERT_TRUE(xserver.Start({"Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                              home.File("xvfb.out")));
    ASSERT_TRUE(WaitUntil([&] { return X({"xwininfo", "-root"}).status == 0; }, std::chrono::seconds(20)))
        << xserver.Output();
    ASSERT_TRUE(trayHost.Start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                                "96", "--height", "32", "--transparent", "false"},
                               home.File("trayer.out"), {"DISPLAY=" + display}));
    ASSERT_TRUE(WaitUntil([&] { return X({"xwininfo", "-root", "-tree"}).output.find("panel") != std::string::npos; },
                          std::chrono::seconds(20)))
        << trayHost.Output();

    server.console = true;
    std::vector<std::string> environment = ServerEnvironment();
    environment.insert(environment.end(), {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"});
    ASSERT_TRUE(server.Start(home.Path(), home.File("server.out"), environment));
    ASSERT_TRUE(server.WaitServing()) << server.Output();
    ASSERT_TRUE(WaitForPort(port));
    ASSERT_TRUE(WaitUntil([&] { return server.Output().find("tray icon \"Marlowin\" added") != std::string::npos; },
                          std::chrono::seconds(20)))
        << server.Output();

    // The main window is mapped; the tray icon sits inside the tray host.
    std::string window;
    ASSERT_TRUE(WaitUntil(
        [&] {
            window = X({"xdotool", "search", "--onlyvisible", "--name", "^Marlowin - "}).output;
            return !window.empty();
        },
        std::chrono::seconds(20)));
    window = window.substr(0, window.find('\n'));
    EXPECT_NE(X({"xwininfo", "-id", window}).output.find("IsViewable"), std::string::npos);
    std::string icon;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const RunResult found = X({"xdotool", "search", "--onlyvisible", "--classname", "velmora"});
            for (std::size_t at = 0; at < found.output.size();) {
                const std::size_t end = found.output.find('\n', at);
                const std::string id = found.output.substr(at, end - at);
                at = end == std::string::npos ? found.output.size() : end + 1;
                // The icon's window is small and not the main window.
                const std::string info = X({"xwininfo", "-id", id}).output;
                if (id != window && info.find("Width: 2") != std::string::npos) icon = id;
            }
            return !icon.empty();
        },
        std::chrono::seconds(20)))
        << X({"xwininfo", "-root", "-tree"}).output;

    // Mail is served while the console runs.
    {
        SmtpClient client;
        Open(client);
        EXPECT_EQ(Code(Transaction(client, "alice@localhost", {"bob@localhost"},
                                   "From: alice@localhost\r\nSubject: console run\r\n\r\nhello")),
                  250);
    }
    EXPECT_TRUE(WaitForMail("bob", 1));

    const char* shots = std::getenv("VELMORA_SCREENSHOT_DIR");
    const std::string shot = (shots && *shots ? std::string(shots) : home.Path()) + "/xvfb-desktop.png";
    EXPECT_EQ(X({"import", "-window", "root", shot}).status, 0);
    EXPECT_TRUE(std::filesystem::exists(shot));

    // The tray menu: a right click on the icon, then its Quit (mnemonic q).
    ASSERT_EQ(X({"xdotool", "mousemove", "--window", icon, "8", "8", "click", "3"}).status, 0);
    ASSERT_TRUE(WaitUntil(
        [&] {
            X({"xdotool", "key", "q"});
            return server.WaitExit(std::chrono::milliseconds(500));
        },
        std::chrono::seconds(20)))
        << server.Output();
    EXPECT_EQ(server.ExitCode(), 0) << server.Output();
    EXPECT_FALSE(std::filesystem::exists(home.File("control.sock")));
}

}  // namespace
