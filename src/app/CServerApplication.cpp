// CServerApplication: headless start-up and shutdown.
#include "app/CServerApplication.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <csignal>
#include <sstream>
#include <ctime>
#include <unistd.h>
#include <utility>
#include <vector>

#include "app/CControlServer.h"
#include "app/CNetwareGateway.h"
#include "app/CServerHost.h"
#include "app/HomeBackup.h"
#include "cycle/COutboundQueueReport.h"
#include "cycle/CScheduler.h"
#include "cycle/CSendReceiveCycle.h"
#include "delivery/CLocalAccount.h"
#include "foundation/CListenerReport.h"
#include "foundation/CListenerSessions.h"
#include "foundation/CMailDatabase.h"
#include "foundation/CModuleLog.h"
#include "foundation/DataSource.h"
#include "foundation/HeadlessUserInterface.h"
#include "foundation/OdbcStatement.h"
#include "foundation/ProcessSettings.h"
#include "foundation/SettingsCatalogue.h"
#include "foundation/SettingsCheck.h"
#include "platform/Home.h"
#include "platform/JsonWriter.h"
#include "platform/RegistryValues.h"
#include "platform/ServiceNotify.h"
#include "platform/SettingsStore.h"
#include "outbound/CFailureNotice.h"
#include "platform/WriterLock.h"
#include "spool/CMailSpoolProcessor.h"
#include "spool/CMailRouter.h"
#include "app/CServerEventSink.h"
#include "app/SinkMessages.h"
#include "maillog/CMailLog.h"
#include "spool/CNetwareImport.h"
#include "spool/MailInfo.h"
#include "foundation/StringFormat.h"
#include "store/CGroupCommit.h"
#include "store/MailStorePaths.h"
#include "platform/DescriptorLimit.h"
#include "store/MissingMessageFiles.h"
#include "store/UnlistedMessageFiles.h"

namespace {

HeadlessUserInterface g_headless;

timespec Now() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

}  // namespace

CServerApplication::CServerApplication() = default;

CServerApplication::~CServerApplication() {
    Stop();
}

void CServerApplication::BlockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client that disconnects must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
}

