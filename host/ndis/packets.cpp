#include "host/ndis/packets.h"

#include <algorithm>
#include <cstring>

#include "host/host.h"

namespace host {

Packets::Packets(Host& host) : host_(host) {}
Packets::~Packets() = default;

NDIS_STATUS Packets::allocate_packet_pool(NDIS_HANDLE* pool, UINT descriptors, UINT protocol_reserved) {
    *pool = nullptr;
    if (host_.faults().should_fail(AllocKind::PacketPool)) return NDIS_STATUS_RESOURCES;
    auto p = std::make_unique<PacketPool>();
    p->capacity = descriptors;
    p->protocol_reserved = protocol_reserved;
    p->adapter = host_.contexts().adapter();
    p->packets.resize(descriptors);
    for (NDIS_PACKET& packet : p->packets) {
        packet.pool = p.get();
        packet.protocol_reserved.assign(protocol_reserved, 0);
        packet_index_.put(&packet, p.get());
    }
    // Handed out in the order they were made: the first packet first.
    p->free.reserve(descriptors);
    for (UINT i = descriptors; i > 0; --i) p->free.push_back(&p->packets[i - 1]);
    *pool = p.get();
    host_.memory().note_allocated(AllocKind::PacketPool, p.get(), descriptors, 0);
    packet_pools_[p.get()] = std::move(p);
    return NDIS_STATUS_SUCCESS;
}

void Packets::free_packet_pool(NDIS_HANDLE pool) {
    auto it = packet_pools_.find(pool);
    if (it == packet_pools_.end() || !it->second->alive) {
        host_.verifier().report(
            Rule::Memory, it == packet_pools_.end() ? "freeing an unknown packet pool" : "freeing a packet pool twice");
        return;
    }
    // Each packet must be freed with NdisFreePacket before its pool: a checked system stops on a
    // pool freed with packets outstanding. The pool is taken back all the same, and stays
    // behind, dead, so that a stale packet pointer is recognised.
    PacketPool& p = *it->second;
    const size_t outstanding = p.taken;
    p.alive = false;
    for (NDIS_PACKET& packet : p.packets) packet.in_use = false;
    p.free.clear();
    p.taken = 0;
    host_.memory().note_released(AllocKind::PacketPool, pool);
    if (outstanding != 0) {
        host_.verifier().report(Rule::Memory, "packet pool freed with " + std::to_string(outstanding) +
                                                  " packet(s) still allocated: each must go back with NdisFreePacket");
    }
}

NDIS_STATUS Packets::allocate_packet(PNDIS_PACKET* packet, NDIS_HANDLE pool) {
    *packet = nullptr;
    auto it = packet_pools_.find(pool);
    if (it == packet_pools_.end() || !it->second->alive) {
        host_.verifier().report(Rule::Memory, "NdisAllocatePacket from a packet pool that does not exist");
        return NDIS_STATUS_FAILURE;
    }
    if (host_.faults().should_fail(AllocKind::Packet)) return NDIS_STATUS_RESOURCES;
    PacketPool& pool_record = *it->second;
    if (pool_record.free.empty()) return NDIS_STATUS_RESOURCES;
    NDIS_PACKET& p = *pool_record.free.back();
    pool_record.free.pop_back();
    p.in_use = true;
    p.first = p.last = nullptr;
    p.status = NDIS_STATUS_SUCCESS;
    p.header_size = 0;
    ++pool_record.taken;
    *packet = &p;
    return NDIS_STATUS_SUCCESS;
}

void Packets::free_packet(PNDIS_PACKET packet) {
    if (!valid(packet, "NdisFreePacket")) return;
    if (packet->pool == nullptr) {
        host_.verifier().report(Rule::Packets, "NdisFreePacket on a packet that belongs to a protocol");
        return;
    }
    packet->in_use = false;
    for (MDL* b = packet->first; b != nullptr; b = b->Next) b->owner = nullptr;
    packet->first = packet->last = nullptr;
    --packet->pool->taken;
    if (packet->pool->alive) packet->pool->free.push_back(packet);
}

NDIS_STATUS Packets::allocate_buffer_pool(NDIS_HANDLE* pool, UINT descriptors) {
    *pool = nullptr;
    if (host_.faults().should_fail(AllocKind::BufferPool)) return NDIS_STATUS_RESOURCES;
    auto p = std::make_unique<BufferPool>();
    p->capacity = descriptors;
    p->adapter = host_.contexts().adapter();
    p->buffers.resize(descriptors);
    for (MDL& buffer : p->buffers) {
        buffer.pool = p.get();
        buffer_index_.put(&buffer, p.get());
    }
    p->free.reserve(descriptors);
    for (UINT i = descriptors; i > 0; --i) p->free.push_back(&p->buffers[i - 1]);
    *pool = p.get();
    host_.memory().note_allocated(AllocKind::BufferPool, p.get(), descriptors, 0);
    buffer_pools_[p.get()] = std::move(p);
    return NDIS_STATUS_SUCCESS;
}

void Packets::free_buffer_pool(NDIS_HANDLE pool) {
    auto it = buffer_pools_.find(pool);
    if (it == buffer_pools_.end() || !it->second->alive) {
        host_.verifier().report(
            Rule::Memory, it == buffer_pools_.end() ? "freeing an unknown buffer pool" : "freeing a buffer pool twice");
        return;
    }
    // Each buffer (a memory descriptor) must be freed with NdisFreeBuffer before its pool, or it
    // leaks on a real system.
    BufferPool& p = *it->second;
    const size_t outstanding = p.taken;
    p.alive = false;
    for (MDL& buffer : p.buffers) buffer.in_use = false;
    p.free.clear();
    p.taken = 0;
    host_.memory().note_released(AllocKind::BufferPool, pool);
    if (outstanding != 0) {
        host_.verifier().report(Rule::Memory, "buffer pool freed with " + std::to_string(outstanding) +
                                                  " buffer(s) still allocated: each must go back with NdisFreeBuffer");
    }
}

NDIS_STATUS Packets::allocate_buffer(PNDIS_BUFFER* buffer, NDIS_HANDLE pool, PVOID address, UINT length) {
    *buffer = nullptr;
    auto it = buffer_pools_.find(pool);
    if (it == buffer_pools_.end() || !it->second->alive) {
        host_.verifier().report(Rule::Memory, "NdisAllocateBuffer from a buffer pool that does not exist");
        return NDIS_STATUS_FAILURE;
    }
    if (host_.faults().should_fail(AllocKind::Buffer)) return NDIS_STATUS_RESOURCES;
    BufferPool& pool_record = *it->second;
    if (pool_record.free.empty()) return NDIS_STATUS_RESOURCES;
    MDL& b = *pool_record.free.back();
    pool_record.free.pop_back();
    b.in_use = true;
    b.Next = nullptr;
    b.VirtualAddress = address;
    b.ByteCount = b.AllocatedCount = length;
    b.owner = nullptr;
    ++pool_record.taken;
    *buffer = &b;
    return NDIS_STATUS_SUCCESS;
}

void Packets::free_buffer(PNDIS_BUFFER buffer) {
    if (!valid(buffer, "NdisFreeBuffer")) return;
    if (buffer->pool == nullptr) {
        host_.verifier().report(Rule::Packets, "NdisFreeBuffer on a buffer that belongs to a protocol");
        return;
    }
    buffer->in_use = false;
    --buffer->pool->taken;
    if (buffer->pool->alive) buffer->pool->free.push_back(buffer);
}

bool Packets::valid(const NDIS_PACKET* packet, const char* operation) {
    bool known = packet_index_.find(packet) != nullptr || send_packets_.count(packet) != 0;
    if (!known) {
        host_.verifier().report(Rule::Packets, std::string(operation) + " on a pointer that is no packet");
        return false;
    }
    if (!packet->in_use) {
        host_.verifier().report(Rule::Packets, std::string(operation) + " on a packet that has been freed or returned");
        return false;
    }
    return true;
}

bool Packets::valid(const MDL* buffer, const char* operation) {
    bool known = buffer_index_.find(buffer) != nullptr || send_buffers_.find(buffer) != nullptr;
    if (!known) {
        host_.verifier().report(Rule::Packets, std::string(operation) + " on a pointer that is no buffer");
        return false;
    }
    if (!buffer->in_use) {
        host_.verifier().report(Rule::Packets, std::string(operation) + " on a buffer that has been freed");
        return false;
    }
    return true;
}

void Packets::chain_at_front(PNDIS_PACKET packet, PNDIS_BUFFER buffer) {
    if (!valid(packet, "NdisChainBufferAtFront") || !valid(buffer, "NdisChainBufferAtFront")) return;
    if (buffer->owner != nullptr) {
        host_.verifier().report(Rule::Packets, "NdisChainBufferAtFront with a buffer already chained to a packet");
        return;
    }
    buffer->Next = packet->first;
    buffer->owner = packet;
    packet->first = buffer;
    if (packet->last == nullptr) packet->last = buffer;
}

void Packets::query_packet(PNDIS_PACKET packet, PUINT physical_count, PUINT buffer_count, PNDIS_BUFFER* first,
                           PUINT total_length) {
    if (!valid(packet, "NdisQueryPacket")) return;
    UINT count = 0;
    UINT total = 0;
    for (MDL* b = packet->first; b != nullptr; b = b->Next) {
        ++count;
        total += b->ByteCount;
    }
    if (physical_count) *physical_count = count;
    if (buffer_count) *buffer_count = count;
    if (first) *first = packet->first;
    if (total_length) *total_length = total;
}

void Packets::query_buffer(PNDIS_BUFFER buffer, PVOID* address, PUINT length) {
    if (!valid(buffer, "NdisQueryBuffer")) return;
    if (address) *address = buffer->VirtualAddress;
    if (length) *length = buffer->ByteCount;
}

void Packets::next_buffer(PNDIS_BUFFER buffer, PNDIS_BUFFER* next) {
    if (!valid(buffer, "NdisGetNextBuffer")) return;
    *next = buffer->Next;
}

void Packets::adjust_length(PNDIS_BUFFER buffer, UINT length) {
    if (!valid(buffer, "NdisAdjustBufferLength")) return;
    if (length > buffer->AllocatedCount) {
        // The buffer would describe memory it was never given.
        host_.verifier().report(Rule::Receive, "NdisAdjustBufferLength to " + std::to_string(length) +
                                                   " bytes on a buffer made for " +
                                                   std::to_string(buffer->AllocatedCount));
        return;
    }
    buffer->ByteCount = length;
}

void Packets::set_status(PNDIS_PACKET packet, NDIS_STATUS status) {
    if (valid(packet, "NDIS_SET_PACKET_STATUS")) packet->status = status;
}

NDIS_STATUS Packets::get_status(PNDIS_PACKET packet) {
    return valid(packet, "NDIS_GET_PACKET_STATUS") ? packet->status : NDIS_STATUS_FAILURE;
}

void Packets::set_header_size(PNDIS_PACKET packet, UINT size) {
    if (valid(packet, "NDIS_SET_PACKET_HEADER_SIZE")) packet->header_size = size;
}

std::vector<uint8_t> Packets::bytes(const NDIS_PACKET* packet) const {
    std::vector<uint8_t> out;
    for (const MDL* b = packet->first; b != nullptr; b = b->Next) {
        const auto* p = static_cast<const uint8_t*>(b->VirtualAddress);
        if (b->ByteCount != 0 && p != nullptr) out.insert(out.end(), p, p + b->ByteCount);
    }
    return out;
}

NDIS_PACKET* Packets::make_send_packet(const std::vector<uint8_t>& bytes, const std::vector<size_t>& splits,
                                       uint64_t send_id) {
    SendPacket send;
    send.packet = std::make_unique<NDIS_PACKET>();
    NDIS_PACKET* packet = send.packet.get();
    packet->in_use = true;
    packet->send_id = send_id;
    std::vector<size_t> lengths;
    size_t used = 0;
    for (size_t split : splits) {
        size_t take = std::min(split, bytes.size() - used);
        lengths.push_back(take);
        used += take;
    }
    if (used < bytes.size() || lengths.empty()) lengths.push_back(bytes.size() - used);
    size_t offset = 0;
    for (size_t length : lengths) {
        // Each buffer has memory of its own, exactly as long as its part of the frame.
        auto memory = std::make_unique<uint8_t[]>(std::max<size_t>(length, 1));
        if (length) std::memcpy(memory.get(), bytes.data() + offset, length);
        offset += length;
        auto buffer = std::make_unique<MDL>();
        buffer->VirtualAddress = memory.get();
        buffer->ByteCount = buffer->AllocatedCount = static_cast<UINT>(length);
        buffer->in_use = true;
        buffer->owner = packet;
        if (packet->last)
            packet->last->Next = buffer.get();
        else
            packet->first = buffer.get();
        packet->last = buffer.get();
        send_buffers_.put(buffer.get(), packet);
        send.buffers.push_back(std::move(buffer));
        send.memory.push_back(std::move(memory));
    }
    send_packets_[packet] = std::move(send);
    return packet;
}

void Packets::release_send_packet(NDIS_PACKET* packet) {
    // The packet stays known but unusable, so that late use by the driver is caught.
    auto it = send_packets_.find(packet);
    if (it == send_packets_.end()) return;
    packet->in_use = false;
    for (auto& b : it->second.buffers) b->in_use = false;
}

bool Packets::is_send_packet(const NDIS_PACKET* packet) const { return send_packets_.count(packet) != 0; }

void Packets::forget_send_packet(const NDIS_PACKET* packet) {
    auto it = send_packets_.find(packet);
    if (it == send_packets_.end() || packet->in_use) return;
    for (const auto& b : it->second.buffers) send_buffers_.erase(b.get());
    send_packets_.erase(it);
}

size_t Packets::live_pools(const Adapter* adapter) const {
    size_t n = 0;
    for (const auto& [k, p] : packet_pools_) n += p->alive && (adapter == nullptr || p->adapter == adapter);
    for (const auto& [k, p] : buffer_pools_) n += p->alive && (adapter == nullptr || p->adapter == adapter);
    return n;
}

}  // namespace host
