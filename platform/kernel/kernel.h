// The simulated kernel: processes, the handle table and its rights, mutexes,
// events, interrupt lines and their dispatcher thread, devices, availability
// objects, the registry, the console and the counters the harness reads.
//
// The host interface (host/host.h) reaches it through Machine::Current().
// Everything here belongs to one machine; nothing is global except the
// per-thread context below, which is reset whenever a thread leaves a
// machine's process.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/host.h"
#include "platform/machine.h"
#include "platform/pc/host_thread.h"

namespace sim {

class Kernel;

enum class ObjectType : uint8_t { Process, Mutex, Event, Interrupt, Device, HaObject, Handler };

// A kernel object. Objects are never freed while the kernel lives: a
// deallocated object is only marked dead, so that a thread that looked a
// handle up just before another thread deallocated it never touches freed
// memory. Handles are never reused for the same reason.
struct Object {
  Object(ObjectType t, KHandle o) : type(t), owner(o) {}
  virtual ~Object() = default;
  // Called by Stop after the kernel is marked stopping: wakes every thread
  // blocked on the object so that it sees the flag.
  virtual void WakeForStop() {}

  const ObjectType type;
  KHandle handle = 0;   // set once, before the object is published
  const KHandle owner;  // the process that created it
  std::atomic<bool> dead{false};
  std::atomic<bool> everyone{false};  // KeGrantHandleRights(..., KeEveryProcess)
  std::vector<KHandle> granted;       // guarded by Kernel::rights_mutex_
};

struct ProcessObject : Object {
  ProcessObject(KHandle self_owner, std::string n)
      : Object(ObjectType::Process, self_owner), name(std::move(n)) {}
  const std::string name;
  // Availability handlers by event code (KeAllocateExceptionHandler), first
  // registration of a code wins. Guarded by Kernel::ha_mutex_.
  std::unordered_map<uint32_t, KeAvailabilityHandler> ha_handlers;
  // Threads of this process blocked in KeWaitEvent: counted from the moment
  // the thread is a waiter (before it gives up interrupt exclusion) until it
  // is released - by the set or pulse that releases it, not once it runs
  // again, so a released thread that has not yet been scheduled is never
  // taken for a sleeping one. What a client may learn about its own threads,
  // as a debugger would: a read that has gone to sleep in the driver.
  std::atomic<uint32_t> waiting{0};
};

// A blocking mutex owned by a thread. The std::mutex is only held for the
// few instructions that inspect or change `holder`; a thread waiting for the
// kernel mutex sleeps on the condition variable, so unwinding a thread out of
// a wait (Stop) never leaves a std::mutex locked.
struct MutexObject : Object {
  using Object::Object;
  void WakeForStop() override;
  std::mutex m;
  std::condition_variable cv;
  std::thread::id holder;  // guarded by m; default id = free
  uint32_t depth = 0;      // guarded by m; recursive acquisitions by the holder
  // holder != free, stored under m; read without the lock by a contender
  // spinning before it sleeps.
  std::atomic<bool> held{false};
};

// A manual-reset event. A set or a pulse releases exactly the threads
// waiting at that moment: it marks each one released and takes it off the
// list, and a released thread returns success whatever the event does next.
struct EventObject : Object {
  using Object::Object;
  void WakeForStop() override;
  // A thread in KeWaitEvent: on its own stack, listed from the moment it is
  // a waiter until it is released or gives up (Stop, a retired event).
  struct Waiter {
    ProcessObject* const process;
    bool released = false;  // guarded by m
  };
  std::mutex m;
  std::condition_variable cv;
  bool set = false;              // guarded by m
  std::vector<Waiter*> waiters;  // guarded by m
  // Moves (under m) whenever set becomes true or a pulse releases the
  // waiters: a waiter spinning before it sleeps watches it without the lock.
  std::atomic<uint64_t> changes{0};
};

struct InterruptObject : Object {
  InterruptObject(KHandle o, uint32_t l, KeInterruptHandler h, uintptr_t c)
      : Object(ObjectType::Interrupt, o), line(l), handler(h), context(c) {}
  const uint32_t line;
  const KeInterruptHandler handler;
  const uintptr_t context;
};

struct DeviceObject : Object {
  DeviceObject(KHandle o, std::string n, void* c, KeDeviceEntry e)
      : Object(ObjectType::Device, o), name(std::move(n)), context(c), entry(e) {}
  const std::string name;
  void* const context;
  const KeDeviceEntry entry;
};

struct HaObject : Object {
  HaObject(KHandle o, std::string n, void* c)
      : Object(ObjectType::HaObject, o), name(std::move(n)), context(c) {}
  const std::string name;
  void* const context;
};

struct HandlerObject : Object {
  HandlerObject(KHandle o, uint32_t c, KeAvailabilityHandler h)
      : Object(ObjectType::Handler, o), code(c), handler(h) {}
  const uint32_t code;
  const KeAvailabilityHandler handler;
};

// What a thread is to the kernel. Driver threads (main, interrupt
// dispatcher), client threads inside a ClientProcess call and the thread
// delivering an availability event carry a context; any other thread (the
// harness's own) acts for the driver process but is never unwound: after
// Stop its kernel calls fail instead of throwing.
struct ThreadContext {
  Kernel* kernel = nullptr;
  ProcessObject* process = nullptr;
  bool unwindable = false;  // Stop throws MachineStopped into this thread
  bool dispatcher = false;  // the interrupt thread: interrupt exclusion is a no-op
  // Interrupt exclusion held by this thread (KeDisableInterrupts nesting),
  // valid for the kernel with serial `irq_serial` only.
  uint64_t irq_serial = 0;
  uint32_t irq_depth = 0;
  bool irq_owned = false;  // false when a stopped kernel refused the lock
  // Counted in Kernel::running_ (this thread's own field: only it reads or
  // writes it).
  bool running = false;
};
ThreadContext& CurrentThread();

// Counts the calling thread in Kernel::ThreadsRunning for its lifetime
// (nested scopes count once), or takes it out (`running` false) while it
// sleeps in a kernel wait.
class RunningScope {
 public:
  RunningScope(Kernel& kernel, bool running);
  ~RunningScope();
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;

