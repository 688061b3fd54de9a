// SharedLibrary: one dlopen handle, closed once.
//
// A bare file name (no "/") is looked up in the program's module directory:
// $VELMORA_MODULE_DIR when set, else the directory of the running program.
#pragma once

#include <string>

class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool Load(const std::string& name);
    void* Symbol(const char* name) const;
    void Close();
    bool IsLoaded() const { return handle != nullptr; }
    // The loader's reason for the last failure.
    const std::string& Error() const { return error; }

    static std::string ModuleDirectory();
    static std::string Resolve(const std::string& name);

private:
    void* handle = nullptr;
    std::string error;
};
