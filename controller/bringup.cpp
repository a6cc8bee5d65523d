// Controller bring-up: reset, station address, PHY, command unit, receive
// unit, interrupt mask; and the controller self-test.
//
// Bring-up runs under DriverMutex (creation and resume take it), since it
// uses the driver's single timeout; while it runs, the interrupt service
// leaves the adapter alone (not yet on AdapterList, or Suspended on resume).

#include "controller/controller.h"
#include "hw/hw.h"
#include "startup/startup.h"

namespace {

constexpr uint32_t ResetSettleTimeout = 2;
constexpr uint32_t ConfigureSettleTimeout = 8;
constexpr uint32_t BaseLoadTimeout = 1;
constexpr uint32_t SelfTestTimeout = 1;

// The self-test result block: inside the adapter record, so the controller
// can reach it by DMA and may still write it after a test that gave up,
// rounded up to the 16-byte boundary the PORT command needs.
SelfTestBlock* NicSelfTestBlock(NicAdapter* adapter) {
  const uintptr_t area = reinterpret_cast<uintptr_t>(adapter->SelfTestArea);
  const uintptr_t aligned = (area + SelfTestAlignment - 1) & ~uintptr_t{SelfTestAlignment - 1};
  return reinterpret_cast<SelfTestBlock*>(aligned);
}

}  // namespace

uint32_t NicInitializeController(NicAdapter* adapter) {
  NicResetController(adapter);

  if (RegistryMacSet == 1) {
    MacCopyMemory(adapter->MacAddress, RegistryMac, 6);
  } else if (UseEeprom == 1) {
    uint32_t stored = 0;
    if (NicReadEeprom(adapter, reinterpret_cast<uint16_t*>(adapter->MacAddress), 6, &stored) !=
        StatusSuccess) {
      return StatusControllerFailure;
    }
    if (!Quiet) {
      const uint8_t* mac = adapter->MacAddress;
      host::printf("TORVELIN: Ethernet address is ");
      host::printf("%02X:%02X:", mac[0], mac[1]);
      host::printf("%02X:%02X:", mac[2], mac[3]);
      host::printf("%02X:%02X\n", mac[4], mac[5]);
    }
  } else {
    if (!Quiet) host::printf("TORVELIN: No Eeprom configured; using address 00:00:00:00:00:00.\n");
  }

  NicSetupPhy(adapter);  // a refused PHY type does not stop bring-up
  NicInitCommandBlocks(adapter);
  if (NicStartCommandUnit(adapter) != StatusSuccess) return StatusControllerFailure;
  NicSetupReceiveUnit(adapter);
  if (!(NicLoadFlags(adapter) & AdapterPolled)) {
    outportb(adapter->IoBase + ScbInterruptControl, ScbInterruptUnmask);
  }
  return StatusSuccess;
}

void NicResetController(NicAdapter* adapter) {
  const uint32_t port = adapter->IoBase + ScbPort;
  outportb(adapter->IoBase + ScbInterruptControl, ScbInterruptMaskAll);
  outportd(port, ScbPortSelectiveReset);
  IoDelay();
  // A selective reset that does not finish in time is not an error: the
  // software reset below follows either way.
  TimeoutStart(ResetDelay);
  while (TimeoutPoll() != 0) {
    if (inportd(port) == 0) break;
  }
  outportd(port, ScbPortSoftwareReset);
  TimeoutStart(ResetSettleTimeout);
  while (TimeoutPoll() != 0) {
  }
}

uint32_t NicStartCommandUnit(NicAdapter* adapter) {
  // These three lines are printed whatever Quiet says: they are the only
  // trace of a controller that will not start.
  if (NicLoadBases(adapter) != StatusSuccess) {
    host::printf("TORVELIN: Configuration failure, loading base registers.\n");
    return StatusControllerFailure;
  }
  if (NicIssueConfigure(adapter) != StatusSuccess) {
    host::printf("TORVELIN: Configuration failure, operation failed.\n");
    return StatusControllerFailure;
  }
  TimeoutStart(ConfigureSettleTimeout);
  while (TimeoutPoll() != 0) {
  }
  if (NicSetAddress(adapter) != StatusSuccess) {
    host::printf("TORVELIN: Unable to set MAC address.\n");
    return StatusControllerFailure;
  }
  return StatusSuccess;
}

uint32_t NicLoadBases(NicAdapter* adapter) {
  const uint32_t io = adapter->IoBase;
  // Both waits for the command byte are bounded (NicWaitCommandAccepted); a
  // controller that never takes a command fails the base load with 11.
  if (NicWaitCommandAccepted(adapter) != StatusSuccess) return StatusControllerFailure;
  NicWritePointerCommand(adapter, 0, ScbCommandCuLoadBase);
  if (NicWaitCommandAccepted(adapter) != StatusSuccess) return StatusControllerFailure;
  TimeoutStart(BaseLoadTimeout);
  while ((inportw(io + ScbStatus) & ScbStatusCuMask) == ScbStatusCuActive) {
    if (TimeoutPoll() == 0) return StatusControllerFailure;
  }
  NicWritePointerCommand(adapter, 0, ScbCommandRuLoadBase);
  return StatusSuccess;
}

uint32_t NicSelfTest(NicAdapter* adapter) {
  SelfTestBlock* block = NicSelfTestBlock(adapter);
  HwStore32(&block->Signature, 0);
  HwStore32(&block->Result, 0xFFFFFFFF);
  if (!Quiet) host::printf("TORVELIN: Performing controller self-test...");
  outportd(adapter->IoBase + ScbPort, HwAddress(block) | ScbPortSelfTest);
  IoDelay();
  TimeoutStart(SelfTestTimeout);
  while (TimeoutPoll() != 0) {
    if (HwLoad32(&block->Signature) != 0 && HwLoad32(&block->Result) == 0) {
      TimeoutStart(TestDelay);
      while (TimeoutPoll() != 0) {
      }
      if (!Quiet) host::printf(" PASSED.\n");
      return StatusSuccess;
    }
  }
  if (!Quiet) host::printf(" FAILED.\n");
  return StatusControllerFailure;
}
