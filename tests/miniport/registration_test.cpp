// Driver entry: the one registration with the NDIS wrapper.
#include <gtest/gtest.h>

#include "driver/miniport/handlers.h"
#include "host/host.h"

namespace {

TEST(Registration, RegistersTheEightHandlersAsAnNdis50Miniport) {
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
    EXPECT_EQ(c.CheckForHangHandler, &MpCheckForHang);

    // No interrupt, transfer-data, multi-packet or connection-oriented handler.
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

// The statuses the driver returns and NDIS reads, against their published values: two that
// shared one value once made every reset that could not clear a pipe read as a bad version.
TEST(PlatformConstants, StatusesHaveTheirPublishedValues) {
    const std::pair<NDIS_STATUS, uint32_t> statuses[] = {
        {NDIS_STATUS_SUCCESS, 0x00000000},           {NDIS_STATUS_PENDING, 0x00000103},
        {NDIS_STATUS_NOT_RECOGNIZED, 0x00010001},    {NDIS_STATUS_NOT_COPIED, 0x00010002},
        {NDIS_STATUS_NOT_ACCEPTED, 0x00010003},      {NDIS_STATUS_RESET_START, 0x40010004},
        {NDIS_STATUS_RESET_END, 0x40010005},         {NDIS_STATUS_MEDIA_CONNECT, 0x4001000B},
        {NDIS_STATUS_MEDIA_DISCONNECT, 0x4001000C},  {NDIS_STATUS_HARD_ERRORS, 0x80010004},
        {NDIS_STATUS_FAILURE, 0xC0000001},           {NDIS_STATUS_RESOURCES, 0xC000009A},
        {NDIS_STATUS_NOT_SUPPORTED, 0xC00000BB},     {NDIS_STATUS_CLOSING, 0xC0010002},
        {NDIS_STATUS_BAD_VERSION, 0xC0010004},       {NDIS_STATUS_BAD_CHARACTERISTICS, 0xC0010005},
        {NDIS_STATUS_ADAPTER_NOT_FOUND, 0xC0010006}, {NDIS_STATUS_RESET_IN_PROGRESS, 0xC001000D},
        {NDIS_STATUS_INVALID_LENGTH, 0xC0010014},    {NDIS_STATUS_INVALID_DATA, 0xC0010015},
        {NDIS_STATUS_BUFFER_TOO_SHORT, 0xC0010016},  {NDIS_STATUS_INVALID_OID, 0xC0010017},
        {NDIS_STATUS_UNSUPPORTED_MEDIA, 0xC0010019}, {NDIS_STATUS_FILE_NOT_FOUND, 0xC001001B},
    };
    for (const auto& [status, published] : statuses) EXPECT_EQ(static_cast<uint32_t>(status), published);
}

}  // namespace
