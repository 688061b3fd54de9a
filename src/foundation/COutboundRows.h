// COutboundRows: the statements of the outbound queue's tables:
// OutBoundMails (one row per queued recipient: user, domain, file, sent,
// failure code, date, sender's account) and TrustedOutbound (the files that
// came from a client allowed to relay). The replies kept per row are
// COutboundReplies'.
//
// Texts read back are cut to kMaxText bytes.
#pragma once

#include <sql.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

class COutboundRows {
public:
    static constexpr std::size_t kMaxText = 255;

    // How a listing ended: the step that failed, for the callers that report
    // each one in their own words.
    enum class Step { Done, NoHandle, Prepare, Bind, Execute };
    struct Listing {
        Step step = Step::Done;
        std::string handleError;  // the database's text when step is NoHandle
        std::vector<std::string> values;
        bool Ok() const { return step == Step::Done; }
    };
    using Recipient = std::pair<std::string, std::string>;  // user, domain

    // --- Sending.
    static Listing Domains(SQLHDBC connection);
    static Listing FilesOfDomain(SQLHDBC connection, const std::string& domain);
    static Listing UnsentUsers(SQLHDBC connection, const std::string& domain, const std::string& mailFile);
    static Listing Files(SQLHDBC connection);
    static Step UnsentRecipientsOfFile(SQLHDBC connection, const std::string& mailFile,
                                       std::vector<Recipient>& recipients);
    // Sets Sent and FailureCode on the domain's rows, narrowed to one file
    // and/or one user when given.
    static void Mark(SQLHDBC connection, const std::string& domain, const std::string* mailFile,
                     const std::string* user, bool sent, int failureCode);
    // Marks the recipients of one file sent (FailureCode 1), all of them in
    // one statement (one commit, where each row on its own cost one).
    static void MarkSent(SQLHDBC connection, const std::string& mailFile, const std::vector<Recipient>& recipients);
    static void PurgeSent(SQLHDBC connection);

    // --- Queueing.
    static bool Insert(SQLHDBC connection, const std::string& user, const std::string& domain,
                       const std::string& mailFile, std::time_t queued, long senderAccountId);
    static bool DeleteFile(SQLHDBC connection, const std::string& mailFile);
    static bool RecordTrust(SQLHDBC connection, const std::string& mailFile);
    static bool IsTrusted(SQLHDBC connection, const std::string& mailFile);
    static void ForgetTrust(SQLHDBC connection, const std::string& mailFile);

    // --- Expiry.
    struct Expiring {
        std::string user;
        std::string domain;
        std::string mailFile;
        std::uint32_t failureCode = 0;
    };
    // The unsent rows queued at or before limit (local date and time text),
    // failed with permanentCode, or refused for good by their server.
    static bool ReadExpiring(SQLHDBC connection, const std::string& limit, int permanentCode,
                             std::vector<Expiring>& rows);
    // Marks those same rows sent, so the purge takes them.
    static void RetireExpiring(SQLHDBC connection, const std::string& limit, int permanentCode);
    // The files whose rows are all sent.
    static bool FinishedFiles(SQLHDBC connection, std::vector<std::string>& files);
    // Marks of files whose rows are all gone.
    static void ForgetTrustWithoutRows(SQLHDBC connection);
    // Rows whose file name ends with path; -1 when they cannot be counted.
    static long long RowsNaming(SQLHDBC connection, const std::string& path);

    // --- Administration.
    struct Row {
        std::string destUser;
        std::string domain;
        std::string mailFile;
        bool sent = false;
        std::int32_t failureCode = 0;
        std::string rcptDate;
    };
    static bool ListAll(SQLHDBC connection, std::vector<Row>& rows);
    static bool DeleteRow(SQLHDBC connection, const std::string& user, const std::string& domain,
                          const std::string& mailFile);
    // Rows of the file; -1 when they cannot be counted.
    static long long RowsOfFile(SQLHDBC connection, const std::string& mailFile);

    // --- Reports.
    // Unsent rows per failure code (0: not tried yet).
    static bool CountUnsentByCode(SQLHDBC connection, std::map<std::int32_t, std::uint64_t>& counts);
    struct Refusal {
        std::string user;
        std::string domain;
        std::string reply;  // as stored
    };
    // The first `most` unsent rows that have a reply kept; left counts the rest.
    static bool UnsentWithReplies(SQLHDBC connection, std::size_t most, std::vector<Refusal>& refusals,
                                  std::uint64_t& left);
};
