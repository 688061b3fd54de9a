// The module host: which configured modules load and what each is given,
// the event sinks' messages, and start-up and shutdown with a real module
// library and database.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

#include "CapturingInterface.h"
#include "TestHome.h"
#include "TestPeers.h"
#include "app/CEventThread.h"
#include "app/CServerHost.h"
#include "app/CServerModule.h"
#include "app/CServerModuleList.h"
#include "platform/MessageThreadOwner.h"
#include "app/SinkMessages.h"
#include "app/SinkObjects.h"
#include "foundation/CMailDatabase.h"
#include "platform/Registry.h"
#include "spool/CMailSpooler.h"
#include "spool/MailInfo.h"

namespace {

std::string BuildDir() {
    const char* dir = std::getenv("VELMORA_BUILD_DIR");
    return dir ? dir : ".";
}

// Servers\#N with the given values; an empty location or name is left out.
void AddServer(int number, DWORD active, const std::string& location, const std::string& name) {
    const std::string path = "SOFTWARE\\Fenwarde\\Velmora\\Servers\\#" + std::to_string(number);
    SetSettingDword(path.c_str(), "Active", active);
    if (!location.empty()) SetSettingString(path.c_str(), "DLLLocation", location);
    if (!name.empty()) SetSettingString(path.c_str(), "Name", name);
}

class ModuleDirectory {
public:
    explicit ModuleDirectory(const std::string& dir) { ::setenv("VELMORA_MODULE_DIR", dir.c_str(), 1); }
    ~ModuleDirectory() { ::unsetenv("VELMORA_MODULE_DIR"); }
};

int Calls(const CServerModuleList::Entry& entry) {
    return entry.module->Reserved3();
}

// Runs a handler for 0x4C9 so a test can see what a sink sends back.
class ReplyWindow : public MessageWindow {
public:
    explicit ReplyWindow(MessageThread& thread) : MessageWindow(thread, "reply") {}
    MessageWindow* made = nullptr;
    int notices = 0;

protected:
    LRESULT OnMessage(unsigned message, WPARAM wparam, LPARAM lparam) override {
        if (message == sink::kClientSinkMade) made = reinterpret_cast<MessageWindow*>(lparam);
        if (message == sink::kNewMailNotice) {
            ++notices;
            delete reinterpret_cast<std::string*>(wparam);
            delete reinterpret_cast<std::string*>(lparam);
        }
        return 1;
    }
};

}  // namespace

TEST(CServerModuleList, LoadsActiveModulesAndGivesOnlyTheSmtpServerTheSpooler) {
    TestHome home;
    ModuleDirectory modules(BuildDir() + "/tests/modules");
    AddServer(1, 1, "smtp_server.so", "SMTP");  // other letter case: still the SMTP server
    AddServer(2, 0, "", "");                    // inactive: its missing values are never read
    AddServer(3, 1, "FakeServer.so", "Fake");
    AddServer(4, 1, BuildDir() + "/tests/modules/smtp_server.so", "Pathed");  // a path fails the name test
    AddServer(5, 1, "Missing.so", "Missing");                                 // does not load: skipped
    AddServer(6, 1, "NoEntry.so", "NoEntry");                                 // no InitServer: skipped
    int database = 0, spooler = 0, window = 0;
    CServerModuleList list;
    ASSERT_EQ(
        list.LoadServers(reinterpret_cast<MessageWindow*>(&window), reinterpret_cast<CAccountDatabase*>(&database),
                         reinterpret_cast<CMailSpooler*>(&spooler)),
        1);
    ASSERT_EQ(list.GetModules().size(), 3u);
    EXPECT_EQ(list.GetModules()[0].name, "SMTP");
    EXPECT_EQ(Calls(list.GetModules()[0]), 1 | 2 | 4);
    EXPECT_EQ(Calls(list.GetModules()[1]), 1 | 2);
    EXPECT_EQ(Calls(list.GetModules()[2]), 1 | 2);
    EXPECT_EQ(list.GetVoiceServer(), nullptr);
    list.UnloadServers();
    EXPECT_TRUE(list.GetModules().empty());
}

