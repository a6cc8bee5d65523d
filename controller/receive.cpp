// The receive unit and the interrupt service: the receive lists, their
// restart, the drain of completed frames into the receive queue, and the
// interrupt handler.
//
// Who touches what: the receive descriptors, their four cursors, QueueWrite
// and the queue slots belong to the interrupt service once bring-up is done.
// Bring-up (NicSetupReceiveUnit) writes them only while the interrupt service
// leaves the adapter alone: before it is on AdapterList, or while Suspended
// during a resume (the availability side sets Suspended with interrupts
// disabled first, so a service in progress has finished). Readers of
// QueueWrite and slots disable interrupts, so the service never runs under
// them. The service runs on the kernel's interrupt thread with interrupts
// excluded and never uses the driver's timeout (only IoDelay).
//
// The controller writes only the Status of RFDs and the Count of RBDs (plus
// the frame bytes). Everything else the walks below follow (links, buffer
// pointers) was written by the driver; still, no walk trusts the controller
// to end it: each is bounded by the ring's size and follows only links that
// land on a descriptor of this adapter, and no copy goes beyond a receive
// buffer or a queue slot. With a working controller none of these bounds is
// ever reached.

#include "availability/availability.h"
#include "controller/controller.h"
#include "device/device.h"
#include "hw/hw.h"
#include "startup/startup.h"

namespace {

constexpr uint32_t InterruptDebugBit = 6;

uint8_t* RbdAt(NicAdapter* adapter, unsigned index) { return adapter->Rbds[index].Bytes; }

uint16_t RbdCountOf(const uint8_t* rbd) { return HwLoad16(rbd + RbdOffsetCount); }

// The RBD after `rbd` along its Link. A link that is not the address of one of
// this adapter's RBD slots (only a controller scribbling over descriptor words
// could make one) is replaced by ring order, which is what setup wrote there.
uint8_t* NextRbd(NicAdapter* adapter, uint8_t* rbd) {
  const uintptr_t first = reinterpret_cast<uintptr_t>(RbdAt(adapter, 0));
  const uintptr_t link =
      reinterpret_cast<uintptr_t>(HwPointer(HwLoadUnaligned32(rbd + RbdOffsetLink)));
  if (link >= first && link < first + RbdCount * RbdSlotSize && (link - first) % RbdSlotSize == 0) {
    return reinterpret_cast<uint8_t*>(link);
  }
  const unsigned index =
      static_cast<unsigned>((reinterpret_cast<uintptr_t>(rbd) - first) / RbdSlotSize);
  return RbdAt(adapter, (index + 1) % RbdCount);
}

ReceiveFrameDescriptor* NextRfd(NicAdapter* adapter, ReceiveFrameDescriptor* rfd) {
  ReceiveFrameDescriptor* first = &adapter->Rfds[0];
  const uintptr_t base = reinterpret_cast<uintptr_t>(first);
  const uintptr_t link = reinterpret_cast<uintptr_t>(HwPointer(HwLoad32(&rfd->Link)));
  if (link >= base && link < base + sizeof(adapter->Rfds) &&
      (link - base) % sizeof(ReceiveFrameDescriptor) == 0) {
    return reinterpret_cast<ReceiveFrameDescriptor*>(link);
  }
  return &adapter->Rfds[(rfd - first + 1) % RfdCount];
}

// The buffer an RBD points the driver at, or null when BufferPointer is not
// the start of one of this adapter's receive buffers.
const uint8_t* RbdBuffer(NicAdapter* adapter, const uint8_t* rbd) {
  const uintptr_t first = reinterpret_cast<uintptr_t>(&adapter->RxBuffers[0][0]);
  const uintptr_t pointer =
      reinterpret_cast<uintptr_t>(HwPointer(HwLoadUnaligned32(rbd + RbdOffsetBufferPointer)));
  if (pointer < first || pointer >= first + sizeof(adapter->RxBuffers) ||
      (pointer - first) % RxBufferSize != 0) {
    return nullptr;
  }
  return reinterpret_cast<const uint8_t*>(pointer);
}

// Copies the frame that starts at RxRbdHead into `slot` and sets the slot's
// Length; false when the frame cannot be queued as it is. A frame is
// refused when its buffers hold more than a slot's 1536 bytes (a slot is
// never written beyond; such a frame is dropped uncounted, like the other
// frames the drain cannot hand to clients), when no buffer of the whole ring
// ends it, or when a buffer pointer is not one of ours. The slot at
// QueueWrite is no client's unread frame, so a refused frame's partial copy
// there is never seen.
bool CopyFrame(NicAdapter* adapter, ReceiveQueueSlot* slot) {
  uint8_t* rbd = adapter->RxRbdHead;
  uint32_t copied = 0;
  slot->Length = 0;
  for (unsigned walked = 0; walked < RbdCount; ++walked) {
    const uint16_t count = RbdCountOf(rbd);
    const uint8_t* buffer = RbdBuffer(adapter, rbd);
    if (buffer == nullptr) return false;
    const bool last = count & RbdCountEof;
    const uint32_t n = last ? (count & RbdCountMask) : RxBufferSize;
    if (n > MaximumFrameLength - copied) return false;
    MacCopyMemory(slot->Data + copied, buffer, n);
    copied += n;
    if (last) {
      slot->Length = copied;
      return true;
    }
    rbd = NextRbd(adapter, rbd);
  }
  return false;  // no end of frame anywhere in the ring
}

void CountReceiveError(uint32_t& adapterCounter, uint32_t& globalCounter) {
  NicCount(adapterCounter);
  NicCount(globalCounter);
}

}  // namespace

