// The NDIS wrapper services of driver/platform (ndis.h), as free functions over the current host.
#include <cstring>

#include "host/host.h"

using host::Host;

namespace {

// Every service is a scheduling point: another processor may run before it takes effect.
struct Entered {
    host::races::HostCode code;  // the service's own accesses are the host's, not the driver's
    Host& host = Host::entered();
    std::lock_guard<host::HostLock> guard{host.lock()};
};

}  // namespace

VOID NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1, PVOID SystemSpecific2,
                           PVOID /*SystemSpecific3*/) {
    Entered e;
    e.host.ndis().initialize_wrapper(NdisWrapperHandle, SystemSpecific1, SystemSpecific2);
}

VOID NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID /*SystemSpecific*/) {
    Entered e;
    e.host.ndis().terminate_wrapper(NdisWrapperHandle);
}

NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle, PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                  UINT CharacteristicsLength) {
    Entered e;
    return e.host.ndis().register_miniport(NdisWrapperHandle, MiniportCharacteristics, CharacteristicsLength);
}

VOID NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                          UINT CheckForHangTimeInSeconds, ULONG AttributeFlags, NDIS_INTERFACE_TYPE AdapterType) {
    Entered e;
    e.host.ndis().set_attributes(MiniportAdapterHandle, MiniportAdapterContext, CheckForHangTimeInSeconds,
                                 AttributeFlags, AdapterType);
}

VOID NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler) {
    Entered e;
    e.host.ndis().register_shutdown_handler(MiniportHandle, ShutdownContext, ShutdownHandler);
}

VOID NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle) {
    Entered e;
    e.host.ndis().deregister_shutdown_handler(MiniportHandle);
}

VOID NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle, PDEVICE_OBJECT* PhysicalDeviceObject,
                            PDEVICE_OBJECT* FunctionalDeviceObject, PDEVICE_OBJECT* NextDeviceObject,
                            PCM_RESOURCE_LIST* AllocatedResources, PCM_RESOURCE_LIST* AllocatedResourcesTranslated) {
    Entered e;
    e.host.ndis().device_property(MiniportAdapterHandle, PhysicalDeviceObject, FunctionalDeviceObject,
                                  NextDeviceObject);
    if (AllocatedResources) *AllocatedResources = nullptr;
    if (AllocatedResourcesTranslated) *AllocatedResourcesTranslated = nullptr;
}

VOID NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext) {
    Entered e;
    *Status = e.host.ndis().open_configuration(ConfigurationHandle, WrapperConfigurationContext);
}

VOID NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword, NDIS_PARAMETER_TYPE ParameterType) {
    Entered e;
    *Status = e.host.ndis().read_configuration(ParameterValue, ConfigurationHandle, Keyword, ParameterType);
}

VOID NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress, PUINT NetworkAddressLength,
                            NDIS_HANDLE ConfigurationHandle) {
    Entered e;
    *Status = e.host.ndis().read_network_address(NetworkAddress, NetworkAddressLength, ConfigurationHandle);
}

VOID NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    Entered e;
    e.host.ndis().close_configuration(ConfigurationHandle);
}

NDIS_STATUS NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag) {
    Entered e;
    *VirtualAddress = e.host.memory().allocate(host::AllocKind::Memory, Length, Tag);
    return *VirtualAddress ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}

VOID NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT /*MemoryFlags*/) {
    Entered e;
    e.host.memory().release(host::AllocKind::Memory, VirtualAddress, Length);
}

VOID NdisZeroMemory(PVOID Destination, ULONG Length) {
    if (Length) std::memset(Destination, 0, Length);
}

VOID NdisMoveMemory(PVOID Destination, const VOID* Source, ULONG Length) {
    if (Length) std::memmove(Destination, Source, Length);
}

VOID NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG /*Length*/, BOOLEAN /*Cached*/,
                           PVOID /*VirtualAddress*/, NDIS_PHYSICAL_ADDRESS /*PhysicalAddress*/) {
    Entered e;
    e.host.ndis().released_resource(MiniportAdapterHandle, "NdisMFreeSharedMemory");
}

VOID NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT /*InitialPort*/, UINT /*NumberOfPorts*/,
                                PVOID /*PortOffset*/) {
    Entered e;
    e.host.ndis().released_resource(MiniportAdapterHandle, "NdisMDeregisterIoPortRange");
}

VOID NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT /*Interrupt*/) {
    Entered e;
    e.host.ndis().released_resource(nullptr, "NdisMDeregisterInterrupt");
}

VOID NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle) {
    Entered e;
    e.host.ndis().released_resource(MiniportAdapterHandle, "NdisMFreeMapRegisters");
}

VOID NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Entered e;
    e.host.locks().allocate(SpinLock, __builtin_return_address(0));
}

VOID NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Entered e;
    e.host.locks().free(SpinLock);
}

VOID NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Entered e;
    e.host.locks().acquire(SpinLock, true, __builtin_return_address(0));
}

VOID NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Entered e;
    e.host.locks().release(SpinLock, true);
}

VOID NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Entered e;
    e.host.locks().acquire(SpinLock, false, __builtin_return_address(0));
}

VOID NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Entered e;
    e.host.locks().release(SpinLock, false);
}

VOID NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
    Entered e;
    e.host.timers().initialize(Timer, MiniportAdapterHandle, TimerFunction, FunctionContext);
}