 private:
  Kernel& kernel_;
  const bool saved_;
};

// Makes the calling thread a thread of `process` for its lifetime (running,
// unless it is the dispatcher) and puts the previous context back afterwards.
// Interrupt exclusion the thread still holds at the end is given back only
// when Stop unwound it; a call that simply returned keeps it.
class ScopedThreadContext {
 public:
  ScopedThreadContext(Kernel& kernel, ProcessObject* process, bool unwindable, bool dispatcher);
  ~ScopedThreadContext();
  ScopedThreadContext(const ScopedThreadContext&) = delete;
  ScopedThreadContext& operator=(const ScopedThreadContext&) = delete;

 private:
  Kernel& kernel_;
  ThreadContext saved_;
  uint32_t entry_depth_ = 0;
  // Every thread but the dispatcher counts as running while it is a thread
  // of the machine; the dispatcher counts only while it runs handlers.
  RunningScope running_;
};

class Kernel {
 public:
  Kernel(const MachineOptions& options, IrqController& irq, Arena& arena);
  ~Kernel();  // Stop() first
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // ---- the driver process and its threads
  void Boot(uint32_t (*image)());
  bool WaitStarted(int timeout_ms);
  // Whether a thread is running driver code for this machine now: the
  // start-up thread, a client inside a device call or an availability
  // handler, the dispatcher while it runs handlers. A thread asleep in
  // KeWaitEvent does not count while it sleeps. Each such thread moves
  // machine time as it works (its waits poll the PC timer), so machine time
  // stands still only when none is running: a device model that acts after
  // host time when machine time stands still asks this first, or it would
  // act on the host's scheduling (a thread off the CPU) rather than on what
  // the machine does.
  bool ThreadsRunning() const { return running_.load(std::memory_order_acquire) > 0; }
  void Stop();
  bool stopping() const { return stopping_.load(std::memory_order_relaxed); }
  bool stopped() const { return stopped_.load(std::memory_order_acquire); }
  std::optional<uint32_t> EntryResult() const;
  bool SignalRaised(uint32_t signal) const;

