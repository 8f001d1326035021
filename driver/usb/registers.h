// The controller's register map as the driver uses it, and the register access routines.
// Registers are reached only through two vendor requests on the default pipe: 0xF0 reads a run
// of consecutive registers into RegReadBuf, 0xF1 writes one from RegWriteBuf (or, for the
// asynchronous form, from a buffer the caller names).
#pragma once

#include "miniport/adapter.h"

constexpr UCHAR VENDOR_READ_REGISTERS = 0xF0;
constexpr UCHAR VENDOR_WRITE_REGISTERS = 0xF1;

// Control registers 0..2: written [0xF9, Ctrl1Value, 0x00] at every hardware start.
constexpr USHORT REG_CONTROL0 = 0x00;
constexpr USHORT REG_CONTROL1 = 0x01;
constexpr UCHAR CONTROL0_START_VALUE = 0xF9;
constexpr UCHAR CONTROL1_MAC_RESET = 0x08;

constexpr USHORT REG_MULTICAST_HASH = 0x08;  // 8 registers, 0x08..0x0F
constexpr USHORT MULTICAST_HASH_LENGTH = 8;
constexpr USHORT REG_STATION_ADDRESS = 0x10;  // 6 registers, 0x10..0x15

// EEPROM access: word number in 0x20, command 0x02 in 0x23 starts a read; bit 0x04 of 0x23
// reports it done, with the word in 0x21 (low) and 0x22 (high).
constexpr USHORT REG_EEPROM_WORD = 0x20;
constexpr USHORT REG_EEPROM_DATA_LOW = 0x21;
constexpr USHORT REG_EEPROM_CONTROL = 0x23;
constexpr UCHAR EEPROM_READ_COMMAND = 0x02;
constexpr UCHAR EEPROM_DONE = 0x04;

// The PHY window: address, data low, data high, control (MII register | command; done bit).
constexpr USHORT REG_PHY_ADDRESS = 0x25;
constexpr USHORT REG_PHY_DATA_LOW = 0x26;
constexpr USHORT REG_PHY_CONTROL = 0x28;
constexpr USHORT PHY_WINDOW_LENGTH = 4;
constexpr UCHAR PHY_REGISTER_MASK = 0x1F;
constexpr UCHAR PHY_WRITE_COMMAND = 0x20;
constexpr UCHAR PHY_READ_COMMAND = 0x40;
constexpr UCHAR PHY_DONE = 0x80;

// Wake-up slots: 16 mask bytes each, 0x18 registers apart; their enable bits in 0x78.
constexpr USHORT REG_WAKEUP_SLOT0 = 0x30;
constexpr USHORT REG_WAKEUP_SLOT1 = 0x48;
constexpr USHORT REG_WAKEUP_SLOT2 = 0x60;
constexpr USHORT WAKEUP_SLOT_MASK_LENGTH = 16;
constexpr USHORT REG_WAKEUP_CONTROL = 0x78;
constexpr UCHAR WAKEUP_ENABLE_SLOT0 = 0x20;
constexpr UCHAR WAKEUP_ENABLE_SLOT1 = 0x10;
constexpr UCHAR WAKEUP_ENABLE_SLOT2 = 0x08;

// PHY power and HomeLan indicator registers, and the set-up register written before the
// EEPROM is read.
constexpr USHORT REG_PHY_POWER = 0x7E;
constexpr USHORT REG_HOMELAN_INDICATOR = 0x7F;
constexpr USHORT REG_EEPROM_SETUP = 0x80;
constexpr UCHAR PHY_POWER_ETHERNET_OFF = 0x30;    // in 0x7E: the Ethernet PHY is switched off
constexpr UCHAR HOMELAN_INDICATOR_SELECT = 0x06;  // in 0x7E before an indicator value in 0x7F
constexpr UCHAR HOMELAN_INDICATOR_LINK = 0x04;
constexpr UCHAR HOMELAN_INDICATOR_NO_LINK = 0x06;

ULONG ReadRegisters(ADAPTER* Adapter, USHORT Count, USHORT Register);
ULONG WriteRegisters(ADAPTER* Adapter, USHORT Count, USHORT Register);
NTSTATUS WriteRegistersAsync(ADAPTER* Adapter, USHORT Count, USHORT Register, PVOID Data);
NTSTATUS ReadRegistersAsync(ADAPTER* Adapter, USHORT Count, USHORT Register);
NTSTATUS WriteRegistersComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS ReadRegistersComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Passive level (stop sequence): cancels the asynchronous register request still in the USB
// stack, if any, waits for its completion and frees its IRP.
VOID CancelAsyncRequest(ADAPTER* Adapter);