VOID NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay) {
    Entered e;
    e.host.timers().set(Timer, MillisecondsToDelay);
}

VOID NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay) {
    Entered e;
    e.host.timers().set(Timer, MillisecondsToDelay);
}

VOID NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
    Entered e;
    BOOLEAN cancelled = e.host.timers().cancel(Timer) ? TRUE : FALSE;
    if (TimerCancelled) *TimerCancelled = cancelled;
}

VOID NdisMSleep(ULONG MicrosecondsToSleep) {
    Entered e;
    e.host.waits().sleep(MicrosecondsToSleep);
}

VOID NdisInitializeWorkItem(PNDIS_WORK_ITEM WorkItem, NDIS_PROC Routine, PVOID Context) {
    std::memset(WorkItem, 0, sizeof *WorkItem);
    WorkItem->Routine = Routine;
    WorkItem->Context = Context;
}

NDIS_STATUS NdisScheduleWorkItem(PNDIS_WORK_ITEM WorkItem) {
    Entered e;
    e.host.timers().schedule_work_item(WorkItem);
    return NDIS_STATUS_SUCCESS;
}

VOID NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors,
                            UINT ProtocolReservedLength) {
    Entered e;
    *Status = e.host.packets().allocate_packet_pool(PoolHandle, NumberOfDescriptors, ProtocolReservedLength);
}

VOID NdisFreePacketPool(NDIS_HANDLE PoolHandle) {
    Entered e;
    e.host.packets().free_packet_pool(PoolHandle);
}

VOID NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet, NDIS_HANDLE PoolHandle) {
    Entered e;
    *Status = e.host.packets().allocate_packet(Packet, PoolHandle);
}

VOID NdisFreePacket(PNDIS_PACKET Packet) {
    Entered e;
    e.host.packets().free_packet(Packet);
}

VOID NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors) {
    Entered e;
    *Status = e.host.packets().allocate_buffer_pool(PoolHandle, NumberOfDescriptors);
}

VOID NdisFreeBufferPool(NDIS_HANDLE PoolHandle) {
    Entered e;
    e.host.packets().free_buffer_pool(PoolHandle);
}

VOID NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer, NDIS_HANDLE PoolHandle, PVOID VirtualAddress,
                        UINT Length) {
    Entered e;
    *Status = e.host.packets().allocate_buffer(Buffer, PoolHandle, VirtualAddress, Length);
}

VOID NdisFreeBuffer(PNDIS_BUFFER Buffer) {
    Entered e;
    e.host.packets().free_buffer(Buffer);
}

VOID NdisChainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer) {
    Entered e;
    e.host.packets().chain_at_front(Packet, Buffer);
}

VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount, PNDIS_BUFFER* FirstBuffer,
                     PUINT TotalPacketLength) {
    Entered e;
    e.host.packets().query_packet(Packet, PhysicalBufferCount, BufferCount, FirstBuffer, TotalPacketLength);
}

VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
    Entered e;
    e.host.packets().query_buffer(Buffer, VirtualAddress, Length);
}

VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER* NextBuffer) {
    Entered e;
    e.host.packets().next_buffer(CurrentBuffer, NextBuffer);
}

VOID NdisAdjustBufferLength(PNDIS_BUFFER Buffer, UINT Length) {
    Entered e;
    e.host.packets().adjust_length(Buffer, Length);
}

VOID NDIS_SET_PACKET_STATUS(PNDIS_PACKET Packet, NDIS_STATUS Status) {
    Entered e;
    e.host.packets().set_status(Packet, Status);
}

NDIS_STATUS NDIS_GET_PACKET_STATUS(PNDIS_PACKET Packet) {
    Entered e;
    return e.host.packets().get_status(Packet);
}

VOID NDIS_SET_PACKET_HEADER_SIZE(PNDIS_PACKET Packet, UINT HeaderSize) {
    Entered e;
    e.host.packets().set_header_size(Packet, HeaderSize);
}

VOID NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status) {
    Entered e;
    e.host.ndis().send_complete(MiniportAdapterHandle, Packet, Status);
}

VOID NdisMSendResourcesAvailable(NDIS_HANDLE MiniportAdapterHandle) {
    Entered e;
    e.host.ndis().send_resources_available(MiniportAdapterHandle);
}

VOID NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle, PPNDIS_PACKET ReceivePackets, UINT NumberOfPackets) {
    Entered e;
    e.host.ndis().indicate_receive(MiniportAdapterHandle, ReceivePackets, NumberOfPackets);
}

VOID NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus, PVOID StatusBuffer,
                         UINT StatusBufferSize) {
    Entered e;
    e.host.ndis().indicate_status(MiniportAdapterHandle, GeneralStatus, StatusBuffer, StatusBufferSize);
}

VOID NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    Entered e;
    e.host.ndis().indicate_status_complete(MiniportAdapterHandle);
}

VOID NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status, BOOLEAN AddressingReset) {
    Entered e;
    e.host.ndis().reset_complete(MiniportAdapterHandle, Status, AddressingReset);
}

VOID NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    Entered e;
    e.host.ndis().request_complete(MiniportAdapterHandle, Status, host::RequestKind::Set);
}

VOID NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    Entered e;
    e.host.ndis().request_complete(MiniportAdapterHandle, Status, host::RequestKind::Query);
}
