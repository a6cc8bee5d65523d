// Instance creation: one adapter record, its receive queue, interrupt and
// device for each controller discovery finds.

#include "availability/availability.h"
#include "controller/controller.h"
#include "device/device.h"
#include "hw/hw.h"
#include "startup/startup.h"

namespace {

constexpr char DeviceNamePrefix[] = "/DEV/MAC/TORVELIN/";
constexpr uint32_t InterruptInformationCanInterrupt = 1;

// Stops a controller whose record is about to be released: the reset halts
// both units, so nothing is written by DMA into the record's buffers any
// more, and the mask keeps its line quiet whatever the reset left there.
// Called under DriverMutex (the reset waits on the driver's timeout).
void NicStopController(NicAdapter* adapter) {
  NicResetController(adapter);
  outportb(adapter->IoBase + ScbInterruptControl, ScbInterruptMaskAll);
}

void NicReleaseAdapter(NicAdapter* adapter, bool interrupt) {
  if (interrupt) KeDeallocateInterrupt(adapter->InterruptHandle);
  MacDeallocateMemory(adapter->QueueStart);
  MacDeallocateMemory(adapter);
}

}  // namespace

uint32_t NicCreateAdapter(uint16_t vendor, uint16_t device, const char* description, uint8_t devfn,
                          uint8_t bus, uint32_t ioBase, uint8_t irq, NicAdapter** out) {
  if (out == nullptr) return StatusBadParameter;
  NicAdapter* adapter = static_cast<NicAdapter*>(MacAllocateMemory(sizeof(NicAdapter)));
  if (adapter == nullptr) return StatusNoResources;

  adapter->VendorId = vendor;
  adapter->DeviceId = device;
  adapter->Description = description;
  adapter->DevFn = devfn;
  adapter->Bus = bus;
  adapter->IoBase = ioBase;
  adapter->Irq = irq;
  adapter->Clients.First = nullptr;
  adapter->Flags = 0;

  // The number is used up here even if a later step fails.
  char number[12];
  host::strcpy(adapter->Name, DeviceNamePrefix);
  host::strcat(adapter->Name, host::ultoa(InstanceCounter, number, 10));
  ++InstanceCounter;

  if (!Quiet) {
    host::printf("TORVELIN: %s (%s) ", description != nullptr ? description : "", adapter->Name);
    host::printf("I/O=%lx, IRQ=%lx.\n", static_cast<unsigned long>(ioBase),
                 static_cast<unsigned long>(irq));
  }

  const uint32_t queueBytes = Buffers * QueueSlotSize;
  adapter->QueueStart = static_cast<ReceiveQueueSlot*>(MacAllocateMemory(queueBytes));
  if (adapter->QueueStart == nullptr) {
    MacDeallocateMemory(adapter);
    return StatusNoResources;
  }
  adapter->QueueWrite = adapter->QueueStart;
  adapter->QueueEnd = reinterpret_cast<ReceiveQueueSlot*>(
      reinterpret_cast<uint8_t*>(adapter->QueueStart) + queueBytes);

  KHandle interrupt = 0;
  if (KeAllocateInterrupt(irq, NicInterrupt, irq, &interrupt) != 0) {
    NicReleaseAdapter(adapter, false);
    return StatusNoResources;
  }
  adapter->InterruptHandle = interrupt;

  uint32_t canInterrupt = 0;
  if (KeGetIntInformation(interrupt, InterruptInformationCanInterrupt, &canInterrupt) == 0 &&
      canInterrupt == 0) {
    __atomic_fetch_or(&adapter->Flags, AdapterPolled, __ATOMIC_ACQ_REL);
  }
  if (!Quiet) {
    host::printf("TORVELIN: Device %s's operation is ", adapter->Name);
    host::printf("%s mode.\n", (NicLoadFlags(adapter) & AdapterPolled) ? "polled" : "interrupt");
  }

  // Bring-up waits on the driver's single timeout, which a client operation
  // on an adapter published earlier may be using: DriverMutex keeps the two
  // apart. A failed bring-up may have left a command running; the controller
  // is stopped before its record goes back.
  KeAcquireMutex(DriverMutex);
  NicEnablePci(adapter);
  if (NicInitializeController(adapter) != StatusSuccess) {
    NicStopController(adapter);
    KeReleaseMutex(DriverMutex);
    NicReleaseAdapter(adapter, true);
    return StatusControllerFailure;
  }
  KeReleaseMutex(DriverMutex);

  AdapterInfo& info = adapter->Info;
  info.InfoSize = sizeof(AdapterInfo);
  info.Unused = 0;
  info.AddressLength = 6;
  MacCopyMemory(info.StationAddress, adapter->MacAddress, 6);
  info.MinimumFrameLength = MinimumFrameLength;
  info.MaximumFrameLength = MaximumFrameLength;

  KHandle deviceHandle = 0;
  if (KeCreateDevice(adapter->Name, adapter, NicDeviceFunction, 0, &deviceHandle) != 0) {
    // The receive unit is running and writes into buffers inside the record.
    KeAcquireMutex(DriverMutex);
    NicStopController(adapter);
    KeReleaseMutex(DriverMutex);
    NicReleaseAdapter(adapter, true);
    return StatusNoResources;
  }

  // From here on clients may open the device. A client that opened before
  // this point has already configured its filter and stored it in Filter
  // (under DriverMutex); configuring with the adapter's current Filter keeps
  // that, and is the empty filter whenever no client got in first.
  KeAcquireMutex(DriverMutex);
  NicConfigure(adapter, __atomic_load_n(&adapter->Filter, __ATOMIC_ACQUIRE));
  KeReleaseMutex(DriverMutex);

  NicRegisterAvailability(adapter);

  // The interrupt service walks AdapterList with interrupts excluded.
  KeDisableInterrupts();
  KeAppendList(&AdapterList, adapter);
  KeEnableInterrupts();
  *out = adapter;
  return StatusSuccess;
}
