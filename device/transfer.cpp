// Frame transfer between clients and an adapter: writes go to the command
// unit, reads take frames from the adapter's receive queue, and the interrupt
// service hands each newly queued frame to the clients blocked in a read.
//
// How reads and the interrupt service stay apart. The interrupt service
// (delivery and the drain) moves ReadPointer, fills pending reads and
// rewrites queue slots without DriverMutex, so a read does its part with
// interrupts disabled as well:
// - the compare, copy and advance of an immediate read happen with interrupts
//   disabled, so the drain cannot rewrite the slot being copied and delivery
//   cannot move ReadPointer halfway;
// - a read that finds nothing registers itself and starts KeWaitEvent with
//   interrupts still disabled; the kernel re-enables them only once the
//   thread waits, so a frame queued between the check and the wait still
//   finds a registered waiter to pulse.
// The mutex is always taken before interrupts are disabled.
#include "availability/availability.h"
#include "controller/controller.h"
#include "device/device.h"
#include "startup/startup.h"

namespace {

// Marks a blocked read's local length as not yet completed. Neither a frame
// length (at most 1536) nor NicReadClosed.
constexpr uint32_t ReadStillPending = 0xFFFFFFFE;

// In this order: the values index the Sent and Received counters.
enum class DestinationClass { Directed, Multicast, Broadcast };

// The class of the first `available` bytes of a destination address. A group
// address whose first byte is not 0xFF is multicast, all six bytes 0xFF is
// broadcast, anything else directed. With fewer than six bytes at hand
// nothing is read beyond them: the first byte still decides multicast, but
// broadcast cannot be proven, so the frame counts as directed (no bytes at
// all: directed too). Every handed-over frame thus counts exactly once.
DestinationClass ClassOf(const uint8_t* destination, uint32_t available) {
  if (available == 0) return DestinationClass::Directed;
  if ((destination[0] & 0x01) != 0 && destination[0] != 0xFF) return DestinationClass::Multicast;
  if (available < 6) return DestinationClass::Directed;
  for (uint32_t i = 0; i < 6; ++i) {
    if (destination[i] != 0xFF) return DestinationClass::Directed;
  }
  return DestinationClass::Broadcast;
}

ReceiveQueueSlot* NextSlot(const NicAdapter* adapter, ReceiveQueueSlot* slot) {
  ReceiveQueueSlot* next = slot + 1;
  return next >= adapter->QueueEnd ? adapter->QueueStart : next;
}

// Bytes of a slot handed to a reader: the stored length cut to the reader's
// size, and never more than a slot holds whatever the length word says.
uint32_t HandedOver(const ReceiveQueueSlot* slot, uint32_t size) {
  uint32_t n = slot->Length;
  if (n > MaximumFrameLength) n = MaximumFrameLength;
  return n < size ? n : size;
}

// One counter kept at three levels: the adapter's and the driver's blocks
// share a layout, the client's block has its own.
struct Counter {
  uint32_t TrafficCounters::*Shared;
  uint32_t ClientStatistics::*Own;
};
constexpr Counter ReadErrors = {&TrafficCounters::ReadErrors, &ClientStatistics::ReadErrors};
constexpr Counter WriteErrors = {&TrafficCounters::WriteErrors, &ClientStatistics::WriteErrors};
constexpr Counter WriteTooShort = {&TrafficCounters::WriteTooShort,
                                   &ClientStatistics::WriteTooShort};
constexpr Counter WriteTooLong = {&TrafficCounters::WriteTooLong, &ClientStatistics::WriteTooLong};
// Indexed by DestinationClass.
constexpr Counter Sent[] = {
    {&TrafficCounters::TxDirected, &ClientStatistics::TxDirected},
    {&TrafficCounters::TxMulticast, &ClientStatistics::TxMulticast},
    {&TrafficCounters::TxBroadcast, &ClientStatistics::TxBroadcast},
};
constexpr Counter Received[] = {
    {&TrafficCounters::RxDirected, &ClientStatistics::RxDirected},
    {&TrafficCounters::RxMulticast, &ClientStatistics::RxMulticast},
    {&TrafficCounters::RxBroadcast, &ClientStatistics::RxBroadcast},
};

// Counts at adapter, client and driver level, in that order.
void Count(NicClient* client, const Counter& counter) {
  NicCount(client->Adapter->Statistics.Counters.*counter.Shared);
  NicCount(client->Statistics.*counter.Own);
  NicCount(DriverStatistics.*counter.Shared);
}

// The sent or received counter of a frame's destination class.
const Counter& ByClass(const Counter (&counters)[3], const void* frame, uint32_t length) {
  return counters[static_cast<int>(ClassOf(static_cast<const uint8_t*>(frame), length))];
}

// Ends the pending read of a client that delivery has handed a frame to.
// The frame is counted here, at the hand-over, rather than by the reader once
// it wakes: between the pulse and the reader's return a close may release the
// record, so the woken reader touches nothing but its own locals.
void CompletePendingRead(NicAdapter* adapter, NicClient* client) {
  ReceiveQueueSlot* slot = client->ReadPointer;
  void* buffer = client->PendingBuffer;
  uint32_t n = HandedOver(slot, client->PendingSize);
  MacCopyMemory(buffer, slot->Data, n);
  *client->PendingLength = n;
  client->ReadPointer = NextSlot(adapter, slot);
  client->PendingBuffer = nullptr;
  client->PendingLength = nullptr;
  NicCountReceivedFrame(client, buffer, n);
  // Everything the reader needs is in place before it is released.
  KePulseEvent(client->Event);
}

}  // namespace

