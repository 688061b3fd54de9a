// SharedLibrary: dlopen/dlsym/dlclose with the module directory rule.
#include "platform/SharedLibrary.h"

#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>
#include <utility>

SharedLibrary::~SharedLibrary() {
    Close();
}

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : handle(std::exchange(other.handle, nullptr)), error(std::move(other.error)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        Close();
        handle = std::exchange(other.handle, nullptr);
        error = std::move(other.error);
    }
    return *this;
}

std::string SharedLibrary::ModuleDirectory() {
    const char* env = std::getenv("VELMORA_MODULE_DIR");
    if (env && *env) return env;
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string exe(path, static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

std::string SharedLibrary::Resolve(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    return ModuleDirectory() + "/" + name;
}

bool SharedLibrary::Load(const std::string& name) {
    Close();
    handle = ::dlopen(Resolve(name).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        error = why ? why : "unknown error";
        return false;
    }
    error.clear();
    return true;
}

void* SharedLibrary::Symbol(const char* name) const {
    return handle ? ::dlsym(handle, name) : nullptr;
}

void SharedLibrary::Close() {
    if (handle) ::dlclose(handle);
    handle = nullptr;
}
