// NDIS's calls into the miniport as a real wrapper makes them: the hang check (the check-for-hang
// handler asked every period at dispatch level, a reset when it says hung or a request outlives
// its time-out unless the attributes ask to ignore that, nothing while a reset is pending or once
// the halt began), and sends at passive as well as dispatch level.
#include <gtest/gtest.h>

#include "tests/support/fakes.h"

namespace {

struct Behaviour {
    ULONG flags = 0;
    bool hung = false;
    bool pend_reset = false;
    int checks = 0;
    int resets = 0;
    KIRQL check_irql = PASSIVE_LEVEL;
    int sends_at[3] = {};  // by IRQL
} b;

NDIS_HANDLE g_handle = nullptr;
UCHAR g_context = 0;

NDIS_STATUS Initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM, UINT, NDIS_HANDLE handle, NDIS_HANDLE) {
    *selected = 0;
    g_handle = handle;
    NdisMSetAttributesEx(handle, &g_context, 0, b.flags | NDIS_ATTRIBUTE_DESERIALIZE, NdisInterfaceInternal);
    return NDIS_STATUS_SUCCESS;
}
void Halt(NDIS_HANDLE) {}
NDIS_STATUS Send(NDIS_HANDLE, PNDIS_PACKET, UINT) {
    ++b.sends_at[KeGetCurrentIrql()];
    return NDIS_STATUS_RESOURCES;
}
NDIS_STATUS Query(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return NDIS_STATUS_PENDING; }
NDIS_STATUS Set(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS Reset(PBOOLEAN addressing, NDIS_HANDLE) {
    *addressing = FALSE;
    ++b.resets;
    return b.pend_reset ? NDIS_STATUS_PENDING : NDIS_STATUS_SUCCESS;
}
BOOLEAN CheckForHang(NDIS_HANDLE) {
    ++b.checks;
    b.check_irql = KeGetCurrentIrql();
    return b.hung ? TRUE : FALSE;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    NDIS_HANDLE wrapper;
    NdisInitializeWrapper(&wrapper, driver, path, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS c{};
    c.MajorNdisVersion = 5;
    c.InitializeHandler = Initialize;
    c.HaltHandler = Halt;
    c.SendHandler = Send;
    c.QueryInformationHandler = Query;
    c.SetInformationHandler = Set;
    c.ResetHandler = Reset;
    c.CheckForHangHandler = CheckForHang;
    return NdisMRegisterMiniport(wrapper, &c, sizeof c) == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

TEST(HangCheck, AsksEveryPeriodAndResetsWhenHungOrARequestTimesOut) {
    struct Case {
        const char* name;
        Behaviour behaviour;
        bool pend_query;
        int checks;  // in 10.5 s, the default period being 2 s
        int resets;
    };
    const Case cases[] = {
        {"not hung", {}, false, 5, 0},
        {"hung every time", {.hung = true}, false, 5, 5},
        {"a reset still pending is not reset again", {.hung = true, .pend_reset = true}, false, 1, 1},
        {"a request pending for two periods", {}, true, 5, 4},
        {"request time-outs ignored", {.flags = NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT}, true, 5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        b = c.behaviour;
        host::Host h;
        ASSERT_EQ(h.load_driver(Entry), STATUS_SUCCESS);
        host::Adapter& adapter = h.add_adapter();
        ASSERT_EQ(h.initialize(adapter), NDIS_STATUS_SUCCESS);
        if (c.pend_query) h.query(adapter, OID_GEN_XMIT_OK, 4);
        h.run_for(host::milliseconds(10500));
        EXPECT_EQ(b.checks, c.checks);
        EXPECT_EQ(b.resets, c.resets);
        EXPECT_EQ(adapter.hang_resets, c.resets);
        EXPECT_EQ(b.check_irql, c.checks ? DISPATCH_LEVEL : PASSIVE_LEVEL);
        if (adapter.reset.pending) h.ndis().reset_complete(g_handle, NDIS_STATUS_SUCCESS, FALSE);
        if (adapter.request.pending) h.ndis().request_complete(g_handle, NDIS_STATUS_SUCCESS, host::RequestKind::Query);
        h.halt(adapter);
        const int checks = b.checks;
        h.run_for(host::seconds(10));
        EXPECT_EQ(b.checks, checks) << "asked after the halt";
        h.check_quiescent();
    }
}

// A protocol sends from threads at passive level and from DPCs at dispatch level.
TEST(Sends, AreMadeAtPassiveAndDispatchLevelInTheShareAsked) {
    b = {};
    host::Host h(host::Options{.passive_send_ppm = 300'000});
    ASSERT_EQ(h.load_driver(Entry), STATUS_SUCCESS);
    host::Adapter& adapter = h.add_adapter();
    ASSERT_EQ(h.initialize(adapter), NDIS_STATUS_SUCCESS);
    for (int i = 0; i < 1000; ++i) h.send(adapter, std::vector<uint8_t>(60, 1));
    EXPECT_NEAR(b.sends_at[PASSIVE_LEVEL], 300, 60);
    EXPECT_EQ(b.sends_at[PASSIVE_LEVEL] + b.sends_at[DISPATCH_LEVEL], 1000);
    h.halt(adapter);
    h.check_quiescent();
}

}  // namespace
