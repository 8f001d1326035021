// The host's USB bus driver as the miniport meets it: URBs it cannot carry out are refused at once
// with an error status and nothing pending or sent; abort completes every transfer of the pipe
// before it completes itself; reset clears a halt; lengths report the bytes moved.
#include <cstddef>
#include <cstring>

#include "tests/support/usb.h"

namespace {

using testbed::BareAdapter;
using testbed::vendor_request;

struct Completion {
    const void* urb;
    NTSTATUS irp_status;
    USBD_STATUS urb_status;
    ULONG length;
};
std::vector<Completion> g_completions;

NTSTATUS RecordTransferComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* urb = static_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(Context);
    g_completions.push_back({urb, Irp->IoStatus.Status, urb->Hdr.Status, urb->TransferBufferLength});
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class BusDriver : public ::testing::Test {
protected:
    void SetUp() override {
        g_completions.clear();
        ASSERT_EQ(a.configure(), RESULT_SUCCESS);
        in_pipe = a.record->InterfaceInfo->Pipes[0].PipeHandle;
        out_pipe = a.record->InterfaceInfo->Pipes[1].PipeHandle;
    }
    void TearDown() override {
        for (PVOID block : pool) a.run([&] { ExFreePool(block); });
    }
    PVOID allocate(size_t bytes) {
        PVOID block = a.run([&] { return ExAllocatePoolWithTag(NonPagedPool, bytes, host::tag("test")); });
        pool.push_back(block);
        return block;
    }
    _URB_BULK_OR_INTERRUPT_TRANSFER bulk(USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG length) {
        _URB_BULK_OR_INTERRUPT_TRANSFER urb{};
        urb.Hdr.Length = URB_LENGTH_BULK;
        urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.PipeHandle = pipe;
        urb.TransferFlags = flags;
        urb.TransferBuffer = buffer;
        urb.TransferBufferLength = length;
        return urb;
    }
    // Starts a transfer on an IRP of its own; RecordTransferComplete takes it back.
    NTSTATUS start(_URB_BULK_OR_INTERRUPT_TRANSFER* urb) {
        return a.run(
            [&] {
                PIRP irp = IoAllocateIrp(static_cast<CCHAR>(a.record->IrpStackSize), FALSE);
                PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
                next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                next->Parameters.Others.Argument1 = urb;
                next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
                IoSetCompletionRoutine(irp, RecordTransferComplete, urb, TRUE, TRUE, TRUE);
                return IofCallDriver(a.record->NextDeviceObject, irp);
            },
            DISPATCH_LEVEL);
    }
    // Sends a URB the bus must refuse at once, and checks that it did.
    void expect_refused(PVOID urb, USBD_STATUS expected, const char* what) {
        size_t controls = a.device().control_log().size();
        size_t bulk_out = a.device().bulk_out_log().size();
        size_t held = a.host().io().held_by_lower().size();
        EXPECT_EQ(a.run([&] { return SubmitUrbSync(a.record, static_cast<PURB>(urb)); }), RESULT_SUCCESS) << what;
        EXPECT_EQ(static_cast<PURB>(urb)->UrbHeader.Status, expected) << what;
        EXPECT_EQ(a.bus().records().back().type, 'E') << what;
        EXPECT_EQ(a.host().io().held_by_lower().size(), held) << what << ": left pending";
        EXPECT_EQ(a.device().control_log().size(), controls) << what << ": reached the device";
        EXPECT_EQ(a.device().bulk_out_log().size(), bulk_out) << what << ": reached the device";
    }

    BareAdapter a;
    USBD_PIPE_HANDLE in_pipe = nullptr;
    USBD_PIPE_HANDLE out_pipe = nullptr;
    std::vector<PVOID> pool;
};

TEST_F(BusDriver, RefusesBadUrbsAtOnce) {
    UCHAR local[64] = {};
    _URB_HEADER unknown{};
    unknown.Length = sizeof(unknown);
    unknown.Function = 0x7F;
    expect_refused(&unknown, USBD_STATUS_INVALID_URB_FUNCTION, "unknown function");

    int not_a_pipe = 0;
    auto stray = bulk(&not_a_pipe, USBD_TRANSFER_DIRECTION_IN, local, 64);
    expect_refused(&stray, USBD_STATUS_INVALID_PIPE_HANDLE, "unknown pipe handle");
    _URB_PIPE_REQUEST abort_stray{};
    abort_stray.Hdr.Length = URB_LENGTH_PIPE;
    abort_stray.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort_stray.PipeHandle = &not_a_pipe;
    expect_refused(&abort_stray, USBD_STATUS_INVALID_PIPE_HANDLE, "abort of an unknown pipe");

    auto wrong_way = bulk(out_pipe, USBD_TRANSFER_DIRECTION_IN, local, 64);
    expect_refused(&wrong_way, USBD_STATUS_INVALID_PARAMETER, "IN transfer on the OUT pipe");
    auto wrong_way_out = bulk(in_pipe, USBD_TRANSFER_DIRECTION_OUT, local, 64);
    expect_refused(&wrong_way_out, USBD_STATUS_INVALID_PARAMETER, "OUT transfer on the IN pipe");

    auto* big = static_cast<UCHAR*>(allocate(2048));
    auto too_long = bulk(out_pipe, USBD_TRANSFER_DIRECTION_OUT, big, MAXIMUM_TRANSFER_SIZE + 1);
    expect_refused(&too_long, USBD_STATUS_INVALID_PARAMETER, "longer than the pipe's maximum transfer");

    auto* small = static_cast<UCHAR*>(allocate(16));
    auto past_end = bulk(out_pipe, USBD_TRANSFER_DIRECTION_OUT, small, 64);
    expect_refused(&past_end, USBD_STATUS_INVALID_PARAMETER, "bulk buffer past its allocation");
    auto read_past_end = vendor_request(true, model::reg::kStationAddress, 4, small + 14);
    expect_refused(&read_past_end, USBD_STATUS_INVALID_PARAMETER, "register read past its allocation");
    auto no_buffer = vendor_request(true, model::reg::kStationAddress, 4, nullptr);
    expect_refused(&no_buffer, USBD_STATUS_INVALID_PARAMETER, "no buffer");

    PVOID freed = allocate(64);
    pool.pop_back();
    a.run([&] { ExFreePool(freed); });
    auto into_freed = bulk(in_pipe, USBD_TRANSFER_DIRECTION_IN, freed, 64);
    expect_refused(&into_freed, USBD_STATUS_INVALID_PARAMETER, "buffer in freed memory");

    _URB_CONTROL_GET_STATUS_REQUEST status{};
    status.Hdr.Length = URB_LENGTH_CONTROL;
    status.Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    status.TransferBuffer = local;
    status.TransferBufferLength = 3;
    expect_refused(&status, USBD_STATUS_INVALID_PARAMETER, "status read of three bytes");

    // A URB whose memory ends before the fields of its request.
    auto* short_urb = static_cast<_URB_HEADER*>(allocate(sizeof(_URB_HEADER)));
    *short_urb = {};
    short_urb->Length = URB_LENGTH_CONTROL;
    short_urb->Function = URB_FUNCTION_VENDOR_DEVICE;
    expect_refused(short_urb, USBD_STATUS_INVALID_PARAMETER, "URB shorter than its request");
}

TEST_F(BusDriver, RefusesASelectConfigurationThatDoesNotFitItsUrbOrItsSet) {
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(allocate(255));
    auto set = model::ConfigurationBuilder::standard().build();
    std::memcpy(config, set.data(), set.size());

    // Interface information claiming more pipes than the URB holds.
    size_t bytes = offsetof(_URB_SELECT_CONFIGURATION, Interface) + sizeof(USBD_INTERFACE_INFORMATION);
    auto* urb = static_cast<URB*>(allocate(bytes));
    std::memset(urb, 0, bytes);
    urb->UrbHeader.Length = static_cast<USHORT>(bytes);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
    urb->UrbSelectConfiguration.Interface.NumberOfPipes = 3;
    expect_refused(urb, USBD_STATUS_INVALID_PARAMETER, "pipes past the URB");

    // An interface the set does not have.
    urb->UrbSelectConfiguration.Interface.NumberOfPipes = 1;
    urb->UrbSelectConfiguration.Interface.InterfaceNumber = 5;
    expect_refused(urb, USBD_STATUS_INVALID_PARAMETER, "interface not in the set");
    EXPECT_EQ(a.device().configuration(), model::Controller::kConfigurationValue);
}

// Abort: every pending transfer of the pipe completes, cancelled, before the abort completes; the
// other pipe's transfer stays.
TEST_F(BusDriver, AbortCompletesEveryPendingTransferOfThePipeFirst) {
    auto* buffers = static_cast<UCHAR*>(allocate(3 * 64));
    auto first = bulk(in_pipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffers, 64);
    auto second = bulk(in_pipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffers + 64, 64);
    EXPECT_EQ(start(&first), STATUS_PENDING);
    EXPECT_EQ(start(&second), STATUS_PENDING);
    a.host().run_for(host::milliseconds(10));
    ASSERT_TRUE(g_completions.empty()) << "a bulk-in completed with nothing to receive";

    _URB_PIPE_REQUEST abort{};
    abort.Hdr.Length = URB_LENGTH_PIPE;
    abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.PipeHandle = in_pipe;
    size_t completions_at_abort_return = 0;
    a.run([&] {
        EXPECT_EQ(SubmitUrbSync(a.record, reinterpret_cast<PURB>(&abort)), RESULT_SUCCESS);
        completions_at_abort_return = g_completions.size();
    });
    EXPECT_EQ(completions_at_abort_return, 2u);
    EXPECT_EQ(abort.Hdr.Status, USBD_STATUS_SUCCESS);
    for (const Completion& c : g_completions) {
        EXPECT_EQ(c.irp_status, STATUS_CANCELLED);
        EXPECT_EQ(c.urb_status, USBD_STATUS_CANCELED);
        EXPECT_EQ(c.length, 0u);
    }
    EXPECT_EQ(a.device().pending(model::kBulkInEndpoint), 0u);
    EXPECT_TRUE(a.host().io().held_by_lower().empty());
}

TEST_F(BusDriver, ResetPipeClearsAHalt) {
    a.device().faults().add({.kind = model::RequestKind::bulk_out, .action = model::FaultAction::stall});
    auto* data = static_cast<UCHAR*>(allocate(64));
    std::memset(data, 0x42, 64);
    auto stalled = bulk(out_pipe, USBD_TRANSFER_DIRECTION_OUT, data, 20);
    start(&stalled);
    a.host().run_for(host::milliseconds(10));
    ASSERT_EQ(g_completions.size(), 1u);
    EXPECT_EQ(g_completions[0].urb_status, USBD_STATUS_STALL_PID);
    EXPECT_NE(g_completions[0].irp_status, STATUS_SUCCESS);
    EXPECT_EQ(g_completions[0].length, 0u);
    EXPECT_TRUE(a.device().halted(model::kBulkOutEndpoint));

    _URB_PIPE_REQUEST reset{};
    reset.Hdr.Length = URB_LENGTH_PIPE;
    reset.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    reset.PipeHandle = out_pipe;
    EXPECT_EQ(a.run([&] { return SubmitUrbSync(a.record, reinterpret_cast<PURB>(&reset)); }), RESULT_SUCCESS);
    EXPECT_EQ(reset.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_FALSE(a.device().halted(model::kBulkOutEndpoint));
}

TEST_F(BusDriver, TransferLengthsReportTheBytesMoved) {
    auto* buffers = static_cast<UCHAR*>(allocate(3 * 128));
    std::vector<uint8_t> received(10, 0x5C);
    a.device().inject_bulk_in(received);
    auto short_ok = bulk(in_pipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffers, 64);
    start(&short_ok);
    a.device().inject_bulk_in(received);
    auto short_not_ok = bulk(in_pipe, USBD_TRANSFER_DIRECTION_IN, buffers + 128, 64);
    start(&short_not_ok);
    auto sent = bulk(out_pipe, USBD_TRANSFER_DIRECTION_OUT, buffers + 256, 100);
    std::memset(buffers + 256, 0, 100);
    buffers[256] = 98;  // a length prefix, so that the device takes it for a frame
    start(&sent);
    a.host().run_for(host::milliseconds(10));

    ASSERT_EQ(g_completions.size(), 3u);
    auto of = [](const void* urb) {
        for (const Completion& c : g_completions)
            if (c.urb == urb) return c;
        ADD_FAILURE() << "no completion";
        return Completion{};
    };
    EXPECT_EQ(of(&short_ok).irp_status, STATUS_SUCCESS);
    EXPECT_EQ(of(&short_ok).length, 10u);
    EXPECT_EQ(buffers[9], 0x5C);
    // Short without leave: the URB and the IRP fail together.
    EXPECT_EQ(of(&short_not_ok).urb_status, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_NE(of(&short_not_ok).irp_status, STATUS_SUCCESS);
    EXPECT_EQ(of(&sent).irp_status, STATUS_SUCCESS);
    EXPECT_EQ(of(&sent).length, 100u);

    UCHAR descriptor[64] = {};
    _URB_CONTROL_DESCRIPTOR_REQUEST get{};
    get.Hdr.Length = URB_LENGTH_CONTROL;
    get.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    get.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    get.TransferBuffer = descriptor;
    get.TransferBufferLength = sizeof(descriptor);
    a.run([&] { SubmitUrbSync(a.record, reinterpret_cast<PURB>(&get)); });
    EXPECT_EQ(get.TransferBufferLength, 18u);

    a.device().faults().add({.kind = model::RequestKind::vendor_write, .action = model::FaultAction::stall});
    UCHAR bytes[2] = {1, 2};
    auto refused_write = vendor_request(false, model::reg::kStationAddress, 2, bytes);
    a.run([&] { SubmitUrbSync(a.record, reinterpret_cast<PURB>(&refused_write)); });
    EXPECT_EQ(refused_write.TransferBufferLength, 0u) << "a stalled write reported its bytes as taken";
}

}  // namespace
