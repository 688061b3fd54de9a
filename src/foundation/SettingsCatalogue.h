// SettingsCatalogue: every setting the system reads or writes, in one place.
//
// All keys are below HKEY_LOCAL_MACHINE\SOFTWARE\Fenwarde\Velmora. For each
// value: its type, the default a reader uses when it cannot be read, the value
// `velmora setup` provisions in a new home (when it provisions one), its
// meaning, whether it is read only when the server starts, and the range of
// a number its readers accept. Every value is read and written through
// settings::Dword / settings::Text (SettingValue.h); readers that take
// SettingValue::ValueOrZero read a value missing from an existing key as 0,
// not as the default below (the default applies when the key cannot be opened).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace settings {

constexpr const char* kCompany = "Fenwarde";
constexpr const char* kProduct = "Velmora";
constexpr const char* kProductKeyPath = "SOFTWARE\\Fenwarde\\Velmora";
constexpr const char* kMessageBoxTitle = "Marlowin";

// Sub-keys of the product key.
constexpr const char* kPreferences = "Preferences";
constexpr const char* kPorts = "Ports";
constexpr const char* kStorage = "Storage";
constexpr const char* kLog = "Log";
constexpr const char* kMailMonitor = "MailMonitor";
constexpr const char* kDns = "DNS";
constexpr const char* kServers = "Servers";
constexpr const char* kLogModule = "Corvane";  // the diagnostic log's own sub-key
constexpr const char* kTls = "TLS";
constexpr const char* kFilter = "Filter";
// The self-signed pair setup makes, below the home.
constexpr const char* kProvisionedCertificate = "tls/certificate.pem";
constexpr const char* kProvisionedKey = "tls/private-key.pem";

// Full paths for the readers that open a key directly.
constexpr const char* kPreferencesKeyPath = "SOFTWARE\\Fenwarde\\Velmora\\Preferences";
constexpr const char* kPortsKeyPath = "SOFTWARE\\Fenwarde\\Velmora\\Ports";
constexpr const char* kStorageKeyPath = "SOFTWARE\\Fenwarde\\Velmora\\Storage";
constexpr const char* kLogKeyPath = "SOFTWARE\\Fenwarde\\Velmora\\Log";
constexpr const char* kMailMonitorKeyPath = "SOFTWARE\\Fenwarde\\Velmora\\MailMonitor";
constexpr const char* kDnsKeyPath = "SOFTWARE\\Fenwarde\\Velmora\\DNS";
constexpr const char* kServersKeyPath = "SOFTWARE\\Fenwarde\\Velmora\\Servers";
constexpr const char* kTlsKeyPath = "SOFTWARE\\Fenwarde\\Velmora\\TLS";
constexpr const char* kFilterKeyPath = "SOFTWARE\\Fenwarde\\Velmora\\Filter";

// The name server MX resolution asks when neither the DNS key nor the
// system's resolver configuration names one.
constexpr const char* kDefaultDnsServer = "8.8.8.8";
// The system's resolver configuration, read for its "nameserver" lines.
constexpr const char* kResolvConfPath = "/etc/resolv.conf";

enum class Type { Dword, String };

// What setup writes for a value: nothing, a fixed value, or a path below the home.
enum class Provision { None, Fixed, HomePath };

// A string value that must be one literal IPv4 or IPv6 address (or empty),
// or one name server: a literal address, optionally with a port
// ("192.0.2.1:5353", "[2001:db8::1]:5353"); or a full domain name (or empty).
enum class Form { Text, IpAddress, NameServer, DomainName };

struct Setting {
    const char* key;   // sub-key of the product key
    const char* name;  // value name
    Type type;
    bool hasDefault;  // false: the readers have no default of their own
    std::uint32_t dwordDefault;
    const char* stringDefault;
    Provision provision;
    std::uint32_t dwordProvisioned;
    const char* stringProvisioned;  // for HomePath: the path below the home ("" = the home)
    const char* meaning;
    // Read once when the server starts: a change reaches a running server
    // only when it is started again.
    bool readAtStart = false;
    // The dword values its readers accept; the shell refuses others.
    std::uint32_t minimum = 0;
    std::uint32_t maximum = 0xFFFFFFFFu;
    // What a string value must hold beyond being text.
    Form form = Form::Text;
};

