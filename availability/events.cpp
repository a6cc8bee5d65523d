// Suspend, resume and abort: registration of the availability object and its
// handler, and the re-initialisation a resume runs.
#include "availability/availability.h"
#include "controller/controller.h"
#include "hw/hw.h"
#include "startup/startup.h"

uint32_t NicRegisterAvailability(NicAdapter* adapter) {
  if (adapter == nullptr) return StatusBadParameter;
  const uint32_t status = KeAllocateHaObject(adapter->Name, adapter, &adapter->HaObject);
  if (status != 0) {
    // No handler either: this adapter never receives availability events.
    adapter->HaObject = 0;
    return status;
  }
  KeGrantHandleRights(adapter->HaObject, KeRightsHaObject, KeEveryProcess);
  KHandle unused = 0;
  KeAllocateExceptionHandler(HaEventSuspend, 0, NicAvailabilityEvent, &unused);
  KeAllocateExceptionHandler(HaEventResume, 0, NicAvailabilityEvent, &unused);
  KeAllocateExceptionHandler(HaEventAbort, 0, NicAvailabilityEvent, &unused);
  return StatusSuccess;
}

namespace {

// Clears Suspended unless the adapter has been aborted meanwhile: an aborted
// adapter keeps Suspended for the rest of the driver's life.
void ClearSuspended(NicAdapter* adapter) {
  uint32_t flags = NicLoadFlags(adapter);
  while ((flags & AdapterAborted) == 0 &&
         !__atomic_compare_exchange_n(&adapter->Flags, &flags, flags & ~AdapterSuspended, false,
                                      __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
  }
}

// Resume of an adapter that is not aborted. The bring-up must not overlap the
// interrupt service or a client operation on this adapter:
// - Suspended is set with interrupts disabled, which waits out an interrupt
//   service in progress; from then on the service and every client check
//   leave the adapter alone (also when it was active before the resume).
// - DriverMutex then waits out a client operation that passed its check just
//   before, and keeps the single timeout state to this bring-up.
// Resume is delivered on a thread of its own, never on the interrupt thread
// (only suspend and abort come from inside KeNotifyHaEvent there), so taking
// DriverMutex here cannot wait for the interrupt service. A suspend delivered
// while the bring-up runs is absorbed by it: the adapter is active afterwards.
void Resume(NicAdapter* adapter) {
  KeDisableInterrupts();
  __atomic_fetch_or(&adapter->Flags, AdapterSuspended, __ATOMIC_ACQ_REL);
  KeEnableInterrupts();

  KeAcquireMutex(DriverMutex);
  const uint32_t status = NicReinitialize(adapter);
  KeReleaseMutex(DriverMutex);

  // A failed bring-up has printed why; the adapter stays suspended until a
  // later resume succeeds.
  if (status == 0) ClearSuspended(adapter);
}

}  // namespace

void NicAvailabilityEvent(uint32_t code, uint32_t value, void* context) {
  (void)value;
  NicAdapter* adapter = static_cast<NicAdapter*>(context);
  if (adapter == nullptr) return;
  switch (code) {
    case HaEventSuspend:
      // The controller keeps running; only the checks change.
      if (!Quiet) host::printf("TORVELIN: SUSPEND.\n");
      __atomic_fetch_or(&adapter->Flags, AdapterSuspended, __ATOMIC_ACQ_REL);
      break;
    case HaEventResume:
      if (!Quiet) host::printf("TORVELIN: RESUME.\n");
      if ((NicLoadFlags(adapter) & AdapterAborted) != 0) return;
      Resume(adapter);
      break;
    case HaEventAbort:
      if (!Quiet) host::printf("TORVELIN: ABORT.\n");
      __atomic_fetch_or(&adapter->Flags, AdapterSuspended | AdapterAborted, __ATOMIC_ACQ_REL);
      break;
    default:
      break;
  }
}

uint32_t NicReinitialize(NicAdapter* adapter) {
  NicEnablePci(adapter);
  const uint32_t status = NicInitializeController(adapter);
  if (status != 0) return status;
  // Filters the clients asked for; the receive queue, the clients' read
  // positions and the statistics are left as they were.
  NicConfigure(adapter, adapter->Filter);
  return StatusSuccess;
}
