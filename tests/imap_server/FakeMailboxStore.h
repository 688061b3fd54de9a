// FakeMailboxStore: an in-memory mailbox layer for the IMAP session's tests
// and fuzzing. One FakeMailbox holds an account's folders; any number of
// stores (sessions) open it, and the test changes it behind their backs
// (Deliver, SetFlagsBehind, ExpungeBehind) the way delivery and other
// sessions would. Message files are memory files; a message can be made to
// lose its file.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/CMailboxStore.h"

struct FakeMailbox {
    struct Message {
        mailbox::MessageInfo info;
        std::string content;
        bool missing = false;
    };
    struct Folder {
        mailbox::FolderInfo info;
        std::vector<Message> messages;
    };

    FakeMailbox();
    // Adds a message as delivery would; its UID.
    std::uint32_t Deliver(const std::string& folder, const std::string& content, std::uint32_t flags = 0);
    void SetFlagsBehind(const std::string& folder, std::uint32_t uid, std::uint32_t flags);
    void ExpungeBehind(const std::string& folder, std::uint32_t uid);
    Folder* Find(const std::string& name);  // under lock
    void Changed();                         // under lock

    std::mutex lock;
    std::condition_variable changed;
    std::map<int, Folder> folders;
    int nextFolder = 1;
    std::uint64_t counter = 0;
    int setFlagsCalls = 0;  // writes of flags by the sessions
    std::uint32_t appendLimit = 1024 * 1024;
};

std::unique_ptr<mailbox::CMailboxStore> OpenFakeMailbox(std::shared_ptr<FakeMailbox> mailbox);
