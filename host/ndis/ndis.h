// The NDIS wrapper: the driver's registration, its adapters and their configuration, and the calls
// NDIS makes into the miniport, each in its proper context. Completions and indications the
// miniport makes go to the recorder after the verifier has looked at them.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/core/types.h"
#include "host/ndis/adapter.h"
#include "host/ndis/recorder.h"

// The driver object handed to DriverEntry; the driver only passes it on to NDIS.
struct DRIVER_OBJECT {
    UNICODE_STRING RegistryPath;
};

namespace host {

using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

struct SendTicket {
    NDIS_STATUS returned = 0;  // what MpSend returned
    uint64_t id = 0;           // find the send later with Ndis::send_record
    NDIS_PACKET* packet = nullptr;
};

class Ndis {
public:
    explicit Ndis(Host& host);
    ~Ndis();

    // Loading and registration.
    NTSTATUS load_driver(DriverEntryRoutine entry, const std::string& registry_path);
    void fail_next_registration(NDIS_STATUS status) { forced_registration_status_ = status; }
    bool registered() const { return registered_; }
    const NDIS_MINIPORT_CHARACTERISTICS& characteristics() const { return characteristics_; }
    std::string send_handler_name() const;

    // Adapters.
    Adapter& add_adapter(AdapterConfig config);
    Adapter* find(NDIS_HANDLE handle, const char* operation);
    const std::vector<std::unique_ptr<Adapter>>& adapters() const { return adapters_; }

    // Calls into the miniport, each in its context.
    NDIS_STATUS initialize(Adapter& adapter, std::vector<NDIS_MEDIUM> media);
    void halt(Adapter& adapter);
    // The shutdown handler, for an orderly shutdown at passive level, or at a bug check at high
    // level, where it must not wait, take a lock or make a request.
    void shutdown(Adapter& adapter, bool bug_check = false);
    SendTicket send(Adapter& adapter, const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits = {});
    // Protocols sending on several processors at once: MpSend is called for each frame, the
    // calls side by side on the processors, and returns when all have returned.
    std::vector<SendTicket> send_together(Adapter& adapter, const std::vector<std::vector<uint8_t>>& frames);
    const RequestRecord& query(Adapter& adapter, NDIS_OID oid, ULONG buffer_length);
    const RequestRecord& set(Adapter& adapter, NDIS_OID oid, const std::vector<uint8_t>& data);
    // NDIS resets an adapter when a protocol asks it to, and when its hang check finds it hung.
    // A reset may come while a query or set is pending (it is how NDIS recovers a request that
    // never ends); no query or set is made while a reset is pending.
    const RequestRecord& reset(Adapter& adapter, bool for_hang = false);
    // Told of every reset just before MpReset is called, whoever asked for it.
    void on_reset(std::function<void(Adapter&)> observer) { reset_observer_ = std::move(observer); }
    // The protocols' reset-complete handler: called inside NdisMResetComplete, in the miniport's
    // context, once NDIS has finished the reset. A protocol may ask for another reset from there,
    // and NDIS then calls MpReset before NdisMResetComplete returns.
    void on_reset_complete(std::function<void(Adapter&)> handler) { reset_complete_handler_ = std::move(handler); }
    // The protocols' receive, send-complete and resources-available handlers: called inside
    // NdisMIndicateReceivePacket (once a packet is copied), NdisMSendComplete and
    // NdisMSendResourcesAvailable, in the miniport's context and at its IRQL. A protocol may send
    // from there (TCP answers a segment from inside its indication; a queued send goes out when a
    // completion or the resources come back), and NDIS then calls MpSend at that IRQL.
    void on_protocol_call(std::function<void(Adapter&, ProtocolEventKind)> handler) {
        protocol_handler_ = std::move(handler);
    }
    // The period of the adapter's hang check: what it asked for, or NDIS's default of 2 s.
    Time hang_period(const Adapter& adapter) const;
    void return_packet(Adapter& adapter, NDIS_PACKET* packet);

    const SendRecord* send_record(uint64_t id) const;
    std::vector<const SendRecord*> sends(const Adapter* adapter = nullptr) const;
    // Drops the records and packets of sends that ended (completed, or not pended by MpSend)
    // before `ended_before`, so that a long real-time run does not keep every frame it ever sent.
    // A late use of a packet forgotten so is no longer told apart. Returns how many went.
    size_t forget_finished_sends(Time ended_before);

