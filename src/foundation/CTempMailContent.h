// CTempMailContent: a message held in a temporary file.
//
// The construction makes a new, empty, exclusively created file named
// "Tes" + hexadecimal number + ".tmp" in the system temporary directory
// ($TMPDIR, else /tmp, else ./TessalSpooler/ in the home). The file lives
// exactly as long as the object: the destructor deletes it, so a message that
// is dropped on any path leaves nothing behind. Failures the administrator
// must see ("Blank File Name", "Error Creating Temporary File", "Error") go to
// the installed UserInterface as message boxes.
#pragma once

#include "foundation/CMailContent.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <string>

class CTempMailContent : public CMailContent {
public:
    CTempMailContent();
    ~CTempMailContent() override;

    std::uint32_t GetLength() override;
    void Rewind() override;
    int Read(void* buffer, std::uint32_t count) override;
    bool Write(const void* buffer, std::uint32_t count) override;
    bool Open() override;

    // Cuts or extends the file to length bytes; the position is unchanged.
    bool SetLength(std::uint32_t length);

    // Path of the file; empty when no unique name could be made.
    const std::string& GetFileName() const { return fileName; }
    bool IsOpen() const { return isOpen; }

private:
    UniqueFd file;
    std::string fileName;
    bool isOpen = false;
};
