// The kernel operations of host/host.h, on the kernel's scheduler, interrupt
// exclusion and handle table (kernel.cpp): mutexes, events, rights, lists,
// the registry, interrupt lines, signals, devices and availability objects.
#include "metal/kernel/kernel_internal.h"
#include "platform/kernel/ke_list.h"

using namespace kernel;

namespace {

constexpr uint32_t MaxHandlers = 8;
constexpr uint32_t MaxListWalk = 100000;

// Availability changes the driver reported; counted by any thread inside a
// kernel call.
uint32_t HaNotifications = 0;

// A new mutex or event for the calling process.
uint32_t Allocate(ObjectType type, KHandle* handle) {
  if (handle == nullptr) return Fail;
  *handle = Publish(type);
  return *handle != 0 ? 0 : Fail;
}

// Releases a mutex or event; its waiters wake and fail.
uint32_t Deallocate(KHandle handle, ObjectType type) {
  Object* o = Use(handle, type);
  if (o == nullptr) return Fail;
  o->Dead = true;
  WakeAll(o);
  return 0;
}

}  // namespace

uint32_t KeGetCurrentProcessHandle(KHandle* process) {
  if (process == nullptr) return Fail;
  *process = Current->Process;
  return 0;
}

uint32_t KeAllocateMutex(KHandle* mutex) { return Allocate(ObjectType::Mutex, mutex); }

uint32_t KeDeallocateMutex(KHandle handle) { return Deallocate(handle, ObjectType::Mutex); }

uint32_t KeAcquireMutex(KHandle handle) {
  Object* o = Use(handle, ObjectType::Mutex);
  if (o == nullptr) return Fail;
  // Recursive for its holder, as on the simulated kernel.
  if (o->Holder == Current) {
    ++o->Depth;
    return 0;
  }
  if (o->Holder != nullptr) {
    const uint32_t depth = SuspendExclusion();
    while (o->Holder != nullptr && !o->Dead) WaitOn(o);
    ResumeExclusion(depth);
    if (o->Dead) return Fail;
  }
  o->Holder = Current;
  o->Depth = 1;
  return 0;
}

uint32_t KeReleaseMutex(KHandle handle) {
  Object* o = Use(handle, ObjectType::Mutex);
  if (o == nullptr || o->Holder != Current) return Fail;
  if (--o->Depth != 0) return 0;
  o->Holder = nullptr;
  WakeAll(o);
  return 0;
}

uint32_t KeAllocateEvent(KHandle* event) { return Allocate(ObjectType::Event, event); }

uint32_t KeDeallocateEvent(KHandle handle) { return Deallocate(handle, ObjectType::Event); }

uint32_t KeSetEvent(KHandle handle) {
  Object* o = Use(handle, ObjectType::Event);
  if (o == nullptr) return Fail;
  o->Set = true;
  WakeAll(o);
  return 0;
}

uint32_t KeClearEvent(KHandle handle) {
  Object* o = Use(handle, ObjectType::Event);
  if (o == nullptr) return Fail;
  o->Set = false;
  return 0;
}

uint32_t KePulseEvent(KHandle handle) {
  // Releases exactly the threads waiting now: each remembers the generation
  // it started waiting in.
  Object* o = Use(handle, ObjectType::Event);
  if (o == nullptr) return Fail;
  ++o->Generation;
  o->Set = false;
  WakeAll(o);
  return 0;
}

uint32_t KeWaitEvent(KHandle handle) {
  Object* o = Use(handle, ObjectType::Event);
  if (o == nullptr) return Fail;
  if (o->Set) return 0;
  // A waiter from here on; only now is exclusion given up, so a pulse from a
  // handler cannot fall between the caller's check and the wait.
  const uint32_t generation = o->Generation;
  const uint32_t depth = SuspendExclusion();
  while (!o->Set && o->Generation == generation && !o->Dead) WaitOn(o);
  const bool released = o->Set || o->Generation != generation;
  ResumeExclusion(depth);
  return released ? 0 : Fail;
}

