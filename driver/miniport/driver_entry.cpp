// Driver entry: binds the driver to the NDIS wrapper and registers its one set of miniport
// handlers. Everything per adapter is wired up later by MpInitialize.
#include "miniport/handlers.h"

// DriverEntry — passive level, once at load. Registers the eight handlers as an NDIS 5.0
// miniport (the check-for-hang handler lets NDIS reset an adapter that a failed bulk transfer
// left in its bus error, which nothing else would); keeps nothing: the characteristics and the wrapper handle live only
// on this stack.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NDIS_HANDLE WrapperHandle = nullptr;
    NdisInitializeWrapper(&WrapperHandle, DriverObject, RegistryPath, nullptr);

    NDIS50_MINIPORT_CHARACTERISTICS Characteristics;
    NdisZeroMemory(&Characteristics, sizeof(Characteristics));
    Characteristics.MajorNdisVersion = 5;
    Characteristics.MinorNdisVersion = 0;
    Characteristics.HaltHandler = MpHalt;
    Characteristics.InitializeHandler = MpInitialize;
    Characteristics.QueryInformationHandler = MpQueryInformation;
    Characteristics.ResetHandler = MpReset;
    Characteristics.CheckForHangHandler = MpCheckForHang;
    Characteristics.SendHandler = MpSend;
    Characteristics.SetInformationHandler = MpSetInformation;
    Characteristics.ReturnPacketHandler = MpReturnPacket;

    NDIS_STATUS Status = NdisMRegisterMiniport(WrapperHandle, &Characteristics, sizeof(Characteristics));
    return Status == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// MpReturnPacket — dispatch level. Every receive packet is indicated with NDIS_STATUS_RESOURCES,
// so it is back in the driver's hands when the indication returns: nothing comes back here.
VOID MpReturnPacket(NDIS_HANDLE /*MiniportAdapterContext*/, PNDIS_PACKET /*Packet*/) {}
