// FakeMailboxStore: the in-memory mailbox layer (see the header).
#include "FakeMailboxStore.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "foundation/CMailContent.h"

using namespace mailbox;

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void Apply(MessageInfo& info, FlagMode mode, std::uint32_t flags, const std::vector<std::string>& keywords) {
    if (mode == FlagMode::Replace) {
        info.flags = flags;
        info.keywords = keywords;
        return;
    }
    if (mode == FlagMode::Add) {
        info.flags |= flags;
        for (const auto& k : keywords)
            if (std::find(info.keywords.begin(), info.keywords.end(), k) == info.keywords.end())
                info.keywords.push_back(k);
    } else {
        info.flags &= ~flags;
        for (const auto& k : keywords) info.keywords.erase(std::remove(info.keywords.begin(), info.keywords.end(), k),
                                                           info.keywords.end());
    }
}

class FakeView : public CMailboxView {
public:
    FakeView(std::shared_ptr<FakeMailbox> box, int folder, bool readOnly) : box(box), folder(folder), readOnly(readOnly) {
        std::lock_guard<std::mutex> guard(box->lock);
        const auto& f = box->folders.at(folder);
        for (const auto& m : f.messages) snapshot.push_back(m.info);
        validity = f.info.uidValidity;
    }
    int FolderId() const override { return folder; }
    std::uint32_t UidValidity() const override { return validity; }
    std::uint32_t UidNext() const override {
        std::lock_guard<std::mutex> guard(box->lock);
        return box->folders.at(folder).info.uidNext;
    }
    bool ReadOnly() const override { return readOnly; }
    const std::vector<MessageInfo>& Messages() const override { return snapshot; }

    Result<Changes> Refresh() override {
        std::lock_guard<std::mutex> guard(box->lock);
        Changes changes;
        const auto& current = box->folders.at(folder).messages;
        std::vector<MessageInfo> next;
        for (const auto& old : snapshot) {
            const auto it = std::find_if(current.begin(), current.end(),
                                         [&](const FakeMailbox::Message& m) { return m.info.uid == old.uid; });
            if (it == current.end()) {
                changes.expunged.push_back(old.uid);
                continue;
            }
            if (it->info.flags != old.flags || it->info.keywords != old.keywords) changes.flagsChanged.push_back(it->info);
            next.push_back(it->info);
        }
        const std::uint32_t last = snapshot.empty() ? 0 : snapshot.back().uid;
        for (const auto& m : current)
            if (m.info.uid > last) {
                changes.added.push_back(m.info);
                next.push_back(m.info);
            }
        snapshot = std::move(next);
        return {Error::None, std::move(changes)};
    }

    Result<OpenedMessage> Open(std::uint32_t uid) override {
        std::lock_guard<std::mutex> guard(box->lock);
        for (const auto& m : box->folders.at(folder).messages) {
            if (m.info.uid != uid) continue;
            if (m.missing) return Result<OpenedMessage>::Fail(Error::MessageMissing);
            UniqueFd fd(::memfd_create("message", MFD_CLOEXEC));
            if (fd.Get() < 0 || ::write(fd.Get(), m.content.data(), m.content.size()) != static_cast<ssize_t>(m.content.size()))
                return Result<OpenedMessage>::Fail(Error::Storage);
            OpenedMessage opened;
            opened.fd = std::move(fd);
            opened.size = static_cast<std::uint32_t>(m.content.size());
            return {Error::None, std::move(opened)};
        }
        return Result<OpenedMessage>::Fail(Error::NoSuchMessage);
    }

    Result<std::vector<MessageInfo>> SetFlags(const std::vector<std::uint32_t>& uids, FlagMode mode,
                                              std::uint32_t flags, const std::vector<std::string>& keywords) override {
        std::lock_guard<std::mutex> guard(box->lock);
        ++box->setFlagsCalls;
        std::vector<MessageInfo> out;
        for (auto& m : box->folders.at(folder).messages) {
            if (std::find(uids.begin(), uids.end(), m.info.uid) == uids.end()) continue;
            Apply(m.info, mode, flags, keywords);
            out.push_back(m.info);
            for (auto& s : snapshot)
                if (s.uid == m.info.uid) s = m.info;
        }
        box->Changed();
        return {Error::None, out};
    }

    Result<CopyResult> Copy(const std::vector<std::uint32_t>& uids, int target) override {
        std::lock_guard<std::mutex> guard(box->lock);
        return CopyLocked(uids, target);
    }

    Result<CopyResult> Move(const std::vector<std::uint32_t>& uids, int target) override {
        std::lock_guard<std::mutex> guard(box->lock);
        auto result = CopyLocked(uids, target);
        if (!result.Ok()) return result;
        auto& messages = box->folders.at(folder).messages;
        for (const auto& pair : result.value.uids) {
            const std::uint32_t source = pair.first;
            messages.erase(std::remove_if(messages.begin(), messages.end(),
                                          [&](const FakeMailbox::Message& m) { return m.info.uid == source; }),
                           messages.end());
            snapshot.erase(std::remove_if(snapshot.begin(), snapshot.end(),
                                          [&](const MessageInfo& m) { return m.uid == source; }),
                           snapshot.end());
        }
        return result;
    }

