// The kernel's private state and helpers, shared by its own files only:
// kernel.cpp (scheduler, interrupt exclusion, handle table, interrupt thread)
// and calls.cpp (the host/host.h operations built on them). Nothing else in
// the image includes this; the rest sees metal.h.
//
// Threads switch only inside kernel calls, so no lock guards this state
// against other threads; the interrupt flag guards the few words the
// interrupt stubs touch (thread states, pending lines, in-service lines).
#pragma once

#include "metal/kernel/metal.h"

namespace kernel {

constexpr uint32_t Fail = 1;
constexpr uint32_t MaxObjects = 256;
constexpr uint32_t MaxGrants = 4;
constexpr uint32_t MaxSignals = 8;
constexpr uint32_t MaxDevices = 16;
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

// The running thread, and the thread that runs the interrupt handlers. Set by
// the scheduler and ThreadCreate with the interrupt flag clear; read by any
// thread.
extern Thread* Current;
extern Thread* InterruptThreadPointer;

// The handle table: objects are only ever appended (a released one is marked
// Dead), by any thread inside a kernel call.
extern Object Objects[MaxObjects];
extern uint32_t ObjectCount;

// Lines whose EOI has not been sent: set by the interrupt stubs, cleared by
// threads only with the interrupt flag clear.
extern uint32_t InServiceLines;

// The signals raised so far; appended by any thread inside a kernel call.
extern uint32_t SignalList[MaxSignals];
extern uint32_t SignalCount;
// Set once by the interrupt thread when it first runs.
extern bool Booted;

// The devices in order of creation; appended by KeCreateDevice.
extern KHandle DeviceHandles[MaxDevices];
extern uint32_t DeviceTotal;

// Scheduling.
void Schedule();                   // interrupt flag clear
void WaitOn(const void* object);   // blocks until WakeAll(object)
void WakeAll(const void* object);  // makes every waiter on object ready
void Yield();

// Interrupt exclusion.
void TakeExclusion();
void GiveExclusion();
// A blocking wait gives exclusion up while the thread sleeps and takes it
// back, at the same depth, before it returns.
uint32_t SuspendExclusion();
void ResumeExclusion(uint32_t depth);

// The handle table.
KHandle Publish(ObjectType type);  // a new object owned by the calling process; 0 when full
Object* Find(KHandle handle);      // any object, unchecked
// The object behind a handle, for the calling process: null when the handle
// is unknown, released, of another type, or not usable by the caller.
Object* Use(KHandle handle, ObjectType type);
void CopyName(Object& o, const char* name);
bool SameText(const char* a, const char* b);

}  // namespace kernel
