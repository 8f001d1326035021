// Names of driver routines for messages: executables export their symbols, so a function
// pointer can be turned back into the routine's name.
#pragma once

#include <string>

namespace host {

// "MpSend" for a pointer to MpSend; a hexadecimal address when no symbol is found.
std::string routine_name(const void* function);

template <typename F>
std::string routine_name_of(F* function) {
    return routine_name(reinterpret_cast<const void*>(function));
}

}  // namespace host
