// Device functions: the dispatcher the kernel calls for every client request,
// open and close of client records, receive filters, and the control codes
// that set a filter or copy out statistics and adapter information.
#include "availability/availability.h"
#include "controller/controller.h"
#include "device/device.h"
#include "startup/startup.h"

GlobalStatistics DriverStatistics;

void DeviceResetImage() {
  // A fresh image starts with every driver-wide counter at 0. Written word by
  // word: no other thread exists yet, and the runtime's memset stays reserved
  // for the memory service.
  uint32_t* words = reinterpret_cast<uint32_t*>(&DriverStatistics);
  for (uint32_t i = 0; i < sizeof(DriverStatistics) / sizeof(uint32_t); ++i) words[i] = 0;
}

namespace {

// Adapter Filter is written only under DriverMutex, but the first test of a
// filter change reads it without the mutex; both go through atomic accesses
// so the unlocked read sees a whole, recent value.
uint32_t LoadAdapterFilter(const NicAdapter* adapter) {
  return __atomic_load_n(&adapter->Filter, __ATOMIC_RELAXED);
}
void StoreAdapterFilter(NicAdapter* adapter, uint32_t filter) {
  __atomic_store_n(&adapter->Filter, filter, __ATOMIC_RELAXED);
}
// A client's Filter is written by its own thread at any time and read by
// another client's close.
uint32_t LoadClientFilter(const NicClient* client) {
  return __atomic_load_n(&client->Filter, __ATOMIC_RELAXED);
}
void StoreClientFilter(NicClient* client, uint32_t filter) {
  __atomic_store_n(&client->Filter, filter, __ATOMIC_RELAXED);
}

// Copies the first min(sizeof block, size) bytes of a block of 32-bit
// counters. Each word is loaded atomically into a local snapshot first, so
// the copy never races with the increments; the words stay plain
// little-endian words. The snapshot is not consistent across words, and need
// not be: counters move while clients read them.
template <uint32_t Words>
void CopyCounterBlock(const uint32_t* source, void* buffer, uint32_t size) {
  uint32_t snapshot[Words];
  for (uint32_t i = 0; i < Words; ++i) snapshot[i] = __atomic_load_n(&source[i], __ATOMIC_RELAXED);
  uint32_t count = Words * sizeof(uint32_t);
  if (size < count) count = size;
  MacCopyMemory(buffer, snapshot, count);
}

}  // namespace

uint32_t NicDeviceFunction(uint32_t function, void* context, void* instance, uintptr_t arg1,
                           uintptr_t arg2, uintptr_t arg3) {
  NicAdapter* adapter = static_cast<NicAdapter*>(context);
  NicClient* client = static_cast<NicClient*>(instance);
  switch (function) {
    case 0:
    case 1:
      // Accepted and without effect: clients may probe a device with them.
      return StatusSuccess;
    case DeviceOpen:
      return NicOpen(adapter, static_cast<NicClient**>(instance));
    case DeviceClose:
      return NicClose(client);
    case DeviceRead:
      return NicRead(client, reinterpret_cast<void*>(arg1), static_cast<uint32_t>(arg2),
                     reinterpret_cast<uint32_t*>(arg3));
    case DeviceWrite:
      return NicWrite(client, reinterpret_cast<const void*>(arg1), static_cast<uint32_t>(arg2),
                      reinterpret_cast<uint32_t*>(arg3));
    case DeviceControl:
      return NicControl(adapter, client, static_cast<uint32_t>(arg1), arg2,
                        static_cast<uint32_t>(arg3));
    default:
      return StatusUnrecognised;
  }
}

uint32_t NicOpen(NicAdapter* adapter, NicClient** place) {
  if (adapter == nullptr || place == nullptr) return StatusBadParameter;

  uint32_t status = NicCheckAdapter(adapter);
  if (status != StatusSuccess) return status;

  NicClient* client = static_cast<NicClient*>(MacAllocateMemory(sizeof(NicClient)));
  if (client == nullptr) return StatusNoResources;
  if (KeAllocateEvent(&client->Event) != 0) {
    MacDeallocateMemory(client);
    return StatusNoResources;
  }
  KeGrantHandleRights(client->Event, KeRightsEvent, DriverProcess);

  client->Adapter = adapter;
  client->PendingBuffer = nullptr;
  StoreClientFilter(client, 0);

  // The read position is taken from QueueWrite in the same interrupt-free
  // section that puts the record on the list. Taken any earlier, frames queued
  // in between would count as unread without the delivery's falling-behind
  // rule ever seeing this client, and a burst of Buffers of them would make
  // the ring look empty. The mutex is always taken before interrupts are
  // disabled, never the other way round.
  KeAcquireMutex(DriverMutex);
  KeDisableInterrupts();
  client->ReadPointer = adapter->QueueWrite;
  KeAppendList(&adapter->Clients, client);
  KeEnableInterrupts();
  KeReleaseMutex(DriverMutex);

  // The open stands even when the controller cannot be reconfigured.
  StoreClientFilter(client, FilterDirected | FilterBroadcast);
  NicSetFilter(client, FilterDirected | FilterBroadcast);

  *place = client;
  return StatusSuccess;
}

