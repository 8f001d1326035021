// USB configuration: device and configuration descriptors, the first interface with its two
// bulk pipes, and the device's remote-wake-up and status requests.
#include "usb/transport.h"

#include <cstddef>

namespace {

constexpr UCHAR ENDPOINT_DIRECTION_IN = 0x80;  // bit 7 of an endpoint address

// The configuration descriptor set comes from the device and is not trusted. It is accepted
// when its descriptors chain within the bytes actually read, and then its wTotalLength is
// limited to those bytes, so that nothing below parses past the buffer. A set longer than the
// buffer is read and parsed as far as the buffer goes; a set that claims more bytes than the
// device delivered into a buffer it did not fill is refused, and so is one whose configuration
// value is 0. The first interface must be followed by at least two endpoint descriptors.
BOOLEAN ValidateConfigurationSet(PUCHAR Set, ULONG BytesRead)
{
    if (BytesRead < sizeof(USB_CONFIGURATION_DESCRIPTOR) || BytesRead > CONFIGURATION_BUFFER_SIZE) {
        return FALSE;
    }
    auto* Configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Set);
    ULONG TotalLength = Configuration->wTotalLength;
    // A configuration value of 0 names the unconfigured state: selecting it would leave the
    // device without endpoints while the adapter believed itself configured.
    if (Configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        TotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || Configuration->bConfigurationValue == 0) {
        return FALSE;
    }
    if (TotalLength > BytesRead && BytesRead < CONFIGURATION_BUFFER_SIZE) {
        return FALSE;
    }
    ULONG Limit = TotalLength < BytesRead ? TotalLength : BytesRead;

    ULONG Offset = 0;
    BOOLEAN InFirstInterface = FALSE;
    BOOLEAN SeenInterface = FALSE;
    ULONG Endpoints = 0;
    UCHAR DeclaredEndpoints = 0;
    while (Offset + 2 <= Limit) {
        UCHAR Length = Set[Offset];
        UCHAR Type = Set[Offset + 1];
        if (Length < 2) {
            return FALSE;
        }
        if (Offset + Length > Limit) {
            if (TotalLength <= BytesRead) {
                return FALSE;  // a descriptor runs past the set's own end
            }
            break;  // the set was cut at the buffer's end: parse what is whole
        }
        if (Type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (Length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                return FALSE;
            }
            InFirstInterface = !SeenInterface;
            if (!SeenInterface) {
                DeclaredEndpoints = Set[Offset + 4];
            }
            SeenInterface = TRUE;
        } else if (Type == USB_ENDPOINT_DESCRIPTOR_TYPE && InFirstInterface) {
            if (Length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                return FALSE;
            }
            Endpoints++;
        }
        Offset += Length;
    }
    if (!SeenInterface || DeclaredEndpoints < 2 || Endpoints < DeclaredEndpoints) {
        return FALSE;
    }
    Configuration->wTotalLength = static_cast<USHORT>(Offset);
    return TRUE;
}

VOID BuildDescriptorRequest(_URB_CONTROL_DESCRIPTOR_REQUEST* Request, UCHAR DescriptorType, PVOID Buffer, ULONG Length)
{
    NdisZeroMemory(Request, sizeof(*Request));
    Request->Hdr.Length = URB_LENGTH_CONTROL;
    Request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Request->DescriptorType = DescriptorType;
    Request->Index = 0;
    Request->LanguageId = 0;
    Request->TransferBuffer = Buffer;
    Request->TransferBufferLength = Length;
}

}  // namespace

