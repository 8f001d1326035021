#include "host/core/symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>

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

std::string routine_name(const void* function) {
    if (function == nullptr) return "(none)";
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
    cache.emplace(function, name);
    return name;
}

}  // namespace host
