// The 8255x controller as the driver sees it: the SCB register map, the
// memory formats the controller reads and writes by DMA, and the accessors
// for memory the controller shares with the driver.
//
// Everything here is little-endian on the wire and in memory. No compiler
// bitfields: every field is a whole integer at a fixed offset, checked below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/interface.h"

// ---- SCB registers, byte offsets from the adapter's I/O base ----
constexpr uint32_t ScbStatus = 0;            // 16 bits
constexpr uint32_t ScbCommand = 2;           // 8 bits
constexpr uint32_t ScbInterruptControl = 3;  // 8 bits
constexpr uint32_t ScbGeneralPointer = 4;    // 32 bits
constexpr uint32_t ScbPort = 8;              // 32 bits
constexpr uint32_t ScbEepromControl = 14;    // 8 bits
constexpr uint32_t ScbMdiControl = 16;       // 32 bits
constexpr uint32_t ScbRegisterBlockSize = 64;

// ScbStatus
constexpr uint16_t ScbStatusCuMask = 0x00C0;
constexpr uint16_t ScbStatusCuActive = 0x0080;
constexpr uint16_t ScbStatusRuMask = 0x003C;
constexpr uint16_t ScbStatusRuNoResources = 0x0008;  // set in both no-resources values
constexpr uint16_t ScbStatusCx = 0x8000;
constexpr uint16_t ScbStatusFr = 0x4000;
constexpr uint16_t ScbStatusCna = 0x2000;
constexpr uint16_t ScbStatusRnr = 0x1000;
constexpr uint16_t ScbStatusMdi = 0x0800;
constexpr uint16_t ScbStatusSwi = 0x0400;
constexpr uint16_t ScbStatusEr = 0x0200;
constexpr uint16_t ScbStatusFcp = 0x0100;
constexpr uint16_t ScbStatusServiced = 0xFC00;  // the six bits that make an adapter serviced

// ScbCommand values
constexpr uint8_t ScbCommandRuStart = 0x01;
constexpr uint8_t ScbCommandRuAbort = 0x04;
constexpr uint8_t ScbCommandRuLoadBase = 0x06;
constexpr uint8_t ScbCommandCuStart = 0x10;
constexpr uint8_t ScbCommandCuLoadBase = 0x60;

// ScbInterruptControl
constexpr uint8_t ScbInterruptMaskAll = 0x01;
constexpr uint8_t ScbInterruptUnmask = 0x00;

// ScbPort functions
constexpr uint32_t ScbPortSoftwareReset = 0;
constexpr uint32_t ScbPortSelfTest = 1;
constexpr uint32_t ScbPortSelectiveReset = 2;

// ScbEepromControl lines
constexpr uint8_t EepromClock = 0x01;
constexpr uint8_t EepromChipSelect = 0x02;
constexpr uint8_t EepromDataIn = 0x04;   // driver to part
constexpr uint8_t EepromDataOut = 0x08;  // part to driver

// ScbMdiControl
constexpr uint32_t MdiReady = 0x10000000;
constexpr uint32_t MdiOpWrite = 0x400;  // in the upper half, before the shift by 16
constexpr uint32_t MdiOpRead = 0x800;

// ---- Command blocks ----
constexpr uint16_t CbStatusComplete = 0x8000;
constexpr uint16_t CbStatusOk = 0x2000;
constexpr uint32_t CbFirstWordAddressSetup = 0x80010000;  // end of list
constexpr uint32_t CbFirstWordConfigure = 0xC0020000;     // end of list, suspend
constexpr uint32_t CbFirstWordTransmit = 0xC0040000;      // end of list, suspend
constexpr uint32_t CbLinkNone = 0xFFFFFFFF;
constexpr uint32_t CbTbdArrayNone = 0xFFFFFFFF;
constexpr uint32_t CbTransmitCountFlags = 0x00C88000;  // threshold 0xC8, end of frame
constexpr uint32_t CbCommandCodeMask = 0x0007;
constexpr uint32_t CbCommandIa = 1;
constexpr uint32_t CbCommandConfigure = 2;
constexpr uint32_t CbCommandTransmit = 4;
constexpr uint16_t CbCommandFlexible = 0x0008;
constexpr uint16_t CbCommandInterrupt = 0x2000;
constexpr uint16_t CbCommandSuspend = 0x4000;
constexpr uint16_t CbCommandEndOfList = 0x8000;

