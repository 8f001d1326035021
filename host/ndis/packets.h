// Packets, buffers and their pools. The platform leaves NDIS_PACKET and NDIS_BUFFER (an MDL)
// opaque; the host gives them their layout here. Pools attribute themselves to the adapter whose
// context made them and appear in the memory ledger; freeing a pool frees what was taken from it.
// The protocol side builds its own send packets from bytes split into any number of buffers.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "host/core/pointer_map.h"
#include "host/core/types.h"

namespace host {
struct PacketPool;
struct BufferPool;
}  // namespace host

// A buffer descriptor: a run of bytes in memory, chained to the next buffer of its packet.
struct MDL {
    MDL* Next = nullptr;
    PVOID VirtualAddress = nullptr;
    UINT ByteCount = 0;
    UINT AllocatedCount = 0;  // the length it was made with
    host::BufferPool* pool = nullptr;
    bool in_use = false;
    PNDIS_PACKET owner = nullptr;  // the packet it is chained to
};

struct NDIS_PACKET {
    MDL* first = nullptr;
    MDL* last = nullptr;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    UINT header_size = 0;
    host::PacketPool* pool = nullptr;
    bool in_use = false;
    uint64_t send_id = 0;  // protocol-side send packets: the send they belong to
    std::vector<uint8_t> protocol_reserved;
};

namespace host {

struct PacketPool {
    UINT capacity = 0;
    UINT protocol_reserved = 0;
    Adapter* adapter = nullptr;
    bool alive = true;
    std::vector<NDIS_PACKET> packets;  // made at creation and never resized: the packets never move
    // Packets not in use, the next one to hand out last, so that taking and giving back a
    // packet costs the same however large the pool is.
    std::vector<NDIS_PACKET*> free;
    UINT taken = 0;
};

struct BufferPool {
    UINT capacity = 0;
    Adapter* adapter = nullptr;
    bool alive = true;
    std::vector<MDL> buffers;  // as PacketPool::packets
    std::vector<MDL*> free;    // as PacketPool::free
    UINT taken = 0;
};

class Packets {
public:
    explicit Packets(Host& host);
    ~Packets();

    // Driver-side pools.
    NDIS_STATUS allocate_packet_pool(NDIS_HANDLE* pool, UINT descriptors, UINT protocol_reserved);
    void free_packet_pool(NDIS_HANDLE pool);
    NDIS_STATUS allocate_packet(PNDIS_PACKET* packet, NDIS_HANDLE pool);
    void free_packet(PNDIS_PACKET packet);
    NDIS_STATUS allocate_buffer_pool(NDIS_HANDLE* pool, UINT descriptors);
    void free_buffer_pool(NDIS_HANDLE pool);
    NDIS_STATUS allocate_buffer(PNDIS_BUFFER* buffer, NDIS_HANDLE pool, PVOID address, UINT length);
    void free_buffer(PNDIS_BUFFER buffer);

    // Bookkeeping.
    void chain_at_front(PNDIS_PACKET packet, PNDIS_BUFFER buffer);
    void query_packet(PNDIS_PACKET packet, PUINT physical_count, PUINT buffer_count, PNDIS_BUFFER* first,
                      PUINT total_length);
    void query_buffer(PNDIS_BUFFER buffer, PVOID* address, PUINT length);
    void next_buffer(PNDIS_BUFFER buffer, PNDIS_BUFFER* next);
    void adjust_length(PNDIS_BUFFER buffer, UINT length);
    void set_status(PNDIS_PACKET packet, NDIS_STATUS status);
    NDIS_STATUS get_status(PNDIS_PACKET packet);
    void set_header_size(PNDIS_PACKET packet, UINT size);

    // Checks that a packet or buffer pointer is one handed out and still in use; reports otherwise.
    bool valid(const NDIS_PACKET* packet, const char* operation);
    bool valid(const MDL* buffer, const char* operation);

    // The bytes a packet describes, buffer after buffer.
    std::vector<uint8_t> bytes(const NDIS_PACKET* packet) const;

    // Protocol side: a send packet holding `bytes`, cut into buffers at the given lengths (the
    // last buffer takes the rest). Host-owned; released with release_send_packet.
    NDIS_PACKET* make_send_packet(const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits,
                                  uint64_t send_id);
    void release_send_packet(NDIS_PACKET* packet);
    bool is_send_packet(const NDIS_PACKET* packet) const;
    // Frees a released send packet for good; later use of it is no longer told apart.
    void forget_send_packet(const NDIS_PACKET* packet);

    size_t live_pools(const Adapter* adapter) const;  // null: all

private:
    Host& host_;
    std::map<const void*, std::unique_ptr<PacketPool>> packet_pools_;
    std::map<const void*, std::unique_ptr<BufferPool>> buffer_pools_;
    // Every packet and buffer ever handed out, looked up at every service that takes one.
    PointerMap<PacketPool*> packet_index_;
    PointerMap<BufferPool*> buffer_index_;
    struct SendPacket {
        std::unique_ptr<NDIS_PACKET> packet;
        std::vector<std::unique_ptr<MDL>> buffers;
        std::vector<std::unique_ptr<uint8_t[]>> memory;
    };
    std::map<const NDIS_PACKET*, SendPacket> send_packets_;
    PointerMap<const NDIS_PACKET*> send_buffers_;
};

}  // namespace host
