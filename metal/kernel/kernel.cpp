// The kernel: threads on one CPU with a cooperative scheduler, processes and
// the handle table with its rights, mutexes, events, lists, interrupt lines on
// the 8259 pair with their interrupt thread, devices, availability objects,
// the registry and the boot query: every Ke* call of host/host.h.
//
// Threads switch only inside kernel calls (a blocking wait, a mutex taken by
// another thread, KePassTimeSlice) and never because an interrupt arrived: an
// interrupt only masks its line and wakes the interrupt thread, which runs the
// handlers the next time the running thread gives up the CPU. When no thread
// can run, the CPU halts until the next interrupt. So no lock guards kernel
// state against other threads; the interrupt flag guards the few words the
// interrupt stubs touch (thread states, pending lines, in-service lines).
#include "metal/kernel/metal.h"

extern "C" void MetalSwitch(uint32_t* save_sp, uint32_t next_sp);

KernelCounters Counters;

namespace {

constexpr uint32_t Fail = 1;
constexpr uint32_t StackBytes = 32 * 1024;
constexpr uint32_t MaxThreads = 8;
constexpr uint32_t MaxObjects = 256;
constexpr uint32_t MaxGrants = 4;
constexpr uint32_t MaxSignals = 8;
constexpr uint32_t MaxDevices = 16;
constexpr uint32_t MaxHandlers = 8;
constexpr uint32_t MaxListWalk = 100000;
constexpr KHandle HandleBase = 0x100;
constexpr uint32_t Lines = 16;

enum class ThreadState : uint8_t { Free, Ready, Blocked, Dead };

struct Thread {
  uint32_t Sp;
  ThreadState State;
  const char* Name;
  KHandle Process;
  ThreadEntry Entry;
  uintptr_t Argument;
  const void* WaitingOn;    // the object a blocked thread waits for
  uint32_t ExclusionDepth;  // KeDisableInterrupts nesting of this thread
};

Thread Threads[MaxThreads];
Thread BootThread;  // the boot stack's context, left once for good
Thread* Current = nullptr;
Thread* InterruptThreadPointer = nullptr;

enum class ObjectType : uint8_t {
  None,
  Process,
  Mutex,
  Event,
  Interrupt,
  Device,
  HaObject,
  Handler
};

struct Object {
  ObjectType Type;
  bool Dead;
  bool Everyone;
  KHandle Owner;
  KHandle Granted[MaxGrants];
  // By type:
  const char* Name;  // process, device, availability object (copied below)
  char NameText[64];
  Thread* Holder;       // mutex
  uint32_t Depth;       // mutex
  bool Set;             // event
  uint32_t Generation;  // event: moved by every pulse
  uint32_t Line;        // interrupt
  KeInterruptHandler InterruptHandler;
  uintptr_t Context;    // interrupt
  void* DeviceContext;  // device, availability object
  KeDeviceEntry Entry;  // device
  uint32_t Code;        // availability handler
  KeAvailabilityHandler AvailabilityHandler;
};

Object Objects[MaxObjects];
uint32_t ObjectCount = 0;

// Interrupt exclusion: the thread between KeDisableInterrupts and the
// matching KeEnableInterrupts, or the interrupt thread while it runs
// handlers. Null when nobody holds it.
Thread* ExclusionOwner = nullptr;

// Touched by the interrupt stubs: read and changed by threads only with the
// interrupt flag clear (CpuSaveDisable and the idle halt are compiler
// barriers, so the values are read afresh after each).
uint32_t PendingLines = 0;    // lines that interrupted, masked, handlers not yet run
uint32_t InServiceLines = 0;  // lines whose EOI has not been sent

uint32_t SignalList[MaxSignals];
uint32_t SignalCount = 0;
bool Booted = false;
bool DriverReturned = false;
uint32_t DriverStatus = 0;

KHandle DeviceHandles[MaxDevices];
uint32_t DeviceTotal = 0;
KHandle DriverProcessHandle = 0;

uint32_t HaNotifications = 0;
uint32_t DiagnosedInterrupts = 0;

// ---- scheduler (interrupt flag clear throughout)

void Schedule() {
  for (;;) {
    const uint32_t start = Current >= &Threads[0] && Current < &Threads[MaxThreads]
                               ? static_cast<uint32_t>(Current - Threads) + 1
                               : 0;
    for (uint32_t i = 0; i < MaxThreads; ++i) {
      Thread* next = &Threads[(start + i) % MaxThreads];
      if (next->State != ThreadState::Ready) continue;
      if (next == Current) return;
      Thread* previous = Current;
      Current = next;
      ++Counters.ContextSwitches;
      MetalSwitch(&previous->Sp, next->Sp);
      return;
    }
    if (Current->State == ThreadState::Ready) return;
    // Nothing can run: sleep until an interrupt. sti takes effect after the
    // next instruction, so no interrupt slips in between it and the hlt.
    ++Counters.IdleHalts;
    asm volatile("sti; hlt; cli" ::: "memory");
  }
}

// Blocks the running thread until WakeAll(object).
void WaitOn(const void* object) {
  const uint32_t flags = CpuSaveDisable();
  Current->WaitingOn = object;
  Current->State = ThreadState::Blocked;
  Schedule();
  CpuRestore(flags);
}

void WakeAll(const void* object) {
  const uint32_t flags = CpuSaveDisable();
  for (Thread& t : Threads) {
    if (t.State == ThreadState::Blocked && t.WaitingOn == object) {
      t.WaitingOn = nullptr;
      t.State = ThreadState::Ready;
    }
  }
  CpuRestore(flags);
}

void Yield() {
  const uint32_t flags = CpuSaveDisable();
  Schedule();
  CpuRestore(flags);
}

void ThreadStart() {
  CpuEnable();
  Current->Entry(Current->Argument);
  ThreadExit();
}

// ---- interrupt exclusion

void TakeExclusion() {
  while (ExclusionOwner != nullptr && ExclusionOwner != Current) WaitOn(&ExclusionOwner);
  ExclusionOwner = Current;
}

void GiveExclusion() {
  ExclusionOwner = nullptr;
  WakeAll(&ExclusionOwner);
}

// A blocking wait gives exclusion up while the thread sleeps, as a
// uniprocessor kernel switches to a thread that runs with interrupts on, and
// takes it back (same depth) before it returns.
uint32_t SuspendExclusion() {
  if (Current == InterruptThreadPointer || Current->ExclusionDepth == 0) return 0;
  const uint32_t depth = Current->ExclusionDepth;
  Current->ExclusionDepth = 0;
  GiveExclusion();
  return depth;
}

void ResumeExclusion(uint32_t depth) {
  if (depth == 0) return;
  TakeExclusion();
  Current->ExclusionDepth = depth;
}

// ---- handle table

KHandle Publish(ObjectType type) {
  if (ObjectCount >= MaxObjects) return 0;
  Object& o = Objects[ObjectCount];
  o = Object{};
  o.Type = type;
  o.Owner = Current != nullptr ? Current->Process : 0;
  return HandleBase + ObjectCount++;
}

Object* Find(KHandle handle) {
  if (handle < HandleBase || handle >= HandleBase + ObjectCount) return nullptr;
  return &Objects[handle - HandleBase];
}

// The object behind a handle, for the calling process: null when the handle
// is unknown, released, of another type, or not usable by the caller (that
// last one counted: the checks report it).
Object* Use(KHandle handle, ObjectType type) {
  Object* o = Find(handle);
  if (o == nullptr || o->Dead || o->Type != type) return nullptr;
  const KHandle caller = Current->Process;
  if (o->Owner == caller || o->Everyone) return o;
  for (KHandle g : o->Granted) {
    if (g == caller) return o;
  }
  ++Counters.RightsViolations;
  Log("rights: process %x may not use handle %x", caller, handle);
  return nullptr;
}

void CopyName(Object& o, const char* name) {
  uint32_t i = 0;
  for (; name != nullptr && name[i] != '\0' && i + 1 < sizeof o.NameText; ++i) {
    o.NameText[i] = name[i];
  }
  o.NameText[i] = '\0';
  o.Name = o.NameText;
}

bool SameText(const char* a, const char* b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

// ---- the interrupt thread

void InterruptThread(uintptr_t) {
  // The system has booted once the kernel's own threads run.
  Booted = true;
  for (;;) {
    uint32_t flags = CpuSaveDisable();
    while (PendingLines == 0) {
      Current->WaitingOn = &PendingLines;
      Current->State = ThreadState::Blocked;
      Schedule();
    }
    const uint32_t lines = PendingLines;
    PendingLines = 0;
    CpuRestore(flags);

    // Handlers run with interrupt exclusion, never inside a thread's
    // disabled section.
    TakeExclusion();
    for (uint32_t line = 0; line < Lines; ++line) {
      if (!(lines & (1u << line))) continue;
      ++Counters.HandlerRounds;
      // diag=N: the lists as the controller left them, before the handlers
      // of the first N interrupts see them.
      if (DiagnosedInterrupts < CommandLineValue("diag", 0)) {
        ++DiagnosedInterrupts;
        Log("diag interrupt %u on line %u", DiagnosedInterrupts, line);
        DiagnoseDevices(3);
      }
      for (uint32_t i = 0; i < ObjectCount; ++i) {
        Object& o = Objects[i];
        if (o.Type == ObjectType::Interrupt && !o.Dead && o.Line == line) {
          o.InterruptHandler(o.Context);
        }
      }
      flags = CpuSaveDisable();
      // No handler claimed the interrupt (another device on a shared line,
      // or a controller that had nothing to report): the kernel ends it.
      if (InServiceLines & (1u << line)) {
        InServiceLines &= ~(1u << line);
        PicEndOfInterrupt(line);
      }
      PicUnmask(line);
      CpuRestore(flags);
    }
    GiveExclusion();
  }
}

void DriverThread(uintptr_t) {
  const uint32_t status = DriverImageEntry();
  DriverStatus = status;
  DriverReturned = true;
  Log("driver entry returned %u", status);
  WakeAll(&SignalList);
}

}  // namespace

// ---- kernel internals used by the rest of the image

bool ThreadCreate(const char* name, KHandle process, ThreadEntry entry, uintptr_t argument) {
  for (Thread& t : Threads) {
    if (t.State != ThreadState::Free) continue;
    uint8_t* stack = static_cast<uint8_t*>(host::malloc(StackBytes));
    if (stack == nullptr) return false;
    uint32_t* sp = reinterpret_cast<uint32_t*>(stack + StackBytes);
    *--sp = 0;  // no return from ThreadStart
    *--sp = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&ThreadStart));
    *--sp = 0;  // ebp
    *--sp = 0;  // ebx
    *--sp = 0;  // esi
    *--sp = 0;  // edi
    t = Thread{};
    t.Sp = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(sp));
    t.Name = name;
    t.Process = process;
    t.Entry = entry;
    t.Argument = argument;
    t.State = ThreadState::Ready;
    if (name != nullptr && SameText(name, "interrupt")) InterruptThreadPointer = &t;
    return true;
  }
  return false;
}