uint32_t NicSetFilter(NicClient* client, uint32_t filter) {
  if (client == nullptr) return StatusBadParameter;
  NicAdapter* adapter = client->Adapter;

  uint32_t value = filter & 0xF;
  StoreClientFilter(client, value);

  // Only bits the adapter lacks need the controller; a narrower filter waits
  // for a close to take effect.
  uint32_t added = value & ~LoadAdapterFilter(adapter);
  if (added == 0) return StatusSuccess;

  uint32_t status = NicCheckAdapter(adapter);
  if (status != StatusSuccess) return status;

  KeAcquireMutex(DriverMutex);
  uint32_t wanted = LoadAdapterFilter(adapter) | added;
  status = NicConfigure(adapter, wanted);
  // Recorded before the mutex is released: a close running right after would
  // otherwise configure its union and then see it overwritten by this older
  // value, and the adapter's Filter would no longer say what the controller
  // was configured for.
  if (status == StatusSuccess) StoreAdapterFilter(adapter, wanted);
  KeReleaseMutex(DriverMutex);
  return status;
}

uint32_t NicClose(NicClient* client) {
  if (client == nullptr) return StatusBadParameter;
  NicAdapter* adapter = client->Adapter;

  KeAcquireMutex(DriverMutex);

  // The list only changes under DriverMutex, which is held, so this walk sees
  // a stable list. It is bounded by the number of open clients.
  uint32_t remaining = 0;
  for (NicClient* other = static_cast<NicClient*>(adapter->Clients.First); other != nullptr;
       other = other->Next) {
    if (other != client) remaining |= LoadClientFilter(other);
  }
  StoreAdapterFilter(adapter, remaining);
  if (NicCheckAdapter(adapter) == StatusSuccess) NicConfigure(adapter, remaining);

  // Off the list, the pending read ended and the record released in one
  // interrupt-free section:
  // - the interrupt service is never inside the walk of Clients while the
  //   record leaves it, and cannot reach it afterwards;
  // - a read blocked on the record wakes to find NicReadClosed in its own
  //   local. The pulse cannot be lost: a blocked read registers and starts
  //   its wait with interrupts disabled, so this section cannot begin before
  //   that reader waits;
  // - a woken reader (woken here, or by a hand-over just before this close)
  //   takes interrupt exclusion back before its wait returns, so it runs
  //   again only once the record is gone, and it touches nothing of it.
  // The releases wait on nothing the interrupt service holds: the memory
  // service never disables interrupts.
  KeDisableInterrupts();
  KeRemoveList(&adapter->Clients, client);
  if (client->PendingBuffer != nullptr) {
    *client->PendingLength = NicReadClosed;
    client->PendingBuffer = nullptr;
    client->PendingLength = nullptr;
    KePulseEvent(client->Event);
  }
  KeDeallocateEvent(client->Event);
  MacDeallocateMemory(client);
  KeEnableInterrupts();

  KeReleaseMutex(DriverMutex);
  return StatusSuccess;
}

uint32_t NicControl(NicAdapter* adapter, NicClient* client, uint32_t code, uintptr_t argument,
                    uint32_t size) {
  // Judged in this order: the family, whether the client belongs to this
  // device, the function's range. The kernel always passes the open's record;
  // a null one belongs to no device, so it is not foreign: a bad code is still
  // reported as such, and every valid code is then refused as a bad
  // parameter, as the other device functions refuse a null client.
  if ((code >> 16) != 8) return StatusUnrecognised;
  if (client != nullptr && (client->Adapter == nullptr || client->Adapter != adapter)) {
    return StatusForeignClient;
  }
  uint32_t function = code & 0xFFFF;
  if (function == 0 || function > 5) return StatusBadControlCode;
  if (client == nullptr) return StatusBadParameter;

  if (code == MacControlSetFilter) return NicSetFilter(client, static_cast<uint32_t>(argument));

  void* buffer = reinterpret_cast<void*>(argument);
  if (buffer == nullptr) return StatusBadParameter;

  // No mutex and no availability check: statistics and information stay
  // readable while the adapter is suspended or aborted.
  switch (code) {
    case MacControlClientStatistics:
      CopyCounterBlock<sizeof(ClientStatistics) / 4>(
          reinterpret_cast<const uint32_t*>(&client->Statistics), buffer, size);
      break;
    case MacControlAdapterStatistics:
      CopyCounterBlock<sizeof(AdapterStatistics) / 4>(
          reinterpret_cast<const uint32_t*>(&adapter->Statistics), buffer, size);
      break;
    case MacControlGlobalStatistics:
      CopyCounterBlock<sizeof(GlobalStatistics) / 4>(
          reinterpret_cast<const uint32_t*>(&DriverStatistics), buffer, size);
      break;
    default: {  // MacControlAdapterInfo: written once by creation, read-only since.
      uint32_t count = sizeof(AdapterInfo);
      if (size < count) count = size;
      MacCopyMemory(buffer, &adapter->Info, count);
      break;
    }
  }
  return StatusSuccess;
}
