// Names of driver routines for messages: executables export their symbols, so a function
// pointer can be turned back into the routine's name.
#pragma once

#include <string>

namespace host {

// "MpSend" for a pointer to MpSend; a hexadecimal address when no symbol is found. The name is
// looked up once per function and kept for the life of the program: the reference stays valid.
const std::string& routine_name(const void* function);

// "TakeTxDescriptor+0x1c" for an address inside an exported function (a return address into the
// driver); the bare address when no function is known to hold it.
std::string code_location(const void* address);

template <typename F>
const std::string& routine_name_of(F* function) {
    return routine_name(reinterpret_cast<const void*>(function));
}

}  // namespace host
