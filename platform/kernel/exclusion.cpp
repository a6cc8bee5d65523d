// Each thread's context in a machine, and interrupt exclusion: one lock per
// machine, held by the dispatcher while it runs handlers and by a thread
// between KeDisableInterrupts and the matching KeEnableInterrupts.
#include "platform/kernel/kernel_internal.h"
#include "platform/pc/spin.h"

namespace sim {

namespace {

thread_local ThreadContext t_context;

}  // namespace

ThreadContext& CurrentThread() { return t_context; }

ScopedThreadContext::ScopedThreadContext(Kernel& kernel, ProcessObject* process, bool unwindable,
                                         bool dispatcher)
    : kernel_(kernel), saved_(t_context), running_(kernel, dispatcher ? t_context.running : true) {
  ThreadContext& t = t_context;
  if (t.irq_serial != kernel.serial_) {
    t.irq_serial = kernel.serial_;
    t.irq_depth = 0;
    t.irq_owned = false;
  }
  entry_depth_ = t.irq_depth;
  t.kernel = &kernel;
  t.process = process;
  t.unwindable = unwindable;
  t.dispatcher = dispatcher;
}

RunningScope::RunningScope(Kernel& kernel, bool running)
    : kernel_(kernel), saved_(t_context.running) {
  if (running == saved_) return;
  t_context.running = running;
  kernel_.running_.fetch_add(running ? 1 : -1, std::memory_order_acq_rel);
}

RunningScope::~RunningScope() {
  if (t_context.running == saved_) return;
  t_context.running = saved_;
  kernel_.running_.fetch_add(saved_ ? 1 : -1, std::memory_order_acq_rel);
}

ScopedThreadContext::~ScopedThreadContext() {
  ThreadContext& t = t_context;
  if (t.irq_serial == kernel_.serial_ && t.irq_depth > entry_depth_) {
    if (kernel_.stopping()) {
      // Unwound by Stop inside a KeDisableInterrupts: give the exclusion back
      // so that the thread leaves clean.
      if (entry_depth_ == 0) {
        if (t.irq_owned) kernel_.UnlockInterrupts();
        t.irq_owned = false;
      }
      t.irq_depth = entry_depth_;
    } else {
      // The driver returned from the call with interrupts still disabled. A
      // real kernel goes on with them off, and no handler runs until this
      // thread enables them again: so does this one, and says so, so that a
      // test can tell why interrupt service stopped.
      kernel_.NoteMisuse("a call into the driver returned with interrupts disabled");
    }
  }
  t.kernel = saved_.kernel;
  t.process = saved_.process;
  t.unwindable = saved_.unwindable;
  t.dispatcher = saved_.dispatcher;
}

// ------------------------------------------------------ interrupt exclusion

bool Kernel::TryLockInterrupts() {
  bool free = false;
  return irq_held_.compare_exchange_strong(free, true, std::memory_order_seq_cst);
}

bool Kernel::LockInterrupts() {
  if (stopping()) return false;
  // Nobody holds it: the usual case for the driver's own short sections.
  if (TryLockInterrupts()) return true;
  // Handlers and the driver's hand-overs are short: yield for a while
  // before sleeping, so that the release costs the holder no wake-up call.
  SpinBriefly([&] { return !irq_held_.load(std::memory_order_acquire) || stopping(); });
  std::unique_lock lock(irq_mutex_);
  // Registered before the flag is tried again: a holder that releases after
  // the try sees the registration and wakes this thread (both sides use
  // sequentially consistent operations on the two words).
  irq_sleepers_.fetch_add(1, std::memory_order_seq_cst);
  bool taken = false;
  while (!stopping() && !(taken = TryLockInterrupts())) irq_cv_.wait(lock);
  irq_sleepers_.fetch_sub(1, std::memory_order_relaxed);
  if (taken && stopping()) {
    lock.unlock();
    UnlockInterrupts();
    return false;
  }
  return taken;
}

void Kernel::UnlockInterrupts() {
  irq_held_.store(false, std::memory_order_seq_cst);
  if (irq_sleepers_.load(std::memory_order_seq_cst) == 0) return;
  // Taking the mutex orders this wake-up after the sleeper's wait began.
  { std::lock_guard lock(irq_mutex_); }
  irq_cv_.notify_one();
}

uint32_t Kernel::SuspendInterruptExclusion() {
  ThreadContext& t = t_context;
  // The interrupt thread keeps the lock: a handler that blocks holds up
  // interrupt service, as it would on a real machine.
  if ((t.kernel == this && t.dispatcher) || t.irq_serial != serial_ || t.irq_depth == 0) return 0;
  const uint32_t depth = t.irq_depth;
  t.irq_depth = 0;
  if (t.irq_owned) UnlockInterrupts();
  t.irq_owned = false;
  return depth;
}

void Kernel::ResumeInterruptExclusion(uint32_t depth) {
  if (depth == 0) return;
  ThreadContext& t = t_context;
  t.irq_depth = depth;
  t.irq_owned = LockInterrupts();
  if (!t.irq_owned) OnStopping();
}

void Kernel::DisableInterrupts() {
  if (!Live()) return;
  ThreadContext& t = t_context;
  if (t.kernel == this && t.dispatcher) return;
  if (t.irq_serial != serial_) {
    t.irq_serial = serial_;
    t.irq_depth = 0;
    t.irq_owned = false;
  }
  if (t.irq_depth++ == 0) {
    t.irq_owned = LockInterrupts();
    if (!t.irq_owned) OnStopping();
  }
}

void Kernel::EnableInterrupts() {
  ThreadContext& t = t_context;
  if (t.kernel == this && t.dispatcher) return;
  if (t.irq_serial != serial_ || t.irq_depth == 0) return;  // unbalanced: ignored
  if (--t.irq_depth == 0 && t.irq_owned) {
    t.irq_owned = false;
    UnlockInterrupts();
  }
}

}  // namespace sim
