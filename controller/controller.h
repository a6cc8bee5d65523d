// Everything that programs the 8255x: command unit, EEPROM, PHY, bring-up,
// receive unit and interrupt service, and instance creation.
#pragma once

#include <cstdint>

#include "controller/adapter.h"

// The configure bytes shared by every adapter; changed in place, never undone.
// Changed only by bring-up and NicConfigure, both under DriverMutex.
extern uint8_t ConfigBlock[ConfigBlockSize];
// Instance counter for device names; start-up thread only.
extern uint32_t InstanceCounter;

// Puts ConfigBlock and InstanceCounter back to their initial values, as
// loading a fresh image does (DriverImageEntry).
void ControllerResetImage();

// Command unit
void NicInitCommandBlocks(NicAdapter* adapter);
CommandBlock* NicGetCommandBlock(NicAdapter* adapter);
uint32_t NicWaitCommandUnit(NicAdapter* adapter, uint16_t timeout);
uint32_t NicIssueCommand(NicAdapter* adapter, CommandBlock* block);
uint32_t NicIssueConfigure(NicAdapter* adapter);
uint32_t NicConfigure(NicAdapter* adapter, uint32_t filter);
uint32_t NicSetAddress(NicAdapter* adapter);
uint32_t NicTransmit(NicAdapter* adapter, const void* frame, uint32_t length);
// Waits, bounded, until ScbCommand reads 0 (the controller has taken the
// previous command): 0, or 11 when it never does. Starts its own timeout, so
// it is never called while another timeout runs.
uint32_t NicWaitCommandAccepted(NicAdapter* adapter);
// Writes `pointer` to ScbGeneralPointer and then `command` to ScbCommand as
// one step that no other writer of this controller's SCB can split; when
// `onlyIfAccepted` is set, first re-reads ScbCommand in the same step and
// writes nothing (false) unless it reads 0.
bool NicWritePointerCommand(NicAdapter* adapter, uint32_t pointer, uint8_t command,
                            bool onlyIfAccepted = false);

// Serial EEPROM
uint32_t NicReadEeprom(NicAdapter* adapter, uint16_t* buffer, uint32_t capacity, uint32_t* stored);
void NicEepromStartRead(uint32_t port);
void NicEepromWriteBit(uint32_t port, uint8_t value);
uint8_t NicEepromReadBit(uint32_t port);

// PHY
using NicPhyHandler = uint32_t (*)(NicAdapter* adapter, uint32_t phy);
using NicPhySpeedProbe = void (*)(NicAdapter* adapter, uint32_t phy);
extern const NicPhyHandler PhyHandlerTable[13];
extern const uint8_t PhyUnsupportedTable[16];
uint32_t NicSetupPhy(NicAdapter* adapter);
uint32_t NicPhyNone(NicAdapter* adapter, uint32_t phy);
uint32_t NicPhySetupDp83840(NicAdapter* adapter, uint32_t phy);
uint32_t NicPhySetupI82555(NicAdapter* adapter, uint32_t phy);
uint32_t NicPhyConfigure(NicAdapter* adapter, uint32_t phy, NicPhySpeedProbe probe);
void NicPhySpeedI82555(NicAdapter* adapter, uint32_t phy);
void NicPhySpeedDp83840(NicAdapter* adapter, uint32_t phy);
uint32_t NicMdiWrite(NicAdapter* adapter, uint32_t phy, uint32_t reg, uint16_t value);
uint16_t NicMdiRead(NicAdapter* adapter, uint32_t phy, uint32_t reg);

// Bring-up
uint32_t NicInitializeController(NicAdapter* adapter);
void NicResetController(NicAdapter* adapter);
uint32_t NicStartCommandUnit(NicAdapter* adapter);
uint32_t NicLoadBases(NicAdapter* adapter);
uint32_t NicSelfTest(NicAdapter* adapter);

// Receive unit and interrupt service
void NicSetupReceiveUnit(NicAdapter* adapter);
void NicInterrupt(uintptr_t line);
uint32_t NicServiceInterrupt(NicAdapter* adapter);
void NicRestartReceiveUnit(NicAdapter* adapter);
void HandleReceivedPacket(NicAdapter* adapter);
void NicRecycleReceiveFrame(NicAdapter* adapter);

// Instance creation
uint32_t NicCreateAdapter(uint16_t vendor, uint16_t device, const char* description, uint8_t devfn,
                          uint8_t bus, uint32_t ioBase, uint8_t irq, NicAdapter** adapter);