bool CServerApplication::Start(const std::string& home, std::ostream& err) {
    if (::chdir(home.c_str()) != 0) {
        err << "velmora run: the home " << home << " does not exist; run `velmora setup --home " << home
            << "` (or scripts/run) first\n";
        return false;
    }
    Home::Use(home);
    // One server per home, decided before the spool, the database or a
    // module is touched.
    switch (homeLock.Acquire(home)) {
        case HomeLock::Result::Acquired:
            break;
        case HomeLock::Result::Held:
            err << "velmora run: the home " << home << " is already served by "
                << (homeLock.HolderPid() > 0 ? "process " + std::to_string(homeLock.HolderPid()) : "another process")
                << " (it holds " << homeLock.Path() << "); stop that server first\n";
            return false;
        case HomeLock::Result::Failed:
            err << "velmora run: cannot lock the home: " << homeLock.Error() << "\n";
            return false;
    }
    const timespec startTime = Now();
    startedAt = std::chrono::steady_clock::now();
    // The listeners' session caps follow from the descriptors allowed.
    RaiseDescriptorLimit();
    UserInterface::Install(&g_headless);
    if (registry::ProbeKey(settings::kProductKeyPath) == ERROR_BADDB) {
        err << "velmora run: " << SettingsStore::Instance().LastError() << "\n";
        return Abandon();
    }
    const std::string problem = DataSource::Diagnose(home);
    if (!problem.empty()) {
        err << "velmora run: " << problem << "\n";
        return Abandon();
    }
    // A mistyped setting read only now would otherwise give way to a default.
    const std::string badSetting = settings::CheckStartupSettings();
    if (!badSetting.empty()) {
        err << "velmora run: " << badSetting << "\n";
        return Abandon();
    }
    CMailDatabase::SetLocalAccountFactory(&CLocalAccount::Create);
    CMailDatabase::SetMailStoreMaker(&mailstore::MakeAccountDirectories);

    // The application's own connection. A server that cannot reach its
    // database could only refuse every message, so it does not start.
    environment = std::make_unique<OdbcEnvironment>();
    connection = std::make_unique<OdbcConnection>();
    if (!connection->Allocate(*environment) || !connection->Connect()) {
        const std::string why = connection->LastError();
        err << "velmora run: the mail database cannot be reached"
            << (why.empty() ? std::string() : " (" + why.substr(0, 300) + ")")
            << ": start its server, or correct the data source \"Velmora\" in " << home << "/odbc.ini.\n";
        return Abandon();
    }
    g_moduleLog.Open(settings::kProductKeyPath, settings::kLogModule, false);
    stopped = false;
    // Not fatal: an administrator's data source may have a driver that is
    // safe on its own, but the start says so once.
    const std::string threading = DataSource::ThreadingWarning(home);
    if (!threading.empty()) {
        err << "velmora run: warning: " << threading << "\n";
        g_moduleLog.Write("Warning: " + threading);
    }

    // What an interrupted server left in the mail store goes before anything
    // can store again; its messages are still in the spool.
    if (homeLock.PreviousInterrupted() && connection->Connected())
        mailstore::RemoveUnlistedMessageFiles(connection->Handle(), mailstore::ReadMailDirectory(),
                                              homeLock.PreviousStart(), startTime);
    // Rows whose file a failed store or an interrupted move left behind list
    // messages nobody can read; they are repaired whatever the last run did.
    if (connection->Connected())
        mailstore::RepairRowsWithoutFiles(connection->Handle(), mailstore::ReadMailDirectory());
    // Until the store was looked over, a stop keeps the interruption on record.
    storeSwept = !homeLock.PreviousInterrupted() || connection->Connected();

    // Routing is ready before the modules load: a module may hand in a
    // message (0x403) as soon as it runs. The switches routing reads are
    // loaded first for the same reason.
    ProcessSettings::Current().Load();
    auto mailRouter = std::make_unique<CMailRouter>();
    CMailRouter* routing = mailRouter.get();
    router = std::move(mailRouter);
    host = std::make_unique<CServerHost>();
    CServerHost* serverHost = host.get();
    host->SetRouteHandler([routing, serverHost](std::unique_ptr<MailInfo> info, SQLHDBC handle) {
        routing->RouteMailInfo(std::move(info), handle, serverHost->GetDatabase());
    });
    // The new-mail notice goes to the server event sink, which hands the two
    // buffers on (or frees them).
    routing->SetNewMailNotifier([serverHost](std::string head, std::string user) {
        CServerEventSink* sink = serverHost->GetServerSink();
        auto text = std::make_unique<std::string>(std::move(head));
        auto name = std::make_unique<std::string>(std::move(user));
        if (sink && sink->Post(sink::kNewMailNotice, reinterpret_cast<WPARAM>(text.get()),
                               reinterpret_cast<LPARAM>(name.get()))) {
            text.release();
            name.release();
        }
    }, [serverHost] {
        // The sink frees notices nobody registered for: none is made then.
        CServerEventSink* sink = serverHost->GetServerSink();
        return sink && sink->GetNoticeWindow();
    });
    // A Netware outbox file is sent on where handed-in mail is routed, on
    // the event thread; a file kept for the next scan counts as not taken.
    host->SetImportHandler([](SQLHDBC handle, const std::string& path) {
        return CNetwareImport::ImportNetwareFile(handle, path, std::time(nullptr)) != CNetwareImport::Outcome::Kept;
    });
    const bool serversStarted = host->StartServerHost();

    // Whether the server runs is decided here, before the spool processor
    // starts, so that a server about to end leaves the spool as it found it.
    if (!serversStarted || host->GetModules().GetModules().empty()) {
        g_moduleLog.Write("No server module is running; the server ends");
        err << "velmora run: no server module could be started (see the diagnostic log"
            << (g_moduleLog.FilePath().empty() ? "" : " " + g_moduleLog.FilePath()) << ")\n";
        Stop();
        return false;
    }
    if (!ReportListeners(err)) {
        g_moduleLog.Write("A server module cannot listen; the server ends");
        Stop();
        return false;
    }

    mailLog = std::make_unique<CMailLog>(connection->Handle());
    mailLog->Open();
    CMailLog::Install(mailLog.get());

    spoolProcessor = std::make_unique<CMailSpoolProcessor>();
    spoolProcessor->SetDatabase(host->GetDatabase());
    spoolProcessor->SetRouter(router.get());
    spoolProcessor->SetDatabaseIsServer(OdbcStatement::DialectOf(connection->Handle()).GetBackend() !=
                                        SqlDialect::Backend::SQLite);
    // Each worker routes on a connection of its own: its reads then run
    // beside the others' and its transactions hold no one else's statements.
    spoolProcessor->SetWorkerDatabaseMaker([]() -> std::unique_ptr<CAccountDatabase> {
        auto own = std::make_unique<CMailDatabase>();
        if (!own->Connect()) return nullptr;
        own->SetExclusive();
        return own;
    });
    if (!spoolProcessor->StartProcessing()) g_moduleLog.Write("*** The spool directory SMTPSpooler cannot be watched");

    // The cycle's worker delivers on a connection of its own.
    cycle = std::make_unique<CSendReceiveCycle>([]() -> std::unique_ptr<CMailDatabase> {
        auto own = std::make_unique<CMailDatabase>();
        if (!own->Connect()) return nullptr;
        return own;
    });
    // The scheduler's state and weekly table are read from the home now and
    // again whenever `velmora schedule` rewrites them.
    scheduler = std::make_unique<CScheduler>();
    scheduler->Refresh();
    cycle->AttachScheduler(scheduler.get());
    if (!cycle->Start())
        err << "velmora run: warning: the send and receive cycle cannot run (see the diagnostic log)\n";

    // The gateway hands each outbox file to the file event sink and waits
    // for it, as the modules' own hand-overs do.
    gateway = std::make_unique<CNetwareGateway>([serverHost](const std::string& path) {
        CServerEventSink* sink = serverHost->GetServerSink();
        CMailDatabase* database = serverHost->GetDatabase();
        if (!sink || !database) return;
        sink->GetFileSink().Send(sink::kImportNetware, reinterpret_cast<WPARAM>(database->GetConnectionHandle()),
                                 reinterpret_cast<LPARAM>(path.c_str()));
    });
    gateway->Start();

    homeDir = home;
    control = std::make_unique<CControlServer>();
    std::string why;
    const auto answer = [this](const std::string& request) { return ControlRequest(request); };
    if (!control->Start(home, answer, why)) {
        // The server runs on; only the shell cannot reach it.
        err << "velmora run: warning: " << why << "; send-receive, status and stop cannot reach this server\n";
        g_moduleLog.Write("Warning: " + why);
    }
    // Every listener is bound by now (a failed one ended the start above):
    // a service manager may let what depends on the ports go on.
    ServiceNotify::Ready("Serving " + home);
    return true;
}

