// PHY identification from the EEPROM's PHY records, link speed and duplex,
// the configure bytes that follow the PHY, and MDI register access.

#include "controller/controller.h"
#include "hw/hw.h"
#include "startup/startup.h"

namespace {

constexpr uint32_t PhyAddress = 1;
constexpr uint16_t PhyRecordNotMii = 0x8000;
constexpr uint32_t PhyTypeRefusedPrimary = 12;     // primary types 13 and above
constexpr uint32_t PhyTypeAcceptedSecondary = 13;  // secondary types 13 and above

constexpr uint32_t PhyRegisterControl = 0;
constexpr uint32_t PhyRegisterI82555Status = 16;
constexpr uint32_t PhyRegisterSpecial = 23;
constexpr uint32_t PhyRegisterDp83840Status = 25;
constexpr uint16_t PhyI82555Speed100 = 0x0002;
constexpr uint16_t PhyDp83840Speed10 = 0x0040;
constexpr uint16_t PhySpecialSet = 0x0020;
constexpr uint16_t PhySpecialFullDuplex = 0x0400;
constexpr uint16_t PhyControlSpeed100 = 0x2000;
constexpr uint16_t PhyControlFullDuplex = 0x0100;

// A forced link (duplex 1 half or 2 full, speed 10 or 100; 0 for none) has
// its steps below, but nothing in this system supplies one: the registry has
// no such key (NegotiateLink is only stored), so the link is always what the
// PHY negotiated and LinkForced stays 0.
constexpr uint16_t ForcedDuplex = 0;
constexpr uint16_t ForcedSpeed = 0;

constexpr uint32_t MdiTimeout = 1;

bool PhyRecordIsMii(uint16_t record) { return record != 0 && !(record & PhyRecordNotMii); }

uint32_t PhyRecordType(uint16_t record) { return (record >> 8) & 0x3F; }

uint32_t NicMdiCycle(NicAdapter* adapter, uint32_t command, uint32_t* result) {
  const uint32_t port = adapter->IoBase + ScbMdiControl;
  outportd(port, command);
  IoDelay();
  TimeoutStart(MdiTimeout);
  for (;;) {
    inportd(port);
    const uint32_t value = inportd(port);
    if (value & MdiReady) {
      *result = value;
      return StatusSuccess;
    }
    if (TimeoutPoll() == 0) return StatusControllerFailure;
  }
}

uint32_t MdiCommand(uint32_t phy, uint32_t reg, uint32_t opcode) {
  return (((phy & 0x1F) << 5) | (reg & 0x1F) | opcode) << 16;
}

}  // namespace

const NicPhyHandler PhyHandlerTable[13] = {
    NicPhyNone,          // 0 none installed
    NicPhyNone,          // 1 82553 A/B step
    NicPhyNone,          // 2 82553 C step
    NicPhyNone,          // 3 82503 serial interface
    NicPhySetupDp83840,  // 4 DP83840
    NicPhyNone,          // 5 80C240
    NicPhyNone,          // 6 80C24
    NicPhySetupI82555,   // 7 82555
    NicPhyNone,          // 8
    NicPhyNone,          // 9
    NicPhySetupDp83840,  // 10 DP83840, second type code
    NicPhyNone,          // 11
    NicPhyNone,          // 12 any other type
};

const uint8_t PhyUnsupportedTable[16] = {0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};

