// Driver entry: the one registration with the NDIS wrapper.
#include <gtest/gtest.h>

#include "driver/miniport/handlers.h"
#include "host/host.h"

namespace {

TEST(Registration, RegistersTheSevenHandlersAsAnNdis50Miniport) {
    host::Host h;
    ASSERT_EQ(h.load_driver(DriverEntry), STATUS_SUCCESS);
    ASSERT_TRUE(h.ndis().registered());
    const NDIS_MINIPORT_CHARACTERISTICS& c = h.ndis().characteristics();
    EXPECT_EQ(c.MajorNdisVersion, 5);
    EXPECT_EQ(c.MinorNdisVersion, 0);
    EXPECT_EQ(c.HaltHandler, &MpHalt);
    EXPECT_EQ(c.InitializeHandler, &MpInitialize);
    EXPECT_EQ(c.QueryInformationHandler, &MpQueryInformation);
    EXPECT_EQ(c.ResetHandler, &MpReset);
    EXPECT_EQ(c.SendHandler, &MpSend);
    EXPECT_EQ(c.SetInformationHandler, &MpSetInformation);
    EXPECT_EQ(c.ReturnPacketHandler, &MpReturnPacket);

    // No check-for-hang, interrupt, transfer-data, multi-packet or connection-oriented handler.
    EXPECT_EQ(c.CheckForHangHandler, nullptr);
    EXPECT_EQ(c.DisableInterruptHandler, nullptr);
    EXPECT_EQ(c.EnableInterruptHandler, nullptr);
    EXPECT_EQ(c.HandleInterruptHandler, nullptr);
    EXPECT_EQ(c.ISRHandler, nullptr);
    EXPECT_EQ(c.ReconfigureHandler, nullptr);
    EXPECT_EQ(c.TransferDataHandler, nullptr);
    EXPECT_EQ(c.SendPacketsHandler, nullptr);
    EXPECT_EQ(c.AllocateCompleteHandler, nullptr);
    EXPECT_EQ(c.CoCreateVcHandler, nullptr);
    EXPECT_EQ(c.CoDeleteVcHandler, nullptr);
    EXPECT_EQ(c.CoActivateVcHandler, nullptr);
    EXPECT_EQ(c.CoDeactivateVcHandler, nullptr);
    EXPECT_EQ(c.CoSendPacketsHandler, nullptr);
    EXPECT_EQ(c.CoRequestHandler, nullptr);
}

TEST(Registration, AnyRefusalIsReportedAsUnsuccessful) {
    for (NDIS_STATUS refusal : {NDIS_STATUS_FAILURE, NDIS_STATUS_RESOURCES, NDIS_STATUS_BAD_VERSION,
                                NDIS_STATUS_BAD_CHARACTERISTICS, NDIS_STATUS_PENDING, NDIS_STATUS_NOT_ACCEPTED}) {
        host::Host h;
        h.ndis().fail_next_registration(refusal);
        EXPECT_EQ(h.load_driver(DriverEntry), STATUS_UNSUCCESSFUL) << std::hex << refusal;
        EXPECT_FALSE(h.ndis().registered());
        h.check_quiescent();
    }
}

}  // namespace