std::string CServerApplication::ControlRequest(const std::string& request) {
    if (request == "send-receive") {
        if (!cycle) return "ERR the send and receive cycle is not running in this server";
        const bool running = cycle->IsBusy();
        cycle->PostMessage(CSendReceiveCycle::kCycleRequest);
        return running ? "OK\nA send and receive cycle is running already; the request is dropped (velmora status "
                         "shows its progress)"
                       : "OK\nSend and receive requested; it starts within half a second (velmora status shows it)";
    }
    if (request == "status") return "OK\n" + StatusReport();
    if (request == "status-json") return "OK\n" + StatusJson();
    if (request == "stop-cycle") {
        // The status window's Stop: the running cycle skips what is left.
        if (cycle && cycle->IsBusy()) cycle->RequestStop();
        return "OK\nThe running send and receive cycle, if any, finishes after its current step";
    }
    if (request.rfind(kBackupRequest, 0) == 0) return BackupSnapshot(request.substr(std::strlen(kBackupRequest)));
    if (request == "stop") {
        stopAsked = true;
        // The main thread waits for exactly this signal.
        ::kill(::getpid(), SIGTERM);
        return "OK\nStopping the server, process " + std::to_string(::getpid());
    }
    return "ERR unknown request \"" + request.substr(0, 40) + "\": send-receive, status, stop, status-json, stop-cycle or backup-snapshot DIR";
}