TEST(CServerModuleList, ARegistryErrorInsideAnEntryUnloadsEverything) {
    TestHome home;
    ModuleDirectory modules(BuildDir() + "/tests/modules");
    AddServer(1, 1, "FakeServer.so", "Fake");
    AddServer(2, 1, "FakeServer.so", "");  // Name missing
    CapturingInterface ui;
    CServerModuleList list;
    EXPECT_EQ(list.LoadServers(nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(list.GetModules().empty());
    EXPECT_EQ(ui.shown, std::vector<std::string>{"Marlowin: Error in Reading Registry Key"});

    TestHome empty;  // no Servers key at all
    CServerModuleList none;
    EXPECT_EQ(none.LoadServers(nullptr, nullptr, nullptr), 0);
}

TEST(EventSinks, NoticesClientSinksAndTasks) {
    ModuleDirectory modules(BuildDir() + "/tests/modules");  // no filter plug-in here
    MessageThreadOwner<CEventThread> thread;
    ASSERT_TRUE(thread.Start());
    CServerEventSink* sink = thread->GetServerSink();
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->GetTitle(), "Velmora Server Event Notification Sink");
    EXPECT_EQ(sink->GetFileSink().GetTitle(), "Velmora File Event Notification Sink");
    EXPECT_EQ(sink->GetFilterHandler(), nullptr);

    // Without a registered window the two buffers are freed (the leak check sees it).
    EXPECT_EQ(sink->Send(sink::kNewMailNotice, reinterpret_cast<WPARAM>(new std::string("head")),
                         reinterpret_cast<LPARAM>(new std::string("alice"))),
              1);
    MessageThreadOwner<MessageThread> replies;
    ASSERT_TRUE(replies.Start());
    ReplyWindow reply(*replies);
    EXPECT_EQ(sink->GetFileSink().Send(sink::kRegisterNotice, reinterpret_cast<WPARAM>(&reply), 0), 1);
    sink->Send(sink::kPing);  // the relayed registration has been handled
    EXPECT_EQ(sink->GetNoticeWindow(), &reply);
    sink->Send(sink::kNewMailNotice, reinterpret_cast<WPARAM>(new std::string("head")),
               reinterpret_cast<LPARAM>(new std::string("alice")));
    reply.Send(0x402);  // the posted notice has been handled before this
    EXPECT_EQ(reply.notices, 1);

    // A client sink is made on request, named to the requester, and deleted when done.
    const char* text = "client text";
    EXPECT_EQ(sink->Send(sink::kOpenClientSink, reinterpret_cast<WPARAM>(text), reinterpret_cast<LPARAM>(&reply)), 1);
    EXPECT_EQ(sink->GetFileSink().GetText(), "client text");
    ASSERT_NE(reply.made, nullptr);
    EXPECT_EQ(reply.made->GetTitle(), "Velmora Client Event Notification Sink");
    EXPECT_EQ(reply.made->Send(0x415), 1);
    EXPECT_EQ(reply.made->Send(sink::kItemDone), 1);
    EXPECT_EQ(sink->GetOutstandingItems(), -1);

    struct Task : CSinkTask {
        std::string* log;
        explicit Task(std::string* l) : log(l) {}
        void Process() override { *log += "process;"; }
        void Complete() override { *log += "complete;"; }
        ~Task() override { *log += "deleted"; }
    };
    std::string log;
    EXPECT_EQ(sink->GetFileSink().Send(sink::kFileTask, 0, reinterpret_cast<LPARAM>(new Task(&log))), 1);
    EXPECT_EQ(log, "process;complete;deleted");
    replies.Stop();
}

TEST(EventSinks, HandedInMailIsRoutedWithTheFilterToldFirst) {
    for (bool withFilter : {false, true}) {
        ModuleDirectory modules(BuildDir() + (withFilter ? "/tests/filter-modules" : "/tests/modules"));
        std::promise<int> routed;
        MessageThreadOwner<CEventThread> thread;
        int connection = 0;
        thread->SetConnection(reinterpret_cast<SQLHDBC>(&connection));
        thread->SetRouteHandler([&](std::unique_ptr<MailInfo> info, SQLHDBC) { routed.set_value(info->DotsCount); });
        ASSERT_TRUE(thread.Start());
        EXPECT_EQ(thread->GetServerSink()->GetFilterHandler() != nullptr, withFilter);
        auto* info = new MailInfo;
        info->DotsCount = 7;
        thread->GetServerSink()->GetFileSink().Post(sink::kRouteMail, reinterpret_cast<WPARAM>(info), 0);
        EXPECT_EQ(routed.get_future().get(), withFilter ? 0x403 : 7);
    }
}

TEST(CServerHost, StartsWithTheDatabaseAndStopsItsModules) {
    TestHome home;
    ASSERT_TRUE(home.Provision());
    ModuleDirectory modules(BuildDir() + "/tests/modules");
    // Provisioning names the real SMTP server module; the test's own takes its place.
    AddServer(1, 1, "smtp_server.so", "SMTP");
    CServerHost host;
    host.SetStopTiming(std::chrono::milliseconds(10), std::chrono::milliseconds(2000));
    ASSERT_TRUE(host.StartServerHost());
    ASSERT_EQ(host.GetModules().GetModules().size(), 1u);
    EXPECT_EQ(Calls(host.GetModules().GetModules()[0]), 1 | 2 | 4);
    EXPECT_NE(host.GetDatabase()->GetConnectionHandle(), nullptr);
    EXPECT_TRUE(host.AreServersIdle());
    host.StopServerHost();
    EXPECT_TRUE(host.GetModules().GetModules().empty());
}