KHandle ProcessCreate(const char* name) {
  const KHandle handle = Publish(ObjectType::Process);
  if (handle == 0) return 0;
  Object* o = Find(handle);
  o->Owner = handle;
  CopyName(*o, name);
  return handle;
}

void SchedulerStart() {
  // The driver process and its two threads, then the client.
  DriverProcessHandle = ProcessCreate("TORVELIN");
  const KHandle client = ProcessCreate("CLIENT");
  Current = &BootThread;
  BootThread.State = ThreadState::Dead;
  BootThread.Process = DriverProcessHandle;
  if (!ThreadCreate("driver", DriverProcessHandle, DriverThread, 0) ||
      !ThreadCreate("interrupt", DriverProcessHandle, InterruptThread, 0) ||
      !ThreadCreate("client", client, ClientMain, 0)) {
    Log("no memory for the first threads");
    MachineExit(0x7D);
  }
  CpuSaveDisable();
  Schedule();
  for (;;) asm volatile("hlt");
}

void ThreadExit() {
  CpuSaveDisable();
  if (Current->ExclusionDepth != 0) {
    Current->ExclusionDepth = 0;
    GiveExclusion();
  }
  Current->State = ThreadState::Dead;
  Schedule();
  for (;;) asm volatile("hlt");
}