std::string CServerApplication::BackupSnapshot(const std::string& dir) {
    if (dir.empty() || dir[0] != '/') return "ERR the backup directory must be an absolute path";
    timespec taken{};
    bool databaseCopied = false;
    std::string why;
    bool snapshotTaken = false;
    {
        // No message is half routed while the database and the spool are copied.
        std::optional<WriterLock> hold;
        if (spoolProcessor) hold.emplace(spoolProcessor->HoldRouting());
        snapshotTaken = HomeBackup::Snapshot(homeDir, dir, taken, databaseCopied, why);
    }
    if (!snapshotTaken) {
        g_moduleLog.Write("Backup into " + dir + " not taken: " + why);
        return "ERR " + why;
    }
    g_moduleLog.Write("Backup snapshot taken into " + dir);
    return "OK\n" + HomeBackup::MomentText(taken) + (databaseCopied ? " sqlite" : " postgresql");
}

std::string CServerApplication::StatusReport() {
    std::ostringstream text;
    text << "Server: process " << ::getpid() << " on the home " << homeDir << "\n";
    if (cycle) {
        const CCycleStatus::Snapshot s = cycle->Status();
        text << "Send and receive: "
             << (s.busy ? std::string("running") + (s.sendOnly ? " (send only)" : "") +
                              (s.stopRequested ? ", finishing after a stop" : "")
                        : std::string("idle"))
             << "; " << s.cyclesCompleted << " completed since start\n";
        if (!s.step.empty()) text << "Step: " << s.step << "\n";
        if (!s.mainText.empty()) text << "Status: " << s.mainText << "\n";
        if (!s.progressText.empty()) text << "Progress: " << s.progressText << "\n";
        // The queue is read on a connection of the request's own.
        CMailDatabase db;
        if (db.Connect())
            text << COutboundQueueReport::Describe(
                COutboundQueueReport::Count(db.GetConnectionHandle(), CMailRouter::kOutboxDirectory));
        else
            text << "Queue: the database cannot be reached\n";
        text << "Status lines (newest first):" << (s.lines.empty() ? " none yet" : "") << "\n";
        for (const std::string& line : s.lines) text << "  " << line << "\n";
    }
    return text.str();
}

std::string CServerApplication::StatusJson() {
    JsonWriter json;
    json.BeginObject().Key("running").Bool(true).Key("pid").Number(::getpid()).Key("home").String(homeDir);
    const auto uptime = std::chrono::steady_clock::now() - startedAt;
    json.Key("uptimeSeconds").Number(std::chrono::duration_cast<std::chrono::seconds>(uptime).count());

    std::string lastError;
    json.Key("cycle");
    if (cycle) {
        const CCycleStatus::Snapshot s = cycle->Status();
        lastError = s.lastDeliveryError;
        json.BeginObject()
            .Key("busy").Bool(s.busy)
            .Key("sendOnly").Bool(s.sendOnly)
            .Key("stopRequested").Bool(s.stopRequested)
            .Key("shown").Bool(s.shown)
            .Key("cyclesCompleted").Unsigned(s.cyclesCompleted)
            .Key("step").String(s.step)
            .Key("mainText").String(s.mainText)
            .Key("progress").Number(s.progress)
            .Key("progressText").String(s.progressText)
            .Key("lines").BeginArray();
        for (const std::string& line : s.lines) json.String(line);
        json.EndArray().EndObject();
    } else {
        json.Null();
    }

    // Read on a connection of the request's own, as for the text status.
    json.Key("queue");
    CMailDatabase db;
    if (db.Connect()) {
        const COutboundQueueReport::Counts counts =
            COutboundQueueReport::Count(db.GetConnectionHandle(), CMailRouter::kOutboxDirectory);
        json.BeginObject().Key("rowsRead").Bool(counts.rowsRead);
        std::uint64_t failing = 0;
        for (const auto& [code, rows] : counts.failing) failing += rows;
        json.Key("waiting").Unsigned(counts.untried + failing).Key("untried").Unsigned(counts.untried);
        json.Key("failing").Unsigned(failing).Key("failingByCode").BeginArray();
        for (const auto& [code, rows] : counts.failing)
            json.BeginObject()
                .Key("code").Number(code)
                .Key("reason").String(CFailureNotice::ReasonText(static_cast<std::uint32_t>(code)))
                .Key("recipients").Unsigned(rows)
                .EndObject();
        json.EndArray().Key("filesRead").Bool(counts.filesRead).Key("outboxFiles").Unsigned(counts.outboxFiles);
        json.EndObject();
    } else {
        json.Null();
    }

    // Every listener that serves, with its sessions now.
    const std::map<std::string, std::uint64_t> sessions = g_listenerSessions.Counts();
    std::vector<std::string> listeners;
    for (const CListenerReport::Entry& entry : g_listenerReport.Entries())
        if (entry.listening && !entry.warning &&
            std::find(listeners.begin(), listeners.end(), entry.module) == listeners.end())
            listeners.push_back(entry.module);
    json.Key("sessions").BeginObject();
    for (const std::string& listener : listeners) {
        const auto it = sessions.find(listener);
        json.Key(listener).Unsigned(it == sessions.end() ? 0 : it->second);
    }
    json.EndObject();

    json.Key("lastDeliveryError");
    if (lastError.empty())
        json.Null();
    else
        json.String(lastError);
    json.EndObject();
    return json.Text();
}

