// The kernel as a whole: construction, the driver process and its threads
// (boot, start-up, stop), processes and calls from outside, the small
// kernel calls with no subsystem of their own, the registry walk and the
// runtime pieces (console, memory). The handle table, interrupt exclusion,
// the dispatcher, mutexes and events, and devices have files of their own.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/kernel/kernel_internal.h"
#include "platform/pc/trace.h"

namespace sim {

namespace {

std::atomic<uint64_t> g_kernel_serial{0};

}  // namespace

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

// ---------------------------------------------------------------- processes

ProcessObject* Kernel::CreateProcess(const std::string& name) {
  auto process = std::make_unique<ProcessObject>(0, name);
  ProcessObject* raw = process.get();
  return Publish(std::move(process)) != 0 ? raw : nullptr;
}

ProcessObject* Kernel::CallerProcess() {
  const ThreadContext& t = CurrentThread();
  // A thread outside every process (the harness's own) acts for the driver.
  return t.kernel == this && t.process != nullptr ? t.process : driver_process_;
}

void Kernel::OnStopping() {
  const ThreadContext& t = CurrentThread();
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
  dispatcher_thread_ = HostThread([this] { DispatcherMain(); });
  main_thread_ = HostThread([this, image] { DriverMain(image); });
}

void Kernel::DriverMain(uint32_t (*image)()) {
  Trace::NameThread("driver main");
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

std::set<uint32_t> Kernel::Signals() const {
  std::lock_guard lock(state_mutex_);
  return signals_;
}

void Kernel::NoteMisuse(std::string what) {
  std::lock_guard lock(misuse_mutex_);
  if (misuses_.size() < 16) misuses_.push_back(std::move(what));
}

std::vector<std::string> Kernel::Misuses() const {
  std::lock_guard lock(misuse_mutex_);
  return misuses_;
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

// ------------------------------------------------------------ small calls

uint32_t Kernel::GetCurrentProcessHandle(KHandle* process) {
  if (!Live()) return kFail;
  if (process == nullptr) return kFail;
  *process = CallerProcess()->handle;
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

void Kernel::DebugAssertBit(uint32_t bit) {
  if (!Live()) return;
  debug_asserts_.fetch_add(1, std::memory_order_relaxed);
  if (bit < 32) debug_bits_.fetch_or(1u << bit, std::memory_order_relaxed);
}

void Kernel::DebugDeassertBit(uint32_t bit) {
  if (!Live()) return;
  if (bit < 32) debug_bits_.fetch_and(~(1u << bit), std::memory_order_relaxed);
}

// --------------------------------------------------------------- registry

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