uint32_t KeGrantHandleRights(KHandle handle, uint32_t rights, KHandle process) {
  Object* o = Find(handle);
  if (o == nullptr || o->Dead) return Fail;
  if (o->Owner != Current->Process) {  // only the creator hands its objects on
    ++Counters.RightsViolations;
    return Fail;
  }
  const uint32_t expected = o->Type == ObjectType::Mutex      ? KeRightsMutex
                            : o->Type == ObjectType::Event    ? KeRightsEvent
                            : o->Type == ObjectType::HaObject ? KeRightsHaObject
                                                              : 0;
  if (expected == 0 || rights != expected) return Fail;
  if (process == KeEveryProcess) {
    o->Everyone = true;
    return 0;
  }
  Object* target = Find(process);
  if (target == nullptr || target->Type != ObjectType::Process) return Fail;
  for (KHandle& g : o->Granted) {
    if (g == process) return 0;
    if (g == 0) {
      g = process;
      return 0;
    }
  }
  return Fail;
}

// List updates are single steps between two kernel calls: no handler can
// run in the middle of one (handlers run on the interrupt thread, which only
// runs when this thread gives up the CPU).
uint32_t KeAppendList(KeList* list, void* element) {
  if (list == nullptr || element == nullptr) return Fail;
  return ke_list::Append(*list, element, MaxListWalk) ? 0 : Fail;
}

uint32_t KeRemoveList(KeList* list, void* element) {
  if (list == nullptr || element == nullptr) return Fail;
  return ke_list::Remove(*list, element, MaxListWalk) ? 0 : Fail;
}

uint32_t KeEnumRegSection(const char* section, uint32_t index, char* key, uint32_t keySize,
                          char* value, uint32_t valueSize) {
  if (section == nullptr || key == nullptr || value == nullptr || keySize == 0 || valueSize == 0) {
    return Fail;
  }
  uint32_t seen = 0;
  for (const RegistryEntry* e = Registry; e->Section != nullptr; ++e) {
    if (host::strcmpi(e->Section, section) != 0) continue;
    if (seen++ != index) continue;
    auto copy = [](const char* text, char* out, uint32_t size) {
      uint32_t n = 0;
      for (; text[n] != '\0' && n + 1 < size; ++n) out[n] = text[n];
      out[n] = '\0';
    };
    copy(e->Key, key, keySize);
    copy(e->Value, value, valueSize);
    return 0;
  }
  return Fail;
}

uint32_t KeAllocateInterrupt(uint32_t line, KeInterruptHandler handler, uintptr_t context,
                             KHandle* interrupt) {
  // Line 2 is the cascade and lines 0 (timer) and 8 (clock) are the
  // motherboard's; a PCI device never gets them.
  if (line >= Lines || line == 0 || line == 2 || line == 8 || handler == nullptr ||
      interrupt == nullptr) {
    return Fail;
  }
  const KHandle handle = Publish(ObjectType::Interrupt);
  *interrupt = handle;
  if (handle == 0) return Fail;
  Object* o = Find(handle);
  o->Line = line;
  o->InterruptHandler = handler;
  o->Context = context;
  const uint32_t flags = CpuSaveDisable();
  PicUnmask(line);
  CpuRestore(flags);
  return 0;
}

uint32_t KeDeallocateInterrupt(KHandle handle) {
  Object* o = Use(handle, ObjectType::Interrupt);
  if (o == nullptr) return Fail;
  o->Dead = true;
  bool others = false;
  for (uint32_t i = 0; i < ObjectCount; ++i) {
    const Object& other = Objects[i];
    if (other.Type == ObjectType::Interrupt && !other.Dead && other.Line == o->Line) others = true;
  }
  if (!others) {
    const uint32_t flags = CpuSaveDisable();
    PicMask(o->Line);
    CpuRestore(flags);
  }
  return 0;
}