// The days within which an account's automatic reply answers one sender
// once.
constexpr std::uint32_t kAutoReplyIntervalDefault = 1;
constexpr std::uint32_t kAutoReplyIntervalMax = 3650;

// Days the diagnostic log files are kept (compressed after their day).
constexpr std::uint32_t kLogRetentionDaysDefault = 30;
constexpr std::uint32_t kLogRetentionDaysMax = 3650;

constexpr bool kAtStart = true;
constexpr bool kPerOperation = false;
constexpr std::uint32_t kMaxPort = 65535;

// clang-format off
inline constexpr Setting kCatalogue[] = {
    // --- Preferences: switches read once at start, and per-operation values.
    {kPreferences, "RouteAllMailsToPostmaster", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "non-zero: the postmaster gets a copy of every message that has a remote recipient", kAtStart},
    {kPreferences, "AccessControl", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "non-zero: per-account send/receive rights of table AccessControl are enforced", kAtStart},
    {kPreferences, "CleanUpAfterDelete", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "non-zero: committed deletions also remove the message files", kAtStart},
    {kPreferences, "ChangeToAddress", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "address-rewriting switch of forwarding", kAtStart},
    {kPreferences, "SendReceiveOnStartup", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "non-zero: one send and receive cycle runs right after start-up", kAtStart},
    {kPreferences, "ChangeFromAddress", Type::Dword, true, 1, "", Provision::Fixed, 1, "",
     "sender-rewriting switch of the outbound queue", kAtStart},
    {kPreferences, "StoreMailLog", Type::Dword, true, 1, "", Provision::Fixed, 1, "",
     "non-zero: sent and received mail is written to the mail logs", kAtStart},
    {kPreferences, "SendOnMailCount", Type::Dword, true, 0, "", Provision::Fixed, 1, "",
     "non-zero: a send-only cycle starts once this many remote recipients were queued", kAtStart},
    {kPreferences, "AllMailLogMailBox", Type::String, true, 0, "", Provision::None, 0, "",
     "not empty: a directory into which every spooled message is copied", kAtStart},
    {kPreferences, "ReceiveThreadCount", Type::Dword, true, 10, "", Provision::Fixed, 10, "",
     "most mapped-account downloads running at once", kAtStart, 1, 0xFFFFFFFFu},
    {kPreferences, "SpoolThreadCount", Type::Dword, false, 0, "", Provision::None, 0, "",
     "spool files routed at once (absent: four per processor, 8 to 32)",
     kAtStart, 1, 64},
    {kPreferences, "AutoReplyInterval", Type::Dword, true, kAutoReplyIntervalDefault, "", Provision::None, 0, "",
     "days within which an account's automatic reply answers one sender once (RFC 3834)", kPerOperation, 1,
     kAutoReplyIntervalMax},
    {kPreferences, "LogRetentionDays", Type::Dword, true, kLogRetentionDaysDefault, "", Provision::None, 0, "",
     "days the diagnostic log files are kept; each is compressed (.gz) once its day is over", kAtStart, 1,
     kLogRetentionDaysMax},
    {kPreferences, "SpoolScanInterval", Type::Dword, true, 10000, "", Provision::None, 0, "",
     "milliseconds between listings of the spool directory, which retry the files not routed before (50-600000)",
     kAtStart, 50, 600000},
    {kPreferences, "DialHangUpPause", Type::Dword, true, 3000, "", Provision::None, 0, "",
     "milliseconds a dial-up link is left alone after its hang-up before it is dialed again (0-60000)",
     kPerOperation, 0, 60000},
    {kPreferences, "SendReceiveTick", Type::Dword, true, 500, "", Provision::None, 0, "",
     "milliseconds between the send and receive cycle's looks at its triggers: a requested cycle, the mail count, "
     "the schedule's timer, a redial (10-10000)",
     kAtStart, 10, 10000},
    {kPreferences, "ErrorMailDayCount", Type::Dword, false, 0, "", Provision::Fixed, 5, "",
     "days after which undeliverable queued mail expires"},
    {kPreferences, "SendBufferSize", Type::Dword, true, 5120, "", Provision::Fixed, 5120, "",
     "block size in bytes of every message transfer"},
    {kPreferences, "ReceiveBufferSize", Type::Dword, true, 5120, "", Provision::Fixed, 5120, "",
     "bytes per receive while retrieving mail (missing in an existing key reads 0)"},
    {kPreferences, "MaxMails", Type::Dword, false, 0, "", Provision::Fixed, 100, "",
     "message limit of one remote server account download"},
    {kPreferences, "MailSizeLimit", Type::Dword, false, 0, "", Provision::Fixed, 10240, "",
     "default receive size limit (KB) offered when an account is created"},
    {kPreferences, "IPBlocking", Type::Dword, false, 0, "", Provision::Fixed, 0, "",
     "1: only the address ranges of table RelayAllowed may relay; 0: private networks may"},
    {kPreferences, "AllowTaskQueries", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "DANGEROUS: 1 lets mail to 'procmgr' run the SQL of its task-query parts; keep 0"},
    {kPreferences, "RequireTLSForLogin", Type::Dword, true, 0, "", Provision::Fixed, 1, "",
     "1: the POP3 server refuses USER/PASS before STLS from outside the loopback and private networks",
     kAtStart, 0, 1},
    {kPreferences, "MailDomain", Type::String, true, 0, "", Provision::None, 0, "",
     "the home's own mail domain (setup --domain writes it): the postmaster's address postmaster@<it> and the "
     "name the server greets other servers with when the machine has no full name; empty: postmaster@127.0.0.1",
     kPerOperation, 0, 0xFFFFFFFFu, Form::DomainName},
    {kPreferences, "POP3 Require TLS", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "1: remote mailboxes are logged into only over TLS (port 995, or STLS when offered; the certificate "
     "is then checked against the trusted authorities); 0: STLS when offered, else plain",
     kPerOperation, 0, 1},

    // --- Ports: read at start by the server modules, and by outbound delivery.
    {kPorts, "SMTP Port", Type::Dword, true, 25, "", Provision::Fixed, 25, "",
     "port of the local SMTP server module", kAtStart, 1, kMaxPort},
    {kPorts, "SMTP Listen Address", Type::String, true, 0, "", Provision::None, 0, "",
     "address the SMTP server module listens on: empty for every IPv4 and IPv6 address, else one literal address",
     kAtStart, 0, 0xFFFFFFFFu, Form::IpAddress},
    {kPorts, "SMTP Max Sessions", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "most SMTP sessions the server module serves at once (0: as many as the file-descriptor limit allows, "
     "at most 4096; 1-4096: no more than that); more are refused with 421",
     kAtStart, 0, 4096},
    {kPorts, "SMTP Max Message Size", Type::Dword, true, 52428800, "", Provision::Fixed, 52428800, "",
     "largest message in bytes the SMTP server module accepts (advertised as SIZE); larger get 552",
     kPerOperation, 1, 0xFFFFFFFFu},
    {kPorts, "SMTP Timeout", Type::Dword, true, 300, "", Provision::Fixed, 300, "",
     "seconds the SMTP server module gives a client for a whole command line before it answers 421 and closes "
     "(1-3600); a message's data blocks get 3/5 of it each, the whole data twice it",
     kPerOperation, 1, 3600},
    {kPorts, "SMTP Crowded Timeout", Type::Dword, true, 10, "", Provision::None, 0, "",
     "seconds the SMTP server module waits for a command from a client that has not sent MAIL while more than "
     "3/4 of its sessions are in use (1-300)",
     kPerOperation, 1, 300},
    {kPorts, "SMTP Sessions Per Client", Type::Dword, true, 10, "", Provision::Fixed, 10, "",
     "most SMTP sessions one client address (an IPv6 /64) holds at once; more are refused with 421; loopback is "
     "exempt",
     kPerOperation, 1, 1000},
    {kPorts, "Submission Port", Type::Dword, true, 0, "", Provision::Fixed, 587, "",
     "port of the SMTP server module's submission service (RFC 6409: AUTH before MAIL, STARTTLS offered); 0: none",
     kAtStart, 0, kMaxPort},
    {kPorts, "SMTPS Port", Type::Dword, true, 0, "", Provision::Fixed, 465, "",
     "port of the SMTP server module's implicit-TLS submission service (RFC 8314); 0: none", kAtStart, 0, kMaxPort},
    {kPorts, "POP3 Port", Type::Dword, true, 110, "", Provision::Fixed, 110, "",
     "port of the POP3 server module", kAtStart, 1, kMaxPort},
    {kPorts, "POP3 Max Sessions", Type::Dword, true, 50, "", Provision::Fixed, 50, "",
     "most POP3 sessions the server module serves at once (1-1000); more are refused with -ERR [SYS/TEMP]",
     kAtStart, 1, 1000},
    {kPorts, "POP3 Timeout", Type::Dword, true, 600, "", Provision::Fixed, 600, "",
     "seconds the POP3 server module waits for a whole command line before it closes the session (1-3600); "
     "RFC 1939 asks for at least 600",
     kAtStart, 1, 3600},
    {kPorts, "POP3 Listen Address", Type::String, true, 0, "", Provision::None, 0, "",
     "address the POP3 server module listens on (both its ports): empty for every IPv4 and IPv6 address, else one "
     "literal address",
     kAtStart, 0, 0xFFFFFFFFu, Form::IpAddress},
    {kPorts, "POP3 Sessions Per Client", Type::Dword, true, 10, "", Provision::Fixed, 10, "",
     "most POP3 sessions one client address (an IPv6 /64) holds at once over both ports; more are refused with "
     "-ERR [SYS/TEMP]; loopback is exempt",
     kAtStart, 1, 1000},
    {kPorts, "POP3 Login Timeout", Type::Dword, true, 30, "", Provision::Fixed, 30, "",
     "seconds a POP3 client has from connecting to a completed login (TLS handshake included) before it is "
     "closed (1-3600); it also gets at most 20 commands before login",
     kAtStart, 1, 3600},
    {kPorts, "POP3S Port", Type::Dword, true, 0, "", Provision::Fixed, 995, "",
     "implicit-TLS port of the POP3 server module (RFC 8314); 0: none", kAtStart, 0, kMaxPort},
    {kPorts, "WebServer Port", Type::Dword, false, 0, "", Provision::Fixed, 80, "",
     "port of the web server module", kAtStart, 1, kMaxPort},
    {kPorts, "RemoteGateway Server", Type::String, true, 0, "", Provision::None, 0, "",
     "host name or address of the relay host (at most 255 characters)"},
    {kPorts, "RemotePort", Type::Dword, false, 0, "", Provision::Fixed, 25, "",
     "port of the relay host", kPerOperation, 1, kMaxPort},
    {kPorts, "Gateway TLS", Type::Dword, true, 0, "", Provision::Fixed, 1, "",
     "TLS to the relay host: 0 none, 1 STARTTLS when offered, 2 STARTTLS required, 3 implicit TLS; 2 and 3 "
     "check the certificate and name against the trusted authorities",
     kPerOperation, 0, 3},
    {kPorts, "MX Port", Type::Dword, true, 25, "", Provision::None, 0, "",
     "port of the mail exchangers direct delivery connects to (a domain's own \":port\" wins)", kPerOperation, 1,
     kMaxPort},
    // The SMTP client's waits (RFC 5321 4.5.3.2), for every session it opens.
    {kPorts, "SMTP Client Greeting Timeout", Type::Dword, true, 300, "", Provision::None, 0, "",
     "seconds the SMTP client waits for a server's greeting (1-3600)", kPerOperation, 1, 3600},
    {kPorts, "SMTP Client MAIL Timeout", Type::Dword, true, 300, "", Provision::None, 0, "",
     "seconds the SMTP client waits for the reply to MAIL, and to every command without a time-out of its own "
     "(1-3600)", kPerOperation, 1, 3600},
    {kPorts, "SMTP Client RCPT Timeout", Type::Dword, true, 300, "", Provision::None, 0, "",
     "seconds the SMTP client waits for the reply to RCPT (1-3600)", kPerOperation, 1, 3600},
    {kPorts, "SMTP Client DATA Timeout", Type::Dword, true, 120, "", Provision::None, 0, "",
     "seconds the SMTP client waits for the reply to DATA (1-3600)", kPerOperation, 1, 3600},
    {kPorts, "SMTP Client Block Timeout", Type::Dword, true, 180, "", Provision::None, 0, "",
     "seconds the SMTP client waits to send each block of a message (1-3600)", kPerOperation, 1, 3600},
    {kPorts, "SMTP Client End Timeout", Type::Dword, true, 600, "", Provision::None, 0, "",
     "seconds the SMTP client waits for the reply to a message's end of data (1-3600); a session that times out "
     "is closed, and the domain's other messages wait for the next pass", kPerOperation, 1, 3600},
    {kPorts, "Use Smart SMTP", Type::Dword, true, 0, "", Provision::Fixed, 1, "",
     "1: deliver straight to each domain's mail exchanger; 0: use the relay host"},
    {kPorts, "UseAuthenticated", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "1: use the relay host with SMTP authentication"},
    {kPorts, "SMTPUser", Type::String, true, 0, "", Provision::None, 0, "",
     "user name for SMTP authentication at the relay host"},
    {kPorts, "SMTPPassword", Type::String, true, 0, "", Provision::None, 0, "",
     "password for SMTP authentication at the relay host, stored as typed"},

    // --- TLS: the certificate the listeners present.
    {kTls, "Certificate File", Type::String, true, 0, "", Provision::None, 0, "",
     "PEM certificate (chain) of the SMTP and POP3 listeners; empty: no TLS. Setup makes a self-signed one when "
     "none is set", kAtStart},
    {kTls, "Key File", Type::String, true, 0, "", Provision::None, 0, "",
     "PEM private key of that certificate (keep it mode 0600)", kAtStart},
    {kTls, "CA File", Type::String, true, 0, "", Provision::None, 0, "",
     "PEM certificates of authorities trusted beside the system's own when the relay host's or a remote "
     "mailbox's certificate is checked (a private authority); empty: the system's only"},

    // --- Filter: the virus and spam filters asked before mail from outside is accepted (read per message).
    {kFilter, "Rspamd URL", Type::String, true, 0, "", Provision::None, 0, "",
     "rspamd's worker as http://host[:port] (port 11333 when none); empty: mail is not filtered"},
    {kFilter, "Rspamd Timeout", Type::Dword, true, 10, "", Provision::None, 0, "",
     "seconds rspamd has to read a message and answer (1-600)", kPerOperation, 1, 600},
    {kFilter, "Rspamd Fail", Type::Dword, true, 0, "", Provision::None, 0, "",
     "when rspamd cannot answer: 0 accept the message (one log line), 1 defer it with 451 4.7.1", kPerOperation, 0,
     1},
    {kFilter, "Rspamd Max Size", Type::Dword, true, 20971520, "", Provision::None, 0, "",
     "largest message in bytes rspamd is asked about; larger ones pass unchecked (one log line)", kPerOperation, 1,
     0x7FFF0000u},
    {kFilter, "Filter Relay Clients", Type::Dword, true, 0, "", Provision::None, 0, "",
     "1: mail from clients that may relay (authenticated, the relay ranges, the machine itself) is filtered too; "
     "0: only mail from outside",
     kPerOperation, 0, 1},
    {kFilter, "ClamAV Address", Type::String, true, 0, "", Provision::None, 0, "",
     "clamd's local socket (/run/clamav/clamd.ctl) or host:port, asked before rspamd; empty: no virus check"},
    {kFilter, "ClamAV Timeout", Type::Dword, true, 30, "", Provision::None, 0, "",
     "seconds clamd has to scan a message and answer (1-600)", kPerOperation, 1, 600},
    {kFilter, "ClamAV Fail", Type::Dword, true, 0, "", Provision::None, 0, "",
     "when clamd cannot answer: 0 accept the message (one log line), 1 defer it with 451 4.7.1", kPerOperation, 0,
     1},
    {kFilter, "ClamAV Max Size", Type::Dword, true, 20971520, "", Provision::None, 0, "",
     "largest message in bytes clamd is asked about; larger ones pass unchecked (one log line)", kPerOperation, 1,
     0x7FFF0000u},

    // --- Storage.
    {kStorage, "Mail Directory", Type::String, false, 0, "", Provision::HomePath, 0, "mail",
     "root directory of the mail store (at most 260 bytes)"},
    {kStorage, "Netware Hour", Type::Dword, false, 0, "", Provision::Fixed, 0, "",
     "hour of the daily Netware exchange"},
    {kStorage, "Netware Minutes", Type::Dword, false, 0, "", Provision::Fixed, 0, "",
     "minute of the daily Netware exchange"},
    {kStorage, "At", Type::Dword, false, 0, "", Provision::Fixed, 0, "",
     "1: Netware exchange at the given time; 0: every EveryMinutes minutes"},
    {kStorage, "EveryMinutes", Type::Dword, false, 0, "", Provision::Fixed, 0, "",
     "interval of the Netware exchange in minutes"},
    {kStorage, "Netware Outbox Directory", Type::String, false, 0, "", Provision::None, 0, "",
     "directory where the Netware mail client leaves outbound mail"},

    // --- Log: the daily mail logs.
    {kLog, "Log Directory", Type::String, true, 0, "", Provision::HomePath, 0, "maillog",
     "directory of the daily mail logs (empty: the home)"},
    {kLog, "Maintain Log", Type::Dword, true, 9, "", Provision::Fixed, 9, "",
     "days that mail log entries are kept"},

    // --- MailMonitor.
    {kMailMonitor, "AllowMailMonitor", Type::Dword, true, 0, "", Provision::Fixed, 0, "",
     "non-zero: monitoring copies of mail are made"},

    // --- Corvane: the diagnostic log.
    {kLogModule, "LogDir", Type::String, true, 0, "", Provision::HomePath, 0, "logs",
     "directory of the diagnostic log files (empty: the home)", kAtStart},
    {kLogModule, "LoggingLevel", Type::Dword, true, 0, "", Provision::Fixed, 1, "",
     "1: diagnostic log on; any other value: off", kAtStart},
    {kLogModule, "VerboseLogging", Type::Dword, true, 0, "", Provision::None, 0, "",
     "1: the diagnostic log (when on) also keeps the detail lines, several per message; 0: one line per step",
     kAtStart},
};
// clang-format on

