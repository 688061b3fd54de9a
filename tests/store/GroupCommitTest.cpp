// The group commit's failure handling: a batch of several stores in which
// one entry's rows are refused, or one entry's file cannot be synced, loses
// none of the others and writes none of its rows twice. The rows writer is a
// stand-in that records what it committed, so batches are formed on purpose.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "store/CGroupCommit.h"

namespace {

using namespace std::chrono_literals;

// Commits a statement list unless one of them says REFUSE; the first call
// waits until the test lets it go, so that the others gather behind it.
struct RecordingWriter {
    std::mutex lock;
    std::condition_variable released;
    bool holdFirst = true;
    bool go = false;
    int calls = 0;
    std::vector<std::string> committed;

    bool Write(const std::vector<std::string>& statements) {
        std::unique_lock<std::mutex> guard(lock);
        if (calls++ == 0 && holdFirst) released.wait(guard, [&] { return go; });
        for (const std::string& statement : statements)
            if (statement.find("REFUSE") != std::string::npos) return false;
        committed.insert(committed.end(), statements.begin(), statements.end());
        return true;
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock);
        go = true;
        released.notify_all();
    }
};

bool WaitFor(const std::function<bool()>& condition) {
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class GroupCommitTest : public ::testing::Test {
protected:
    RecordingWriter writer;
    CGroupCommit commit{[this](SQLHDBC, const std::vector<std::string>& rows) { return writer.Write(rows); }};

    // Entry 0 leads alone and is held in its write while the joining ones of
    // entries 1..n-1 gather into the next batch; every entry's outcome.
    std::vector<CGroupCommit::Outcome> RunBatch(std::vector<CGroupCommit::Entry>& entries, std::size_t joining) {
        std::vector<CGroupCommit::Outcome> outcomes(entries.size());
        std::vector<std::thread> threads;
        threads.emplace_back([&] { outcomes[0] = commit.Commit(nullptr, entries[0]); });
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> guard(writer.lock);
            return writer.calls == 1;
        }));
        for (std::size_t i = 1; i < entries.size(); ++i)
            threads.emplace_back([&, i] { outcomes[i] = commit.Commit(nullptr, entries[i]); });
        EXPECT_TRUE(WaitFor([&] { return commit.GetWaitingCount() == joining; }));
        writer.Release();
        for (std::thread& thread : threads) thread.join();
        return outcomes;
    }
};

CGroupCommit::Entry RowsEntry(const std::string& name) {
    CGroupCommit::Entry entry;
    entry.rows = {"INSERT " + name + " listing", "INSERT " + name + " summary"};
    return entry;
}

int Count(const std::vector<std::string>& rows, const std::string& text) {
    int n = 0;
    for (const std::string& row : rows) n += row.find(text) != std::string::npos;
    return n;
}

