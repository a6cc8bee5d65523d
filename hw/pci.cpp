// PCI configuration mechanism 1 and the enabling of a controller on the bus.
#include "controller/adapter.h"
#include "host/host.h"
#include "hw/hw.h"

namespace {

constexpr uint32_t PciAddressPort = 0xCF8;
constexpr uint32_t PciDataPort = 0xCFC;
constexpr uint32_t PciAddressEnable = 0x80000000;

constexpr uint32_t PciMinimumLatency = 32;

// 1 while one thread is between the address write and the data access of a
// configuration access; changed only with atomic exchange and store.
//
// Each access is a pair on ports the whole machine shares, and once the first
// controller has been handed to instance creation several contexts make such
// pairs: the HaDetect re-checks on client threads and in the interrupt
// service, and the resume's NicEnablePci, while the scan goes on walking the
// buses. From then on every pair runs with interrupts disabled and holds this
// flag:
// - Interrupts disabled keep the interrupt service out while a client thread
//   is inside a pair, so the interrupt thread never finds the flag taken (on
//   a uniprocessor it could not wait for a thread it has preempted). On such
//   a kernel that alone is enough and the flag is never contended.
// - Disabling interrupts need not exclude client threads from each other (on
//   a multiprocessor kernel it is per processor; this kernel happens to make
//   it one lock), and client threads here run truly concurrently; the flag
//   covers that. It is held for two port accesses only, so a contender just
//   yields and tries again (the yield is also where a stopping system
//   unwinds it).
uint32_t PciAccessBusy = 0;

// 0 until NicScanPci is about to hand its first controller to creation;
// never cleared afterwards (HwResetImage aside). Before that, the start-up
// thread is the only one that can reach configuration space (no device,
// interrupt handler or availability object exists yet), so the scan of all
// 256 buses runs without the exclusion above. Written by the start-up thread
// before it creates any context that reads it.
uint32_t PciAccessShared = 0;

// Gives whether the pair is serialised; EndAccess gets it back, so that the
// two always match even across the one change of PciAccessShared.
bool BeginAccess(uint32_t offset, uint8_t devfn, uint32_t bus) {
  const bool shared = __atomic_load_n(&PciAccessShared, __ATOMIC_RELAXED) != 0;
  if (shared) {
    KeDisableInterrupts();
    while (__atomic_exchange_n(&PciAccessBusy, 1u, __ATOMIC_ACQUIRE) != 0) KePassTimeSlice();
  }
  outportd(PciAddressPort,
           PciAddressEnable | (bus << 16) | (static_cast<uint32_t>(devfn) << 8) | (offset & 0xFC));
  return shared;
}

void EndAccess(bool shared) {
  if (!shared) return;
  __atomic_store_n(&PciAccessBusy, 0u, __ATOMIC_RELEASE);
  KeEnableInterrupts();
}

// Byte and word reads, byte writes and dword reads use the data port's lane
// for the offset's low two bits.
uint32_t DataPort(uint32_t offset) { return PciDataPort + (offset & 3); }

}  // namespace

// Everything hw/ keeps driver-wide: the timeout words and the two flags above.
void HwResetImage() {
  TimeoutRemaining = 0;
  TimeoutAccumulator = 0;
  TimeoutLastCount = 0;
  PciAccessBusy = 0;
  PciAccessShared = 0;
}

void PciShareAccess() { __atomic_store_n(&PciAccessShared, 1u, __ATOMIC_RELAXED); }

uint32_t PciReadByte(uint32_t offset, uint8_t devfn, uint32_t bus) {
  const bool shared = BeginAccess(offset, devfn, bus);
  const uint32_t value = inportb(DataPort(offset));
  EndAccess(shared);
  return value;
}

uint32_t PciReadWord(uint32_t offset, uint8_t devfn, uint32_t bus) {
  const bool shared = BeginAccess(offset, devfn, bus);
  const uint32_t value = inportw(DataPort(offset));
  EndAccess(shared);
  return value;
}

uint32_t PciReadDword(uint32_t offset, uint8_t devfn, uint32_t bus) {
  const bool shared = BeginAccess(offset, devfn, bus);
  const uint32_t value = inportd(DataPort(offset));
  EndAccess(shared);
  return value;
}

void PciWriteByte(uint8_t value, uint32_t offset, uint8_t devfn, uint32_t bus) {
  const bool shared = BeginAccess(offset, devfn, bus);
  outportb(DataPort(offset), value);
  EndAccess(shared);
}

void PciWriteDword(uint32_t value, uint32_t offset, uint8_t devfn, uint32_t bus) {
  const bool shared = BeginAccess(offset, devfn, bus);
  outportd(PciDataPort, value);  // callers pass aligned offsets
  EndAccess(shared);
}

uint32_t NicEnablePci(NicAdapter* adapter) {
  const uint32_t command = PciReadWord(PciCommand, adapter->DevFn, adapter->Bus);
  if ((command & PciCommandIoSpace) == 0 || (command & PciCommandBusMaster) == 0) {
    // The upper half (status) is written as 0, which changes none of its bits.
    // Memory space stays off: the driver only uses the I/O window.
    PciWriteDword(command | PciCommandIoSpace | PciCommandBusMaster, PciCommand, adapter->DevFn,
                  adapter->Bus);
  }
  const uint32_t latency = PciReadByte(PciLatencyTimer, adapter->DevFn, adapter->Bus);
  if (latency < PciMinimumLatency) {
    PciWriteByte(PciMinimumLatency, PciLatencyTimer, adapter->DevFn, adapter->Bus);
  }
  return 0;
}