uint32_t NicSetupPhy(NicAdapter* adapter) {
  const uint16_t primary = adapter->EepromImage[6];
  uint16_t secondary = adapter->EepromImage[7];
  if (secondary == 0xFFFF) {
    secondary = 0;
    adapter->EepromImage[7] = 0;
  }

  const bool mii = PhyRecordIsMii(primary) || PhyRecordIsMii(secondary);
  if (!mii) {
    adapter->LinkSpeed = 10;
    adapter->LinkDuplex = 1;
  }

  uint32_t primaryType = PhyRecordType(primary);
  if (primaryType > PhyTypeRefusedPrimary) primaryType = PhyTypeRefusedPrimary;
  PhyHandlerTable[primaryType](adapter, PhyAddress);

  uint32_t secondaryType = PhyRecordType(secondary);
  if (secondaryType > PhyTypeAcceptedSecondary) secondaryType = PhyTypeAcceptedSecondary;

  if (PhyUnsupportedTable[primaryType] || PhyUnsupportedTable[secondaryType]) {
    return StatusControllerFailure;
  }

  // Written, not toggled: ConfigBlock serves every adapter, and a later
  // adapter inherits these bytes from an earlier one.
  if (adapter->LinkDuplex != 1) {
    ConfigBlock[ConfigByteDuplex] = ConfigForceFullDuplex | ConfigFullDuplexPin;
  }
  if (mii) {
    ConfigBlock[ConfigByteInterface] = ConfigInterfaceMii;
    ConfigBlock[ConfigByteFilter] &= static_cast<uint8_t>(~ConfigCarrierSenseFilter);
  }

  if (adapter->LinkForced) {
    // Only reachable with a forced link (see ForcedDuplex): tell the PHY.
    uint16_t control = 0;
    if (adapter->LinkSpeed == 100) control |= PhyControlSpeed100;
    if (adapter->LinkDuplex == 2) control |= PhyControlFullDuplex;
    NicMdiWrite(adapter, PhyAddress, PhyRegisterControl, control);
  }
  return StatusSuccess;
}

uint32_t NicPhyNone(NicAdapter*, uint32_t) { return StatusSuccess; }

uint32_t NicPhySetupDp83840(NicAdapter* adapter, uint32_t phy) {
  return NicPhyConfigure(adapter, phy, NicPhySpeedDp83840);
}

uint32_t NicPhySetupI82555(NicAdapter* adapter, uint32_t phy) {
  return NicPhyConfigure(adapter, phy, NicPhySpeedI82555);
}

uint32_t NicPhyConfigure(NicAdapter* adapter, uint32_t phy, NicPhySpeedProbe probe) {
  adapter->LinkForced = 0;
  adapter->LinkDuplex = 1;
  if (ForcedDuplex != 0) {
    adapter->LinkForced = 1;
    adapter->LinkDuplex = ForcedDuplex;
  }
  probe(adapter, phy);
  if (ForcedSpeed != 0) {
    adapter->LinkForced = 1;
    adapter->LinkSpeed = ForcedSpeed;
  }
  uint16_t special = NicMdiRead(adapter, phy, PhyRegisterSpecial) | PhySpecialSet;
  if (adapter->LinkForced && adapter->LinkDuplex != 1) special |= PhySpecialFullDuplex;
  return NicMdiWrite(adapter, phy, PhyRegisterSpecial, special);
}

void NicPhySpeedI82555(NicAdapter* adapter, uint32_t phy) {
  adapter->LinkSpeed =
      (NicMdiRead(adapter, phy, PhyRegisterI82555Status) & PhyI82555Speed100) ? 100 : 10;
}

void NicPhySpeedDp83840(NicAdapter* adapter, uint32_t phy) {
  adapter->LinkSpeed =
      (NicMdiRead(adapter, phy, PhyRegisterDp83840Status) & PhyDp83840Speed10) ? 10 : 100;
}

uint32_t NicMdiWrite(NicAdapter* adapter, uint32_t phy, uint32_t reg, uint16_t value) {
  uint32_t result = 0;
  return NicMdiCycle(adapter, MdiCommand(phy, reg, MdiOpWrite) | value, &result);
}

uint16_t NicMdiRead(NicAdapter* adapter, uint32_t phy, uint32_t reg) {
  uint32_t result = 0;
  if (NicMdiCycle(adapter, MdiCommand(phy, reg, MdiOpRead), &result) != StatusSuccess) {
    return 0xFFFF;
  }
  return static_cast<uint16_t>(result);
}
