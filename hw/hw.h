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

uint16_t ReadTimerCount();
void IoDelay();
void MillisecondDelay(uint32_t milliseconds);
void TimeoutStart(uint32_t units);
uint32_t TimeoutPoll();

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
