#include "platform/machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "platform/kernel/kernel.h"

namespace sim {

// The core of the PC. Members are destroyed in reverse order: the kernel
// first (its threads have already ended in Stop), the buses next, the memory
// last, since device models and driver blocks live in it until the end.
struct Machine::Core {
  explicit Core(MachineOptions o)
      : options(std::move(o)),
        arena(options.arena_bytes),
        clock(options.clock),
        ports(clock),
        pit(clock),
        kernel(options, irq, arena),
        trace(clock, ports, pci) {}

  MachineOptions options;
  Arena arena;
  Clock clock;
  PortBus ports;
  Pit pit;
  SystemControlPort system_control;
  PciBus pci;
  IrqController irq;
  Kernel kernel;
  // Last, so that it is off (and off the port bus) before anything else goes.
  Trace trace;
};

Machine::Machine(MachineOptions options) {
  Machine* expected = nullptr;
  if (!current_.compare_exchange_strong(expected, this)) {
    throw std::logic_error("sim::Machine: another machine is running in this process");
  }
  try {
    core_ = std::make_unique<Core>(std::move(options));
    ports_ = &core_->ports;
    kernel_ = &core_->kernel;
    if (!core_->ports.Map(0x40, 4, &core_->pit) ||
        !core_->ports.Map(0x61, 1, &core_->system_control) ||
        !core_->ports.Map(0xCF8, 8, &core_->pci)) {
      throw std::logic_error("sim::Machine: the PC's own port windows overlap");
    }
  } catch (...) {
    core_.reset();
    current_.store(nullptr);
    throw;
  }
}

Machine::~Machine() {
  Stop();
  // Parts go in reverse order of adding: a later part may use an earlier
  // one (a capture port on a segment).
  while (!parts_.empty()) parts_.pop_back();
  // No host call can reach the core while it is taken apart.
  current_.store(nullptr);
  core_.reset();
}

Clock& Machine::clock() { return core_->clock; }
IrqController& Machine::irq() { return core_->irq; }
Arena& Machine::arena() { return core_->arena; }
PciBus& Machine::pci() { return core_->pci; }
Pit& Machine::pit() { return core_->pit; }
Trace& Machine::trace() { return core_->trace; }
const MachineOptions& Machine::options() const { return core_->options; }

void Machine::SetLinePolled(unsigned line, bool polled) {
  core_->kernel.SetLinePolled(line, polled);
}

// Machine::Boot lives in platform/kernel/boot.cpp: it is the only reference
// to the driver image, so that models and tests that never boot link without
// the driver.

bool Machine::WaitStarted(int timeout_ms) { return core_->kernel.WaitStarted(timeout_ms); }
bool Machine::SignalRaised(uint32_t signal) const { return core_->kernel.SignalRaised(signal); }
std::optional<uint32_t> Machine::EntryResult() const { return core_->kernel.EntryResult(); }
void Machine::Stop() { core_->kernel.Stop(); }
bool Machine::stopped() const { return core_->kernel.stopped(); }

void Machine::ChangeResources(const std::function<void()>& change) {
  core_->kernel.DisableInterrupts();
  struct Enable {
    Kernel& kernel;
    ~Enable() { kernel.EnableInterrupts(); }
  } enable{core_->kernel};
  change();
}

bool Machine::DeliverHaEvent(const std::string& device_name, uint32_t code, uint32_t value) {
  return core_->kernel.DeliverHaEvent(device_name, code, value);
}

std::string Machine::Console() const { return core_->kernel.Console(); }
void Machine::ClearConsole() { core_->kernel.ClearConsole(); }
uint64_t Machine::EndOfInterruptCount() const { return core_->kernel.EndOfInterruptCount(); }
uint64_t Machine::EndOfInterruptCount(unsigned line) const {
  return core_->kernel.EndOfInterruptCount(line);
}
uint32_t Machine::DebugBits() const { return core_->kernel.DebugBits(); }
std::vector<std::pair<uint32_t, uint32_t>> Machine::HaNotifications() const {
  return core_->kernel.HaNotifications();
}
std::string Machine::HaObjectName(uint32_t handle) const {
  return core_->kernel.HaObjectName(handle);
}
std::vector<uint32_t> Machine::Signals() const {
  const std::set<uint32_t> signals = core_->kernel.Signals();
  return {signals.begin(), signals.end()};
}
std::vector<std::string> Machine::DeviceNames() const { return core_->kernel.DeviceNames(); }
bool Machine::PollNow() { return core_->kernel.PollNow(); }
uint64_t Machine::RightsViolations() const { return core_->kernel.RightsViolations(); }
std::vector<std::string> Machine::Misuses() const { return core_->kernel.Misuses(); }
uint64_t Machine::InterruptRuns() const { return core_->kernel.InterruptRuns(); }
uint64_t Machine::InterruptStorms() const { return core_->kernel.InterruptStorms(); }
uint64_t Machine::DebugAssertCount() const { return core_->kernel.DebugAssertCount(); }
size_t Machine::LiveMutexes() const { return core_->kernel.LiveObjects(ObjectType::Mutex); }
size_t Machine::LiveEvents() const { return core_->kernel.LiveObjects(ObjectType::Event); }
size_t Machine::LiveInterrupts() const { return core_->kernel.LiveObjects(ObjectType::Interrupt); }

// ---------------------------------------------------------------- clients

struct ClientProcess::Impl {
  ProcessObject* process = nullptr;
  // Opens made through this process: the driver's instance value and the
  // device it belongs to. Any thread of the process may call, so the map has
  // its own lock.
  std::mutex mutex;
  std::unordered_map<uintptr_t, DeviceObject*> opens;  // guarded by mutex

