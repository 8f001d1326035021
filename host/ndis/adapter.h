// An adapter as the NDIS wrapper keeps it: what the test set up (registry parameters, the device
// below the miniport), what the driver declared (context, attributes, shutdown handler), and the
// state of the requests NDIS has made of it. The MiniportAdapterHandle is the Adapter's address.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/core/scheduler.h"
#include "host/core/types.h"

namespace host {

class LowerDevice;

struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const;
};

// A registry value: an integer, or a string (read as a number in the base the reader asks for).
struct RegistryValue {
    RegistryValue(ULONG value) : integer(value) {}
    RegistryValue(int value) : integer(static_cast<ULONG>(value)) {}
    RegistryValue(const char* value) : is_string(true), text(value) {}
    RegistryValue(std::string value) : is_string(true), text(std::move(value)) {}
    bool is_string = false;
    ULONG integer = 0;
    std::string text;
};

struct AdapterConfig {
    std::string name{};  // default "adapter N"
    std::map<std::string, RegistryValue, NoCase> registry{};
    std::optional<std::vector<uint8_t>> network_address{};  // any length
    bool fail_open_configuration = false;
    std::shared_ptr<LowerDevice> lower{};  // the device the miniport sends its IRPs to
    CCHAR lower_stack_size = 1;
};

struct Attributes {
    bool set = false;
    NDIS_HANDLE context = nullptr;
    UINT check_for_hang_seconds = 0;
    ULONG flags = 0;
    NDIS_INTERFACE_TYPE interface_type = NdisInterfaceInternal;
};

enum class AdapterState { Added, Initializing, Running, InitializeFailed, Halting, Halted };

enum class RequestKind { None, Query, Set, Reset };

struct RequestRecord {
    RequestKind kind = RequestKind::None;
    NDIS_OID oid = 0;
    NDIS_STATUS returned = NDIS_STATUS_SUCCESS;  // what the handler returned
    bool pending = false;                        // returned PENDING and not completed yet
    bool completed = false;                      // finished (at once or through a completion call)
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;    // the final status
    ULONG buffer_length = 0;
    ULONG bytes_done = 0;  // BytesWritten or BytesRead
    ULONG bytes_needed = 0;
    bool addressing_reset = false;
    bool for_hang = false;      // a reset NDIS made because the adapter seemed hung
    std::vector<uint8_t> data;  // the information buffer as the driver left it
    Time started = 0;
    Time finished = 0;
};

struct SendRecord {
    uint64_t id = 0;
    Adapter* adapter = nullptr;
    NDIS_PACKET* packet = nullptr;
    std::vector<uint8_t> bytes;
    bool in_send = false;  // MpSend has not returned yet
    bool returned = false;
    NDIS_STATUS returned_status = 0;
    bool completed = false;
    NDIS_STATUS completion_status = 0;
    Time sent = 0;
    Time completed_at = 0;
    EventId deadline = 0;
};

struct Adapter {
    int id = 0;
    std::string name;
    AdapterConfig config;
    AdapterState state = AdapterState::Added;

    DEVICE_OBJECT* physical_device = nullptr;    // bottom of the stack
    DEVICE_OBJECT* next_device = nullptr;        // the lower device the miniport calls
    DEVICE_OBJECT* functional_device = nullptr;  // the miniport's own device

    Attributes attributes;
    UINT selected_medium = 0;
    NDIS_STATUS open_error = 0;

    bool shutdown_registered = false;
    ADAPTER_SHUTDOWN_HANDLER shutdown_handler = nullptr;
    PVOID shutdown_context = nullptr;
    int shutdown_registrations = 0;
    int shutdown_withdrawals = 0;

    int lock_classes = 0;  // spin locks allocated so far in this adapter's name
    int open_configurations = 0;

    RequestRecord request;                // the query or set in progress, or the last one
    RequestRecord reset;                  // the reset in progress, or the last one
    std::vector<RequestRecord> requests;  // every finished request and reset, in order

    // NDIS's hang check: the next one queued, and the resets it made (the miniport said it was
    // hung, or a request or send outlived its time-out).
    EventId hang_check = 0;
    int hang_resets = 0;
    uint64_t resets_completed = 0;  // every reset, whoever asked for it

    NDIS_HANDLE handle() { return this; }
    NDIS_HANDLE context() const { return attributes.context; }
    bool halted() const { return state == AdapterState::Halted || state == AdapterState::InitializeFailed; }
};

}  // namespace host
