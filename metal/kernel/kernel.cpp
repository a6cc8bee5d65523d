// The kernel: threads on one CPU with a cooperative scheduler, processes and
// the handle table with its rights, interrupt lines on the 8259 pair with
// their interrupt thread, the driver's process and the calls the rest of the
// image makes (threads, signals, devices for clients). The Ke* operations of
// host/host.h built on these are in calls.cpp, port I/O in ports.cpp.
//
// Threads switch only inside kernel calls (a blocking wait, a mutex taken by
// another thread, KePassTimeSlice) and never because an interrupt arrived: an
// interrupt only masks its line and wakes the interrupt thread, which runs the
// handlers the next time the running thread gives up the CPU. When no thread
// can run, the CPU halts until the next interrupt. So no lock guards kernel
// state against other threads; the interrupt flag guards the few words the
// interrupt stubs touch (thread states, pending lines, in-service lines).
#include "metal/kernel/kernel_internal.h"

extern "C" void MetalSwitch(uint32_t* save_sp, uint32_t next_sp);

KernelCounters Counters;

namespace kernel {

Thread* Current = nullptr;
Thread* InterruptThreadPointer = nullptr;
Object Objects[MaxObjects];
uint32_t ObjectCount = 0;
uint32_t SignalList[MaxSignals];
uint32_t SignalCount = 0;
bool Booted = false;
KHandle DeviceHandles[MaxDevices];
uint32_t DeviceTotal = 0;

// Touched by the interrupt stubs: read and changed by threads only with the
// interrupt flag clear (CpuSaveDisable and the idle halt are compiler
// barriers, so the values are read afresh after each).
uint32_t InServiceLines = 0;  // lines whose EOI has not been sent

namespace {

constexpr uint32_t StackBytes = 32 * 1024;
constexpr uint32_t MaxThreads = 8;
constexpr KHandle HandleBase = 0x100;

Thread Threads[MaxThreads];
Thread BootThread;  // the boot stack's context, left once for good

// Interrupt exclusion: the thread between KeDisableInterrupts and the
// matching KeEnableInterrupts, or the interrupt thread while it runs
// handlers. Null when nobody holds it.
Thread* ExclusionOwner = nullptr;

// Lines that interrupted, masked, handlers not yet run: set by the interrupt
// stubs, taken by the interrupt thread with the interrupt flag clear.
uint32_t PendingLines = 0;

bool DriverReturned = false;
uint32_t DriverStatus = 0;
KHandle DriverProcessHandle = 0;
uint32_t DiagnosedInterrupts = 0;

}  // namespace

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

namespace {

void ThreadStart() {
  CpuEnable();
  Current->Entry(Current->Argument);
  ThreadExit();
}

}  // namespace

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

namespace {

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
}  // namespace kernel

using namespace kernel;

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

struct ClientOpen {
  Object* Device;
  void* Instance;
};

ClientOpen* DeviceOpenByName(const char* name, uint32_t* status) {
  *status = 7;
  for (uint32_t i = 0; i < DeviceTotal; ++i) {
    Object* device = Find(DeviceHandles[i]);
    if (device == nullptr || device->Dead || !SameText(device->Name, name)) continue;
    ClientOpen* open = static_cast<ClientOpen*>(host::malloc(sizeof(ClientOpen)));
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

uint32_t DeviceCall(ClientOpen* open, uint32_t function, uintptr_t a1, uintptr_t a2, uintptr_t a3) {
  return open->Device->Entry(function, open->Device->DeviceContext, open->Instance, a1, a2, a3);
}

uint32_t CloseDevice(ClientOpen* open) {
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
