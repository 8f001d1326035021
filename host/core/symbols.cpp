#include "host/core/symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace host {

namespace {

std::string demangle(const char* symbol) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> plain(abi::__cxa_demangle(symbol, nullptr, nullptr, &status), std::free);
    std::string name = (status == 0 && plain) ? plain.get() : symbol;
    // Keep the qualified name only: "MpSend(void*, NDIS_PACKET*, unsigned int)" -> "MpSend".
    auto paren = name.find('(');
    if (paren != std::string::npos) name.resize(paren);
    return name;
}

}  // namespace

const std::string& routine_name(const void* function) {
    static const std::string none = "(none)";
    if (function == nullptr) return none;
    static std::mutex mutex;
    static std::unordered_map<const void*, std::string> cache;
    std::lock_guard guard(mutex);
    if (auto it = cache.find(function); it != cache.end()) return it->second;
    std::string name;
    Dl_info info{};
    if (dladdr(function, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr == function) {
        name = demangle(info.dli_sname);
    } else {
        char text[32];
        std::snprintf(text, sizeof text, "routine@%p", function);
        name = text;
    }
    // Elements of an unordered_map stay where they are as it grows.
    return cache.emplace(function, std::move(name)).first->second;
}

std::string code_location(const void* address) {
    char text[48];
    std::snprintf(text, sizeof text, "%p", address);
    if (address == nullptr) return text;
    Dl_info info{};
    void* entry = nullptr;
    // The nearest exported symbol below may be another function when the one holding the address
    // has internal linkage: trust it only when the address lies within the symbol's size.
    if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || info.dli_sname == nullptr || entry == nullptr) {
        return text;
    }
    const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
    auto offset = static_cast<size_t>(static_cast<const char*>(address) - static_cast<const char*>(info.dli_saddr));
    if (offset >= symbol->st_size) return text;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "+0x%zx", offset);
    return demangle(info.dli_sname) + suffix;
}

}  // namespace host
