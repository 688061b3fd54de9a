// CMailSearchWorker: fetching the rows, the body searches and the hand-over.
#include "maillog/CMailSearchWorker.h"

#include "foundation/CMailDatabase.h"
#include "foundation/OdbcStatement.h"
#include "maillog/CMailBodySearch.h"

namespace {

// A bound text column's value: empty for NULL, cut at its buffer.
std::string Column(const char* buffer, SQLLEN indicator) {
    if (indicator == SQL_NULL_DATA || indicator < 0) return {};
    return std::string(buffer);
}

std::vector<MailSearchRecord> Fetch(SQLHDBC connection, const MailSearchJob& job, const std::atomic<bool>& stop) {
    std::vector<MailSearchRecord> records;
    constexpr SQLLEN kBuffer = MailSearchRecord::kTextBytes + 1;
    char from[kBuffer] = {}, to[kBuffer] = {}, subject[kBuffer] = {}, date[kBuffer] = {}, day[kBuffer] = {};
    SQLLEN fromLength = 0, toLength = 0, subjectLength = 0, dateLength = 0, dayLength = 0;
    SQLLEN isLocalLength = 0, sizeLength = 0, offsetLength = 0;
    unsigned char isLocal = 0;
    std::uint32_t size = 0, offset = 0;
    OdbcStatement s(connection);
    if (!s.ExecDirect(job.query) || !s.BindChar(1, from, kBuffer, &fromLength) ||
        !s.BindChar(2, to, kBuffer, &toLength) || !s.BindChar(3, subject, kBuffer, &subjectLength) ||
        !s.BindChar(4, date, kBuffer, &dateLength) || !s.BindBit(5, isLocal, &isLocalLength) ||
        !s.BindULong(6, size, &sizeLength) || !s.BindULong(7, offset, &offsetLength) || !s.BindChar(8, day, kBuffer, &dayLength))
        return records;
    while (!stop.load() && s.Fetch()) {
        MailSearchRecord record;
        record.from = Column(from, fromLength);
        record.to = Column(to, toLength);
        record.subject = Column(subject, subjectLength);
        record.date = Column(date, dateLength);
        record.isLocal = isLocalLength != SQL_NULL_DATA && isLocal != 0;
        record.size = sizeLength == SQL_NULL_DATA ? 0 : size;
        record.offset = offsetLength == SQL_NULL_DATA ? 0 : offset;
        record.day = Column(day, dayLength);
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace

CMailSearchWorker::~CMailSearchWorker() {
    Stop();
    Wait();
}

bool CMailSearchWorker::Start(MailSearchJob job, Done done) {
    if (running.load()) return false;
    Wait();
    stop.store(false);
    running.store(true);
    thread = std::thread([this, job = std::move(job), done = std::move(done)] {
        std::vector<MailSearchRecord> kept = Run(job, stop);
        running.store(false);
        if (done) done(std::move(kept));
    });
    return true;
}

void CMailSearchWorker::Wait() {
    if (thread.joinable()) thread.join();
}

std::vector<MailSearchRecord> CMailSearchWorker::Run(const MailSearchJob& job, const std::atomic<bool>& stop) {
    std::unique_ptr<CMailDatabase> own = job.connect ? job.connect() : nullptr;
    std::vector<MailSearchRecord> records = Fetch(own ? own->GetConnectionHandle() : job.connection, job, stop);
    own.reset();
    if (job.containing.empty()) return records;
    std::vector<MailSearchRecord> kept;
    for (std::size_t i = 0; i < records.size() && !stop.load(); ++i) {
        if (CMailBodySearch::MatchesRecord(job.logRoot, records[i], job.containing, job.allWords))
            kept.push_back(std::move(records[i]));
        if (job.progress) job.progress(i + 1, records.size());
    }
    return kept;
}
