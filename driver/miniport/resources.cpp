// Tracked resources: entries carved from blocks allocated on demand, filled by their callers,
// and released together, newest first.
#include <atomic>

#include "miniport/adapter.h"
#include "miniport/resources.h"

namespace {

// The two driver-wide tag counters. Each is passed as the tag and then advanced by one as a
// little-endian number, whether the allocation succeeded or not.
std::atomic<ULONG> BlockTagCounter{INITIAL_POOL_TAG};
std::atomic<ULONG> MemoryTagCounter{INITIAL_POOL_TAG};

VOID ReleaseEntry(RESOURCE_ENTRY* Entry, NDIS_HANDLE MiniportAdapterHandle)
{
    switch (Entry->Type) {
    case RESOURCE_MEMORY:
        NdisFreeMemory(Entry->Memory.Address, Entry->Memory.Size, 0);
        break;
    case RESOURCE_SHARED_MEMORY:
        NdisMFreeSharedMemory(MiniportAdapterHandle, Entry->SharedMemory.Length, Entry->SharedMemory.Cached,
                              Entry->SharedMemory.VirtualAddress, Entry->SharedMemory.PhysicalAddress);
        break;
    case RESOURCE_PORT_RANGE:
        NdisMDeregisterIoPortRange(Entry->PortRange.AdapterHandle, Entry->PortRange.InitialPort,
                                   Entry->PortRange.NumberOfPorts, Entry->PortRange.PortOffset);
        break;
    case RESOURCE_INTERRUPT:
        NdisMDeregisterInterrupt(&Entry->Interrupt);
        break;
    case RESOURCE_MAP_REGISTERS:
        NdisMFreeMapRegisters(MiniportAdapterHandle);
        break;
    case RESOURCE_PACKET_POOL:
        NdisFreePacketPool(Entry->Pool.PoolHandle);
        break;
    case RESOURCE_BUFFER_POOL:
        NdisFreeBufferPool(Entry->Pool.PoolHandle);
        break;
    default:
        break;  // nothing was made for this entry
    }
}

}  // namespace

ULONG CurrentBlockTag() { return BlockTagCounter.load(std::memory_order_relaxed); }
ULONG CurrentMemoryTag() { return MemoryTagCounter.load(std::memory_order_relaxed); }

// TakeResourceEntry — passive level (initialization). Returns a fresh zero entry already on
// ResourceList, or null when no entry block could be allocated.
RESOURCE_ENTRY* TakeResourceEntry(ADAPTER* Adapter)
{
    if (Adapter->FreeEntryList.Count == 0) {
        PVOID Block = nullptr;
        NDIS_STATUS Status = NdisAllocateMemoryWithTag(&Block, RESOURCE_BLOCK_SIZE,
                                                       BlockTagCounter.fetch_add(1, std::memory_order_relaxed));
        if (Status != NDIS_STATUS_SUCCESS || Block == nullptr) {
            return nullptr;
        }
        NdisZeroMemory(Block, RESOURCE_BLOCK_SIZE);
        auto* Entries = static_cast<RESOURCE_ENTRY*>(Block);
        for (ULONG i = 0; i < RESOURCE_ENTRIES_PER_BLOCK; i++) {
            InsertLast(&Adapter->FreeEntryList, &Entries[i]);
        }
        // The block's first entry records the block itself.
        RESOURCE_ENTRY* BlockEntry = RemoveFirst(&Adapter->FreeEntryList);
        BlockEntry->Type = RESOURCE_MEMORY;
        BlockEntry->Memory.Size = RESOURCE_BLOCK_SIZE;
        BlockEntry->Memory.Address = Block;
        InsertFirst(&Adapter->ResourceList, BlockEntry);
    }
    RESOURCE_ENTRY* Entry = RemoveFirst(&Adapter->FreeEntryList);
    InsertFirst(&Adapter->ResourceList, Entry);
    Adapter->EntryCount++;
    return Entry;
}

// AllocateTrackedMemory — passive level. 1: Memory points to Size zero bytes, recorded for
// release; 2: Memory is null (an entry taken for it stays on the list with Type 0).
ULONG AllocateTrackedMemory(ADAPTER* Adapter, PVOID* Memory, ULONG Size)
{
    *Memory = nullptr;
    RESOURCE_ENTRY* Entry = TakeResourceEntry(Adapter);
    if (Entry == nullptr) {
        return RESULT_FAILURE;
    }
    PVOID Address = nullptr;
    NDIS_STATUS Status =
        NdisAllocateMemoryWithTag(&Address, Size, MemoryTagCounter.fetch_add(1, std::memory_order_relaxed));
    if (Status != NDIS_STATUS_SUCCESS || Address == nullptr) {
        return RESULT_FAILURE;
    }
    NdisZeroMemory(Address, Size);
    Entry->Memory.Size = Size;
    Entry->Type = RESOURCE_MEMORY;
    Entry->Memory.Address = Address;
    *Memory = Address;
    return RESULT_SUCCESS;
}

// ReleaseTrackedResources — passive level (halt, failed initialization); the record's last use.
// Releases every entry newest first, the ADAPTER record and the entry blocks included. The
// entries live in their blocks, and each block's own entry stands behind every entry carved
// from it, so a block is freed only after everything recorded in it. The walk reads nothing
// from the ADAPTER record once it starts, because the record itself is released on the way.
VOID ReleaseTrackedResources(ADAPTER* Adapter)
{
    NDIS_HANDLE MiniportAdapterHandle = Adapter->MiniportAdapterHandle;
    RESOURCE_ENTRY* Entry = Adapter->ResourceList.First;
    while (Entry != nullptr) {
        RESOURCE_ENTRY* Next = Entry->Next;
        ReleaseEntry(Entry, MiniportAdapterHandle);
        Entry = Next;
    }
}