    Result<std::vector<std::uint32_t>> Expunge(const std::vector<std::uint32_t>* uids) override {
        std::lock_guard<std::mutex> guard(box->lock);
        std::vector<std::uint32_t> gone;
        auto& messages = box->folders.at(folder).messages;
        for (const auto& s : snapshot) {
            const auto it = std::find_if(messages.begin(), messages.end(),
                                         [&](const FakeMailbox::Message& m) { return m.info.uid == s.uid; });
            if (it == messages.end() || !(it->info.flags & kDeleted)) continue;
            if (uids && std::find(uids->begin(), uids->end(), s.uid) == uids->end()) continue;
            gone.push_back(s.uid);
            messages.erase(it);
        }
        snapshot.erase(std::remove_if(snapshot.begin(), snapshot.end(),
                                      [&](const MessageInfo& m) {
                                          return std::find(gone.begin(), gone.end(), m.uid) != gone.end();
                                      }),
                       snapshot.end());
        box->Changed();
        return {Error::None, gone};
    }

private:
    Result<CopyResult> CopyLocked(const std::vector<std::uint32_t>& uids, int target) {
        const auto it = box->folders.find(target);
        if (it == box->folders.end()) return Result<CopyResult>::Fail(Error::NoSuchFolder);
        CopyResult result;
        result.targetUidValidity = it->second.info.uidValidity;
        for (const auto& m : std::vector<FakeMailbox::Message>(box->folders.at(folder).messages)) {
            if (std::find(uids.begin(), uids.end(), m.info.uid) == uids.end()) continue;
            FakeMailbox::Message copy = m;
            copy.info.uid = it->second.info.uidNext++;
            it->second.messages.push_back(copy);
            result.uids.emplace_back(m.info.uid, copy.info.uid);
        }
        box->Changed();
        return {Error::None, result};
    }

    std::shared_ptr<FakeMailbox> box;
    int folder;
    bool readOnly;
    std::uint32_t validity = 0;
    std::vector<MessageInfo> snapshot;
};

class FakeStore : public CMailboxStore {
public:
    explicit FakeStore(std::shared_ptr<FakeMailbox> box) : box(std::move(box)) {}
    long AccountId() const override { return 1; }

    Result<std::vector<FolderInfo>> ListFolders() override {
        std::lock_guard<std::mutex> guard(box->lock);
        std::vector<FolderInfo> out;
        for (const auto& [id, f] : box->folders) out.push_back(Counted(f));
        return {Error::None, out};
    }
    Result<FolderInfo> FindFolder(const std::string& name) override {
        std::lock_guard<std::mutex> guard(box->lock);
        const auto* f = box->Find(name);
        if (!f) return Result<FolderInfo>::Fail(Error::NoSuchFolder);
        return {Error::None, Counted(*f)};
    }
    Result<FolderInfo> Status(int folderId) override {
        std::lock_guard<std::mutex> guard(box->lock);
        const auto it = box->folders.find(folderId);
        if (it == box->folders.end()) return Result<FolderInfo>::Fail(Error::NoSuchFolder);
        return {Error::None, Counted(it->second)};
    }
    Result<int> CreateFolder(const std::string& name) override {
        std::lock_guard<std::mutex> guard(box->lock);
        if (box->Find(name)) return Result<int>::Fail(Error::FolderExists);
        if (name.empty() || name.size() > 200) return Result<int>::Fail(Error::InvalidName);
        FakeMailbox::Folder folder;
        folder.info.folderId = box->nextFolder++;
        folder.info.name = name;
        folder.info.uidValidity = 1000 + static_cast<std::uint32_t>(folder.info.folderId);
        folder.info.uidNext = 1;
        box->folders[folder.info.folderId] = folder;
        box->Changed();
        return {Error::None, folder.info.folderId};
    }
    Result<bool> RenameFolder(int folderId, const std::string& newName) override {
        std::lock_guard<std::mutex> guard(box->lock);
        auto it = box->folders.find(folderId);
        if (it == box->folders.end()) return Result<bool>::Fail(Error::NoSuchFolder);
        if (it->second.info.standard) return Result<bool>::Fail(Error::FolderProtected);
        if (box->Find(newName)) return Result<bool>::Fail(Error::FolderExists);
        it->second.info.name = newName;
        ++it->second.info.uidValidity;
        return {Error::None, true};
    }
    Result<bool> DeleteFolder(int folderId) override {
        std::lock_guard<std::mutex> guard(box->lock);
        auto it = box->folders.find(folderId);
        if (it == box->folders.end()) return Result<bool>::Fail(Error::NoSuchFolder);
        if (it->second.info.standard) return Result<bool>::Fail(Error::FolderProtected);
        box->folders.erase(it);
        return {Error::None, true};
    }
    Result<std::unique_ptr<CMailboxView>> Open(int folderId, bool readOnly) override {
        {
            std::lock_guard<std::mutex> guard(box->lock);
            if (!box->folders.count(folderId)) return Result<std::unique_ptr<CMailboxView>>::Fail(Error::NoSuchFolder);
        }
        return {Error::None, std::make_unique<FakeView>(box, folderId, readOnly)};
    }
    Result<AppendResult> Append(int folderId, CMailContent& content, std::uint32_t size, std::uint32_t flags,
                                const std::vector<std::string>& keywords, std::time_t received) override {
        std::string bytes(size, '\0');
        content.Rewind();
        if (size > box->appendLimit) return Result<AppendResult>::Fail(Error::TooBig);
        if (content.Read(bytes.data(), size) != static_cast<int>(size)) return Result<AppendResult>::Fail(Error::Storage);
        std::lock_guard<std::mutex> guard(box->lock);
        auto it = box->folders.find(folderId);
        if (it == box->folders.end()) return Result<AppendResult>::Fail(Error::NoSuchFolder);
        FakeMailbox::Message m;
        m.info.uid = it->second.info.uidNext++;
        m.info.size = size;
        m.info.flags = flags;
        m.info.keywords = keywords;
        m.info.received = received;
        m.info.mailId = "m" + std::to_string(m.info.uid);
        m.content = std::move(bytes);
        it->second.messages.push_back(std::move(m));
        box->Changed();
        return {Error::None, {it->second.info.uidValidity, it->second.messages.back().info.uid}};
    }
    std::uint64_t ChangeCounter() const override {
        std::lock_guard<std::mutex> guard(box->lock);
        return box->counter;
    }
    std::uint64_t WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout, int stopFd) override {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock<std::mutex> guard(box->lock);
        while (box->counter == seen && std::chrono::steady_clock::now() < deadline) {
            // The stop descriptor is watched in short slices.
            box->changed.wait_for(guard, std::chrono::milliseconds(20));
            pollfd stop{stopFd, POLLIN, 0};
            if (stopFd >= 0 && ::poll(&stop, 1, 0) > 0) break;
        }
        return box->counter;
    }

