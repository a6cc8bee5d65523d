// Hardware access primitives: PC timer waits, PCI configuration access and
// discovery of supported controllers.
#pragma once

#include <cstdint>

struct NicAdapter;

constexpr uint32_t TimerStepsPerMillisecond = 0x953;  // 2387

// The one timeout of the whole driver. Used only under DriverMutex (or on the
// start-up thread before any device exists), so one wait runs at a time.
extern uint32_t TimeoutRemaining;
extern uint32_t TimeoutAccumulator;
extern uint32_t TimeoutLastCount;

// Puts the timeout state and the PCI access flags back to their initial
// values, as loading a fresh image does (DriverImageEntry).
void HwResetImage();

uint16_t ReadTimerCount();
void IoDelay();
void MillisecondDelay(uint32_t milliseconds);
void TimeoutStart(uint32_t units);
uint32_t TimeoutPoll();

// ---- PCI configuration space: the registers the driver reads and writes ----
constexpr uint32_t PciVendorDevice = 0x00;  // 32 bits: vendor (low half), device
constexpr uint32_t PciCommand = 0x04;       // 16 bits
constexpr uint32_t PciLatencyTimer = 0x0D;  // 8 bits
constexpr uint32_t PciHeaderType = 0x0E;    // 8 bits
constexpr uint32_t PciFirstBar = 0x10;      // base address registers, 32 bits each
constexpr uint32_t PciLastBar = 0x24;
constexpr uint32_t PciInterruptLine = 0x3C;  // 8 bits
constexpr uint32_t PciCommandIoSpace = 0x0001;
constexpr uint32_t PciCommandBusMaster = 0x0004;
constexpr uint32_t PciMultiFunction = 0x80;  // in PciHeaderType
constexpr uint32_t PciBarIo = 0x1;
constexpr uint32_t PciBarIoAddressMask = 0xFFFFFFFC;

// The I/O base a base address register names, or 0 when it names memory.
inline uint32_t PciBarIoBase(uint32_t bar) {
  return (bar & PciBarIo) != 0 ? bar & PciBarIoAddressMask : 0;
}

uint32_t PciReadByte(uint32_t offset, uint8_t devfn, uint32_t bus);
uint32_t PciReadWord(uint32_t offset, uint8_t devfn, uint32_t bus);
uint32_t PciReadDword(uint32_t offset, uint8_t devfn, uint32_t bus);
void PciWriteByte(uint8_t value, uint32_t offset, uint8_t devfn, uint32_t bus);
void PciWriteDword(uint32_t value, uint32_t offset, uint8_t devfn, uint32_t bus);
// Called by the scan before it hands the first controller to creation: from
// then on other contexts may reach configuration space, and every access pair
// is serialised against them.
void PciShareAccess();
uint32_t NicEnablePci(NicAdapter* adapter);

struct DeviceTableRow {
  uint16_t VendorId;
  uint16_t DeviceId;
  const char* Description;
};
extern const DeviceTableRow DeviceTable[];
uint32_t NicScanPci();