  // The one cheap check every kernel call and port access makes: once the
  // machine stops, unwindable threads are thrown out of the driver.
  void CheckStop() {
    if (stopping_.load(std::memory_order_relaxed)) [[unlikely]]
      OnStopping();
  }
  // Throws MachineStopped on an unwindable thread; returns on others.
  void OnStopping();
  // The same check at the start of a kernel call: false (the call fails)
  // on a thread that is not unwound.
  bool Live() {
    if (stopping_.load(std::memory_order_relaxed)) [[unlikely]] {
      OnStopping();
      return false;
    }
    return true;
  }

  ProcessObject* driver_process() const { return driver_process_; }
  ProcessObject* CreateProcess(const std::string& name);
  ProcessObject* CallerProcess();

  // A device-function call or availability delivery in progress from outside
  // the driver's own threads: Stop waits for all of them. Enter fails (false)
  // once the machine is stopping.
  bool EnterCall();
  void LeaveCall();

  DeviceObject* FindDevice(const std::string& name);
  bool DeliverHaEvent(const std::string& name, uint32_t code, uint32_t value);

  // ---- kernel operations (host/host.h)
  uint32_t GetCurrentProcessHandle(KHandle* process);
  uint32_t AllocateMutex(KHandle* mutex);
  uint32_t DeallocateMutex(KHandle mutex);
  uint32_t AcquireMutex(KHandle mutex);
  uint32_t ReleaseMutex(KHandle mutex);
  uint32_t AllocateEvent(KHandle* event);
  uint32_t DeallocateEvent(KHandle event);
  uint32_t SetEvent(KHandle event);
  uint32_t ClearEvent(KHandle event);
  uint32_t WaitEvent(KHandle event);
  uint32_t PulseEvent(KHandle event);
  uint32_t GrantHandleRights(KHandle handle, uint32_t rights, KHandle process);
  uint32_t AppendList(KeList* list, void* element);
  uint32_t RemoveList(KeList* list, void* element);
  uint32_t EnumRegSection(const char* section, uint32_t index, char* key, uint32_t key_size,
                          char* value, uint32_t value_size);
  uint32_t AllocateInterrupt(uint32_t line, KeInterruptHandler handler, uintptr_t context,
                             KHandle* interrupt);
  uint32_t DeallocateInterrupt(KHandle interrupt);
  uint32_t EndOfInterrupt(KHandle interrupt);
  uint32_t GetIntInformation(KHandle interrupt, uint32_t what, uint32_t* value);
  uint32_t QueryInterruptHistory(uint32_t query);
  uint32_t SignalInterrupt(uint32_t signal);
  uint32_t PassTimeSlice();
  uint32_t CreateDevice(const char* name, void* context, KeDeviceEntry entry, uint32_t flags,
                        KHandle* device);
  uint32_t AllocateHaObject(const char* name, void* context, KHandle* object);
  uint32_t AllocateExceptionHandler(uint32_t code, uint32_t zero, KeAvailabilityHandler handler,
                                    KHandle* handle);
  uint32_t NotifyHaEvent(KHandle object, uint32_t code);
  void DebugAssertBit(uint32_t bit);
  void DebugDeassertBit(uint32_t bit);
  void DisableInterrupts();
  void EnableInterrupts();

  // ---- runtime library pieces that need the machine
  void Print(const char* text, size_t length);
  void* Allocate(uint32_t size);
  void Free(void* block);