void NicSetupReceiveUnit(NicAdapter* adapter) {
  for (unsigned i = 0; i < RbdCount; ++i) {
    uint8_t* rbd = RbdAt(adapter, i);
    const uint32_t buffer = HwAddress(adapter->RxBuffers[i]);
    HwStore16(rbd + RbdOffsetCount, 0);
    HwStore16(rbd + RbdOffsetReserved, 0);
    HwStoreUnaligned32(rbd + RbdOffsetLink, HwAddress(RbdAt(adapter, (i + 1) % RbdCount)));
    HwStoreUnaligned32(rbd + RbdOffsetBufferAddress, buffer);
    HwStore16(rbd + RbdOffsetSize, RbdSizeBuffer);
    HwStoreUnaligned32(rbd + RbdOffsetBufferPointer, buffer);
  }
  HwStore16(RbdAt(adapter, RbdCount - 1) + RbdOffsetSize, RbdSizeEndOfList);
  adapter->RxRbdHead = RbdAt(adapter, 0);
  adapter->RxRbdTail = RbdAt(adapter, RbdCount - 1);

  for (unsigned j = 0; j < RfdCount; ++j) {
    ReceiveFrameDescriptor* rfd = &adapter->Rfds[j];
    HwStore16(&rfd->Status, 0);
    HwStore16(&rfd->Command, RfdCommandFlexible);
    HwStore32(&rfd->Link, HwAddress(&adapter->Rfds[(j + 1) % RfdCount]));
    HwStore32(&rfd->RbdAddress, RfdNoRbd);
    HwStore16(&rfd->ActualCount, 0);
    HwStore16(&rfd->Size, 0);
  }
  HwStore16(&adapter->Rfds[RfdCount - 1].Command, RfdCommandEndOfList);
  adapter->RxRfdHead = &adapter->Rfds[0];
  adapter->RxRfdTail = &adapter->Rfds[RfdCount - 1];
  HwStore32(&adapter->Rfds[0].RbdAddress, HwAddress(RbdAt(adapter, 0)));

  // Bounded wait (NicWaitCommandAccepted). When the controller never takes
  // its previous command, the start is not written: writing the command byte
  // then would replace a command it has not taken yet (the address setup
  // just issued) with no sign of the loss, and a controller that has not
  // taken a command in 0.9 s is not receiving anyway. The lists stay set up
  // and the unit idle until the next bring-up.
  if (NicWaitCommandAccepted(adapter) != StatusSuccess) return;
  NicWritePointerCommand(adapter, HwAddress(&adapter->Rfds[0]), ScbCommandRuStart);
}

// Rounds of one handler call over the adapters on its line. A controller
// whose status word keeps showing an event however often it is acknowledged
// (a broken or hostile part) would otherwise keep the loop below going
// forever with interrupts excluded, shutting every client out of the driver.
// A working controller never needs the bound: every round drains a ring's
// worth of frames, and an event it raises after the last round keeps its line
// asserted, so the kernel calls the handler again.
constexpr unsigned InterruptRoundLimit = 64;

void NicInterrupt(uintptr_t line) {
  debug_assert_bit(InterruptDebugBit);
  const uint8_t irq = static_cast<uint8_t>(line);
  bool serviced;
  unsigned rounds = 0;
  do {
    serviced = false;
    for (NicAdapter* adapter = static_cast<NicAdapter*>(AdapterList.First); adapter != nullptr;
         adapter = adapter->Next) {
      if (adapter->Irq != irq) continue;
      if (NicCheckAdapter(adapter) != StatusSuccess) continue;
      serviced = NicServiceInterrupt(adapter) == StatusSuccess;
      if (serviced) KeEndOfInterrupt(adapter->InterruptHandle);
    }
  } while (serviced && ++rounds < InterruptRoundLimit);
  debug_deassert_bit(InterruptDebugBit);
}

uint32_t NicServiceInterrupt(NicAdapter* adapter) {
  if (NicLoadFlags(adapter) & (AdapterSuspended | AdapterAborted)) return StatusNoController;
  const uint32_t port = adapter->IoBase + ScbStatus;
  const uint16_t status = inportw(port);
  // All ones (nothing answers at IoBase: the controller is gone or its I/O
  // window has moved) is taken at its word like any other status: it has the
  // out-of-resources bit, so the restart below runs and the service returns
  // 4. Its writes reach nobody, or, if the window has come back, restart a
  // unit that loses only the frames it had not handed over yet; each
  // pointer-and-command pair is written whole, so no start can reach the
  // controller without its own pointer. Noticing the move itself is the
  // availability check's work, made before every service.
  if (status & ScbStatusRuNoResources) {
    outportw(port, status);
    NicRestartReceiveUnit(adapter);
    return StatusNoController;
  }
  if (!(status & ScbStatusServiced)) return StatusNoController;
  outportw(port, status);
  if (status & ScbStatusFr) HandleReceivedPacket(adapter);
  return StatusSuccess;
}

