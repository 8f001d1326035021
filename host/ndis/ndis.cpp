#include "host/ndis/ndis.h"

#include <cstdio>
#include <cstring>

#include "host/host.h"

#if defined(__SANITIZE_ADDRESS__)
#define USBETH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define USBETH_ASAN 1
#endif
#endif
#ifdef USBETH_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace host {

namespace {

constexpr uint8_t kGuardFill = 0x5A;
constexpr size_t kGuardBytes = 16;

// Under AddressSanitizer, and when the host's options ask for it, the guard bytes behind the
// information buffer are poisoned while the driver has the request, so that a read past the
// buffer's end is caught, not only a write.
void poison_guard([[maybe_unused]] std::vector<uint8_t>& buffer, [[maybe_unused]] size_t length,
                  [[maybe_unused]] bool poisoned) {
#ifdef USBETH_ASAN
    if (buffer.size() <= length) return;
    if (poisoned)
        ASAN_POISON_MEMORY_REGION(buffer.data() + length, buffer.size() - length);
    else
        ASAN_UNPOISON_MEMORY_REGION(buffer.data() + length, buffer.size() - length);
#endif
}

std::string hex(NDIS_STATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string narrow(const NDIS_STRING* s) {
    std::string out;
    if (s == nullptr || s->Buffer == nullptr) return out;
    for (USHORT i = 0; i < s->Length / 2; ++i) out += static_cast<char>(s->Buffer[i] < 128 ? s->Buffer[i] : '?');
    return out;
}

std::optional<ULONG> parse_number(const std::string& text, int base) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        if (digit >= base) return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<ULONG>(value);
}

}  // namespace

bool NoCase::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

struct Ndis::Configuration {
    Adapter* adapter = nullptr;
    std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> values;
    std::vector<std::unique_ptr<std::u16string>> strings;
    std::vector<uint8_t> address;
};

Ndis::Ndis(Host& host) : host_(host) {}
Ndis::~Ndis() = default;

// ---- Loading and registration ----

NTSTATUS Ndis::load_driver(DriverEntryRoutine entry, const std::string& registry_path) {
    driver_object_ = std::make_unique<DRIVER_OBJECT>();
    registry_path_.assign(registry_path.begin(), registry_path.end());
    UNICODE_STRING path{static_cast<USHORT>(registry_path_.size() * 2), static_cast<USHORT>(registry_path_.size() * 2),
                        registry_path_.data()};
    driver_object_->RegistryPath = path;
    return host_.call_driver(ContextKind::DriverEntry, routine_name_of(entry), nullptr, PASSIVE_LEVEL,
                             [&] { return entry(driver_object_.get(), &driver_object_->RegistryPath); });
}

void Ndis::initialize_wrapper(PNDIS_HANDLE wrapper, PVOID /*system1*/, PVOID /*system2*/) {
    wrapper_initialized_ = true;
    *wrapper = &wrapper_token_;
}

void Ndis::terminate_wrapper(NDIS_HANDLE wrapper) {
    if (wrapper != &wrapper_token_) host_.verifier().report(Rule::Host, "NdisTerminateWrapper with an unknown handle");
    wrapper_initialized_ = false;
}

NDIS_STATUS Ndis::register_miniport(NDIS_HANDLE wrapper, const NDIS_MINIPORT_CHARACTERISTICS* table, UINT length) {
    if (!wrapper_initialized_ || wrapper != &wrapper_token_) return NDIS_STATUS_FAILURE;
    if (forced_registration_status_ != NDIS_STATUS_SUCCESS) {
        NDIS_STATUS forced = forced_registration_status_;
        forced_registration_status_ = NDIS_STATUS_SUCCESS;
        return forced;
    }
    if (table == nullptr) return NDIS_STATUS_FAILURE;
    if (table->MajorNdisVersion != 5 || table->MinorNdisVersion != 0) return NDIS_STATUS_BAD_VERSION;
    if (length != sizeof(NDIS50_MINIPORT_CHARACTERISTICS)) return NDIS_STATUS_BAD_CHARACTERISTICS;
    if (table->InitializeHandler == nullptr || table->HaltHandler == nullptr ||
        table->QueryInformationHandler == nullptr || table->SetInformationHandler == nullptr ||
        table->ResetHandler == nullptr || (table->SendHandler == nullptr && table->SendPacketsHandler == nullptr)) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    characteristics_ = *table;
    registered_ = true;
    return NDIS_STATUS_SUCCESS;
}

std::string Ndis::send_handler_name() const { return routine_name_of(characteristics_.SendHandler); }

// ---- Adapters ----

