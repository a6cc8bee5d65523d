// The memory service: zero-filled allocation and release, either direct or
// through the service loop on the main thread, the null-pointer guard and the
// block copy every frame goes through.
#include "startup/startup.h"

// Non-zero: allocation and release are posted to the service loop.
//
// Nothing in the driver sets it, and that is deliberate. The direct path is
// correct on every thread (the runtime's malloc and free are thread-safe), it
// costs no kernel round trip, and it is the only path that can work before
// the service's mutex and events exist (registry walk, discovery, creation).
// Turning the flag on after MacMemoryServer had created its objects would
// only add two context switches to every open and close and make each one
// wait for the main thread. The path is kept working and tested (a test sets
// the flag once the service's objects exist): a port to a kernel whose heap
// belongs to one thread only would switch it on there.
//
// Read with acquire order by requesters on any thread; cleared with release
// order by the service when it stops (and set, if ever, only after the three
// handles below have been published).
uint32_t MemoryServiceActive = 0;
// Created by MacMemoryServer on the main thread and published with release
// order; read by requesters (which only go this way once the flag is set).
KHandle MemoryServiceMutex = 0;
KHandle MemoryRequestEvent = 0;
KHandle MemoryReplyEvent = 0;
// One request at a time: written by the requester holding MemoryServiceMutex
// before it sets MemoryRequestEvent, read and answered by the service before
// it sets MemoryReplyEvent; the events order the two sides.
uint32_t MemoryRequestCode = 0;
uint32_t MemoryRequestSize = 0;
void* MemoryRequestPointer = nullptr;

namespace {

constexpr uint32_t MemoryRequestAllocate = 1;
constexpr uint32_t MemoryRequestRelease = 2;

bool ServiceActive() { return __atomic_load_n(&MemoryServiceActive, __ATOMIC_ACQUIRE) != 0; }

// Posts the request already written to the request words and waits for the
// service's reply. Called with MemoryServiceMutex held.
void PostRequest() {
  KeSetEvent(MemoryRequestEvent);
  KeWaitEvent(MemoryReplyEvent);
  KeClearEvent(MemoryReplyEvent);
}

void* AllocateDirect(uint32_t size) {
  void* block = host::malloc(size);
  if (block != nullptr) host::memset(block, 0, size);
  return block;
}

}  // namespace

void* MacAllocateMemory(uint32_t size) {
  if (size == 0) return nullptr;
  if (!ServiceActive()) return AllocateDirect(size);

  KeAcquireMutex(MemoryServiceMutex);
  MemoryRequestCode = MemoryRequestAllocate;
  MemoryRequestSize = size;
  PostRequest();
  void* block = MemoryRequestPointer;  // read before another requester may post
  KeReleaseMutex(MemoryServiceMutex);
  return block;
}

void MacDeallocateMemory(void* block) {
  if (MacCheckPointer(block, "MacDeallocateMemory (1)") != 0) return;
  if (!ServiceActive()) {
    host::free(block);
    return;
  }

  KeAcquireMutex(MemoryServiceMutex);
  MemoryRequestCode = MemoryRequestRelease;
  MemoryRequestPointer = block;
  PostRequest();
  KeReleaseMutex(MemoryServiceMutex);
}

uint32_t MacMemoryServer() {
  KHandle mutex = 0;
  KHandle request = 0;
  KHandle reply = 0;
  if (KeAllocateMutex(&mutex) != 0) return StatusNoResources;
  KeGrantHandleRights(mutex, KeRightsMutex, KeEveryProcess);
  if (KeAllocateEvent(&request) != 0) {
    KeDeallocateMutex(mutex);
    return StatusNoResources;
  }
  KeGrantHandleRights(request, KeRightsEvent, KeEveryProcess);
  if (KeAllocateEvent(&reply) != 0) {
    KeDeallocateEvent(request);
    KeDeallocateMutex(mutex);
    return StatusNoResources;
  }
  KeGrantHandleRights(reply, KeRightsEvent, KeEveryProcess);
  __atomic_store_n(&MemoryServiceMutex, mutex, __ATOMIC_RELEASE);
  __atomic_store_n(&MemoryRequestEvent, request, __ATOMIC_RELEASE);
  __atomic_store_n(&MemoryReplyEvent, reply, __ATOMIC_RELEASE);

  for (;;) {
    KeWaitEvent(request);
    KeClearEvent(request);
    switch (MemoryRequestCode) {
      case MemoryRequestAllocate:
        MemoryRequestPointer = AllocateDirect(MemoryRequestSize);
        break;
      case MemoryRequestRelease:
        host::free(MemoryRequestPointer);
        break;
      default:
        // Printed whatever Quiet holds: the service is about to stop.
        host::printf("TORVELIN: Unknown memory server request (%u).\n", MemoryRequestCode);
        // Later calls go direct; the objects stay allocated.
        __atomic_store_n(&MemoryServiceActive, 0u, __ATOMIC_RELEASE);
        KeSetEvent(reply);
        return StatusUnrecognised;
    }
    KeSetEvent(reply);
  }
}

uint32_t MacCheckPointer(const void* pointer, const char* label) {
  if (pointer != nullptr) return 0;
  if (!Quiet) host::printf("TORVELIN: NULL POINTER - %s.\n", label);
  return 1;
}

void MacCopyMemory(void* destination, const void* source, uint32_t count) {
  // Whole 32-bit words front to back, then the last 0 to 3 bytes. Neither
  // address needs to be aligned: each word moves through a 4-byte
  // __builtin_memcpy, which the compiler turns into one unaligned load and
  // store instead of a library call.
  uint8_t* to = static_cast<uint8_t*>(destination);
  const uint8_t* from = static_cast<const uint8_t*>(source);
  for (uint32_t words = count / 4; words != 0; --words) {
    uint32_t word;
    __builtin_memcpy(&word, from, sizeof word);
    __builtin_memcpy(to, &word, sizeof word);
    to += 4;
    from += 4;
  }
  for (uint32_t bytes = count % 4; bytes != 0; --bytes) *to++ = *from++;
}
