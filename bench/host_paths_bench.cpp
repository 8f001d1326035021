// The host's paths that every request of the driver takes: an IRP's round trip (allocated, sent to
// a lower device that completes it inside IofCallDriver or through the scheduler, its completion
// routine run, freed), the event queue (an event queued and run, or queued and cancelled), and a
// register read through the USB bus to the controller model and back.
#include <benchmark/benchmark.h>

#include "host/host.h"
#include "host/usb/bus_driver.h"

namespace {

// Completes every IRP at once, or pends it for the scheduler to complete.
class Device final : public host::LowerDevice {
public:
    explicit Device(host::Host& host, bool later) : host_(host), later_(later) {}
    NTSTATUS dispatch(DEVICE_OBJECT*, IRP* irp) override {
        if (later_) return host_.io().complete_later(irp, STATUS_SUCCESS, 0, 0);
        return host_.io().complete(irp, STATUS_SUCCESS);
    }

private:
    host::Host& host_;
    bool later_;
};

NTSTATUS TakeBack(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Arg: 0 completed inside IofCallDriver, 1 through the scheduler. The figure is per IRP.
void IrpRoundTrip(benchmark::State& state) {
    host::Host host({.seed = 1});
    auto device = std::make_shared<Device>(host, state.range(0) != 0);
    host::Adapter& adapter = host.add_adapter({.lower = device});
    DEVICE_OBJECT* next = adapter.next_device;
    constexpr int kIrps = 100;
    for (auto _ : state) {
        host.call_driver(host::ContextKind::Handler, "Sender", &adapter, PASSIVE_LEVEL, [&] {
            for (int i = 0; i < kIrps; ++i) {
                IRP* irp = IoAllocateIrp(static_cast<CCHAR>(next->StackSize + 1), FALSE);
                IO_STACK_LOCATION* location = IoGetNextIrpStackLocation(irp);
                location->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
                benchmark::DoNotOptimize(IofCallDriver(next, irp));
            }
        });
        host.run_for(0);
    }
    state.SetItemsProcessed(state.iterations() * kIrps);
}
BENCHMARK(IrpRoundTrip)->Arg(0)->Arg(1);

// Events queued at close times with a few hundred others pending; half are cancelled (a timer set
// again), half run. The figure is per event.
void EventQueue(benchmark::State& state) {
    host::Host host({.seed = 1, .processors = 1});
    host::Scheduler& queue = host.scheduler();
    std::vector<host::EventId> pending;
    for (int i = 0; i < 300; ++i) pending.push_back(queue.at(host::seconds(1000) + i, "far", [] {}));
    uint64_t ran = 0;
    constexpr int kEvents = 200;
    for (auto _ : state) {
        for (int i = 0; i < kEvents; ++i) {
            host::EventId id = queue.at(host.now() + (i % 7), "completion of an IRP", [&ran] { ++ran; });
            if (i % 2 == 0) queue.cancel(id);
        }
        while (auto due = queue.take_due()) due->fn();
        queue.pass_time_to(host.now() + 7);
        while (auto due = queue.take_due()) due->fn();
    }
    benchmark::DoNotOptimize(ran);
    state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(EventQueue);

NTSTATUS RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A vendor read of eight registers, the request the driver makes most: the IRP through the bus
// driver, the transfer through the device model and its clock, the completion back. Arg: 0
// completed inside IofCallDriver, 1 through the scheduler. The figure is per request.
void UsbRegisterRead(benchmark::State& state) {
    host::Host host({.seed = 1});
    auto bus = std::make_shared<host::UsbBus>(host);
    host.io().set_completion_policy(
        {.timing = state.range(0) != 0 ? host::CompletionTiming::Later : host::CompletionTiming::Inline,
         .min_delay = 0,
         .max_delay = 0});
    host::Adapter& adapter = host.add_adapter({.lower = bus});
    DEVICE_OBJECT* next = adapter.next_device;
    constexpr int kRequests = 50;
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urbs[kRequests]{};
    uint8_t buffers[kRequests][8]{};
    for (auto _ : state) {
        host.call_driver(host::ContextKind::Handler, "Reader", &adapter, PASSIVE_LEVEL, [&] {
            for (int i = 0; i < kRequests; ++i) {
                _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urbs[i];
                r = {};
                r.Hdr.Length = sizeof(r);
                r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
                r.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
                r.Request = model::kVendorReadRegisters;
                r.Index = 0x10;
                r.TransferBufferLength = sizeof(buffers[i]);
                r.TransferBuffer = buffers[i];
                IRP* irp = IoAllocateIrp(static_cast<CCHAR>(next->StackSize + 1), FALSE);
                IO_STACK_LOCATION* location = IoGetNextIrpStackLocation(irp);
                location->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                location->Parameters.Others.Argument1 = &r;
                location->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
                IoSetCompletionRoutine(irp, RequestDone, nullptr, TRUE, TRUE, TRUE);
                benchmark::DoNotOptimize(IofCallDriver(next, irp));
            }
        });
        host.run_for(0);
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
}
BENCHMARK(UsbRegisterRead)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