TEST_F(GroupCommitTest, ARefusedRowFailsOnlyItsOwnEntryAndTheOthersAreCommittedOnce) {
    std::vector<CGroupCommit::Entry> entries;
    for (const char* name : {"m0", "m1", "m2", "m3", "m4"}) entries.push_back(RowsEntry(name));
    entries[2].rows[1] = "INSERT m2 REFUSE";
    const auto outcomes = RunBatch(entries, 4);

    for (std::size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(outcomes[i].result, i == 2 ? CGroupCommit::Result::RowsFailed : CGroupCommit::Result::Durable) << i;
    for (const char* name : {"m0", "m1", "m3", "m4"}) EXPECT_EQ(Count(writer.committed, name), 2) << name;
    EXPECT_EQ(Count(writer.committed, "m2"), 0);
    // The four that came together were one batch, tried whole and then one by one.
    const CGroupCommit::Counts counts = commit.GetCounts();
    EXPECT_EQ(counts.batches, 2u);
    EXPECT_EQ(counts.largest, 4u);
    EXPECT_EQ(writer.calls, 1 + 1 + 4);

    // A lone refused entry fails at once; a lone good one is not held back.
    writer.holdFirst = false;
    CGroupCommit::Entry lone = RowsEntry("REFUSE lone");
    EXPECT_EQ(commit.Commit(nullptr, lone).result, CGroupCommit::Result::RowsFailed);
    CGroupCommit::Entry fine = RowsEntry("fine");
    EXPECT_EQ(commit.Commit(nullptr, fine).result, CGroupCommit::Result::Durable);
    EXPECT_EQ(Count(writer.committed, "fine"), 2);
}

// A record committed with a store (the mail log's row) never costs the
// store: refused, the entry goes again without it. Deferred statements ride
// on the next batch that lists something, and a refused batch drops them.
TEST_F(GroupCommitTest, RefusedOptionalRowsAndDeferredStatementsNeverFailAStore) {
    std::vector<CGroupCommit::Entry> entries;
    for (const char* name : {"m0", "m1", "m2"}) entries.push_back(RowsEntry(name));
    entries[1].optionalRows = {"INSERT m1 log REFUSE"};
    entries[2].optionalRows = {"INSERT m2 log"};
    commit.Defer("DELETE gone");
    commit.DeferListed("DELETE IN ", "'a'");
    commit.DeferListed("DELETE IN ", "'b'");
    const auto outcomes = RunBatch(entries, 2);
    for (const auto& outcome : outcomes) EXPECT_EQ(outcome.result, CGroupCommit::Result::Durable);
    for (const char* name : {"m0 listing", "m1 listing", "m2 listing", "m2 log"})
        EXPECT_EQ(Count(writer.committed, name), 1) << name;
    EXPECT_EQ(Count(writer.committed, "m1 log"), 0);
    // Taken by the first batch, which committed.
    EXPECT_EQ(Count(writer.committed, "DELETE gone"), 1);
    EXPECT_EQ(Count(writer.committed, "DELETE IN ('a','b')"), 1) << "listed values go in one statement";

    writer.holdFirst = false;
    commit.Defer("DELETE REFUSE");
    CGroupCommit::Entry next = RowsEntry("next");
    EXPECT_EQ(commit.Commit(nullptr, next).result, CGroupCommit::Result::Durable);
    CGroupCommit::Entry after = RowsEntry("after");
    const int calls = writer.calls;
    EXPECT_EQ(commit.Commit(nullptr, after).result, CGroupCommit::Result::Durable);
    EXPECT_EQ(writer.calls, calls + 1) << "the refused deferred statement was dropped";
}

TEST_F(GroupCommitTest, AFileOrDirectoryThatCannotBeSyncedKeepsItsRowsOutAndTheBatchGoesOn) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);  // a pipe cannot be synced: EINVAL
    std::vector<CGroupCommit::Entry> entries;
    for (const char* name : {"m0", "m1", "m2", "m3"}) entries.push_back(RowsEntry(name));
    entries[1].fd = pipeEnds[1];
    entries[2].directory = ::testing::TempDir();
    entries[3].directory = ::testing::TempDir() + "/no such directory";
    // The pipe fails before it joins: two gather behind the leader.
    const auto outcomes = RunBatch(entries, 2);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    EXPECT_EQ(outcomes[1].result, CGroupCommit::Result::FileFailed);
    EXPECT_NE(outcomes[1].error, 0);
    EXPECT_EQ(outcomes[3].result, CGroupCommit::Result::FileFailed);
    EXPECT_EQ(outcomes[3].error, ENOENT);
    for (const char* name : {"m1", "m3"}) EXPECT_EQ(Count(writer.committed, name), 0) << name;
    for (std::size_t i : {0u, 2u}) EXPECT_EQ(outcomes[i].result, CGroupCommit::Result::Durable) << i;
    for (const char* name : {"m0", "m2"}) EXPECT_EQ(Count(writer.committed, name), 2) << name;
    EXPECT_EQ(writer.calls, 2);  // the leader's, then the batch's one good entry
}

}  // namespace
