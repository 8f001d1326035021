// An ADAPTER record made the way initialization makes it (the record is the first tracked
// resource and carries the miniport handle) and nothing else, so that the USB routines can be
// driven one at a time against the model. The record and everything tracked in it go with
// ReleaseTrackedResources; the bench then checks that nothing is left.
#pragma once

#include <memory>
#include <new>

#include <gtest/gtest.h>

#include "driver/miniport/resources.h"
#include "driver/usb/registers.h"
#include "driver/usb/transport.h"
#include "tests/support/testbed.h"

namespace testbed {

class BareAdapter {
public:
    // Over a USB bus with a controller model.
    explicit BareAdapter(AdapterSetup setup = {}, const host::Options& options = {}) : bench(options) {
        Unit& unit = bench.add(std::move(setup));
        bus_ = unit.bus;
        adapter = unit.adapter;
        make_record();
    }
    // Over a device of the test's own; NextDeviceObject and IrpStackSize are filled in as
    // ConfigureUsbDevice would.
    explicit BareAdapter(std::shared_ptr<host::LowerDevice> lower) {
        host::AdapterConfig config;
        config.lower = std::move(lower);
        adapter = &bench.host.add_adapter(std::move(config));
        make_record();
        record->NextDeviceObject = adapter->next_device;
        record->IrpStackSize = static_cast<UCHAR>(adapter->next_device->StackSize + 1);
    }
    ~BareAdapter() {
        try {
            release();
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
    BareAdapter(const BareAdapter&) = delete;
    BareAdapter& operator=(const BareAdapter&) = delete;

    template <typename Call>
    auto run(Call&& call, KIRQL irql = PASSIVE_LEVEL) {
        return bench.host.call_driver(host::ContextKind::Test, "test", adapter, irql, std::forward<Call>(call));
    }
    ULONG configure() {
        return run([&] { return ConfigureUsbDevice(record); });
    }
    void release() {
        if (record == nullptr) return;
        ADAPTER* held = record;
        record = nullptr;
        run([&] { ReleaseTrackedResources(held); });
    }

    host::Host& host() { return bench.host; }
    host::UsbBus& bus() { return *bus_; }
    model::Controller& device() { return bus_->controller(); }

    Testbed bench;
    host::Adapter* adapter = nullptr;
    ADAPTER* record = nullptr;

private:
    void make_record() {
        run([&] {
            PVOID memory = nullptr;
            ASSERT_EQ(NdisAllocateMemoryWithTag(&memory, sizeof(ADAPTER), ADAPTER_POOL_TAG), NDIS_STATUS_SUCCESS);
            NdisZeroMemory(memory, sizeof(ADAPTER));
            auto* made = new (memory) ADAPTER();
            RESOURCE_ENTRY* entry = TakeResourceEntry(made);
            ASSERT_NE(entry, nullptr);
            entry->Type = RESOURCE_MEMORY;
            entry->Memory.Size = sizeof(ADAPTER);
            entry->Memory.Address = made;
            made->MiniportAdapterHandle = adapter->handle();
            record = made;
        });
        ASSERT_NE(record, nullptr);
    }

    std::shared_ptr<host::UsbBus> bus_;
};

// A vendor request as the register routines build it.
inline _URB_CONTROL_VENDOR_OR_CLASS_REQUEST vendor_request(bool read, USHORT first, USHORT count, PVOID buffer) {
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST r{};
    r.Hdr.Length = URB_LENGTH_CONTROL;
    r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    r.TransferFlags = read ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.Request = read ? VENDOR_READ_REGISTERS : VENDOR_WRITE_REGISTERS;
    r.Index = first;
    r.TransferBufferLength = count;
    r.TransferBuffer = buffer;
    return r;
}

// SubmitUrbSync in a driver context, and whether no IRP was left outstanding when it returned:
// a request it gave up on must have completed by then, since its completion writes into the call.
struct SyncSubmit {
    NTSTATUS status = 0;
    bool completed_on_return = false;
};
inline SyncSubmit submit_sync(BareAdapter& a, PVOID urb) {
    SyncSubmit r;
    r.status = a.run([&] {
        NTSTATUS status = SubmitUrbSync(a.record, static_cast<PURB>(urb));
        r.completed_on_return = a.host().io().outstanding(nullptr).empty();
        return status;
    });
    return r;
}

// The control requests the device completed, as (bmRequestType, bRequest, wValue, wIndex, wLength).
inline std::vector<model::SetupPacket> control_setups(model::Controller& device) {
    std::vector<model::SetupPacket> out;
    for (const auto& c : device.control_log()) out.push_back(c.setup);
    return out;
}

}  // namespace testbed