Adapter& Ndis::add_adapter(AdapterConfig config) {
    auto adapter = std::make_unique<Adapter>();
    adapter->id = static_cast<int>(adapters_.size()) + 1;
    adapter->name = config.name.empty() ? "adapter " + std::to_string(adapter->id) : config.name;
    auto lower_stack = static_cast<CCHAR>(config.lower_stack_size < 1 ? 1 : config.lower_stack_size);
    Io& io = host_.io();
    adapter->physical_device = io.create_device(nullptr, 1, adapter->name + " physical device");
    adapter->next_device = io.create_device(config.lower, lower_stack, adapter->name + " lower device");
    adapter->functional_device =
        io.create_device(nullptr, static_cast<CCHAR>(lower_stack + 1), adapter->name + " miniport device");
    io.attach(adapter->next_device, adapter->physical_device);
    io.attach(adapter->functional_device, adapter->next_device);
    adapter->config = std::move(config);
    adapters_.push_back(std::move(adapter));
    return *adapters_.back();
}

Adapter* Ndis::find(NDIS_HANDLE handle, const char* operation) {
    for (auto& a : adapters_)
        if (a.get() == handle) return a.get();
    host_.verifier().report(Rule::Host, std::string(operation) + " with an unknown miniport adapter handle");
    return nullptr;
}

void Ndis::set_attributes(NDIS_HANDLE handle, NDIS_HANDLE context, UINT hang_seconds, ULONG flags,
                          NDIS_INTERFACE_TYPE type) {
    Adapter* a = find(handle, "NdisMSetAttributesEx");
    if (a == nullptr) return;
    a->attributes = Attributes{true, context, hang_seconds, flags, type};
}

void Ndis::register_shutdown_handler(NDIS_HANDLE handle, PVOID context, ADAPTER_SHUTDOWN_HANDLER handler) {
    Adapter* a = find(handle, "NdisMRegisterAdapterShutdownHandler");
    if (a == nullptr) return;
    ++a->shutdown_registrations;
    if (a->shutdown_registered) {
        host_.verifier().report(Rule::ShutdownHandler, "shutdown handler registered again without being withdrawn");
    }
    a->shutdown_registered = true;
    a->shutdown_handler = handler;
    a->shutdown_context = context;
}

void Ndis::deregister_shutdown_handler(NDIS_HANDLE handle) {
    Adapter* a = find(handle, "NdisMDeregisterAdapterShutdownHandler");
    if (a == nullptr) return;
    ++a->shutdown_withdrawals;
    if (!a->shutdown_registered) {
        host_.verifier().report(Rule::ShutdownHandler, "withdrawing a shutdown handler that is not registered");
        return;
    }
    a->shutdown_registered = false;
}

void Ndis::device_property(NDIS_HANDLE handle, PDEVICE_OBJECT* physical, PDEVICE_OBJECT* functional,
                           PDEVICE_OBJECT* next) {
    Adapter* a = find(handle, "NdisMGetDeviceProperty");
    if (a == nullptr) return;
    if (physical) *physical = a->physical_device;
    if (functional) *functional = a->functional_device;
    if (next) *next = a->next_device;
}

void Ndis::released_resource(NDIS_HANDLE handle, const char* what) {
    Adapter* a = handle ? find(handle, what) : nullptr;
    released_resources_.push_back((a ? a->name + ": " : std::string()) + what);
}

// ---- Configuration ----

Ndis::Configuration* Ndis::find_configuration(NDIS_HANDLE handle, const char* operation) {
    auto it = configurations_.find(handle);
    if (it == configurations_.end()) {
        host_.verifier().report(Rule::Host, std::string(operation) + " with a configuration handle that is not open");
        return nullptr;
    }
    return it->second.get();
}

