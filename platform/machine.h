// A simulated PC: the port bus with its timer, PCI buses, interrupt lines and
// memory, the kernel, and the driver process running on it. Tests, the
// command-line tool and the benchmarks all go through this class.
//
// One machine runs at a time in a process (the driver's static data is one
// image); many may be made one after another.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/registry.h"
#include "platform/pc/clock.h"
#include "platform/pc/irq.h"
#include "platform/pc/memory.h"
#include "platform/pc/pci.h"
#include "platform/pc/pit.h"
#include "platform/pc/port_bus.h"
#include "platform/pc/trace.h"

namespace sim {

class Kernel;

// What the kernel does when the driver reports a detected change
// (KeNotifyHaEvent) before that call returns.
enum class HaPolicy { None, Suspend, Abort };

struct MachineOptions {
  ClockMode clock = ClockMode::Virtual;
  Registry registry;
  // KeQueryInterruptHistory(312) answers non-zero this many times, then 0.
  uint32_t boot_query_busy_calls = 0;
  HaPolicy ha_policy = HaPolicy::None;
  size_t arena_bytes = 64u << 20;
  // How many objects of a kind the kernel holds at once (allocated and not
  // yet deallocated). An allocation beyond fails, as on a kernel whose table
  // for that kind is full; by default only the handle table's size bounds
  // them.
  struct KernelLimits {
    uint32_t mutexes = UINT32_MAX;
    uint32_t events = UINT32_MAX;
    uint32_t interrupts = UINT32_MAX;
  };
  KernelLimits kernel_limits;
  // Called with each piece the driver prints, as it is printed (under the
  // console's lock: it must not print through the machine itself).
  std::function<void(const std::string&)> console_echo;
  // The program the driver process runs; null means the driver image
  // (DriverImageEntry). Kernel tests run small images of their own.
  uint32_t (*image)() = nullptr;
};

// Anything the machine owns besides its core (device models, segments).
// Destroyed after the driver process has ended, in reverse order of adding.
class MachinePart {
 public:
  virtual ~MachinePart() = default;
};

// Thrown inside driver and client threads when the machine stops, to unwind
// them out of whatever they were doing. Never escapes the platform.
struct MachineStopped {};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();  // Stop()s first
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine whose ports and kernel the host interface reaches now. A
  // thread of the harness that calls the host interface directly (not
  // through a ClientProcess) acts for the driver process; it is never unwound
  // by Stop, its kernel calls fail instead once the machine stops.
  static Machine* Current() { return current_.load(std::memory_order_acquire); }

  Clock& clock();
  // Inline, with the kernel: every port access of the driver reaches both.
  PortBus& ports() { return *ports_; }
  IrqController& irq();
  Arena& arena();
  PciBus& pci();
  Pit& pit();
  Kernel& kernel() { return *kernel_; }
  // The machine trace; off until switched on (Trace::SetOn).
  Trace& trace();
  const MachineOptions& options() const;

  // Takes ownership of a part; returns it for convenience.
  template <class T>
  T& Own(std::unique_ptr<T> part) {
    T& ref = *part;
    parts_.push_back(std::move(part));
    return ref;
  }

  // Marks an interrupt line as unable to interrupt: KeGetIntInformation
  // gives 0 for it and its handler is called periodically instead.
  void SetLinePolled(unsigned line, bool polled = true);

  // Starts the driver process; its main thread runs DriverImageEntry (or
  // options().image). Throws std::logic_error when booted twice or after
  // Stop.
  void Boot();
  // Waits until start-up has finished: signal 10000 raised, or DriverEntry
  // returned. False on timeout (wall time).
  bool WaitStarted(int timeout_ms = 30000);
  bool SignalRaised(uint32_t signal) const;
  // DriverEntry's result once it has returned.
  std::optional<uint32_t> EntryResult() const;

  // Ends the driver process: every driver thread (main, interrupt) ends and
  // every client thread inside a device function is unwound with an error.
  // Idempotent. Called from a harness thread, never from inside the driver
  // (a handler, a device function or the console echo would wait for
  // itself).
  void Stop();
  bool stopped() const;

  // Runs `change` (a BAR moved, an interrupt line reassigned) the way system
  // software changes a device's resources under a running driver: with
  // interrupts disabled, so that the change falls between the driver's
  // interrupt-free steps and never inside one. The driver writes each
  // general-pointer-and-command pair in such a step; a window that moved
  // away and back between the two writes would drop the pointer and deliver
  // the command, starting a unit on whatever the register held before.
  void ChangeResources(const std::function<void()>& change);