uint32_t KeEndOfInterrupt(KHandle handle) {
  Object* o = Use(handle, ObjectType::Interrupt);
  if (o == nullptr) return Fail;
  ++Counters.EndOfInterrupts;
  // One EOI per interrupt taken: the first handler to acknowledge ends it at
  // the 8259, later calls for the same interrupt find nothing in service.
  const uint32_t flags = CpuSaveDisable();
  if (InServiceLines & (1u << o->Line)) {
    InServiceLines &= ~(1u << o->Line);
    PicEndOfInterrupt(o->Line);
  }
  CpuRestore(flags);
  return 0;
}

uint32_t KeGetIntInformation(KHandle handle, uint32_t what, uint32_t* value) {
  Object* o = Use(handle, ObjectType::Interrupt);
  if (o == nullptr || what != 1 || value == nullptr) return Fail;
  *value = 1;  // every line reaches the 8259
  return 0;
}

uint32_t KeQueryInterruptHistory(uint32_t query) {
  if (query != 312) return Fail;
  return Booted ? 0 : 1;
}

uint32_t KeSignalInterrupt(uint32_t signal) {
  if (!SignalRaised(signal)) {
    if (SignalCount >= MaxSignals) return Fail;
    SignalList[SignalCount++] = signal;
  }
  WakeAll(&SignalList);
  return 0;
}

uint32_t KePassTimeSlice() {
  Yield();
  return 0;
}

uint32_t KeCreateDevice(const char* name, void* context, KeDeviceEntry entry, uint32_t,
                        KHandle* device) {
  if (name == nullptr || entry == nullptr || device == nullptr || DeviceTotal >= MaxDevices) {
    return Fail;
  }
  for (uint32_t i = 0; i < DeviceTotal; ++i) {
    if (SameText(Find(DeviceHandles[i])->Name, name)) return Fail;
  }
  const KHandle handle = Publish(ObjectType::Device);
  if (handle == 0) return Fail;
  Object* o = Find(handle);
  CopyName(*o, name);
  o->DeviceContext = context;
  o->Entry = entry;
  DeviceHandles[DeviceTotal++] = handle;
  *device = handle;
  Log("device %s created", o->Name);
  return 0;
}

uint32_t KeAllocateHaObject(const char* name, void* context, KHandle* object) {
  if (name == nullptr || object == nullptr) return Fail;
  const KHandle handle = Publish(ObjectType::HaObject);
  if (handle == 0) return Fail;
  Object* o = Find(handle);
  CopyName(*o, name);
  o->DeviceContext = context;
  *object = handle;
  return 0;
}

uint32_t KeAllocateExceptionHandler(uint32_t code, uint32_t, KeAvailabilityHandler handler,
                                    KHandle* handle) {
  if (handler == nullptr || handle == nullptr) return Fail;
  uint32_t registered = 0;
  for (uint32_t i = 0; i < ObjectCount; ++i) {
    if (Objects[i].Type == ObjectType::Handler) ++registered;
  }
  if (registered >= MaxHandlers) return Fail;
  const KHandle h = Publish(ObjectType::Handler);
  if (h == 0) return Fail;
  Object* o = Find(h);
  o->Code = code;
  o->AvailabilityHandler = handler;
  *handle = h;
  return 0;
}

uint32_t KeNotifyHaEvent(KHandle object, uint32_t code) {
  // This machine's controllers never change under the driver; a report is
  // counted and shown, and no event is delivered.
  if (Use(object, ObjectType::HaObject) == nullptr) return Fail;
  ++HaNotifications;
  Log("availability change %u reported", code);
  return 0;
}

void debug_assert_bit(uint32_t) {}
void debug_deassert_bit(uint32_t) {}

void KeDisableInterrupts() {
  if (Current == InterruptThreadPointer) return;  // handlers already run excluded
  if (Current->ExclusionDepth++ == 0) TakeExclusion();
}

void KeEnableInterrupts() {
  if (Current == InterruptThreadPointer || Current->ExclusionDepth == 0) return;
  if (--Current->ExclusionDepth == 0) GiveExclusion();
}