// DNS: values "#1", "#2", ... each a name server address ("addr" or "addr:port");
// none set: the "nameserver" lines of the system's resolver configuration.
// Servers\#N: Active (DWORD), DLLLocation (string), Name (string) per server module.
constexpr const char* kServerActive = "Active";
constexpr const char* kServerLocation = "DLLLocation";
constexpr const char* kServerName = "Name";
constexpr const char* kSmtpServerModule = "SMTP_Server.so";
constexpr const char* kPop3ServerModule = "POP3_Server.so";

// Read-only key answered from the system: HostName, Domain.
constexpr const char* kHostNameValue = "HostName";
constexpr const char* kDomainValue = "Domain";
// Preferences\MailDomain: the home's own mail domain (COwnNames).
constexpr const char* kMailDomainValue = "MailDomain";

// What the catalogue says about one value, for the shell's checks.
struct KnownSetting {
    Type type;
    bool readAtStart;
    std::uint32_t minimum;
    std::uint32_t maximum;
    Form form;
};

// The entry for a value of a key below the product key ("Ports", "SMTP Port";
// "DNS", "#2"; "Servers\#1", "Active"), names compared without regard to
// case; nullopt for a value the catalogue does not list.
std::optional<KnownSetting> FindSetting(const std::string& key, const std::string& name);

}  // namespace settings