uint32_t NicWrite(NicClient* client, const void* frame, uint32_t length, uint32_t* transferred) {
  if (client == nullptr) {
    NicCount(DriverStatistics.WriteErrors);
    return StatusBadParameter;
  }
  NicAdapter* adapter = client->Adapter;
  if (transferred == nullptr) {
    Count(client, WriteErrors);
    return StatusBadParameter;
  }
  if (frame == nullptr) {
    *transferred = 0;
    Count(client, WriteErrors);
    return StatusBadParameter;
  }
  if (length < MinimumFrameLength) {
    *transferred = 0;
    Count(client, WriteTooShort);
    return StatusFrameTooShort;
  }
  if (length > MaximumFrameLength) {
    *transferred = 0;
    Count(client, WriteTooLong);
    return StatusFrameTooLong;
  }

  uint32_t status = NicCheckAdapter(adapter);
  if (status != StatusSuccess) return status;

  KeAcquireMutex(DriverMutex);
  status = NicTransmit(adapter, frame, length);
  KeReleaseMutex(DriverMutex);

  if (status != StatusSuccess) {
    *transferred = 0;
    Count(client, WriteErrors);
    return status;
  }

  *transferred = length;
  Count(client, ByClass(Sent, frame, length));
  return StatusSuccess;
}

uint32_t NicRead(NicClient* client, void* buffer, uint32_t size, uint32_t* length) {
  if (client == nullptr) {
    NicCount(DriverStatistics.ReadErrors);
    return StatusBadParameter;
  }
  if (length == nullptr) {
    Count(client, ReadErrors);
    return StatusBadParameter;
  }
  if (buffer == nullptr) {
    *length = 0;
    Count(client, ReadErrors);
    return StatusBadParameter;
  }
  NicAdapter* adapter = client->Adapter;

  uint32_t status = NicCheckAdapter(adapter);
  if (status != StatusSuccess) return status;

  KeAcquireMutex(DriverMutex);
  KeDisableInterrupts();

  // One pending read per client: a second read while the first is blocked is
  // refused at once, without a counter, and the first stays blocked.
  if (client->PendingBuffer != nullptr) {
    KeEnableInterrupts();
    KeReleaseMutex(DriverMutex);
    return StatusNoResources;
  }

  if (client->ReadPointer == adapter->QueueWrite) {
    // Delivery or close stores into this local, never into the caller's
    // variable, so a close can end the read without the reader touching the
    // record afterwards.
    uint32_t handed = ReadStillPending;
    client->PendingBuffer = buffer;
    client->PendingSize = size;
    client->PendingLength = &handed;
    KeReleaseMutex(DriverMutex);
    // Interrupts stay disabled into the wait (see the top of this file), so
    // nothing can have completed the read yet and the first wait is
    // unconditional. The local is checked again after every return.
    for (;;) {
      const uint32_t waited = KeWaitEvent(client->Event);
      if (handed != ReadStillPending) break;
      if (waited != 0) {
        // The kernel refused the wait; the read is withdrawn so that no
        // delivery writes into this frame after it has returned.
        client->PendingBuffer = nullptr;
        client->PendingLength = nullptr;
        KeEnableInterrupts();
        return StatusNoResources;
      }
      // Back without a hand-over: the event was left set (the driver only
      // ever pulses it), and a set event ends every wait at once, with
      // interrupts still disabled. It is cleared, and the interrupt service
      // is let in before the local is checked and the wait made again.
      KeClearEvent(client->Event);
      KeEnableInterrupts();
      KeDisableInterrupts();
      if (handed != ReadStillPending) break;
    }
    KeEnableInterrupts();
    // From here on the record may already be released (a close right after
    // the hand-over), so only locals are used; delivery counted the frame.
    if (handed == NicReadClosed) return StatusBadParameter;
    *length = handed;
    return StatusSuccess;
  }

  ReceiveQueueSlot* slot = client->ReadPointer;
  uint32_t n = HandedOver(slot, size);
  MacCopyMemory(buffer, slot->Data, n);
  *length = n;
  client->ReadPointer = NextSlot(adapter, slot);
  KeEnableInterrupts();
  NicCountReceivedFrame(client, buffer, n);
  KeReleaseMutex(DriverMutex);
  return StatusSuccess;
}

void NicCountReceivedFrame(NicClient* client, const void* buffer, uint32_t length) {
  Count(client, ByClass(Received, buffer, length));
}

void NicDeliverPacket(NicAdapter* adapter) {
  // Runs in the interrupt service: interrupts are excluded, so every client
  // on the list stays alive and no read is between its check and its wait.
  // The walk is bounded by the number of open clients.
  ReceiveQueueSlot* write = adapter->QueueWrite;
  for (NicClient* client = static_cast<NicClient*>(adapter->Clients.First); client != nullptr;
       client = client->Next) {
    // Falling behind: the client already had Buffers - 1 unread frames and
    // the new one would make its ring look empty; it loses its oldest.
    if (client->ReadPointer == write) client->ReadPointer = NextSlot(adapter, client->ReadPointer);

    if (client->PendingBuffer != nullptr && client->ReadPointer != write) {
      if (MacCheckPointer(client->PendingBuffer, "NicDeliverPacket (1)") != 0) return;
      CompletePendingRead(adapter, client);
    }
  }
}
