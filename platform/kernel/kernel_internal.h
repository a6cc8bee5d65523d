// What the kernel's own files share and clients of the kernel do not see:
// the failure result of every call, the bound of list walks, the typed handle
// look-up and the interrupt exclusion the kernel puts around its own list
// updates, and the machine the driver's imports reach. Included only by
// platform/kernel/*.cpp.
#pragma once

#include "platform/kernel/kernel.h"

namespace sim {

// The machine a host import of the driver reaches; a call with no machine
// running is a harness bug, reported and fatal.
[[noreturn]] void NoMachineRunning(const char* operation);
inline Machine& CurrentMachine(const char* operation) {
  Machine* machine = Machine::Current();
  if (machine == nullptr) [[unlikely]]
    NoMachineRunning(operation);
  return *machine;
}

// What every kernel call gives when it refuses.
inline constexpr uint32_t kFail = 1;
// Bound of every walk over a list the driver hands the kernel.
inline constexpr uint32_t kMaxListWalk = 1000000;

template <class T>
T* Kernel::Use(KHandle handle, ObjectType type) {
  Object* object = Find(handle);
  if (object == nullptr || object->type != type || object->dead.load(std::memory_order_acquire)) {
    return nullptr;
  }
  if (!MayUse(*object, CallerProcess()->handle)) {
    rights_violations_.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }
  return static_cast<T*>(object);
}

// The kernel's list updates run with interrupts disabled, as a uniprocessor
// kernel makes them atomic with respect to interrupt handlers: a handler that
// walks a list without a lock (the driver's adapter and client lists) then
// always sees it whole.
class Kernel::ExclusionScope {
 public:
  explicit ExclusionScope(Kernel& kernel) : kernel_(kernel) { kernel_.DisableInterrupts(); }
  ~ExclusionScope() { kernel_.EnableInterrupts(); }

 private:
  Kernel& kernel_;
};

}  // namespace sim