  // ---- harness
  void SetLinePolled(unsigned line, bool polled);
  bool PollNow();
  std::string Console() const;
  void ClearConsole();
  uint64_t EndOfInterruptCount() const { return eoi_count_.load(std::memory_order_relaxed); }
  // End-of-interrupt calls for the handlers of one line (0 for a line out
  // of range).
  uint64_t EndOfInterruptCount(unsigned line) const {
    return line < IrqController::kLines ? eoi_by_line_[line].load(std::memory_order_relaxed) : 0;
  }
  uint32_t DebugBits() const { return debug_bits_.load(std::memory_order_relaxed); }
  uint64_t DebugAssertCount() const { return debug_asserts_.load(std::memory_order_relaxed); }
  uint64_t RightsViolations() const { return rights_violations_.load(std::memory_order_relaxed); }
  std::vector<std::string> Misuses() const;
  void NoteMisuse(std::string what);
  uint64_t InterruptRuns() const { return interrupt_runs_.load(std::memory_order_relaxed); }
  uint64_t InterruptStorms() const { return interrupt_storms_.load(std::memory_order_relaxed); }
  size_t LiveObjects(ObjectType type) const;
  std::vector<std::pair<uint32_t, uint32_t>> HaNotifications() const;
  // The name an availability object was allocated with; empty when the
  // handle names no such object.
  std::string HaObjectName(uint32_t handle) const;
  std::set<uint32_t> Signals() const;
  std::vector<std::string> DeviceNames() const;

 private:
  friend class ScopedThreadContext;
  friend class RunningScope;
  std::atomic<int> running_{0};  // see ThreadsRunning; changed only by RunningScope

  // -- handle table: append-only chunks of atomic slots, looked up without a
  // lock. Allocation and destruction take table_mutex_.
  static constexpr KHandle kHandleBase = 0x100;
  static constexpr size_t kChunkBits = 12;
  static constexpr size_t kChunkSize = size_t{1} << kChunkBits;
  static constexpr size_t kChunks = 1024;
  struct Chunk {
    std::atomic<Object*> slots[kChunkSize] = {};
  };
  // Fails (0) when the table, or the kind's limit (MachineOptions::kernel_limits), is full.
  KHandle Publish(std::unique_ptr<Object> object);
  size_t LiveObjectsLocked(ObjectType type) const;  // caller holds table_mutex_
  Object* Find(KHandle handle) const;
  // Looks a handle up for the calling process: null (and counted when it is
  // a rights refusal) when the handle is unknown, dead, of another type or
  // not usable by the caller.
  template <class T>
  T* Use(KHandle handle, ObjectType type);
  bool MayUse(Object& object, KHandle process);
  void ForEachObject(const std::function<void(Object&)>& visit) const;

  // -- interrupt exclusion: one lock per machine, held by the dispatcher
  // while it runs any handler and by a thread between KeDisableInterrupts and
  // the matching KeEnableInterrupts.
  bool TryLockInterrupts();  // takes the lock only if it is free
  bool LockInterrupts();     // false when the kernel stopped while waiting
  void UnlockInterrupts();
  // Lets a blocking wait give interrupt exclusion up while it sleeps and
  // take it back (same nesting depth) before it returns.
  uint32_t SuspendInterruptExclusion();
  void ResumeInterruptExclusion(uint32_t depth);

  // -- dispatcher
  void DispatcherMain();
  void RunHandlers(const std::vector<InterruptObject*>& handlers);
  void RunPolledRound();
  void RefreshLines();

  // -- main thread
  void DriverMain(uint32_t (*image)());
  void WakeAll();
  // Interrupt exclusion around the kernel's own list updates.
  class ExclusionScope;

  const MachineOptions& options_;
  IrqController& irq_;
  Arena& arena_;
  const uint64_t serial_;  // distinguishes this kernel from earlier ones in per-thread state

  mutable std::mutex table_mutex_;
  std::vector<std::unique_ptr<Object>> objects_;  // guarded by table_mutex_; owns every object
  std::atomic<Chunk*> chunks_[kChunks] = {};      // written under table_mutex_, read lock-free
  std::mutex rights_mutex_;                       // guards Object::granted of every object

  ProcessObject* driver_process_ = nullptr;  // set in the constructor, then read-only