private:
    static FolderInfo Counted(const FakeMailbox::Folder& f) {
        FolderInfo info = f.info;
        info.messages = static_cast<std::uint32_t>(f.messages.size());
        info.unseen = static_cast<std::uint32_t>(std::count_if(
            f.messages.begin(), f.messages.end(), [](const FakeMailbox::Message& m) { return !(m.info.flags & kSeen); }));
        return info;
    }
    std::shared_ptr<FakeMailbox> box;
};

}  // namespace

FakeMailbox::FakeMailbox() {
    const std::pair<const char*, const char*> standard[] = {
        {"Inbox", ""}, {"Sent", "\\Sent"}, {"Trash", "\\Trash"}, {"Draft", "\\Drafts"}};
    for (const auto& [name, use] : standard) {
        Folder folder;
        folder.info.folderId = nextFolder++;
        folder.info.name = name;
        folder.info.standard = true;
        folder.info.specialUse = use;
        folder.info.uidValidity = 1000 + static_cast<std::uint32_t>(folder.info.folderId);
        folder.info.uidNext = 1;
        folders[folder.info.folderId] = folder;
    }
}

FakeMailbox::Folder* FakeMailbox::Find(const std::string& name) {
    for (auto& [id, f] : folders)
        if (f.info.name == name || (Lower(name) == "inbox" && Lower(f.info.name) == "inbox")) return &f;
    return nullptr;
}

void FakeMailbox::Changed() {
    ++counter;
    changed.notify_all();
}

std::uint32_t FakeMailbox::Deliver(const std::string& folder, const std::string& content, std::uint32_t flags) {
    std::lock_guard<std::mutex> guard(lock);
    Folder* f = Find(folder);
    Message m;
    m.info.uid = f->info.uidNext++;
    m.info.size = static_cast<std::uint32_t>(content.size());
    m.info.flags = flags;
    m.info.received = 1765180800;  // 08-Dec-2025 08:00:00 UTC
    m.info.mailId = "m" + std::to_string(m.info.uid);
    m.content = content;
    f->messages.push_back(m);
    Changed();
    return m.info.uid;
}

void FakeMailbox::SetFlagsBehind(const std::string& folder, std::uint32_t uid, std::uint32_t flags) {
    std::lock_guard<std::mutex> guard(lock);
    for (auto& m : Find(folder)->messages)
        if (m.info.uid == uid) m.info.flags = flags;
    Changed();
}

void FakeMailbox::ExpungeBehind(const std::string& folder, std::uint32_t uid) {
    std::lock_guard<std::mutex> guard(lock);
    auto& messages = Find(folder)->messages;
    messages.erase(std::remove_if(messages.begin(), messages.end(), [&](const Message& m) { return m.info.uid == uid; }),
                   messages.end());
    Changed();
}

std::unique_ptr<mailbox::CMailboxStore> OpenFakeMailbox(std::shared_ptr<FakeMailbox> mailbox) {
    return std::make_unique<FakeStore>(std::move(mailbox));
}
