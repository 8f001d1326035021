// The tracked resource list: every long-lived allocation of an adapter is recorded in its
// ADAPTER record and released with one walk, newest first, at halt or after a failed
// initialization. Entries are carved from blocks of 15, allocated on demand.
#pragma once

#include "miniport/list.h"
#include "platform/platform.h"

struct ADAPTER;

constexpr ULONG RESOURCE_NONE = 0;
constexpr ULONG RESOURCE_MEMORY = 1;
constexpr ULONG RESOURCE_SHARED_MEMORY = 2;
constexpr ULONG RESOURCE_PORT_RANGE = 3;
constexpr ULONG RESOURCE_INTERRUPT = 4;
constexpr ULONG RESOURCE_MAP_REGISTERS = 5;
constexpr ULONG RESOURCE_PACKET_POOL = 6;
constexpr ULONG RESOURCE_BUFFER_POOL = 7;

struct RESOURCE_ENTRY {
    RESOURCE_ENTRY* Next;
    RESOURCE_ENTRY* Prev;
    ULONG Type;
    union {
        struct {
            ULONG Size;
            PVOID Address;
        } Memory;
        struct {
            ULONG Length;
            PVOID VirtualAddress;
            NDIS_PHYSICAL_ADDRESS PhysicalAddress;
            BOOLEAN Cached;
        } SharedMemory;
        struct {
            NDIS_HANDLE AdapterHandle;
            UINT NumberOfPorts;
            UINT InitialPort;
            PVOID PortOffset;
        } PortRange;
        NDIS_MINIPORT_INTERRUPT Interrupt;
        struct {
            NDIS_HANDLE PoolHandle;
        } Pool;
    };
};
typedef LIST_HEAD3<RESOURCE_ENTRY> RESOURCE_LIST;

constexpr ULONG RESOURCE_ENTRIES_PER_BLOCK = 15;
constexpr ULONG RESOURCE_BLOCK_SIZE = 1440;
static_assert(sizeof(RESOURCE_ENTRY) * RESOURCE_ENTRIES_PER_BLOCK == RESOURCE_BLOCK_SIZE);

// Pool tags are four bytes as they lie in memory; a counter tag starts as "00QV" and its
// first byte advances with each allocation made under it.
constexpr ULONG MakePoolTag(char a, char b, char c, char d)
{
    return static_cast<ULONG>(static_cast<UCHAR>(a)) | (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}
constexpr ULONG INITIAL_POOL_TAG = MakePoolTag('0', '0', 'Q', 'V');
constexpr ULONG ADAPTER_POOL_TAG = MakePoolTag('0', 'o', 'b', 'A');

RESOURCE_ENTRY* TakeResourceEntry(ADAPTER* Adapter);
ULONG AllocateTrackedMemory(ADAPTER* Adapter, PVOID* Memory, ULONG Size);
VOID ReleaseTrackedResources(ADAPTER* Adapter);

// The driver-wide tag counters (one copy shared by all adapters).
ULONG CurrentBlockTag();
ULONG CurrentMemoryTag();