// ---- Configure bytes (carried at CbOffsetConfig by a configure command) ----
// The controller reads the first 22; the last two are sent as 0.
constexpr uint32_t ConfigBlockSize = 24;
// Byte indices, each with the bits the driver changes in it.
constexpr uint32_t ConfigByteSaveBad = 6;
constexpr uint8_t ConfigSaveBadFrames = 0x80;
constexpr uint32_t ConfigByteDiscardShort = 7;
constexpr uint8_t ConfigDiscardShortFrames = 0x01;
constexpr uint32_t ConfigByteInterface = 8;
constexpr uint8_t ConfigInterfaceMii = 0x01;  // 0: the 82503 serial interface
constexpr uint32_t ConfigByteFilter = 15;
constexpr uint8_t ConfigPromiscuous = 0x01;
constexpr uint8_t ConfigBroadcastDisabled = 0x02;
constexpr uint8_t ConfigCarrierSenseFilter = 0x80;  // CRS or CDT
constexpr uint32_t ConfigByteDuplex = 19;
constexpr uint8_t ConfigForceFullDuplex = 0x40;
constexpr uint8_t ConfigFullDuplexPin = 0x80;
constexpr uint32_t ConfigByteAddresses = 20;
constexpr uint8_t ConfigMultipleIndividualAddresses = 0x40;
constexpr uint32_t ConfigByteMulticast = 21;
constexpr uint8_t ConfigMulticastAll = 0x08;

// Offsets inside a command block.
constexpr uint32_t CbOffsetStatus = 0;
constexpr uint32_t CbOffsetCommand = 2;
constexpr uint32_t CbOffsetLink = 4;
constexpr uint32_t CbOffsetAddress = 8;     // individual address setup: 6 bytes
constexpr uint32_t CbOffsetConfig = 8;      // configure: 24 bytes
constexpr uint32_t CbOffsetTbdArray = 8;    // transmit: 32 bits
constexpr uint32_t CbOffsetTcbCount = 12;   // transmit: 16 bits, count | end of frame
constexpr uint32_t CbOffsetThreshold = 14;  // transmit: 8 bits
constexpr uint32_t CbOffsetTbdCount = 15;   // transmit: 8 bits
constexpr uint32_t CbOffsetFrame = 16;      // transmit: the frame
constexpr uint32_t CbTcbCountMask = 0x3FFF;

struct CommandBlock {
  uint16_t Status;
  uint16_t Command;
  uint32_t Link;
  uint8_t Parameters[8];  // offsets 8-15: command-specific
  uint8_t Data[MaximumFrameLength];
};
static_assert(sizeof(CommandBlock) == 16 + 1536);
static_assert(offsetof(CommandBlock, Status) == CbOffsetStatus);
static_assert(offsetof(CommandBlock, Command) == CbOffsetCommand);
static_assert(offsetof(CommandBlock, Link) == CbOffsetLink);
static_assert(offsetof(CommandBlock, Parameters) == 8);
static_assert(offsetof(CommandBlock, Data) == CbOffsetFrame);

// ---- Receive frame descriptor (flexible mode) ----
constexpr uint16_t RfdStatusComplete = 0x8000;
constexpr uint16_t RfdStatusOk = 0x2000;
constexpr uint16_t RfdStatusCrcError = 0x0800;
constexpr uint16_t RfdStatusAlignmentError = 0x0400;
constexpr uint16_t RfdStatusNoResources = 0x0200;
constexpr uint16_t RfdStatusOverrun = 0x0100;
constexpr uint16_t RfdStatusTooShort = 0x0080;
constexpr uint16_t RfdCommandFlexible = 0x0008;
constexpr uint16_t RfdCommandEndOfList = 0x8008;  // end of list and flexible mode
constexpr uint32_t RfdNoRbd = 0xFFFFFFFF;
constexpr unsigned RfdCount = 34;

struct ReceiveFrameDescriptor {
  uint16_t Status;
  uint16_t Command;
  uint32_t Link;
  uint32_t RbdAddress;
  uint16_t ActualCount;
  uint16_t Size;
};
static_assert(sizeof(ReceiveFrameDescriptor) == 16);
static_assert(offsetof(ReceiveFrameDescriptor, Status) == 0);
static_assert(offsetof(ReceiveFrameDescriptor, Command) == 2);
static_assert(offsetof(ReceiveFrameDescriptor, Link) == 4);
static_assert(offsetof(ReceiveFrameDescriptor, RbdAddress) == 8);
static_assert(offsetof(ReceiveFrameDescriptor, ActualCount) == 12);
static_assert(offsetof(ReceiveFrameDescriptor, Size) == 14);

