// The real program with its console on a real X display: Xvfb with trayer
// as the system tray host. The tray icon is embedded, the main window is
// mapped, mail is served meanwhile, the screen is captured, and the tray
// menu's Quit (clicked with xdotool) ends the process cleanly. Skipped when
// the X tools are not installed (scripts/install-deps installs them).
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "E2eFixture.h"

namespace {

class E2eConsole : public E2eFixture {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "trayer", "xdotool", "xwininfo", "import"})
            if (RunProgram({"sh", "-c", std::string("command -v ") + tool}).status != 0)
                GTEST_SKIP() << "the console's run under X needs " << tool << " (scripts/install-deps installs it)";
        const RunResult usage = RunProgram({VelmoraProgram(), "help", "run"});
        if (usage.output.find("without its console") != std::string::npos)
            GTEST_SKIP() << "this build of velmora has no console";
        E2eFixture::SetUp();
    }
    // The leak suppressions the run is given (any the caller set, plus the
    // display libraries' own), as a file in the home.
    std::string LeakOptions() {
        std::string text = TestHome::ReadFile(TestHome::SourcePath("tests/lsan-console.supp"));
        const char* options = std::getenv("LSAN_OPTIONS");
        const std::string given = options ? options : "";
        const std::size_t at = given.find("suppressions=");
        if (at != std::string::npos) {
            const std::size_t from = at + 13;
            text += "\n" + TestHome::ReadFile(given.substr(from, given.find_first_of(": ", from) - from));
        }
        TestHome::WriteFile(home.File("lsan.supp"), text);
        return "LSAN_OPTIONS=suppressions=" + home.File("lsan.supp");
    }
    void TearDown() override {
        E2eFixture::TearDown();
        // Ended politely, Xvfb removes its lock and socket for the next run.
        for (ChildProcess* x : {&trayHost, &xserver})
            if (x->Pid() > 0 && x->Signal(SIGTERM)) x->WaitExit(std::chrono::seconds(5));
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
    environment.insert(environment.end(), {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", LeakOptions()});
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
            // The icon is the program's window that the tray host took in.
            const std::string found = X({"xdotool", "search", "--onlyvisible", "--classname", "velmora"}).output;
            for (std::size_t at = 0; at < found.size();) {
                const std::size_t end = std::min(found.find('\n', at), found.size());
                const std::string id = found.substr(at, end - at);
                at = end + 1;
                const std::string tree = X({"xwininfo", "-id", id, "-tree"}).output;
                const std::size_t parent = tree.find("Parent window id:");
                if (parent != std::string::npos &&
                    tree.find("(the root window)", parent) > tree.find('\n', parent))
                    icon = id;
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

    // The tray menu: a right click on the icon, then its Quit (mnemonic q);
    // again when the menu was not up yet.
    const auto shownWindows = [&] {
        const std::string list = X({"xdotool", "search", "--onlyvisible", "--classname", "velmora"}).output;
        return std::count(list.begin(), list.end(), '\n');
    };
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto before = shownWindows();
            X({"xdotool", "mousemove", "--window", icon, "8", "8", "click", "3"});
            // The menu is up once the program shows one window more.
            WaitUntil([&] { return shownWindows() > before; }, std::chrono::seconds(2));
            X({"xdotool", "key", "q"});
            return server.WaitExit(std::chrono::seconds(2));
        },
        std::chrono::seconds(40)))
        << server.Output();
    EXPECT_EQ(server.ExitCode(), 0) << server.Output();
    EXPECT_FALSE(std::filesystem::exists(home.File("control.sock")));
}

}  // namespace