NDIS_STATUS Ndis::open_configuration(PNDIS_HANDLE configuration, NDIS_HANDLE wrapper_context) {
    *configuration = nullptr;
    Adapter* a = find(wrapper_context, "NdisOpenConfiguration");
    if (a == nullptr) return NDIS_STATUS_FAILURE;
    if (a->config.fail_open_configuration) return NDIS_STATUS_FAILURE;
    auto c = std::make_unique<Configuration>();
    c->adapter = a;
    *configuration = c.get();
    configurations_[c.get()] = std::move(c);
    ++a->open_configurations;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Ndis::read_configuration(PNDIS_CONFIGURATION_PARAMETER* value, NDIS_HANDLE configuration,
                                     const NDIS_STRING* keyword, NDIS_PARAMETER_TYPE type) {
    *value = nullptr;
    Configuration* c = find_configuration(configuration, "NdisReadConfiguration");
    if (c == nullptr) return NDIS_STATUS_FAILURE;
    auto it = c->adapter->config.registry.find(narrow(keyword));
    if (it == c->adapter->config.registry.end()) return NDIS_STATUS_FAILURE;
    const RegistryValue& stored = it->second;
    auto parameter = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
    if (type == NdisParameterInteger || type == NdisParameterHexInteger) {
        ULONG number = stored.integer;
        if (stored.is_string) {
            auto parsed = parse_number(stored.text, type == NdisParameterHexInteger ? 16 : 10);
            if (!parsed) return NDIS_STATUS_FAILURE;
            number = *parsed;
        }
        parameter->ParameterType = type;
        parameter->ParameterData.IntegerData = number;
    } else if (type == NdisParameterString && stored.is_string) {
        auto text = std::make_unique<std::u16string>(stored.text.begin(), stored.text.end());
        parameter->ParameterType = NdisParameterString;
        parameter->ParameterData.StringData =
            NDIS_STRING{static_cast<USHORT>(text->size() * 2), static_cast<USHORT>(text->size() * 2), text->data()};
        c->strings.push_back(std::move(text));
    } else if (type == NdisParameterString) {
        parameter->ParameterType = NdisParameterInteger;
        parameter->ParameterData.IntegerData = stored.integer;
    } else {
        return NDIS_STATUS_FAILURE;
    }
    *value = parameter.get();
    c->values.push_back(std::move(parameter));
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Ndis::read_network_address(PVOID* address, PUINT length, NDIS_HANDLE configuration) {
    *address = nullptr;
    *length = 0;
    Configuration* c = find_configuration(configuration, "NdisReadNetworkAddress");
    if (c == nullptr) return NDIS_STATUS_FAILURE;
    const auto& override_address = c->adapter->config.network_address;
    if (!override_address) return NDIS_STATUS_FAILURE;
    c->address = *override_address;
    c->address.push_back(0);  // an address of no bytes still has somewhere to point
    *address = c->address.data();
    *length = static_cast<UINT>(override_address->size());
    return NDIS_STATUS_SUCCESS;
}

void Ndis::close_configuration(NDIS_HANDLE configuration) {
    Configuration* c = find_configuration(configuration, "NdisCloseConfiguration");
    if (c == nullptr) return;
    --c->adapter->open_configurations;
    configurations_.erase(configuration);
}

// ---- Calls into the miniport ----

NDIS_STATUS Ndis::initialize(Adapter& adapter, std::vector<NDIS_MEDIUM> media) {
    if (!registered_) {
        host_.verifier().report(Rule::Host, "initializing an adapter before a miniport registered");
        return NDIS_STATUS_FAILURE;
    }
    adapter.state = AdapterState::Initializing;
    adapter.attributes = Attributes{};
    adapter.lock_classes = 0;
    NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
    UINT selected = UINT(-1);
    auto handler = characteristics_.InitializeHandler;
    const std::string& name = routine_name_of(handler);
    NDIS_STATUS status = host_.call_driver(ContextKind::Handler, name, &adapter, PASSIVE_LEVEL, [&] {
        return handler(&open_error, &selected, media.data(), static_cast<UINT>(media.size()), adapter.handle(),
                       adapter.handle());
    });
    adapter.open_error = open_error;
    if (status == NDIS_STATUS_SUCCESS) {
        adapter.selected_medium = selected;
        adapter.state = AdapterState::Running;
        adapter.reset = RequestRecord{};
        schedule_hang_check(adapter);
    } else {
        adapter.state = AdapterState::InitializeFailed;
        check_adapter_released(adapter, name);
    }
    return status;
}

void Ndis::halt(Adapter& adapter) {
    if (adapter.state != AdapterState::Running) {
        host_.verifier().report(Rule::Host, "halting " + adapter.name + ", which is not running");
        return;
    }
    // NDIS does not halt an adapter while a request or reset of it is pending: it lets the
    // loop run until the miniport completes it, for as long as a send may take.
    if (adapter.request.pending || adapter.reset.pending) {
        Time deadline = host_.now() + host_.options().send_completion_deadline;
        if (!host_.scheduler().pump(
                deadline, [&] { return !adapter.request.pending && !adapter.reset.pending; }, true)) {
            host_.verifier().report_for(Rule::Requests, &adapter, "",
                                        std::string("the pending ") + (adapter.reset.pending ? "reset" : "request") +
                                            " was never completed, so " + adapter.name + " cannot be halted");
            return;
        }
    }
    adapter.state = AdapterState::Halting;
    if (adapter.hang_check != 0) host_.scheduler().cancel(adapter.hang_check);
    adapter.hang_check = 0;
    auto handler = characteristics_.HaltHandler;
    const std::string& name = routine_name_of(handler);
    host_.call_driver(ContextKind::Handler, name, &adapter, PASSIVE_LEVEL, [&] { handler(adapter.context()); });
    adapter.state = AdapterState::Halted;
    check_adapter_released(adapter, name);
}

void Ndis::shutdown(Adapter& adapter, bool bug_check) {
    if (!adapter.shutdown_registered || adapter.shutdown_handler == nullptr) {
        host_.verifier().report(Rule::Host, adapter.name + " has no shutdown handler registered");
        return;
    }
    auto handler = adapter.shutdown_handler;
    PVOID context = adapter.shutdown_context;
    host_.call_driver(ContextKind::Shutdown, routine_name_of(handler), &adapter, bug_check ? HIGH_LEVEL : PASSIVE_LEVEL,
                      [&] { handler(context); });
}

void Ndis::check_adapter_released(Adapter& adapter, const std::string& routine) {
    const std::string after = "after " + routine + " returned, ";
    auto memory = host_.memory().outstanding(&adapter);
    auto irps = host_.io().outstanding(&adapter);
    auto busy = host_.timers().busy(&adapter);
    std::vector<const SendRecord*> unsent;
    for (const auto* s : sends(&adapter))
        if (!s->completed && (s->in_send || s->returned_status == NDIS_STATUS_PENDING)) unsent.push_back(s);
    // Reports come last so that a throw leaves nothing half done.
    if (!memory.empty()) {
        std::string list;
        for (const auto& a : memory) {
            list += (list.empty() ? "" : "; ") + std::string(alloc_kind_name(a.kind)) + " of " +
                    std::to_string(a.size) + " bytes tagged '" + tag_text(a.tag) + "' from " + a.routine;
        }
        host_.verifier().report_for(Rule::Memory, &adapter, routine, after + "still allocated: " + list);
    }
    if (!irps.empty()) {
        host_.verifier().report_for(Rule::Irps, &adapter, routine,
                                    after + std::to_string(irps.size()) + " IRP(s) still outstanding, the first from " +
                                        *irps.front()->allocator);
    }
    if (!busy.empty()) {
        std::string list;
        for (const auto& b : busy) list += (list.empty() ? "" : "; ") + b;
        host_.verifier().report_for(Rule::Timers, &adapter, routine, after + list);
    }
    if (!unsent.empty()) {
        host_.verifier().report_for(Rule::Packets, &adapter, routine,
                                    after + std::to_string(unsent.size()) + " pended send(s) never completed");
    }
    if (adapter.shutdown_registered) {
        host_.verifier().report_for(Rule::ShutdownHandler, &adapter, routine,
                                    after + "the shutdown handler is still registered");
    }
}

SendRecord* Ndis::begin_send(Adapter& adapter, const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits,
                             SendTicket& ticket) {
    if (adapter.state != AdapterState::Running || characteristics_.SendHandler == nullptr) {
        host_.verifier().report(Rule::Host, "sending on " + adapter.name + ", which is not running");
        return nullptr;
    }
    auto record = std::make_unique<SendRecord>();
    SendRecord& s = *record;
    s.id = next_send_id_++;
    s.adapter = &adapter;
    s.bytes = bytes;
    s.packet = host_.packets().make_send_packet(bytes, splits, s.id);
    s.in_send = true;
    s.sent = host_.now();
    sends_[s.id] = std::move(record);
    ticket.id = s.id;
    ticket.packet = s.packet;
    return &s;
}

// A protocol sending from a thread may be at passive level; one sending from inside a call of
// the miniport's (an indication, a completion) is at that call's level.
KIRQL Ndis::send_irql() {
    const uint32_t passive = host_.options().passive_send_ppm;
    return host_.contexts().in_driver()                                        ? host_.contexts().irql()
           : passive != 0 && host_.scheduler().draw_below(1'000'000) < passive ? PASSIVE_LEVEL
                                                                               : DISPATCH_LEVEL;
}

void Ndis::end_send(SendRecord& s, NDIS_STATUS status, SendTicket& ticket) {
    const std::string& name = routine_name_of(characteristics_.SendHandler);
    s.in_send = false;
    s.returned = true;
    s.returned_status = status;
    ticket.returned = status;
    if (status == NDIS_STATUS_PENDING) {
        if (!s.completed) {
            uint64_t id = s.id;
            s.deadline =
                host_.scheduler().after(host_.options().send_completion_deadline, "send deadline", [this, id, name] {
                    SendRecord* r = sends_.at(id).get();
                    r->deadline = 0;
                    if (!r->completed) {
                        host_.verifier().report_for(
                            Rule::Packets, r->adapter, name,
                            "send " + std::to_string(id) +
                                " returned NDIS_STATUS_PENDING and was not completed within " +
                                std::to_string(host_.options().send_completion_deadline / 1000000) + " s");
                    }
                });
        }
    } else {
        host_.packets().release_send_packet(s.packet);
        if (s.completed) {
            host_.verifier().report_for(
                Rule::Packets, s.adapter, name,
                "completed a packet for which it returned " + hex(status) + " instead of NDIS_STATUS_PENDING");
        }
    }
}

SendTicket Ndis::send(Adapter& adapter, const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits) {
    SendTicket ticket;
    SendRecord* s = begin_send(adapter, bytes, splits, ticket);
    if (s == nullptr) return ticket;
    auto handler = characteristics_.SendHandler;
    PNDIS_PACKET packet = s->packet;
    NDIS_STATUS status = host_.call_driver(ContextKind::Handler, routine_name_of(handler), &adapter, send_irql(),
                                           [&] { return handler(adapter.context(), packet, 0); });
    end_send(*s, status, ticket);
    return ticket;
}

std::vector<SendTicket> Ndis::send_together(Adapter& adapter, const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<SendTicket> tickets(frames.size());
    std::vector<SendRecord*> records;
    std::vector<NDIS_STATUS> statuses(frames.size(), NDIS_STATUS_FAILURE);
    std::vector<Host::DriverCall> calls;
    auto handler = characteristics_.SendHandler;
    for (size_t i = 0; i < frames.size(); ++i) {
        SendRecord* s = begin_send(adapter, frames[i], {}, tickets[i]);
        if (s == nullptr) break;
        records.push_back(s);
        PNDIS_PACKET packet = s->packet;
        calls.push_back({send_irql(), [&statuses, &adapter, handler, packet, i] {
                             statuses[i] = handler(adapter.context(), packet, 0);
                         }});
    }
    host_.call_driver_together(ContextKind::Handler, routine_name_of(handler), &adapter, std::move(calls));
    for (size_t i = 0; i < records.size(); ++i) end_send(*records[i], statuses[i], tickets[i]);
    return tickets;
}

void Ndis::send_complete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status) {
    Adapter* adapter = find(handle, "NdisMSendComplete");
    if (adapter == nullptr) return;
    host_.locks().check_unmasked("NdisMSendComplete");
    if (!host_.packets().is_send_packet(packet)) {
        host_.verifier().report(Rule::Packets, "NdisMSendComplete for a packet NDIS never sent");
        return;
    }
    SendRecord& s = *sends_.at(packet->send_id);
    if (s.completed) {
        host_.verifier().report(Rule::Packets, "NdisMSendComplete for send " + std::to_string(s.id) + " twice");
        return;
    }
    if (s.adapter != adapter) {
        host_.verifier().report(Rule::Packets, "NdisMSendComplete for a packet sent to " + s.adapter->name);
        return;
    }
    if (s.returned && s.returned_status != NDIS_STATUS_PENDING) {
        host_.verifier().report(Rule::Packets, "NdisMSendComplete for send " + std::to_string(s.id) +
                                                   ", for which MpSend returned " + hex(s.returned_status));
        return;
    }
    s.completed = true;
    s.completion_status = status;
    s.completed_at = host_.now();
    if (s.deadline != 0) host_.scheduler().cancel(s.deadline);
    s.deadline = 0;
    host_.packets().release_send_packet(packet);
    ProtocolEvent e = event(ProtocolEventKind::SendComplete, *adapter);
    e.status = status;
    e.packet = packet;
    e.send_id = s.id;
    e.data = s.bytes;
    host_.recorder().add(std::move(e));
    if (protocol_handler_) protocol_handler_(*adapter, ProtocolEventKind::SendComplete);
}

ProtocolEvent Ndis::event(ProtocolEventKind kind, const Adapter& adapter) const {
    ProtocolEvent e;
    e.kind = kind;
    e.time = host_.now();
    e.adapter_id = adapter.id;
    return e;
}

void Ndis::send_resources_available(NDIS_HANDLE handle) {
    Adapter* adapter = find(handle, "NdisMSendResourcesAvailable");
    if (adapter == nullptr) return;
    host_.locks().check_unmasked("NdisMSendResourcesAvailable");
    ProtocolEvent e = event(ProtocolEventKind::SendResourcesAvailable, *adapter);
    host_.recorder().add(std::move(e));
    if (protocol_handler_) protocol_handler_(*adapter, ProtocolEventKind::SendResourcesAvailable);
}

void Ndis::indicate_receive(NDIS_HANDLE handle, PPNDIS_PACKET packets, UINT count) {
    Adapter* adapter = find(handle, "NdisMIndicateReceivePacket");
    if (adapter == nullptr) return;
    host_.locks().check_unmasked("NdisMIndicateReceivePacket");
    if (adapter->halted()) {
        host_.verifier().report(Rule::Receive, "receive indication for " + adapter->name + " after it was halted");
        return;
    }
    // The packets' buffers are the protocols' while the indication lasts. Claims still held when
    // a violation unwinds the call are forgotten unchecked.
    struct Claims {
        Ownership& ownership;
        std::vector<Ownership::Claim> held;
        ~Claims() {
            for (auto claim : held) ownership.drop(claim);
        }
    } claims{host_.ownership(), {}};
    for (UINT i = 0; i < count; ++i) {
        NDIS_PACKET* packet = packets[i];
        if (!host_.packets().valid(packet, "NdisMIndicateReceivePacket")) return;
        std::vector<Ownership::Range> ranges;
        for (const MDL* b = packet->first; b != nullptr; b = b->Next) {
            if (b->ByteCount == 0) continue;
            const auto* start = static_cast<const uint8_t*>(b->VirtualAddress);
            const Allocation* a = host_.memory().containing(start);
            if (a == nullptr) {
                host_.verifier().report(Rule::Receive, host_.memory().in_quarantine(start)
                                                           ? "indicated buffer lies in freed memory"
                                                           : "indicated buffer lies in no memory the driver allocated");
                return;
            }
            const auto* end = static_cast<const uint8_t*>(a->ptr) + a->size;
            if (start + b->ByteCount > end) {
                host_.verifier().report(Rule::Receive, "indicated buffer of " + std::to_string(b->ByteCount) +
                                                           " bytes runs " + std::to_string(start + b->ByteCount - end) +
                                                           " bytes past the memory behind it");
                return;
            }
            ranges.push_back({start, b->ByteCount});
        }
        Ownership::Claim claim = host_.ownership().claim(
            Owner::Protocols, adapter,
            "packet " + std::to_string(i + 1) + " of " + std::to_string(count) + " indicated", ranges);
        // The protocols copy the packet now, while the indication is being made.
        ProtocolEvent e = event(ProtocolEventKind::Receive, *adapter);
        e.status = packet->status;
        e.data = host_.packets().bytes(packet);
        e.packet = packet;
        e.header_size = packet->header_size;
        host_.recorder().add(std::move(e));
        if (protocol_handler_) protocol_handler_(*adapter, ProtocolEventKind::Receive);
        if (packet->status != NDIS_STATUS_RESOURCES && characteristics_.ReturnPacketHandler != nullptr) {
            // A protocol may keep such a packet, and its buffers with it; this one hands it back a
            // moment later.
            host_.scheduler().at(host_.now(), "return packet", [this, adapter, packet, claim] {
                host_.ownership().release(claim);
                if (!adapter->halted()) return_packet(*adapter, packet);
            });
        } else {
            claims.held.push_back(claim);
        }
    }
    // The protocols take their time over the packets: other processors go on meanwhile, and
    // anything they write into the buffers is found below or as it lands.
    if (!claims.held.empty()) host_.processors().scheduling_point();
    // The indication returns: the protocols hand the buffers back as they were shown them.
    while (!claims.held.empty()) {
        Ownership::Claim claim = claims.held.front();
        claims.held.erase(claims.held.begin());
        host_.ownership().release(claim);
    }
}

void Ndis::return_packet(Adapter& adapter, NDIS_PACKET* packet) {
    auto handler = characteristics_.ReturnPacketHandler;
    if (handler == nullptr) return;
    host_.call_driver(ContextKind::Handler, routine_name_of(handler), &adapter, DISPATCH_LEVEL,
                      [&] { handler(adapter.context(), packet); });
}

void Ndis::indicate_status(NDIS_HANDLE handle, NDIS_STATUS status, PVOID buffer, UINT size) {
    Adapter* adapter = find(handle, "NdisMIndicateStatus");
    if (adapter == nullptr) return;
    host_.locks().check_unmasked("NdisMIndicateStatus");
    ProtocolEvent e = event(ProtocolEventKind::Status, *adapter);
    e.status = status;
    if (buffer != nullptr && size != 0) {
        const auto* p = static_cast<const uint8_t*>(buffer);
        e.data.assign(p, p + size);
    }
    host_.recorder().add(std::move(e));
}

void Ndis::indicate_status_complete(NDIS_HANDLE handle) {
    Adapter* adapter = find(handle, "NdisMIndicateStatusComplete");
    if (adapter == nullptr) return;
    ProtocolEvent e = event(ProtocolEventKind::StatusComplete, *adapter);
    host_.recorder().add(std::move(e));
}

// ---- Requests and resets ----

const RequestRecord& Ndis::query(Adapter& adapter, NDIS_OID oid, ULONG buffer_length) {
    return request(adapter, RequestKind::Query, oid, std::vector<uint8_t>(buffer_length, 0));
}

const RequestRecord& Ndis::set(Adapter& adapter, NDIS_OID oid, const std::vector<uint8_t>& data) {
    return request(adapter, RequestKind::Set, oid, data);
}

const RequestRecord& Ndis::request(Adapter& adapter, RequestKind kind, NDIS_OID oid, std::vector<uint8_t> buffer) {
    if (adapter.request.pending || adapter.reset.pending || adapter.state != AdapterState::Running) {
        host_.verifier().report(Rule::Host, adapter.request.pending ? "NDIS makes one request at a time"
                                            : adapter.reset.pending ? "NDIS makes no request while a reset is pending"
                                                                    : adapter.name + " is not running");
        return adapter.request;
    }
    RequestRecord& r = adapter.request;
    r = RequestRecord{};
    r.kind = kind;
    r.oid = oid;
    r.buffer_length = static_cast<ULONG>(buffer.size());
    r.started = host_.now();
    // The information buffer is followed by guard bytes, so that a write past its end is seen.
    poison_guard(request_buffer_, 0, false);  // a request left pending at a halt kept its poison
    request_buffer_ = std::move(buffer);
    request_buffer_.resize(r.buffer_length + kGuardBytes, kGuardFill);
    if (host_.options().poison_request_guard) poison_guard(request_buffer_, r.buffer_length, true);
    request_bytes_done_ = 0;
    request_bytes_needed_ = 0;
    PVOID information = r.buffer_length ? request_buffer_.data() : nullptr;
    r.pending = true;  // until it is answered, at once or through a completion call
    NDIS_STATUS status;
    std::string name;
    if (kind == RequestKind::Query) {
        auto handler = characteristics_.QueryInformationHandler;
        name = routine_name_of(handler);
        status = host_.call_driver(ContextKind::Handler, name, &adapter, DISPATCH_LEVEL, [&] {
            return handler(adapter.context(), oid, information, r.buffer_length, &request_bytes_done_,
                           &request_bytes_needed_);
        });
    } else {
        auto handler = characteristics_.SetInformationHandler;
        name = routine_name_of(handler);
        status = host_.call_driver(ContextKind::Handler, name, &adapter, DISPATCH_LEVEL, [&] {
            return handler(adapter.context(), oid, information, r.buffer_length, &request_bytes_done_,
                           &request_bytes_needed_);
        });
    }
    r.returned = status;
    if (status != NDIS_STATUS_PENDING) {
        if (r.completed) {
            host_.verifier().report_for(Rule::Requests, &adapter, name,
                                        "a request answered at once with " + hex(status) + " was also completed");
            return adapter.request;
        }
        finish_request(adapter, status, name);
    }
    return adapter.request;
}

const RequestRecord& Ndis::reset(Adapter& adapter, bool for_hang) {
    if (adapter.reset.pending || adapter.state != AdapterState::Running) {
        host_.verifier().report(
            Rule::Host, adapter.reset.pending ? "NDIS makes one reset at a time" : adapter.name + " is not running");
        return adapter.reset;
    }
    if (reset_observer_) reset_observer_(adapter);
    RequestRecord& r = adapter.reset;
    r = RequestRecord{};
    r.kind = RequestKind::Reset;
    r.for_hang = for_hang;
    r.started = host_.now();
    BOOLEAN addressing = FALSE;
    r.pending = true;
    auto handler = characteristics_.ResetHandler;
    const std::string& name = routine_name_of(handler);
    NDIS_STATUS status = host_.call_driver(ContextKind::Handler, name, &adapter, DISPATCH_LEVEL,
                                           [&] { return handler(&addressing, adapter.context()); });
    r.returned = status;
    if (status != NDIS_STATUS_PENDING) {
        if (r.completed) {
            host_.verifier().report_for(Rule::Requests, &adapter, name,
                                        "a reset answered at once with " + hex(status) + " was also completed");
            return adapter.reset;
        }
        r.pending = false;
        r.addressing_reset = addressing != FALSE;
        r.completed = true;
        r.status = status;
        r.finished = host_.now();
        adapter.requests.push_back(r);
        ++adapter.resets_completed;
    }
    return adapter.reset;
}

// ---- The hang check ----

Time Ndis::hang_period(const Adapter& adapter) const {
    const UINT seconds_asked = adapter.attributes.check_for_hang_seconds;
    return seconds(seconds_asked == 0 ? 2 : seconds_asked);
}

void Ndis::schedule_hang_check(Adapter& adapter) {
    Adapter* a = &adapter;
    adapter.hang_check = host_.scheduler().after(hang_period(adapter), "check for hang", [this, a] {
        a->hang_check = 0;
        check_for_hang(*a);
    });
}

// Every period NDIS asks the miniport's check-for-hang handler, at dispatch level, whether the
// adapter is hung, and resets it when it says so. It also resets an adapter whose request has
// been pending for two periods, or whose send has (a serialized miniport's, whose sends NDIS
// queues), unless the adapter's attributes ask it to ignore such time-outs. Nothing is asked
// while a reset is pending, and nothing once the halt began.
void Ndis::check_for_hang(Adapter& adapter) {
    if (adapter.state != AdapterState::Running) return;
    if (!adapter.reset.pending) {
        bool hung = false;
        if (auto handler = characteristics_.CheckForHangHandler) {
            hung = host_.call_driver(ContextKind::Handler, routine_name_of(handler), &adapter, DISPATCH_LEVEL,
                                     [&] { return handler(adapter.context()) != FALSE; });
        }
        const Time timeout = 2 * hang_period(adapter);
        const ULONG flags = adapter.attributes.flags;
        if ((flags & NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT) == 0 && adapter.request.pending &&
            host_.now() - adapter.request.started >= timeout) {
            hung = true;
        }
        if ((flags & (NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT | NDIS_ATTRIBUTE_DESERIALIZE)) == 0) {
            for (const SendRecord* s : sends(&adapter)) {
                hung |= s->returned_status == NDIS_STATUS_PENDING && !s->completed && host_.now() - s->sent >= timeout;
            }
        }
        if (hung && adapter.state == AdapterState::Running && !adapter.reset.pending) {
            ++adapter.hang_resets;
            reset(adapter, true);
        }
    }
    if (adapter.state == AdapterState::Running && adapter.hang_check == 0) schedule_hang_check(adapter);
}

void Ndis::finish_request(Adapter& adapter, NDIS_STATUS status, const std::string& routine) {
    // Answered at once, the handler that answered is named; completed later, the running routine.
    auto fail = [&](const std::string& message) {
        if (routine.empty())
            host_.verifier().report(Rule::Requests, message);
        else
            host_.verifier().report_for(Rule::Requests, &adapter, routine, message);
    };
    RequestRecord& r = adapter.request;
    r.pending = false;
    r.completed = true;
    r.status = status;
    r.finished = host_.now();
    r.bytes_done = request_bytes_done_;
    r.bytes_needed = request_bytes_needed_;
    poison_guard(request_buffer_, r.buffer_length, false);
    r.data.assign(request_buffer_.begin(), request_buffer_.begin() + r.buffer_length);
    adapter.requests.push_back(r);
    const char* counter = r.kind == RequestKind::Query ? "BytesWritten" : "BytesRead";
    bool guard_intact = true;
    for (size_t i = r.buffer_length; i < request_buffer_.size(); ++i) guard_intact &= request_buffer_[i] == kGuardFill;
    if (!guard_intact) {
        fail("wrote past the end of the " + std::to_string(r.buffer_length) + "-byte information buffer");
    }
    if (r.bytes_done > r.buffer_length) {
        fail(std::string(counter) + " " + std::to_string(r.bytes_done) + " larger than the " +
             std::to_string(r.buffer_length) + "-byte information buffer");
    }
    if (status != NDIS_STATUS_SUCCESS && r.bytes_done != 0) {
        fail("request failed with " + hex(status) + " but changed " + counter + " to " + std::to_string(r.bytes_done));
    }
}

void Ndis::request_complete(NDIS_HANDLE handle, NDIS_STATUS status, RequestKind kind) {
    const char* operation =
        kind == RequestKind::Query ? "NdisMQueryInformationComplete" : "NdisMSetInformationComplete";
    Adapter* adapter = find(handle, operation);
    if (adapter == nullptr) return;
    ProtocolEvent e =
        event(kind == RequestKind::Query ? ProtocolEventKind::QueryComplete : ProtocolEventKind::SetComplete, *adapter);
    e.status = status;
    host_.recorder().add(std::move(e));
    RequestRecord& r = adapter->request;
    if (!r.pending || r.kind != kind) {
        bool answered_at_once = r.kind == kind && r.completed && r.returned != NDIS_STATUS_PENDING;
        host_.verifier().report(
            Rule::Requests,
            std::string(operation) + (answered_at_once                ? " for a request answered at once"
                                      : r.kind == kind && r.completed ? " for a request completed already"
                                                                      : " with no request pending"));
        return;
    }
    finish_request(*adapter, status, "");
}

void Ndis::reset_complete(NDIS_HANDLE handle, NDIS_STATUS status, BOOLEAN addressing_reset) {
    Adapter* adapter = find(handle, "NdisMResetComplete");
    if (adapter == nullptr) return;
    ProtocolEvent e = event(ProtocolEventKind::ResetComplete, *adapter);
    e.status = status;
    e.addressing_reset = addressing_reset != FALSE;
    host_.recorder().add(std::move(e));
    RequestRecord& r = adapter->reset;
    if (!r.pending || r.kind != RequestKind::Reset) {
        bool at_once = r.kind == RequestKind::Reset && r.completed && r.returned != NDIS_STATUS_PENDING;
        host_.verifier().report(Rule::Requests, at_once ? "NdisMResetComplete for a reset answered at once"
                                                : r.kind == RequestKind::Reset && r.completed
                                                    ? "NdisMResetComplete for a reset completed already"
                                                    : "NdisMResetComplete with no reset pending");
        return;
    }
    r.pending = false;
    r.completed = true;
    r.status = status;
    r.addressing_reset = addressing_reset != FALSE;
    r.finished = host_.now();
    adapter->requests.push_back(r);
    ++adapter->resets_completed;
    if (reset_complete_handler_) reset_complete_handler_(*adapter);
}

const SendRecord* Ndis::send_record(uint64_t id) const {
    auto it = sends_.find(id);
    return it == sends_.end() ? nullptr : it->second.get();
}

std::vector<const SendRecord*> Ndis::sends(const Adapter* adapter) const {
    std::vector<const SendRecord*> out;
    for (const auto& [id, s] : sends_)
        if (adapter == nullptr || s->adapter == adapter) out.push_back(s.get());
    return out;
}

size_t Ndis::forget_finished_sends(Time ended_before) {
    return std::erase_if(sends_, [&](const auto& entry) {
        const SendRecord& s = *entry.second;
        const bool completed = s.completed && s.completed_at < ended_before;
        const bool not_pended = s.returned && s.returned_status != NDIS_STATUS_PENDING && s.sent < ended_before;
        if (s.in_send || !(completed || not_pended)) return false;
        host_.packets().forget_send_packet(s.packet);
        return true;
    });
}

}  // namespace host