    // Wrapper services called by the driver.
    void initialize_wrapper(PNDIS_HANDLE wrapper, PVOID system1, PVOID system2);
    void terminate_wrapper(NDIS_HANDLE wrapper);
    NDIS_STATUS register_miniport(NDIS_HANDLE wrapper, const NDIS_MINIPORT_CHARACTERISTICS* table, UINT length);
    void set_attributes(NDIS_HANDLE handle, NDIS_HANDLE context, UINT hang_seconds, ULONG flags,
                        NDIS_INTERFACE_TYPE type);
    void register_shutdown_handler(NDIS_HANDLE handle, PVOID context, ADAPTER_SHUTDOWN_HANDLER handler);
    void deregister_shutdown_handler(NDIS_HANDLE handle);
    void device_property(NDIS_HANDLE handle, PDEVICE_OBJECT* physical, PDEVICE_OBJECT* functional,
                         PDEVICE_OBJECT* next);

    NDIS_STATUS open_configuration(PNDIS_HANDLE configuration, NDIS_HANDLE wrapper_context);
    NDIS_STATUS read_configuration(PNDIS_CONFIGURATION_PARAMETER* value, NDIS_HANDLE configuration,
                                   const NDIS_STRING* keyword, NDIS_PARAMETER_TYPE type);
    NDIS_STATUS read_network_address(PVOID* address, PUINT length, NDIS_HANDLE configuration);
    void close_configuration(NDIS_HANDLE configuration);

    void send_complete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status);
    void send_resources_available(NDIS_HANDLE handle);
    void indicate_receive(NDIS_HANDLE handle, PPNDIS_PACKET packets, UINT count);
    void indicate_status(NDIS_HANDLE handle, NDIS_STATUS status, PVOID buffer, UINT size);
    void indicate_status_complete(NDIS_HANDLE handle);
    void reset_complete(NDIS_HANDLE handle, NDIS_STATUS status, BOOLEAN addressing_reset);
    void request_complete(NDIS_HANDLE handle, NDIS_STATUS status, RequestKind kind);
    void released_resource(NDIS_HANDLE handle, const char* what);  // shared memory, ports, ...

    // Checks made when an adapter's life ends (after MpHalt or a failed MpInitialize).
    void check_adapter_released(Adapter& adapter, const std::string& routine);
    // Resources released through the calls of released_resource, in order.
    const std::vector<std::string>& released_resources() const { return released_resources_; }

private:
    // A send's record before MpSend is called (nullptr when the adapter does not run), the IRQL
    // it is called at, and what NDIS does with what it returned.
    SendRecord* begin_send(Adapter& adapter, const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits,
                           SendTicket& ticket);
    KIRQL send_irql();
    void end_send(SendRecord& s, NDIS_STATUS status, SendTicket& ticket);
    // An event of what NDIS saw from `adapter`, stamped with the current virtual time.
    ProtocolEvent event(ProtocolEventKind kind, const Adapter& adapter) const;
    struct Configuration;
    Configuration* find_configuration(NDIS_HANDLE handle, const char* operation);
    const RequestRecord& request(Adapter& adapter, RequestKind kind, NDIS_OID oid, std::vector<uint8_t> buffer);
    void finish_request(Adapter& adapter, NDIS_STATUS status, const std::string& routine);
    void schedule_hang_check(Adapter& adapter);
    void check_for_hang(Adapter& adapter);
    void check_request_buffer(Adapter& adapter, const std::vector<uint8_t>& guarded, ULONG length);

    Host& host_;
    bool wrapper_initialized_ = false;
    bool registered_ = false;
    NDIS_STATUS forced_registration_status_ = NDIS_STATUS_SUCCESS;
    NDIS_MINIPORT_CHARACTERISTICS characteristics_{};
    std::vector<std::unique_ptr<Adapter>> adapters_;
    std::map<const void*, std::unique_ptr<Configuration>> configurations_;
    std::map<uint64_t, std::unique_ptr<SendRecord>> sends_;
    uint64_t next_send_id_ = 1;
    std::vector<std::string> released_resources_;
    std::unique_ptr<DRIVER_OBJECT> driver_object_;
    std::u16string registry_path_;
    std::vector<uint8_t> request_buffer_;  // the information buffer of the request in progress
    ULONG request_bytes_done_ = 0;
    ULONG request_bytes_needed_ = 0;
    int wrapper_token_ = 0;
    std::function<void(Adapter&)> reset_observer_;
    std::function<void(Adapter&)> reset_complete_handler_;
    std::function<void(Adapter&, ProtocolEventKind)> protocol_handler_;
};

}  // namespace host