bool CServerApplication::ReportListeners(std::ostream& err) {
    // Per module, in the order reported: "SMTP listening on A and B".
    std::vector<std::pair<std::string, std::vector<std::string>>> listening;
    bool failed = false;
    for (const CListenerReport::Entry& entry : g_listenerReport.Entries()) {
        if (entry.warning) {
            err << "velmora: " << entry.module << " " << entry.text << "\n";
            continue;
        }
        if (!entry.listening) {
            err << "velmora run: " << entry.module << " " << entry.text << "\n";
            failed = true;
            continue;
        }
        auto it = std::find_if(listening.begin(), listening.end(),
                               [&](const auto& item) { return item.first == entry.module; });
        if (it == listening.end()) it = listening.insert(listening.end(), {entry.module, {}});
        it->second.push_back(entry.text);
    }
    if (failed) return false;
    for (const auto& [module, endpoints] : listening) {
        std::string line = "velmora: " + module + " listening on ";
        for (std::size_t i = 0; i < endpoints.size(); ++i)
            line += (i == 0 ? "" : i + 1 == endpoints.size() ? " and " : ", ") + endpoints[i];
        err << line << "\n";
    }
    return true;
}

bool CServerApplication::Abandon() {
    UserInterface::Install(nullptr);
    homeLock.Release(false);
    return false;
}

void CServerApplication::WaitForStop() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int signal = 0;
    // Under a watchdog this loop wakes to say the server lives; the manager
    // restarts a server whose main loop stopped answering.
    const std::chrono::milliseconds beat = ServiceNotify::HeartbeatInterval();
    if (beat.count() == 0) {
        sigwait(&set, &signal);
    } else {
        const timespec wait{static_cast<time_t>(beat.count() / 1000), static_cast<long>(beat.count() % 1000) * 1000000L};
        ServiceNotify::Heartbeat();
        while ((signal = sigtimedwait(&set, nullptr, &wait)) < 0)
            if (errno == EAGAIN) ServiceNotify::Heartbeat();
    }
    g_moduleLog.Write(signal == SIGINT ? "Interrupted; shutting down"
                      : stopAsked      ? "Stop requested through the control socket; shutting down"
                                       : "Terminated; shutting down");
}

void CServerApplication::Stop() {
    if (stopped) return;
    stopped = true;
    ServiceNotify::Stopping();
    if (control) control->Close();
    // Its scans use the server host's sinks and database.
    gateway.reset();
    // A running cycle skips what is left and ends before what it uses goes.
    cycle.reset();
    scheduler.reset();
    if (spoolProcessor) spoolProcessor->StopProcessing();
    // How well the stores shared their durable points, for whoever tunes the workers.
    if (const CGroupCommit::Counts counts = CGroupCommit::Instance().GetCounts(); counts.entries > 0)
        g_moduleLog.Write(StringPrintf("Stored %llu messages in %llu group commits (at most %zu together)",
                                       static_cast<unsigned long long>(counts.entries),
                                       static_cast<unsigned long long>(counts.batches), counts.largest));
    if (host) host->StopServerHost();
    spoolProcessor.reset();
    host.reset();
    router.reset();
    CMailLog::Install(nullptr);
    mailLog.reset();
    connection.reset();
    environment.reset();
    g_moduleLog.Close();
    UserInterface::Install(nullptr);
    // Its going tells `velmora stop` that the server is done.
    if (control) control->RemoveSocket();
    control.reset();
    homeLock.Release(storeSwept);
}