// ---- Receive buffer descriptor ----
// An 18-byte slot: the controller's 16-byte descriptor followed by the
// driver's own copy of the buffer address, which starts in the upper half of
// the controller's fourth word. Slots follow each other with no gap, so the
// 32-bit fields of odd slots are only 2-byte aligned: they are reached through
// byte offsets, never through a struct member.
constexpr uint32_t RbdOffsetCount = 0;           // 16 bits
constexpr uint32_t RbdOffsetReserved = 2;        // 16 bits
constexpr uint32_t RbdOffsetLink = 4;            // 32 bits
constexpr uint32_t RbdOffsetBufferAddress = 8;   // 32 bits
constexpr uint32_t RbdOffsetSize = 12;           // 16 bits
constexpr uint32_t RbdOffsetBufferPointer = 14;  // 32 bits, driver only
constexpr uint32_t RbdSlotSize = 18;
constexpr uint16_t RbdCountEof = 0x8000;
constexpr uint16_t RbdCountValid = 0x4000;
constexpr uint16_t RbdCountMask = 0x3FFF;
constexpr uint16_t RbdSizeBuffer = 0x1000;
constexpr uint16_t RbdSizeEndOfList = 0x9000;  // end of list and 4096
constexpr unsigned RbdCount = 32;
constexpr uint32_t RxBufferSize = 4096;

struct ReceiveBufferDescriptor {
  uint8_t Bytes[RbdSlotSize];
};
static_assert(sizeof(ReceiveBufferDescriptor) == RbdSlotSize);
static_assert(alignof(ReceiveBufferDescriptor) == 1);
static_assert(RbdOffsetBufferPointer + 4 == RbdSlotSize);

// ---- Receive queue slot ----
constexpr uint32_t QueueSlotSize = 1540;
struct ReceiveQueueSlot {
  uint32_t Length;
  uint8_t Data[MaximumFrameLength];
};
static_assert(sizeof(ReceiveQueueSlot) == QueueSlotSize);
static_assert(offsetof(ReceiveQueueSlot, Length) == 0);
static_assert(offsetof(ReceiveQueueSlot, Data) == 4);

// ---- Self-test result block (written by the controller) ----
struct SelfTestBlock {
  uint32_t Signature;  // non-zero once the test has run
  uint32_t Result;     // 0 when every test passed
};
static_assert(sizeof(SelfTestBlock) == 8);
static_assert(offsetof(SelfTestBlock, Signature) == 0);
static_assert(offsetof(SelfTestBlock, Result) == 4);
constexpr uint32_t SelfTestAlignment = 16;

// ---- Memory shared with the controller ----
// Both sides reach descriptor words with single-copy-atomic accesses, the way
// a driver uses volatile accesses for device memory: a status is read with
// acquire order and written with release order, so that the data behind it is
// complete whenever the flag says so.
inline uint16_t HwLoad16(const void* p) {
  return __atomic_load_n(static_cast<const uint16_t*>(p), __ATOMIC_ACQUIRE);
}
inline void HwStore16(void* p, uint16_t v) {
  __atomic_store_n(static_cast<uint16_t*>(p), v, __ATOMIC_RELEASE);
}
inline uint32_t HwLoad32(const void* p) {
  return __atomic_load_n(static_cast<const uint32_t*>(p), __ATOMIC_ACQUIRE);
}
inline void HwStore32(void* p, uint32_t v) {
  __atomic_store_n(static_cast<uint32_t*>(p), v, __ATOMIC_RELEASE);
}
// A 32-bit field at an address that may be only 2-byte aligned (RBD slots).
// Such fields are written before the controller is told about them and never
// change while it runs, so two ordered halves are enough.
inline uint32_t HwLoadUnaligned32(const void* p) {
  const uint16_t* h = static_cast<const uint16_t*>(p);
  return static_cast<uint32_t>(HwLoad16(h)) | (static_cast<uint32_t>(HwLoad16(h + 1)) << 16);
}
inline void HwStoreUnaligned32(void* p, uint32_t v) {
  uint16_t* h = static_cast<uint16_t*>(p);
  HwStore16(h, static_cast<uint16_t>(v));
  HwStore16(h + 1, static_cast<uint16_t>(v >> 16));
}

// The 32-bit bus address of driver memory (the platform keeps all driver
// memory below 4 GiB).
inline uint32_t HwAddress(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}
inline void* HwPointer(uint32_t address) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}