void NicRestartReceiveUnit(NicAdapter* adapter) {
  const uint32_t io = adapter->IoBase;
  outportb(io + ScbCommand, ScbCommandRuAbort);
  IoDelay();
  IoDelay();
  outportw(io + ScbStatus, ScbStatusServiced);

  uint8_t* rbd = adapter->RxRbdHead;
  for (unsigned i = 0; i < RbdCount; ++i) {
    HwStore16(rbd + RbdOffsetCount, 0);
    rbd = NextRbd(adapter, rbd);
  }
  HwStore32(&adapter->RxRfdHead->RbdAddress, HwAddress(adapter->RxRbdHead));
  ReceiveFrameDescriptor* rfd = adapter->RxRfdHead;
  for (unsigned j = 0; j < RfdCount; ++j) {
    HwStore16(&rfd->Status, 0);
    rfd = NextRfd(adapter, rfd);
  }
  NicWritePointerCommand(adapter, HwAddress(adapter->RxRfdHead), ScbCommandRuStart);
}

void HandleReceivedPacket(NicAdapter* adapter) {
  // At most one ring's worth of frames per call: every frame that was
  // complete when the service acknowledged FR is within it, and frames that
  // complete later raise FR again, so the handler's next pass takes them.
  for (unsigned frames = 0; frames < RfdCount; ++frames) {
    ReceiveFrameDescriptor* rfd = adapter->RxRfdHead;
    const uint16_t status = HwLoad16(&rfd->Status);
    if (!(status & RfdStatusComplete) || (status & RfdStatusNoResources)) return;

    uint8_t* rbd = adapter->RxRbdHead;
    const uint16_t count = RbdCountOf(rbd);
    const uint8_t* buffer = RbdBuffer(adapter, rbd);
    if (!(count & RbdCountValid) || buffer == nullptr) {
      NicRecycleReceiveFrame(adapter);
      return;
    }
    if (host::memcmp(buffer + 6, adapter->MacAddress, 6) == 0) {
      NicRecycleReceiveFrame(adapter);
      return;
    }
    if (!(status & RfdStatusOk)) {
      TrafficCounters& counters = adapter->Statistics.Counters;
      if (status & RfdStatusTooShort) {
        CountReceiveError(counters.RxTooShort, DriverStatistics.RxTooShort);
      }
      if (status & RfdStatusCrcError) {
        CountReceiveError(counters.RxCrcErrors, DriverStatistics.RxCrcErrors);
      }
      if (status & RfdStatusAlignmentError) {
        CountReceiveError(counters.RxAlignmentErrors, DriverStatistics.RxAlignmentErrors);
      }
      if (status & RfdStatusOverrun) {
        CountReceiveError(counters.RxOverruns, DriverStatistics.RxOverruns);
      }
      NicRecycleReceiveFrame(adapter);
      return;
    }

    // The guard names the slot itself: a slot that exists has a data area.
    ReceiveQueueSlot* slot = adapter->QueueWrite;
    if (MacCheckPointer(slot, "HandleReceivedPacket (1)") != 0) {
      NicRecycleReceiveFrame(adapter);
      return;
    }
    if (!CopyFrame(adapter, slot)) {
      NicRecycleReceiveFrame(adapter);
      return;
    }

    ReceiveQueueSlot* next = slot + 1;
    if (next >= adapter->QueueEnd) next = adapter->QueueStart;
    adapter->QueueWrite = next;
    NicDeliverPacket(adapter);
    NicRecycleReceiveFrame(adapter);
  }
}

void NicRecycleReceiveFrame(NicAdapter* adapter) {
  uint8_t* rbd = adapter->RxRbdHead;
  for (unsigned walked = 1;; ++walked) {
    const bool last = RbdCountOf(rbd) & RbdCountEof;
    HwStore16(rbd + RbdOffsetCount, 0);
    // The tail is at most a ring away; the count only matters if the links
    // were broken.
    if (last || rbd == adapter->RxRbdTail || walked == RbdCount) break;
    rbd = NextRbd(adapter, rbd);
  }
  HwStore16(adapter->RxRbdTail + RbdOffsetSize, RbdSizeBuffer);
  HwStore16(rbd + RbdOffsetSize, RbdSizeEndOfList);
  adapter->RxRbdTail = rbd;
  adapter->RxRbdHead = NextRbd(adapter, rbd);

  ReceiveFrameDescriptor* head = adapter->RxRfdHead;
  HwStore16(&head->Command, RfdCommandEndOfList);
  HwStore16(&adapter->RxRfdTail->Command, RfdCommandFlexible);
  adapter->RxRfdTail = head;
  HwStore16(&head->Status, 0);
  adapter->RxRfdHead = NextRfd(adapter, head);
}
