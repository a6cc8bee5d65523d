// The check every operation makes before it uses an adapter, and the optional
// re-check of the adapter's PCI resources.
#include "availability/availability.h"
#include "hw/hw.h"
#include "startup/startup.h"

uint32_t NicCheckAdapter(NicAdapter* adapter) {
  if (adapter == nullptr) return StatusBadParameter;
  if ((NicLoadFlags(adapter) & AdapterSuspended) != 0) {
    // The yield stays in every context, the interrupt service included. On
    // this kernel the interrupt service is a thread of its own and
    // KePassTimeSlice only gives up the processor for a moment: it neither
    // blocks nor re-enters the handler, and the handler reaches this point at
    // most once per suspended adapter and pass (a refused adapter never makes
    // the handler run another pass). A kernel whose handlers may not yield
    // would drop it there.
    KePassTimeSlice();
    return StatusSuspended;
  }
  const uint32_t status = NicDetectChange(adapter);
  if (status == 0) return StatusSuccess;
  // The kernel may suspend or abort the adapter before this returns (on this
  // very thread); that is what decides the result, not the change itself.
  KeNotifyHaEvent(adapter->HaObject, status);
  return (NicLoadFlags(adapter) & AdapterSuspended) != 0 ? StatusSuspended : StatusSuccess;
}

uint32_t NicDetectChange(NicAdapter* adapter) {
  if (HaDetect == 0) return StatusSuccess;
  uint32_t ioBase = 0;
  for (uint32_t bar = PciFirstBar; bar <= PciLastBar && ioBase == 0; bar += 4) {
    ioBase = PciBarIoBase(PciReadDword(bar, adapter->DevFn, adapter->Bus));
  }
  if (ioBase == 0) return StatusChangeDetected;
  const uint32_t irq = PciReadByte(PciInterruptLine, adapter->DevFn, adapter->Bus);
  if (ioBase != adapter->IoBase || irq != adapter->Irq) return StatusChangeDetected;
  return StatusSuccess;
}