  DeviceObject* DeviceOf(uintptr_t open) {
    std::lock_guard lock(mutex);
    auto it = opens.find(open);
    return it == opens.end() ? nullptr : it->second;
  }
};

namespace {
// Runs one call into the driver as a thread of `process`: counted so that
// Stop waits for it, and unwound by Stop with kStopped as the result.
template <class F>
uint32_t CallIntoDriver(Kernel& kernel, ProcessObject* process, F&& body) {
  if (!kernel.EnterCall()) return ClientProcess::kStopped;
  Trace::NameThread("client", process->handle);
  uint32_t result;
  {
    ScopedThreadContext context(kernel, process, /*unwindable=*/true, /*dispatcher=*/false);
    try {
      result = body();
    } catch (const MachineStopped&) {
      result = ClientProcess::kStopped;
    }
  }
  kernel.LeaveCall();
  return result;
}
}  // namespace

ClientProcess::ClientProcess(Machine& machine)
    : machine_(machine), impl_(std::make_unique<Impl>()) {
  impl_->process = machine.kernel().CreateProcess("client");
  process_ = impl_->process->handle;
}

ClientProcess::~ClientProcess() = default;

uint32_t ClientProcess::handle() const { return process_; }

bool ClientProcess::ThreadBlocked() const {
  return impl_->process->waiting.load(std::memory_order_acquire) != 0;
}

uint32_t ClientProcess::Run(const std::function<uint32_t()>& body) {
  return CallIntoDriver(machine_.kernel(), impl_->process, body);
}

uint32_t ClientProcess::Open(const std::string& device_name, uintptr_t* open) {
  DeviceObject* device = machine_.kernel().FindDevice(device_name);
  if (device == nullptr) return kNoDevice;
  void* instance = nullptr;  // the driver stores its client record here
  uint32_t status = CallIntoDriver(machine_.kernel(), impl_->process, [&] {
    return device->entry(2, device->context, &instance, 0, 0, 0);
  });
  const uintptr_t value = reinterpret_cast<uintptr_t>(instance);
  if (status == 0) {
    std::lock_guard lock(impl_->mutex);
    impl_->opens[value] = device;
  }
  if (open != nullptr) *open = status == 0 ? value : 0;
  return status;
}

uint32_t ClientProcess::Close(uintptr_t open) {
  // The open is forgotten before the driver releases its record: once the
  // record is gone, another thread of this process may open again and be
  // given the same address, and that open must not be erased by this close.
  DeviceObject* device;
  {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->opens.find(open);
    if (it == impl_->opens.end()) return kNoDevice;
    device = it->second;
    impl_->opens.erase(it);
  }
  uint32_t status = CallIntoDriver(machine_.kernel(), impl_->process, [&] {
    return device->entry(3, device->context, reinterpret_cast<void*>(open), 0, 0, 0);
  });
  // A refused close leaves the open usable, as the driver still has it.
  if (status != 0) {
    std::lock_guard lock(impl_->mutex);
    impl_->opens.emplace(open, device);
  }
  return status;
}

uint32_t ClientProcess::Read(uintptr_t open, void* buffer, uint32_t size, uint32_t* length) {
  return Call(open, 4, reinterpret_cast<uintptr_t>(buffer), size,
              reinterpret_cast<uintptr_t>(length));
}

uint32_t ClientProcess::Write(uintptr_t open, const void* frame, uint32_t length,
                              uint32_t* transferred) {
  return Call(open, 5, reinterpret_cast<uintptr_t>(frame), length,
              reinterpret_cast<uintptr_t>(transferred));
}

uint32_t ClientProcess::Control(uintptr_t open, uint32_t code, uintptr_t argument, uint32_t size) {
  return Call(open, 14, code, argument, size);
}

uint32_t ClientProcess::Call(uintptr_t open, uint32_t function, uintptr_t a1, uintptr_t a2,
                             uintptr_t a3) {
  DeviceObject* device = impl_->DeviceOf(open);
  if (device == nullptr) return kNoDevice;
  return CallIntoDriver(machine_.kernel(), impl_->process, [&] {
    return device->entry(function, device->context, reinterpret_cast<void*>(open), a1, a2, a3);
  });
}

uint32_t ClientProcess::CallDevice(const std::string& device_name, uintptr_t instance,
                                   uint32_t function, uintptr_t a1, uintptr_t a2, uintptr_t a3) {
  DeviceObject* device = machine_.kernel().FindDevice(device_name);
  if (device == nullptr) return kNoDevice;
  return CallIntoDriver(machine_.kernel(), impl_->process, [&] {
    return device->entry(function, device->context, reinterpret_cast<void*>(instance), a1, a2, a3);
  });
}

}  // namespace sim