  // Interrupt lock. The exclusion is the flag `irq_held_`, taken by
  // compare-and-swap: a free lock costs one atomic operation each way, as
  // the driver's many short sections (every timer read) need. A thread that
  // finds it held yields briefly, then counts itself in `irq_sleepers_` and
  // sleeps on irq_cv_ under irq_mutex_; a releaser wakes one only when some
  // are counted.
  std::mutex irq_mutex_;
  std::condition_variable irq_cv_;
  std::atomic<bool> irq_held_{false};
  std::atomic<uint32_t> irq_sleepers_{0};

  // Interrupt lines. lines_mutex_ guards the handler lists; the dispatcher
  // keeps a copy and refreshes it when lines_version_ moves.
  mutable std::mutex lines_mutex_;
  std::vector<std::vector<InterruptObject*>> line_handlers_;  // guarded by lines_mutex_; by line
  std::atomic<uint64_t> lines_version_{0};
  std::atomic<bool> polled_[IrqController::kLines] = {};

  // Dispatcher-private copy (only the dispatcher thread touches these).
  uint64_t seen_lines_version_ = ~uint64_t{0};
  std::vector<std::pair<unsigned, std::vector<InterruptObject*>>> live_lines_;
  std::vector<InterruptObject*> polled_handlers_;
  // Back-off of a line that stays asserted with nothing new behind it.
  struct LineState {
    uint32_t consecutive = 0;  // handler rounds in a row that saw no new rise
    std::chrono::steady_clock::time_point resume_at{};  // next look while backed off
    std::chrono::microseconds pause{0};                 // the pause before resume_at
    uint64_t rises = 0;  // the line's rise count when the back-off began
    bool BackedOff() const;
  };
  std::vector<LineState> line_state_ = std::vector<LineState>(IrqController::kLines);

  // Poll requests (PollNow) and the dispatcher's wake-up for them.
  std::mutex poll_mutex_;
  std::condition_variable poll_cv_;
  uint64_t poll_requested_ = 0;  // guarded by poll_mutex_
  uint64_t poll_done_ = 0;       // guarded by poll_mutex_

  // Driver process state.
  mutable std::mutex state_mutex_;
  std::condition_variable state_cv_;
  bool booted_ = false;                   // guarded by state_mutex_
  bool entry_returned_ = false;           // guarded by state_mutex_
  std::optional<uint32_t> entry_result_;  // guarded by state_mutex_
  std::set<uint32_t> signals_;            // guarded by state_mutex_
  uint64_t active_calls_ = 0;             // guarded by state_mutex_: client calls in the driver
  HostThread main_thread_;                // started by Boot, joined by Stop (Boot/Stop callers)
  HostThread dispatcher_thread_;          // likewise
  std::mutex stop_mutex_;                 // serialises Stop
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stopped_{false};

  // Devices and availability objects by name, in creation order.
  mutable std::mutex names_mutex_;
  std::vector<DeviceObject*> devices_;  // guarded by names_mutex_
  std::vector<HaObject*> ha_objects_;   // guarded by names_mutex_
  std::mutex ha_mutex_;                 // guards ProcessObject::ha_handlers
  mutable std::mutex notify_mutex_;
  std::vector<std::pair<uint32_t, uint32_t>> notifications_;  // guarded by notify_mutex_

  mutable std::mutex console_mutex_;
  std::string console_;  // guarded by console_mutex_

  std::atomic<uint32_t> boot_queries_{0};
  std::atomic<uint64_t> eoi_count_{0};
  std::atomic<uint64_t> eoi_by_line_[IrqController::kLines] = {};
  std::atomic<uint32_t> debug_bits_{0};
  std::atomic<uint64_t> debug_asserts_{0};
  std::atomic<uint64_t> rights_violations_{0};
  // See Machine::Misuses.
  mutable std::mutex misuse_mutex_;
  std::vector<std::string> misuses_;  // guarded by misuse_mutex_
  std::atomic<uint64_t> interrupt_runs_{0};
  std::atomic<uint64_t> interrupt_storms_{0};
};

}  // namespace sim
