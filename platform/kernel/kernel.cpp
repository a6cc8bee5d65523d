#include "platform/kernel/kernel.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/pc/spin.h"

namespace sim {

namespace {

constexpr uint32_t kFail = 1;

// A line that is still asserted after this many handler rounds in a row,
// none of which saw a source rise on it, is taken for a source nobody
// acknowledges (a suspended adapter's controller keeps its pin high): the
// line is then masked and looked at again after a pause, which doubles at
// every look that changes nothing, up to the longest pause, so that an idle
// machine with such a line uses next to no CPU. A new rise on the line (the
// source went low and high again, as after a resume's reset and the next
// frame) ends the back-off at once; so does the line going low.
constexpr uint32_t kStormRuns = 256;
constexpr auto kStormPause = std::chrono::microseconds(500);
constexpr auto kStormPauseMax = std::chrono::milliseconds(64);
// Polled lines have their handlers called this often (wall time).
constexpr auto kPollPeriod = std::chrono::milliseconds(1);
// How long the dispatcher sleeps when it has nothing to watch but Stop.
constexpr auto kIdleWait = std::chrono::milliseconds(100);
// How long the dispatcher stays awake (yielding) after it last ran a handler,
// before it sleeps. A sleeping host thread can take milliseconds to wake on a
// virtual machine, while a controller's receive ring fills in a quarter of a
// millisecond at line rate: an interrupt that must wait for that wake-up
// loses frames that a real CPU, which never sleeps through its interrupt
// pin, would have taken. Under steady traffic the dispatcher thus never
// sleeps; a machine that goes quiet is asleep again a millisecond later.
constexpr auto kStayAwake = std::chrono::milliseconds(1);
// Bound of every walk over a list the driver hands the kernel.
constexpr uint32_t kMaxListWalk = 1000000;

std::atomic<uint64_t> g_kernel_serial{0};

thread_local ThreadContext t_context;

}  // namespace

ThreadContext& CurrentThread() { return t_context; }

void MutexObject::WakeForStop() {
  { std::lock_guard lock(m); }
  cv.notify_all();
}

void EventObject::WakeForStop() {
  { std::lock_guard lock(m); }
  cv.notify_all();
}

// ------------------------------------------------------------ thread context

ScopedThreadContext::ScopedThreadContext(Kernel& kernel, ProcessObject* process, bool unwindable,
                                         bool dispatcher)
    : kernel_(kernel), saved_(t_context) {
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

ScopedThreadContext::~ScopedThreadContext() {
  ThreadContext& t = t_context;
  // A thread unwound by Stop may still hold interrupt exclusion it took
  // inside the call: give it back so that the thread leaves clean.
  if (t.irq_serial == kernel_.serial_ && t.irq_depth > entry_depth_) {
    if (entry_depth_ == 0) {
      if (t.irq_owned) kernel_.UnlockInterrupts();
      t.irq_owned = false;
    }
    t.irq_depth = entry_depth_;
  }
  t.kernel = saved_.kernel;
  t.process = saved_.process;
  t.unwindable = saved_.unwindable;
  t.dispatcher = saved_.dispatcher;
}

// ------------------------------------------------------------------- kernel

Kernel::Kernel(const MachineOptions& options, IrqController& irq, Arena& arena)
    : options_(options), irq_(irq), arena_(arena), serial_(++g_kernel_serial) {
  line_handlers_.resize(IrqController::kLines);
  driver_process_ = CreateProcess("driver");
  if (driver_process_ == nullptr) throw std::runtime_error("sim::Kernel: no driver process");
}

Kernel::~Kernel() {
  Stop();
  std::lock_guard lock(table_mutex_);
  for (auto& chunk : chunks_) delete chunk.load(std::memory_order_relaxed);
}

// ------------------------------------------------------------- handle table

KHandle Kernel::Publish(std::unique_ptr<Object> object) {
  std::lock_guard lock(table_mutex_);
  const size_t index = objects_.size();
  if (index >= kChunks * kChunkSize) return 0;
  std::atomic<Chunk*>& chunk_slot = chunks_[index >> kChunkBits];
  Chunk* chunk = chunk_slot.load(std::memory_order_relaxed);
  if (chunk == nullptr) {
    chunk = new Chunk;
    chunk_slot.store(chunk, std::memory_order_release);
  }
  Object* raw = object.get();
  raw->handle = static_cast<KHandle>(kHandleBase + index);
  objects_.push_back(std::move(object));
  chunk->slots[index & (kChunkSize - 1)].store(raw, std::memory_order_release);
  return raw->handle;
}

Object* Kernel::Find(KHandle handle) const {
  if (handle < kHandleBase) return nullptr;
  const size_t index = handle - kHandleBase;
  if ((index >> kChunkBits) >= kChunks) return nullptr;
  Chunk* chunk = chunks_[index >> kChunkBits].load(std::memory_order_acquire);
  if (chunk == nullptr) return nullptr;
  return chunk->slots[index & (kChunkSize - 1)].load(std::memory_order_acquire);
}

bool Kernel::MayUse(Object& object, KHandle process) {
  if (object.owner == process || object.everyone.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(rights_mutex_);
  return std::find(object.granted.begin(), object.granted.end(), process) != object.granted.end();
}

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

void Kernel::ForEachObject(const std::function<void(Object&)>& visit) const {
  std::lock_guard lock(table_mutex_);
  for (auto& object : objects_) visit(*object);
}

size_t Kernel::LiveObjects(ObjectType type) const {
  std::lock_guard lock(table_mutex_);
  return static_cast<size_t>(std::count_if(objects_.begin(), objects_.end(), [&](auto& object) {
    return object->type == type && !object->dead.load(std::memory_order_relaxed);
  }));
}

// ---------------------------------------------------------------- processes

ProcessObject* Kernel::CreateProcess(const std::string& name) {
  auto process = std::make_unique<ProcessObject>(0, name);
  ProcessObject* raw = process.get();
  return Publish(std::move(process)) != 0 ? raw : nullptr;
}

ProcessObject* Kernel::CallerProcess() {
  const ThreadContext& t = t_context;
  // A thread outside every process (the harness's own) acts for the driver.
  return t.kernel == this && t.process != nullptr ? t.process : driver_process_;
}

void Kernel::OnStopping() {
  const ThreadContext& t = t_context;
  if (t.kernel == this && t.unwindable) throw MachineStopped{};
}

bool Kernel::EnterCall() {
  std::lock_guard lock(state_mutex_);
  if (stopping()) return false;
  ++active_calls_;
  return true;
}

void Kernel::LeaveCall() {
  std::lock_guard lock(state_mutex_);
  if (--active_calls_ == 0) state_cv_.notify_all();
}

// ------------------------------------------------------- boot, start, stop

void Kernel::Boot(uint32_t (*image)()) {
  std::lock_guard stop_lock(stop_mutex_);
  {
    std::lock_guard lock(state_mutex_);
    if (booted_) throw std::logic_error("sim::Machine: booted twice");
    if (stopping()) throw std::logic_error("sim::Machine: booted after Stop");
    booted_ = true;
  }
  // The interrupt thread first: discovery allocates interrupts and expects
  // them serviced at once.
  dispatcher_thread_ = std::thread(&Kernel::DispatcherMain, this);
  main_thread_ = std::thread(&Kernel::DriverMain, this, image);
}

void Kernel::DriverMain(uint32_t (*image)()) {
  std::optional<uint32_t> result;
  {
    ScopedThreadContext context(*this, driver_process_, /*unwindable=*/true, /*dispatcher=*/false);
    try {
      result = image();
    } catch (const MachineStopped&) {
      // The process ended under the driver; no result.
    }
  }
  std::lock_guard lock(state_mutex_);
  entry_returned_ = true;
  entry_result_ = result;
  state_cv_.notify_all();
}

bool Kernel::WaitStarted(int timeout_ms) {
  std::unique_lock lock(state_mutex_);
  auto started = [&] { return entry_returned_ || signals_.count(10000) != 0; };
  state_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                     [&] { return started() || stopping(); });
  return started();
}

std::optional<uint32_t> Kernel::EntryResult() const {
  std::lock_guard lock(state_mutex_);
  return entry_result_;
}

bool Kernel::SignalRaised(uint32_t signal) const {
  std::lock_guard lock(state_mutex_);
  return signals_.count(signal) != 0;
}

void Kernel::WakeAll() {
  // Every wait re-checks the stopping flag under the lock it sleeps on, and
  // the flag is set before these locks are taken, so no waiter can miss it.
  ForEachObject([](Object& object) { object.WakeForStop(); });
  { std::lock_guard lock(irq_mutex_); }
  irq_cv_.notify_all();
  { std::lock_guard lock(poll_mutex_); }
  poll_cv_.notify_all();
  { std::lock_guard lock(state_mutex_); }
  state_cv_.notify_all();
  irq_.Kick();
}

void Kernel::Stop() {
  std::lock_guard stop_lock(stop_mutex_);
  if (stopped_.load(std::memory_order_acquire)) return;
  stopping_.store(true, std::memory_order_seq_cst);
  WakeAll();
  if (main_thread_.joinable()) main_thread_.join();
  if (dispatcher_thread_.joinable()) dispatcher_thread_.join();
  {
    std::unique_lock lock(state_mutex_);
    state_cv_.wait(lock, [&] { return active_calls_ == 0; });
  }
  stopped_.store(true, std::memory_order_release);
}

// ------------------------------------------------------ interrupt exclusion

bool Kernel::LockInterrupts() {
  std::unique_lock lock(irq_mutex_);
  if (irq_held_ && !stopping()) {
    // Handlers and the driver's hand-overs are short: yield for a while
    // before sleeping, so that the release costs the holder no wake-up call.
    lock.unlock();
    SpinBriefly([&] { return !irq_busy_.load(std::memory_order_acquire) || stopping(); });
    lock.lock();
  }
  irq_cv_.wait(lock, [&] { return !irq_held_ || stopping(); });
  if (stopping()) return false;
  irq_held_ = true;
  irq_busy_.store(true, std::memory_order_relaxed);
  return true;
}

void Kernel::UnlockInterrupts() {
  {
    std::lock_guard lock(irq_mutex_);
    irq_held_ = false;
    irq_busy_.store(false, std::memory_order_release);
  }
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

// --------------------------------------------------------------- dispatcher

void Kernel::RefreshLines() {
  const uint64_t version = lines_version_.load(std::memory_order_acquire);
  if (version == seen_lines_version_) return;
  std::lock_guard lock(lines_mutex_);
  seen_lines_version_ = lines_version_.load(std::memory_order_relaxed);
  live_lines_.clear();
  polled_handlers_.clear();
  for (unsigned line = 0; line < IrqController::kLines; ++line) {
    const auto& handlers = line_handlers_[line];
    if (handlers.empty()) continue;
    if (polled_[line].load(std::memory_order_relaxed)) {
      polled_handlers_.insert(polled_handlers_.end(), handlers.begin(), handlers.end());
    } else {
      live_lines_.emplace_back(line, handlers);
      line_state_[line] = LineState{};
    }
  }
}

void Kernel::RunHandlers(const std::vector<InterruptObject*>& handlers) {
  if (!LockInterrupts()) throw MachineStopped{};
  struct Release {
    Kernel& kernel;
    ~Release() { kernel.UnlockInterrupts(); }
  } release{*this};
  for (InterruptObject* interrupt : handlers) {
    // Checked under the interrupt lock: once KeDeallocateInterrupt has
    // returned, the handler is not called again.
    if (!interrupt->dead.load(std::memory_order_acquire)) interrupt->handler(interrupt->context);
  }
}

void Kernel::RunPolledRound() {
  if (!polled_handlers_.empty()) RunHandlers(polled_handlers_);
}

bool Kernel::LineState::BackedOff() const { return consecutive >= kStormRuns; }

void Kernel::DispatcherMain() {
  using Clock = std::chrono::steady_clock;
  ScopedThreadContext context(*this, driver_process_, /*unwindable=*/true, /*dispatcher=*/true);
  uint64_t generation = 0;
  auto next_poll = Clock::now() + kPollPeriod;
  Clock::time_point last_service{};
  try {
    while (!stopping()) {
      RefreshLines();
      const IrqController::LineSet asserted = irq_.AssertedLines();
      IrqController::LineSet watched;  // lines whose rising should wake us
      auto now = Clock::now();
      bool ran = false;
      std::optional<Clock::time_point> wake_at;
      for (auto& [line, handlers] : live_lines_) {
        LineState& state = line_state_[line];
        if (!asserted[line]) {
          state = LineState{};
          watched.set(line);
          continue;
        }
        if (state.BackedOff()) {
          if (irq_.Rises(line) != state.rises) {
            state = LineState{};
          } else if (now < state.resume_at) {
            wake_at = wake_at ? std::min(*wake_at, state.resume_at) : state.resume_at;
            continue;
          }
        }
        // A round during which a source rose again on the line (new work
        // arrived after the handler acknowledged the old) is progress, not a
        // storm: only a line that stays high with nothing new behind it, such
        // as an unacknowledged source, counts towards the back-off.
        const uint64_t before = irq_.Rises(line);
        RunHandlers(handlers);
        interrupt_runs_.fetch_add(1, std::memory_order_relaxed);
        const uint64_t after = irq_.Rises(line);
        if (after != before) {
          state = LineState{};
        } else if (++state.consecutive >= kStormRuns) {
          if (state.consecutive == kStormRuns) {
            interrupt_storms_.fetch_add(1, std::memory_order_relaxed);
            state.pause = kStormPause;
          } else {
            state.pause = std::min<std::chrono::microseconds>(state.pause * 2, kStormPauseMax);
          }
          state.rises = after;
          state.resume_at = Clock::now() + state.pause;
        }
        // A look at a backed-off line is no reason to stay awake, and the
        // line is not watched (it is high) until its next look.
        if (state.BackedOff()) {
          wake_at = wake_at ? std::min(*wake_at, state.resume_at) : state.resume_at;
        } else {
          ran = true;
          watched.set(line);
        }
      }

      uint64_t requested;
      {
        std::lock_guard lock(poll_mutex_);
        requested = poll_requested_;
      }
      // poll_done_ is written by this thread only, so reading it here needs
      // no lock.
      const bool poll_pending = requested != poll_done_;
      if (poll_pending || (!polled_handlers_.empty() && Clock::now() >= next_poll)) {
        RunPolledRound();
        next_poll = Clock::now() + kPollPeriod;
        {
          std::lock_guard lock(poll_mutex_);
          poll_done_ = requested;
        }
        poll_cv_.notify_all();
      }
      // Service again at once while a line stays asserted.
      if (ran) {
        last_service = now;
        continue;
      }

      now = Clock::now();
      auto until = now + kIdleWait;
      if (!polled_handlers_.empty()) until = std::min(until, next_poll);
      if (wake_at) until = std::min(until, *wake_at);
      const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(until - now);
      if (timeout.count() <= 0) continue;
      // Lines in back-off and lines without a handler are not watched, so a
      // line held high by a source nobody acknowledges does not spin us.
      const auto awake =
          std::chrono::duration_cast<std::chrono::microseconds>(last_service + kStayAwake - now);
      generation = irq_.WaitForChange(generation, static_cast<int>(timeout.count()), watched,
                                      std::max(awake, kSpinBeforeSleep));
    }
  } catch (const MachineStopped&) {
    // The process is ending.
  }
}

bool Kernel::PollNow() {
  {
    std::lock_guard lock(state_mutex_);
    if (!booted_ || stopping()) return false;
  }
  uint64_t ticket;
  {
    std::lock_guard lock(poll_mutex_);
    ticket = ++poll_requested_;
  }
  poll_cv_.notify_all();
  irq_.Kick();
  std::unique_lock lock(poll_mutex_);
  poll_cv_.wait(lock, [&] { return poll_done_ >= ticket || stopping(); });
  return poll_done_ >= ticket;
}

void Kernel::SetLinePolled(unsigned line, bool polled) {
  if (line >= IrqController::kLines) return;
  {
    std::lock_guard lock(lines_mutex_);
    polled_[line].store(polled, std::memory_order_relaxed);
    lines_version_.fetch_add(1, std::memory_order_release);
  }
  irq_.Kick();
}

// ------------------------------------------------------- kernel operations

uint32_t Kernel::GetCurrentProcessHandle(KHandle* process) {
  if (!Live()) return kFail;
  if (process == nullptr) return kFail;
  *process = CallerProcess()->handle;
  return 0;
}

uint32_t Kernel::AllocateMutex(KHandle* mutex) {
  if (!Live()) return kFail;
  if (mutex == nullptr) return kFail;
  KHandle handle =
      Publish(std::make_unique<MutexObject>(ObjectType::Mutex, CallerProcess()->handle));
  *mutex = handle;
  return handle != 0 ? 0 : kFail;
}

uint32_t Kernel::DeallocateMutex(KHandle handle) {
  if (!Live()) return kFail;
  auto* mutex = Use<MutexObject>(handle, ObjectType::Mutex);
  if (mutex == nullptr) return kFail;
  {
    std::lock_guard lock(mutex->m);
    if (mutex->dead.exchange(true)) return kFail;
  }
  mutex->cv.notify_all();  // waiters fail rather than wait forever
  return 0;
}

uint32_t Kernel::AcquireMutex(KHandle handle) {
  if (!Live()) return kFail;
  auto* mutex = Use<MutexObject>(handle, ObjectType::Mutex);
  if (mutex == nullptr) return kFail;
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex->m);
  // A kernel mutex is recursive for its holder rather than deadlocking it.
  if (mutex->holder == self) {
    ++mutex->depth;
    return 0;
  }
  if (mutex->holder == std::thread::id{}) {
    mutex->holder = self;
    mutex->depth = 1;
    mutex->held.store(true, std::memory_order_relaxed);
    return 0;
  }
  // Blocking: interrupt exclusion is given up while the thread sleeps, as a
  // uniprocessor kernel switches to a thread that runs with interrupts on.
  const uint32_t irq_depth = SuspendInterruptExclusion();
  // The driver holds its mutex for a frame's worth of work: yield for a
  // while before sleeping, so that the release costs the holder no wake-up.
  lock.unlock();
  SpinBriefly([&] {
    return !mutex->held.load(std::memory_order_acquire) || stopping() ||
           mutex->dead.load(std::memory_order_relaxed);
  });
  lock.lock();
  mutex->cv.wait(lock, [&] {
    return mutex->holder == std::thread::id{} || stopping() ||
           mutex->dead.load(std::memory_order_relaxed);
  });
  const bool acquired = mutex->holder == std::thread::id{} && !stopping() &&
                        !mutex->dead.load(std::memory_order_relaxed);
  if (acquired) {
    mutex->holder = self;
    mutex->depth = 1;
    mutex->held.store(true, std::memory_order_relaxed);
  }
  lock.unlock();
  ResumeInterruptExclusion(irq_depth);
  if (!acquired) {
    CheckStop();
    return kFail;
  }
  return 0;
}

uint32_t Kernel::ReleaseMutex(KHandle handle) {
  if (!Live()) return kFail;
  auto* mutex = Use<MutexObject>(handle, ObjectType::Mutex);
  if (mutex == nullptr) return kFail;
  {
    std::lock_guard lock(mutex->m);
    if (mutex->holder != std::this_thread::get_id()) return kFail;
    if (--mutex->depth != 0) return 0;
    mutex->holder = std::thread::id{};
    mutex->held.store(false, std::memory_order_release);
  }
  mutex->cv.notify_one();
  return 0;
}

uint32_t Kernel::AllocateEvent(KHandle* event) {
  if (!Live()) return kFail;
  if (event == nullptr) return kFail;
  KHandle handle =
      Publish(std::make_unique<EventObject>(ObjectType::Event, CallerProcess()->handle));
  *event = handle;
  return handle != 0 ? 0 : kFail;
}

uint32_t Kernel::DeallocateEvent(KHandle handle) {
  if (!Live()) return kFail;
  auto* event = Use<EventObject>(handle, ObjectType::Event);
  if (event == nullptr) return kFail;
  {
    std::lock_guard lock(event->m);
    if (event->dead.exchange(true)) return kFail;
  }
  event->cv.notify_all();
  return 0;
}

uint32_t Kernel::SetEvent(KHandle handle) {
  if (!Live()) return kFail;
  auto* event = Use<EventObject>(handle, ObjectType::Event);
  if (event == nullptr) return kFail;
  {
    std::lock_guard lock(event->m);
    event->set = true;
    event->changes.fetch_add(1, std::memory_order_release);
  }
  event->cv.notify_all();
  return 0;
}

uint32_t Kernel::ClearEvent(KHandle handle) {
  if (!Live()) return kFail;
  auto* event = Use<EventObject>(handle, ObjectType::Event);
  if (event == nullptr) return kFail;
  std::lock_guard lock(event->m);
  event->set = false;
  return 0;
}

uint32_t Kernel::PulseEvent(KHandle handle) {
  if (!Live()) return kFail;
  auto* event = Use<EventObject>(handle, ObjectType::Event);
  if (event == nullptr) return kFail;
  {
    std::lock_guard lock(event->m);
    ++event->generation;
    event->set = false;
    event->changes.fetch_add(1, std::memory_order_release);
  }
  event->cv.notify_all();
  return 0;
}

uint32_t Kernel::WaitEvent(KHandle handle) {
  if (!Live()) return kFail;
  auto* event = Use<EventObject>(handle, ObjectType::Event);
  if (event == nullptr) return kFail;
  std::unique_lock lock(event->m);
  if (event->set) return 0;
  // The thread is a waiter from here on (it holds the event's lock and has
  // taken the generation); only now is interrupt exclusion given up, so a
  // pulse from a handler cannot fall between the caller's check and the wait.
  const uint64_t generation = event->generation;
  const uint64_t changes = event->changes.load(std::memory_order_relaxed);
  ProcessObject* const waiter = CallerProcess();
  waiter->waiting.fetch_add(1, std::memory_order_acq_rel);
  const uint32_t irq_depth = SuspendInterruptExclusion();
  // A reader waiting for the next frame of a busy stream is usually released
  // within microseconds: yield for a while first, so that the pulse finds no
  // sleeper and costs neither side a system call. The generation taken above
  // keeps a pulse during the spin from being missed.
  lock.unlock();
  SpinBriefly([&] {
    return event->changes.load(std::memory_order_acquire) != changes || stopping() ||
           event->dead.load(std::memory_order_relaxed);
  });
  lock.lock();
  event->cv.wait(lock, [&] {
    return event->set || event->generation != generation || stopping() ||
           event->dead.load(std::memory_order_relaxed);
  });
  const bool released = event->set || event->generation != generation;
  lock.unlock();
  waiter->waiting.fetch_sub(1, std::memory_order_acq_rel);
  ResumeInterruptExclusion(irq_depth);
  if (!released) {
    CheckStop();
    return kFail;
  }
  return 0;
}

uint32_t Kernel::GrantHandleRights(KHandle handle, uint32_t rights, KHandle process) {
  if (!Live()) return kFail;
  Object* object = Find(handle);
  if (object == nullptr || object->dead.load(std::memory_order_acquire)) return kFail;
  // Only the creator hands its objects on.
  if (object->owner != CallerProcess()->handle) {
    rights_violations_.fetch_add(1, std::memory_order_relaxed);
    return kFail;
  }
  // Each kind of object has its one right; a mismatch is a caller's mistake
  // and refused rather than guessed at.
  uint32_t expected = 0;
  switch (object->type) {
    case ObjectType::Mutex:
      expected = KeRightsMutex;
      break;
    case ObjectType::Event:
      expected = KeRightsEvent;
      break;
    case ObjectType::HaObject:
      expected = KeRightsHaObject;
      break;
    default:
      return kFail;
  }
  if (rights != expected) return kFail;
  if (process == KeEveryProcess) {
    object->everyone.store(true, std::memory_order_release);
    return 0;
  }
  Object* target = Find(process);
  if (target == nullptr || target->type != ObjectType::Process) return kFail;
  std::lock_guard lock(rights_mutex_);
  if (std::find(object->granted.begin(), object->granted.end(), process) == object->granted.end()) {
    object->granted.push_back(process);
  }
  return 0;
}

uint32_t Kernel::AppendList(KeList* list, void* element) {
  if (!Live()) return kFail;
  if (list == nullptr || element == nullptr ||
      reinterpret_cast<uintptr_t>(element) % alignof(void*) != 0) {
    return kFail;
  }
  ExclusionScope exclusion(*this);
  void** link = &list->First;
  for (uint32_t steps = 0; *link != nullptr; ++steps) {
    // Appending an element that is already linked would close a loop.
    if (*link == element || steps >= kMaxListWalk) return kFail;
    link = static_cast<void**>(*link);
  }
  *static_cast<void**>(element) = nullptr;
  *link = element;
  return 0;
}

uint32_t Kernel::RemoveList(KeList* list, void* element) {
  if (!Live()) return kFail;
  if (list == nullptr || element == nullptr) return kFail;
  ExclusionScope exclusion(*this);
  void** link = &list->First;
  for (uint32_t steps = 0; *link != nullptr && steps < kMaxListWalk; ++steps) {
    if (*link == element) {
      // The removed element keeps its link, so that a walker standing on it
      // still finds the rest of the list.
      *link = *static_cast<void**>(element);
      return 0;
    }
    link = static_cast<void**>(*link);
  }
  return kFail;
}

uint32_t Kernel::EnumRegSection(const char* section, uint32_t index, char* key, uint32_t key_size,
                                char* value, uint32_t value_size) {
  if (!Live()) return kFail;
  if (section == nullptr || key == nullptr || value == nullptr || key_size == 0 ||
      value_size == 0) {
    return kFail;
  }
  const auto* entries = options_.registry.Section(section);
  if (entries == nullptr || index >= entries->size()) return kFail;
  const auto& [k, v] = (*entries)[index];
  auto copy = [](const std::string& text, char* out, uint32_t size) {
    const size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  };
  copy(k, key, key_size);
  copy(v, value, value_size);
  return 0;
}

uint32_t Kernel::AllocateInterrupt(uint32_t line, KeInterruptHandler handler, uintptr_t context,
                                   KHandle* interrupt) {
  if (!Live()) return kFail;
  if (line >= IrqController::kLines || handler == nullptr || interrupt == nullptr) return kFail;
  auto object = std::make_unique<InterruptObject>(CallerProcess()->handle, line, handler, context);
  InterruptObject* raw = object.get();
  const KHandle handle = Publish(std::move(object));
  *interrupt = handle;
  if (handle == 0) return kFail;
  {
    std::lock_guard lock(lines_mutex_);
    line_handlers_[line].push_back(raw);
    lines_version_.fetch_add(1, std::memory_order_release);
  }
  irq_.Kick();
  return 0;
}

uint32_t Kernel::DeallocateInterrupt(KHandle handle) {
  if (!Live()) return kFail;
  auto* interrupt = Use<InterruptObject>(handle, ObjectType::Interrupt);
  if (interrupt == nullptr) return kFail;
  {
    std::lock_guard lock(lines_mutex_);
    if (interrupt->dead.exchange(true)) return kFail;
    auto& handlers = line_handlers_[interrupt->line];
    handlers.erase(std::remove(handlers.begin(), handlers.end(), interrupt), handlers.end());
    lines_version_.fetch_add(1, std::memory_order_release);
  }
  // Pass through interrupt exclusion once: a handler round that started
  // before the object died has then finished.
  ExclusionScope exclusion(*this);
  return 0;
}

uint32_t Kernel::EndOfInterrupt(KHandle handle) {
  if (!Live()) return kFail;
  if (Use<InterruptObject>(handle, ObjectType::Interrupt) == nullptr) return kFail;
  eoi_count_.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

uint32_t Kernel::GetIntInformation(KHandle handle, uint32_t what, uint32_t* value) {
  if (!Live()) return kFail;
  auto* interrupt = Use<InterruptObject>(handle, ObjectType::Interrupt);
  if (interrupt == nullptr || what != 1 || value == nullptr) return kFail;
  *value = polled_[interrupt->line].load(std::memory_order_relaxed) ? 0 : 1;
  return 0;
}

uint32_t Kernel::QueryInterruptHistory(uint32_t query) {
  if (!Live()) return kFail;
  if (query != 312) return kFail;  // the only query this kernel answers
  // Counted up to the limit only, so that the answer never wraps back.
  uint32_t seen = boot_queries_.load(std::memory_order_relaxed);
  while (seen < options_.boot_query_busy_calls) {
    if (boot_queries_.compare_exchange_weak(seen, seen + 1, std::memory_order_relaxed)) return 1;
  }
  return 0;
}

uint32_t Kernel::SignalInterrupt(uint32_t signal) {
  if (!Live()) return kFail;
  std::lock_guard lock(state_mutex_);
  signals_.insert(signal);
  state_cv_.notify_all();
  return 0;
}

uint32_t Kernel::PassTimeSlice() {
  if (!Live()) return kFail;
  std::this_thread::yield();
  return 0;
}

uint32_t Kernel::CreateDevice(const char* name, void* context, KeDeviceEntry entry, uint32_t flags,
                              KHandle* device) {
  if (!Live()) return kFail;
  if (name == nullptr || entry == nullptr || flags != 0) return kFail;
  std::lock_guard lock(names_mutex_);
  for (DeviceObject* existing : devices_) {
    if (existing->name == name) return kFail;
  }
  auto object = std::make_unique<DeviceObject>(CallerProcess()->handle, name, context, entry);
  DeviceObject* raw = object.get();
  const KHandle handle = Publish(std::move(object));
  if (handle == 0) return kFail;
  devices_.push_back(raw);
  if (device != nullptr) *device = handle;
  return 0;
}

DeviceObject* Kernel::FindDevice(const std::string& name) {
  std::lock_guard lock(names_mutex_);
  for (DeviceObject* device : devices_) {
    if (device->name == name) return device;
  }
  return nullptr;
}

std::vector<std::string> Kernel::DeviceNames() const {
  std::lock_guard lock(names_mutex_);
  std::vector<std::string> names;
  for (DeviceObject* device : devices_) names.push_back(device->name);
  return names;
}

uint32_t Kernel::AllocateHaObject(const char* name, void* context, KHandle* object) {
  if (!Live()) return kFail;
  if (name == nullptr || object == nullptr) return kFail;
  std::lock_guard lock(names_mutex_);
  for (HaObject* existing : ha_objects_) {
    if (existing->name == name) return kFail;
  }
  auto ha = std::make_unique<HaObject>(CallerProcess()->handle, name, context);
  HaObject* raw = ha.get();
  const KHandle handle = Publish(std::move(ha));
  *object = handle;
  if (handle == 0) return kFail;
  ha_objects_.push_back(raw);
  return 0;
}

uint32_t Kernel::AllocateExceptionHandler(uint32_t code, uint32_t /*zero*/,
                                          KeAvailabilityHandler handler, KHandle* handle) {
  if (!Live()) return kFail;
  if (handler == nullptr) return kFail;
  ProcessObject* process = CallerProcess();
  const KHandle registration =
      Publish(std::make_unique<HandlerObject>(process->handle, code, handler));
  if (registration == 0) return kFail;
  {
    // Every adapter registers the same handler for the same codes; the
    // first registration of a code is the process's handler for it, and the
    // object an event concerns supplies the context.
    std::lock_guard lock(ha_mutex_);
    process->ha_handlers.emplace(code, handler);
  }
  if (handle != nullptr) *handle = registration;
  return 0;
}

uint32_t Kernel::NotifyHaEvent(KHandle object, uint32_t code) {
  if (!Live()) return kFail;
  {
    std::lock_guard lock(notify_mutex_);
    notifications_.emplace_back(object, code);
  }
  if (object == 0) return 0;
  auto* ha = Use<HaObject>(object, ObjectType::HaObject);
  if (ha == nullptr) return kFail;
  uint32_t event = 0;
  switch (options_.ha_policy) {
    case HaPolicy::None:
      return 0;
    case HaPolicy::Suspend:
      event = 100;
      break;
    case HaPolicy::Abort:
      event = 102;
      break;
  }
  KeAvailabilityHandler handler = nullptr;
  {
    auto* owner = static_cast<ProcessObject*>(Find(ha->owner));
    std::lock_guard lock(ha_mutex_);
    if (owner != nullptr) {
      auto it = owner->ha_handlers.find(event);
      if (it != owner->ha_handlers.end()) handler = it->second;
    }
  }
  // The kernel answers before the call returns, on the reporting thread;
  // the detected change travels as the event's value.
  if (handler != nullptr) handler(event, code, ha->context);
  return 0;
}

bool Kernel::DeliverHaEvent(const std::string& name, uint32_t code, uint32_t value) {
  HaObject* ha = nullptr;
  {
    std::lock_guard lock(names_mutex_);
    for (HaObject* candidate : ha_objects_) {
      if (candidate->name == name && !candidate->dead.load(std::memory_order_relaxed)) {
        ha = candidate;
        break;
      }
    }
  }
  if (ha == nullptr) return false;
  auto* owner = static_cast<ProcessObject*>(Find(ha->owner));
  if (owner == nullptr) return false;
  KeAvailabilityHandler handler = nullptr;
  {
    std::lock_guard lock(ha_mutex_);
    auto it = owner->ha_handlers.find(code);
    if (it != owner->ha_handlers.end()) handler = it->second;
  }
  if (handler == nullptr) return false;
  if (!EnterCall()) return false;
  {
    ScopedThreadContext context(*this, owner, /*unwindable=*/true, /*dispatcher=*/false);
    try {
      handler(code, value, ha->context);
    } catch (const MachineStopped&) {
      // Unwound by Stop; the event counts as delivered.
    }
  }
  LeaveCall();
  return true;
}

std::vector<std::pair<uint32_t, uint32_t>> Kernel::HaNotifications() const {
  std::lock_guard lock(notify_mutex_);
  return notifications_;
}

void Kernel::DebugAssertBit(uint32_t bit) {
  if (!Live()) return;
  debug_asserts_.fetch_add(1, std::memory_order_relaxed);
  if (bit < 32) debug_bits_.fetch_or(1u << bit, std::memory_order_relaxed);
}

void Kernel::DebugDeassertBit(uint32_t bit) {
  if (!Live()) return;
  if (bit < 32) debug_bits_.fetch_and(~(1u << bit), std::memory_order_relaxed);
}

// ----------------------------------------------------------------- runtime

void Kernel::Print(const char* text, size_t length) {
  std::lock_guard lock(console_mutex_);
  console_.append(text, length);
  if (options_.console_echo) options_.console_echo(std::string(text, length));
}

std::string Kernel::Console() const {
  std::lock_guard lock(console_mutex_);
  return console_;
}

void Kernel::ClearConsole() {
  std::lock_guard lock(console_mutex_);
  console_.clear();
}

void* Kernel::Allocate(uint32_t size) {
  // malloc(0) gives null: the driver never asks for an empty block.
  if (size == 0) return nullptr;
  return arena_.Allocate(size);
}

void Kernel::Free(void* block) {
  if (block != nullptr) arena_.Free(block);
}

}  // namespace sim