void InterruptArrived(uint32_t line) {
  // Interrupt flag clear (interrupt gate). The line stays masked until its
  // handlers have run; its EOI waits for KeEndOfInterrupt.
  ++Counters.InterruptsTaken;
  PicMask(line);
  InServiceLines |= 1u << line;
  PendingLines |= 1u << line;
  if (InterruptThreadPointer != nullptr && InterruptThreadPointer->State == ThreadState::Blocked &&
      InterruptThreadPointer->WaitingOn == &PendingLines) {
    InterruptThreadPointer->WaitingOn = nullptr;
    InterruptThreadPointer->State = ThreadState::Ready;
  }
}

bool SignalRaised(uint32_t signal) {
  for (uint32_t i = 0; i < SignalCount; ++i) {
    if (SignalList[i] == signal) return true;
  }
  return false;
}

void WaitForSignal(uint32_t signal) {
  while (!SignalRaised(signal) && !DriverReturned) WaitOn(&SignalList);
}

bool DriverEnded(uint32_t* status) {
  if (DriverReturned && status != nullptr) *status = DriverStatus;
  return DriverReturned;
}

// ---- devices for clients

struct DeviceOpen {
  Object* Device;
  void* Instance;
};

DeviceOpen* DeviceOpenByName(const char* name, uint32_t* status) {
  *status = 7;
  for (uint32_t i = 0; i < DeviceTotal; ++i) {
    Object* device = Find(DeviceHandles[i]);
    if (device == nullptr || device->Dead || !SameText(device->Name, name)) continue;
    DeviceOpen* open = static_cast<DeviceOpen*>(host::malloc(sizeof(DeviceOpen)));
    if (open == nullptr) {
      *status = 3;
      return nullptr;
    }
    open->Device = device;
    open->Instance = nullptr;
    *status = device->Entry(2, device->DeviceContext, &open->Instance, 0, 0, 0);
    if (*status != 0) {
      host::free(open);
      return nullptr;
    }
    return open;
  }
  return nullptr;
}