// ConfigureUsbDevice — passive level (initialization), first of all device accesses. Fills
// NextDeviceObject, IrpStackSize, DeviceDescriptor and InterfaceInfo; its two buffers are
// tracked resources of the adapter.
ULONG ConfigureUsbDevice(ADAPTER* Adapter)
{
    PDEVICE_OBJECT PhysicalDeviceObject = nullptr;
    PDEVICE_OBJECT FunctionalDeviceObject = nullptr;
    NdisMGetDeviceProperty(Adapter->MiniportAdapterHandle, &PhysicalDeviceObject, &FunctionalDeviceObject,
                           &Adapter->NextDeviceObject, nullptr, nullptr);
    Adapter->IrpStackSize = static_cast<UCHAR>(Adapter->NextDeviceObject->StackSize + 1);

    _URB_CONTROL_DESCRIPTOR_REQUEST Request;
    BuildDescriptorRequest(&Request, USB_DEVICE_DESCRIPTOR_TYPE, &Adapter->DeviceDescriptor,
                           sizeof(USB_DEVICE_DESCRIPTOR));
    if (SubmitUrbSync(Adapter, reinterpret_cast<PURB>(&Request)) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }

    PVOID ConfigurationBuffer = nullptr;
    if (AllocateTrackedMemory(Adapter, &ConfigurationBuffer, CONFIGURATION_BUFFER_SIZE) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    BuildDescriptorRequest(&Request, USB_CONFIGURATION_DESCRIPTOR_TYPE, ConfigurationBuffer, CONFIGURATION_BUFFER_SIZE);
    if (SubmitUrbSync(Adapter, reinterpret_cast<PURB>(&Request)) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }
    if (!ValidateConfigurationSet(static_cast<PUCHAR>(ConfigurationBuffer), Request.TransferBufferLength)) {
        return RESULT_FAILURE;
    }
    auto* Configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ConfigurationBuffer);

    PUSB_INTERFACE_DESCRIPTOR Interface =
        USBD_ParseConfigurationDescriptorEx(Configuration, Configuration, -1, -1, -1, -1, -1);
    if (Interface == nullptr) {
        return RESULT_FAILURE;
    }
    USBD_INTERFACE_LIST_ENTRY InterfaceList[2] = {{Interface, nullptr}, {nullptr, nullptr}};
    PURB Select = USBD_CreateConfigurationRequestEx(Configuration, InterfaceList);
    if (Select == nullptr) {
        return RESULT_FAILURE;
    }
    PUSBD_INTERFACE_INFORMATION Info = InterfaceList[0].Interface;
    if (Info == nullptr || Info->NumberOfPipes < 2) {
        ExFreePool(Select);
        return RESULT_FAILURE;
    }
    for (ULONG Pipe = 0; Pipe < 2; Pipe++) {
        Info->Pipes[Pipe].MaximumTransferSize = MAXIMUM_TRANSFER_SIZE;
        Info->Pipes[Pipe].PipeFlags = 0;
    }
    Select->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    Select->UrbHeader.Length = static_cast<USHORT>((Info->NumberOfPipes + 2) * URB_LENGTH_PER_PIPE);
    Select->UrbSelectConfiguration.ConfigurationDescriptor = Configuration;
    if (SubmitUrbSync(Adapter, Select) != RESULT_SUCCESS) {
        ExFreePool(Select);
        return RESULT_FAILURE;
    }
    // A configuration the device refused leaves the pipes without handles, and the copy must
    // hold the two pipes the data path uses.
    if (Info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION) ||
        Info->Pipes[0].PipeHandle == nullptr || Info->Pipes[1].PipeHandle == nullptr) {
        ExFreePool(Select);
        return RESULT_FAILURE;
    }
    // The data path receives on the first pipe and sends on the second, both bulk: a device whose
    // endpoints come the other way round, or are of another type, could never move a frame (the
    // bus refuses every bulk transfer on them), and must not pass for a working one.
    if ((Info->Pipes[0].EndpointAddress & ENDPOINT_DIRECTION_IN) == 0 ||
        (Info->Pipes[1].EndpointAddress & ENDPOINT_DIRECTION_IN) != 0 || Info->Pipes[0].PipeType != UsbdPipeTypeBulk ||
        Info->Pipes[1].PipeType != UsbdPipeTypeBulk) {
        ExFreePool(Select);
        return RESULT_FAILURE;
    }

    PVOID InterfaceCopy = nullptr;
    if (AllocateTrackedMemory(Adapter, &InterfaceCopy, Info->Length) != RESULT_SUCCESS) {
        ExFreePool(Select);
        return RESULT_FAILURE;
    }
    NdisMoveMemory(InterfaceCopy, Info, Info->Length);
    Adapter->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(InterfaceCopy);
    ExFreePool(Select);

    _URB_CONTROL_FEATURE_REQUEST Feature;
    NdisZeroMemory(&Feature, sizeof(Feature));
    Feature.Hdr.Length = URB_LENGTH_CONTROL;
    Feature.Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
    Feature.FeatureSelector = 0;
    Feature.Index = 0;
    if (SubmitUrbSync(Adapter, reinterpret_cast<PURB>(&Feature)) != RESULT_SUCCESS) {
        return RESULT_FAILURE;
    }

    _URB_CONTROL_GET_STATUS_REQUEST GetStatus;
    NdisZeroMemory(&GetStatus, sizeof(GetStatus));
    GetStatus.Hdr.Length = URB_LENGTH_CONTROL;
    GetStatus.Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    GetStatus.Index = 0;
    GetStatus.TransferBuffer = Adapter->RegReadBuf;
    GetStatus.TransferBufferLength = 2;
    return SubmitUrbSync(Adapter, reinterpret_cast<PURB>(&GetStatus)) == RESULT_SUCCESS ? RESULT_SUCCESS
                                                                                        : RESULT_FAILURE;
}
