// CSqlMailboxView: one opened folder of the store's own mailbox layer.
//
// The snapshot is the folder's messages in ascending UID order as last read.
// Refresh reads the rows again only when the account's change counter moved
// since (or a while has passed, for changes made by another process) and
// reports the difference, so that changes made by code outside the layer
// are found as well. Every write takes the account's lock
// (CMailboxChanges::Lock), runs its rows as one transaction where the
// connection allows, and bumps the counter. A flag write made while nothing
// else moved the counter since the last read works from the snapshot and
// leaves it current, so neither it nor the next Refresh reads the folder.
//
// Copy and move link the files under new ids into the target first, then
// write the rows (a move also removes the source rows in the same
// transaction), then remove the moved files' old names; on failure the new
// rows and links go again. Expunge removes the rows first, then the files:
// a failure never leaves a row without its file.
#pragma once

#include <sql.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "store/CMailboxRows.h"
#include "store/CMailboxStore.h"

namespace mailbox {

class CSqlMailboxView : public CMailboxView {
public:
    CSqlMailboxView(const CMailboxRows& rows, int folderId, const CMailboxRows::State& state, bool readOnly,
                    std::vector<MessageInfo> messages, std::uint64_t counter);

    int FolderId() const override { return folderId; }
    std::uint32_t UidValidity() const override { return state.uidValidity; }
    std::uint32_t UidNext() const override { return state.uidNext; }
    bool ReadOnly() const override { return readOnly; }
    const std::vector<MessageInfo>& Messages() const override { return messages; }

    Result<Changes> Refresh() override;
    Result<OpenedMessage> Open(std::uint32_t uid) override;
    Result<std::vector<MessageInfo>> SetFlags(const std::vector<std::uint32_t>& uids, FlagMode mode,
                                              std::uint32_t flags,
                                              const std::vector<std::string>& keywords) override;
    Result<CopyResult> Copy(const std::vector<std::uint32_t>& uids, int targetFolder) override;
    Result<CopyResult> Move(const std::vector<std::uint32_t>& uids, int targetFolder) override;
    Result<std::vector<std::uint32_t>> Expunge(const std::vector<std::uint32_t>* uids) override;

private:
    MessageInfo* Find(std::uint32_t uid);
    // The snapshot's messages among uids, ascending, each once.
    std::vector<MessageInfo*> Select(const std::vector<std::uint32_t>& uids);
    Result<CopyResult> Transfer(const std::vector<std::uint32_t>& uids, int targetFolder, bool move);
    // Reads the rows again and reports the difference (under the lock).
    Result<Changes> Reread(std::uint64_t counter);

    CMailboxRows rows;
    int folderId;
    CMailboxRows::State state;
    bool readOnly;
    std::vector<MessageInfo> messages;
    // The folder's name as last read ("" until then): where Open looks.
    std::string folderName;
    std::uint64_t seenCounter;
    std::chrono::steady_clock::time_point lastRead;
};

}  // namespace mailbox
