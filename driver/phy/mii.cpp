// MII management access through the four-byte PHY window at controller register 0x25:
// PHY address, data low, data high, control (MII register | read 0x40 / write 0x20; done 0x80).
#include "phy/phy.h"
#include "usb/registers.h"

namespace {

// A PHY access that has not reported done right after the command is looked at again this many
// times, 100 microseconds apart, before it is given up.
constexpr ULONG MII_DONE_REREADS = 10;
constexpr ULONG MII_PAUSE_US = 100;
constexpr ULONG STUCK_REQUEST_WINDOW_WAITS = 5;  // of AcquirePhyWindow's 2 s

VOID LoadWindow(ADAPTER* Adapter, UCHAR PhyAddress, USHORT Data, UCHAR Control)
{
    Adapter->RegWriteBuf[0] = PhyAddress;
    Adapter->RegWriteBuf[1] = static_cast<UCHAR>(Data & 0xFF);
    Adapter->RegWriteBuf[2] = static_cast<UCHAR>(Data >> 8);
    Adapter->RegWriteBuf[3] = Control;
}

// Reads Count bytes from Register and tells whether the done bit is set in the byte at
// DoneIndex. A read-back that did not come back counts as not done, and so does one that came
// back refused or failed: the control byte is cleared first, so that what an earlier access left
// in RegReadBuf is never taken for this access's answer.
BOOLEAN ReadBackDone(ADAPTER* Adapter, USHORT Count, USHORT Register, ULONG DoneIndex)
{
    Adapter->RegReadBuf[DoneIndex] = 0;
    return ReadRegisters(Adapter, Count, Register) == RESULT_SUCCESS &&
           (Adapter->RegReadBuf[DoneIndex] & PHY_DONE) != 0;
}

}  // namespace

// MiiRead — passive level only: it waits. Stores exactly 16 bits at Value: the register's value,
// or 0xFFFF when the access never reported done (discovery takes that as no PHY). 1 when the
// access reported done, 2 when it did not, for a caller that must not act on a value not read.
ULONG MiiRead(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register, PUSHORT Value)
{
    LoadWindow(Adapter, PhyAddress, 0, static_cast<UCHAR>(PHY_READ_COMMAND | (Register & PHY_REGISTER_MASK)));
    WriteRegisters(Adapter, PHY_WINDOW_LENGTH, REG_PHY_ADDRESS);
    BOOLEAN Done = ReadBackDone(Adapter, PHY_WINDOW_LENGTH, REG_PHY_ADDRESS, 3);
    NdisMSleep(MII_PAUSE_US);
    for (ULONG Reread = 0; !Done && Reread < MII_DONE_REREADS; Reread++) {
        Done = ReadBackDone(Adapter, PHY_WINDOW_LENGTH, REG_PHY_ADDRESS, 3);
        if (!Done) {
            NdisMSleep(MII_PAUSE_US);
        }
    }
    *Value = Done ? static_cast<USHORT>((Adapter->RegReadBuf[2] << 8) | Adapter->RegReadBuf[1]) : 0xFFFF;
    return Done ? RESULT_SUCCESS : RESULT_FAILURE;
}

// MiiWrite — passive level only: it waits. Gives up when the access never reports done.
VOID MiiWrite(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register, USHORT Value)
{
    LoadWindow(Adapter, PhyAddress, Value, static_cast<UCHAR>(PHY_WRITE_COMMAND | (Register & PHY_REGISTER_MASK)));
    WriteRegisters(Adapter, PHY_WINDOW_LENGTH, REG_PHY_ADDRESS);
    BOOLEAN Done = ReadBackDone(Adapter, 2, REG_PHY_CONTROL, 0);
    NdisMSleep(MII_PAUSE_US);
    for (ULONG Reread = 0; !Done && Reread < MII_DONE_REREADS; Reread++) {
        Done = ReadBackDone(Adapter, 2, REG_PHY_CONTROL, 0);
        if (!Done) {
            NdisMSleep(MII_PAUSE_US);
        }
    }
}

// SelectPhy — passive level only. Leaves the window addressing the PHY; the read command it
// carries is never collected.
ULONG SelectPhy(ADAPTER* Adapter, UCHAR PhyAddress)
{
    LoadWindow(Adapter, PhyAddress, 0, static_cast<UCHAR>(PHY_READ_COMMAND | (PhyAddress & PHY_REGISTER_MASK)));
    return WriteRegisters(Adapter, PHY_WINDOW_LENGTH, REG_PHY_ADDRESS);
}

// MiiReadAsync — up to dispatch level. Sends the read command; the caller fetches the data with
// an asynchronous read of the data registers once the command has completed.
NTSTATUS MiiReadAsync(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register)
{
    LoadWindow(Adapter, PhyAddress, 0, static_cast<UCHAR>(PHY_READ_COMMAND | (Register & PHY_REGISTER_MASK)));
    return WriteRegistersAsync(Adapter, PHY_WINDOW_LENGTH, REG_PHY_ADDRESS, Adapter->RegWriteBuf);
}

// MiiWriteAsync — up to dispatch level.
NTSTATUS MiiWriteAsync(ADAPTER* Adapter, UCHAR PhyAddress, UCHAR Register, USHORT Value)
{
    LoadWindow(Adapter, PhyAddress, Value, static_cast<UCHAR>(PHY_WRITE_COMMAND | (Register & PHY_REGISTER_MASK)));
    return WriteRegistersAsync(Adapter, PHY_WINDOW_LENGTH, REG_PHY_ADDRESS, Adapter->RegWriteBuf);
}

// ClearPhyBusy — the completion step (PhyStep) of a single asynchronous PHY write.
VOID ClearPhyBusy(ADAPTER* Adapter) { Adapter->PhyBusy = 0; }

// WaitPhyIdle — passive level only. 1 when PhyBusy was clear within Count pauses of 1 ms.
ULONG WaitPhyIdle(ADAPTER* Adapter, USHORT Count)
{
    for (ULONG Pause = 0; Pause < Count; Pause++) {
        if (Adapter->PhyBusy == 0) {
            return RESULT_SUCCESS;
        }
        NdisMSleep(1000);
    }
    return RESULT_FAILURE;
}

// AcquirePhyWindow — passive level only.
ULONG AcquirePhyWindow(ADAPTER* Adapter)
{
    for (ULONG Pause = 0; Pause < PHY_IDLE_WAIT_PAUSES; Pause++) {
        UCHAR Idle = 0;
        if (Adapter->PhyBusy.compare_exchange_strong(Idle, 1)) {
            return RESULT_SUCCESS;
        }
        NdisMSleep(1000);
    }
    return RESULT_FAILURE;
}

VOID ReleasePhyWindow(ADAPTER* Adapter) { Adapter->PhyBusy = 0; }

// AcquirePhyWindowPatiently — passive level only. Waits for the window as long as a synchronous
// request is given to complete (10 s). A register request still in the USB stack after that is
// stuck, and keeps its poll and the window with it: it is cancelled, its completion ends the
// poll, and the window is waited for once more. 1 when taken.
ULONG AcquirePhyWindowPatiently(ADAPTER* Adapter)
{
    for (ULONG Wait = 0; Wait < STUCK_REQUEST_WINDOW_WAITS; Wait++) {
        if (AcquirePhyWindow(Adapter) == RESULT_SUCCESS) {
            return RESULT_SUCCESS;
        }
    }
    CancelAsyncRequest(Adapter);
    return AcquirePhyWindow(Adapter);
}