uint32_t DeviceCall(DeviceOpen* open, uint32_t function, uintptr_t a1, uintptr_t a2, uintptr_t a3) {
  return open->Device->Entry(function, open->Device->DeviceContext, open->Instance, a1, a2, a3);
}

uint32_t DeviceClose(DeviceOpen* open) {
  const uint32_t status = DeviceCall(open, 3, 0, 0, 0);
  host::free(open);
  return status;
}

uint32_t DeviceCount() { return DeviceTotal; }

void DiagnoseDevices(uint32_t descriptors) {
  for (uint32_t i = 0; i < DeviceTotal; ++i) {
    DiagnoseReceiveLists(i, Find(DeviceHandles[i])->DeviceContext, descriptors);
  }
}

const char* DeviceName(uint32_t index) {
  return index < DeviceTotal ? Find(DeviceHandles[index])->Name : nullptr;
}

// ---- host/host.h: the kernel operations

uint32_t KeGetCurrentProcessHandle(KHandle* process) {
  if (process == nullptr) return Fail;
  *process = Current->Process;
  return 0;
}

uint32_t KeAllocateMutex(KHandle* mutex) {
  if (mutex == nullptr) return Fail;
  *mutex = Publish(ObjectType::Mutex);
  return *mutex != 0 ? 0 : Fail;
}

uint32_t KeDeallocateMutex(KHandle handle) {
  Object* o = Use(handle, ObjectType::Mutex);
  if (o == nullptr) return Fail;
  o->Dead = true;
  WakeAll(o);
  return 0;
}

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

uint32_t KeAllocateEvent(KHandle* event) {
  if (event == nullptr) return Fail;
  *event = Publish(ObjectType::Event);
  return *event != 0 ? 0 : Fail;
}

uint32_t KeDeallocateEvent(KHandle handle) {
  Object* o = Use(handle, ObjectType::Event);
  if (o == nullptr) return Fail;
  o->Dead = true;
  WakeAll(o);
  return 0;
}

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
  void** link = &list->First;
  for (uint32_t steps = 0; *link != nullptr; ++steps) {
    if (*link == element || steps >= MaxListWalk) return Fail;
    link = static_cast<void**>(*link);
  }
  *static_cast<void**>(element) = nullptr;
  *link = element;
  return 0;
}

uint32_t KeRemoveList(KeList* list, void* element) {
  if (list == nullptr || element == nullptr) return Fail;
  void** link = &list->First;
  for (uint32_t steps = 0; *link != nullptr && steps < MaxListWalk; ++steps) {
    if (*link == element) {
      *link = *static_cast<void**>(element);
      return 0;
    }
    link = static_cast<void**>(*link);
  }
  return Fail;
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

// ---- port I/O: the real instructions
uint8_t inportb(uint32_t port) {
  uint8_t v;
  asm volatile("inb %w1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
uint16_t inportw(uint32_t port) {
  uint16_t v;
  asm volatile("inw %w1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
uint32_t inportd(uint32_t port) {
  uint32_t v;
  asm volatile("inl %w1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
void outportb(uint32_t port, uint8_t value) {
  asm volatile("outb %0, %w1" ::"a"(value), "Nd"(port));
}
void outportw(uint32_t port, uint16_t value) {
  asm volatile("outw %0, %w1" ::"a"(value), "Nd"(port));
}
void outportd(uint32_t port, uint32_t value) {
  asm volatile("outl %0, %w1" ::"a"(value), "Nd"(port));
}