  // Availability events to the object named after a device.
  // Returns false when no such object or handler exists.
  bool DeliverHaEvent(const std::string& device_name, uint32_t code, uint32_t value = 0);

  // Everything printed so far, and counters the kernel keeps.
  std::string Console() const;
  void ClearConsole();
  uint64_t EndOfInterruptCount() const;
  uint64_t EndOfInterruptCount(unsigned line) const;  // for the handlers of one line
  uint32_t DebugBits() const;
  std::vector<std::pair<uint32_t, uint32_t>> HaNotifications() const;  // (object, code)
  // The name of an availability object (empty for an unknown handle).
  std::string HaObjectName(uint32_t handle) const;
  // Signals raised with KeSignalInterrupt, in ascending order.
  std::vector<uint32_t> Signals() const;
  // Devices published with KeCreateDevice, in order.
  std::vector<std::string> DeviceNames() const;

  // Runs one round of the polled lines' handlers on the interrupt thread and
  // waits for it. False when the driver process is not running.
  // Not to be called with interrupts disabled (the round needs them).
  bool PollNow();
  // Kernel calls refused because the calling process had no right to the
  // handle.
  uint64_t RightsViolations() const;
  // Misuses of the kernel by the driver that a real kernel would let pass
  // with at most an error code, one line each, oldest first (at most 16):
  // a call into the driver (its entry, a device function, an availability
  // handler) that returned with interrupts still disabled, which stay
  // disabled as on a real kernel, so that interrupt service stops; a release
  // of a mutex the thread does not hold.
  std::vector<std::string> Misuses() const;
  // Handler rounds the interrupt thread ran for asserted lines, and the times
  // it backed off a line that stayed asserted (an unacknowledged source).
  uint64_t InterruptRuns() const;
  uint64_t InterruptStorms() const;
  // Number of debug_assert_bit calls.
  uint64_t DebugAssertCount() const;
  // Kernel objects allocated and not deallocated (mutexes, events, ...), for
  // leak checks of the driver's own objects.
  size_t LiveMutexes() const;
  size_t LiveEvents() const;
  size_t LiveInterrupts() const;

 private:
  struct Core;
  // The machine the host interface reaches. Set by the constructor, cleared
  // by the destructor; one machine at a time.
  inline static std::atomic<Machine*> current_{nullptr};
  std::unique_ptr<Core> core_;
  // The core's port bus and kernel, set once by the constructor before any
  // other thread can reach the machine; read by any thread.
  PortBus* ports_ = nullptr;
  Kernel* kernel_ = nullptr;
  std::vector<std::unique_ptr<MachinePart>> parts_;
};

// A client process of the machine: threads of the harness that open devices
// by name and call device functions 2 to 5 and 14 with the driver's
// arguments, on the calling thread. A call made while the machine stops
// returns ClientProcess::kStopped.
class ClientProcess {
 public:
  static constexpr uint32_t kStopped = 0xDEAD0001;
  static constexpr uint32_t kNoDevice = 0xDEAD0002;

  explicit ClientProcess(Machine& machine);
  ~ClientProcess();

  // Device function 2; on success `*open` identifies the open for later calls.
  uint32_t Open(const std::string& device_name, uintptr_t* open);
  uint32_t Close(uintptr_t open);
  uint32_t Read(uintptr_t open, void* buffer, uint32_t size, uint32_t* length);
  uint32_t Write(uintptr_t open, const void* frame, uint32_t length, uint32_t* transferred);
  uint32_t Control(uintptr_t open, uint32_t code, uintptr_t argument, uint32_t size);
  // Any function code with raw arguments (for the dispatcher's own checks).
  uint32_t Call(uintptr_t open, uint32_t function, uintptr_t a1, uintptr_t a2, uintptr_t a3);
  // A device function of the named device with any instance argument, as a
  // misbehaving client could make it (another device's client, null, ...).
  uint32_t CallDevice(const std::string& device_name, uintptr_t instance, uint32_t function,
                      uintptr_t a1, uintptr_t a2, uintptr_t a3);

  // Runs `body` on the calling thread as a thread of this process (kernel
  // calls made by it act for the process). Returns kStopped when the machine
  // stops before or while it runs.
  uint32_t Run(const std::function<uint32_t()>& body);

  uint32_t handle() const;

  // Whether a thread of this process is blocked in a kernel wait
  // (KeWaitEvent), as the kernel's scheduler sees it. A client learns this
  // way that its read has gone to sleep in the driver (registered, waiting
  // for a frame) without looking at the driver's records.
  bool ThreadBlocked() const;

 private:
  Machine& machine_;
  uint32_t process_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
