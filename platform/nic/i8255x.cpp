// The 8255x model: its variants and EEPROM image, time-driven state
// changes, SCB command acceptance, resets and self-test, MDI cycles, DMA,
// the PCI function and the public face. The register block is in
// registers.cpp, the command unit and the receive unit in command_unit.cpp
// and receive_unit.cpp; the shared state in i8255x_impl.h.
#include "platform/nic/i8255x.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "platform/kernel/kernel.h"
#include "platform/nic/i8255x_impl.h"

namespace sim {

using namespace i8255x;

// ---- Variants ----

const std::vector<I8255xVariant>& I8255xVariants() {
  static const std::vector<I8255xVariant> variants = {
      {0x1229, "82557/82558/82559", true},
      {0x1209, "82559ER", true},
      {0x1029, "82559", true},
      {0x1030, "82559 InBusiness 10/100", true},
      {0x2449, "82562 (ICH2 LAN)", true},
  };
  return variants;
}

bool I8255xHasSingleSourceMasks(uint16_t device_id, uint8_t revision) {
  for (const I8255xVariant& v : I8255xVariants()) {
    if (v.device_id != device_id) continue;
    if (device_id == 0x1229 && revision < 4) return false;  // 82557 steppings
    return v.single_source_masks;
  }
  return true;
}

std::vector<uint16_t> BuildEepromImage(unsigned words, const std::array<uint8_t, 6>& station,
                                       uint16_t phy_primary, uint16_t phy_secondary) {
  if (words < 2 || words > 256 || (words & (words - 1)) != 0) {
    throw std::invalid_argument("BuildEepromImage: " + std::to_string(words) +
                                " words is not a power of two between 2 and 256");
  }
  std::vector<uint16_t> image(words, 0xFFFF);
  for (unsigned i = 0; i < 3 && i < words; ++i) {
    image[i] = static_cast<uint16_t>(station[2 * i] | station[2 * i + 1] << 8);
  }
  if (words > 3) image[3] = 0x0003;  // not blank
  if (words > 6) image[6] = phy_primary;
  if (words > 7) image[7] = phy_secondary;
  image[words - 1] = 0;
  image[words - 1] = static_cast<uint16_t>(0xBABA - EepromChecksum(image));
  return image;
}

// ---- The model ----

I8255x::Impl::Impl(I8255x& owner, Machine& machine_in, const I8255xConfig& config_in)
    : self(owner),
      machine(machine_in),
      config(config_in),
      single_source_masks(I8255xHasSingleSourceMasks(config_in.device_id, config_in.revision)),
      after_82557(!(config_in.device_id == 0x1229 && config_in.revision < 4)),
      pci(0x8086, config_in.device_id, 0x020000),
      dma(machine_in.arena(), pci.bus_master()),
      pin(machine_in.irq(), config_in.irq),
      phy(config_in.phy, config_in.phy_100mbit) {
  if (config.eeprom_image.empty()) {
    eeprom.Load(BuildEepromImage(config.eeprom_words, config.station, config.phy_primary,
                                 config.phy_secondary));
  } else {
    eeprom.Load(config.eeprom_image);
  }
  eeprom.SetAbsent(config.eeprom_absent);
  accept_alarm.impl = this;
}

// Applies whatever machine time has made due. Time only moves with port
// accesses, so doing this at every register access and frame arrival is as
// good as a timer.
void I8255x::Impl::Advance() {
  const uint64_t now = machine.clock().NowNs();
  if (command_latched && !faults.command_never_accepted.load() && now >= command_accept_ns) {
    AcceptCommand();
  }
  if (port_busy && now >= port_done_ns && !(port_hang && faults.selective_reset_hangs.load())) {
    port_busy = false;
    port_hang = false;
  }
  if (mdi_busy && now >= mdi_done_ns && !faults.mdi_never_ready.load()) CompleteMdi();
  if (cu_state == kCuActive && !cu_work_pending && !cu_runner_active && now >= cu_busy_until_ns &&
      !faults.cu_stuck_active.load()) {
    cu_state = cu_after;
    Raise(kCna);
  }
  UpdateIrq();
}

void I8255x::Impl::Observe(const std::string& what) {
  counters.hostile_descriptors.fetch_add(1);
  if (observations.size() < kObservationLimit) observations.push_back(what);
}

void I8255x::Impl::ProgrammingError(const std::string& what) {
  counters.programming_errors.fetch_add(1);
  if (programming_errors.size() < kProgrammingErrorLimit) {
    programming_errors.push_back({machine.clock().NowNs(), what});
  }
}

void I8255x::Impl::Record(uint32_t offset, unsigned width, uint32_t value, bool write) {
  if (trace_on && trace.size() < kTraceLimit) trace.push_back({offset, width, value, write});
}

uint8_t I8255x::Impl::StatusLow() const {
  const uint8_t cu = faults.cu_stuck_active.load() ? kCuActive : cu_state;
  return static_cast<uint8_t>(cu | ru_state);
}

// Machine time moves only with port accesses, and a model acts only when
// accessed, so a command written last (a transmit after which the driver
// goes quiet) would wait in the byte for ever. On the part it is taken
// after its latency whatever the software does next; this thread does that
// here: it takes the command once the machine's shared time has passed the
// acceptance time (no access can then still see it waiting), or once the
// machine's time has stood still for 1 ms of host time because nothing
// runs. "Nothing runs" is the kernel's word (Kernel::ThreadsRunning), not
// the host clock's alone: a thread of the machine that the host merely took
// off the CPU between writing a command and polling it will move time itself
// when it is back, and taking the command early behind its back would make
// what it reads depend on the host's scheduling. A bound of 1 s of host
// time still ends the wait should a running thread never move time.
void I8255x::Impl::AcceptorLoop() {
  using namespace std::chrono;
  std::unique_lock<std::mutex> lock(mu);
  while (!acceptor_stop) {
    if (!command_latched || faults.command_never_accepted.load()) {
      // Polled: a command write wakes nobody, and clearing the fault
      // notifies nobody either.
      acceptor_cv.wait_for(lock, milliseconds(1));
      continue;
    }
    const uint64_t at = command_accept_ns;
    const auto since = steady_clock::now();
    auto standing_still = [&] {
      const auto stood = steady_clock::now() - since;
      return stood >= milliseconds(1000) ||
             (stood >= milliseconds(1) && !machine.kernel().ThreadsRunning());
    };
    while (!acceptor_stop && command_latched && command_accept_ns == at &&
           machine.clock().NowNs() < at && !standing_still()) {
      acceptor_cv.wait_for(lock, microseconds(50));
    }
    if (acceptor_stop || !command_latched || command_accept_ns != at ||
        faults.command_never_accepted.load()) {
      continue;
    }
    AcceptCommand();
    UpdateIrq();
    if (WantsRun()) {
      lock.unlock();
      RunCommandUnit();
      lock.lock();
    }
  }
}

void I8255x::Impl::CatchUp() {
  bool run;
  {
    std::unique_lock<std::mutex> lock(mu);
    WaitForRunner(lock);
    Advance();
    run = WantsRun();
  }
  if (run) RunCommandUnit();
}

void I8255x::Impl::AcceptCommand() {
  const uint8_t command = command_byte;
  command_latched = false;
  command_byte = 0;
  ExecuteScbCommand(command);
}

// The low three bits of a command byte are the receive unit's command, the
// high four the command unit's; the receive unit's is carried out first.
void I8255x::Impl::ExecuteScbCommand(uint8_t value) {
  ExecuteRuCommand(value & kScbRuCommand);
  ExecuteCuCommand(static_cast<uint8_t>(value >> 4));
}

// Stops both units and drops a command not yet accepted; the rest of the
// setup (bases, configuration, addresses) stays.
void I8255x::Impl::SelectiveReset() {
  cu_state = kCuIdle;
  cu_after = kCuIdle;
  cu_work_pending = false;
  ++cu_generation;
  ++reset_generation;
  cu_busy_until_ns = 0;
  ru_state = kRuIdle;
  ru_rbd_valid = false;
  ru_rbd_after_el = false;
  command_byte = 0;
  command_latched = false;
}

// A selective reset, and the setup back to power-up values too.
void I8255x::Impl::SoftwareReset() {
  SelectiveReset();
  cu_base = 0;
  ru_base = 0;
  ru_first_rfd = false;
  general_pointer = 0;
  pending = 0;
  // The part comes out of a software reset with the mask bit clear:
  // interrupts are enabled, and software that wants them masked must mask
  // again after the reset.
  interrupt_control = 0;
  configuration = kDefaultConfiguration;
  last_configure = kDefaultConfiguration;
  configured = false;
  individual_address = {};
  individual_address_set = false;
  multicast_hash = {};
  dump_address = 0;
  dump_counters = {};
  eeprom.Reset();
  eeprom_lines = 0;
  mdi_latch = 0;
  mdi_register = 0;
  mdi_busy = false;
}

void I8255x::Impl::PortOperation(uint32_t value) {
  const uint32_t function = value & 0xF;
  const uint32_t address = value & ~0xFu;
  const uint64_t now = machine.clock().NowNs();
  switch (function) {
    case kPortSoftwareReset:
      SoftwareReset();
      port_hang = false;
      break;
    case kPortSelfTest:
      // The self-test leaves the controller reset. The result is written at
      // once: the driver watches memory, not the registers, while it waits.
      SoftwareReset();
      port_hang = false;
      Store32(address + kSelfTestResultAt, 0);                      // every test passed
      Store32(address + kSelfTestSignatureAt, kSelfTestSignature);  // written last
      break;
    case kPortSelectiveReset:
      SelectiveReset();
      port_hang = faults.selective_reset_hangs.load();
      break;
    default:
      counters.unknown_commands.fetch_add(1);
      return;
  }
  port_busy = true;
  port_done_ns = now + kPortOperationNs;
}

void I8255x::Impl::DriveEeprom(uint8_t value) {
  eeprom_lines = value & (kEeClock | kEeChipSelect | kEeDataIn);
  eeprom.Drive((value & kEeChipSelect) != 0, (value & kEeClock) != 0, (value & kEeDataIn) != 0);
}

void I8255x::Impl::StartMdi(uint32_t value) {
  mdi_register = value & ~kMdiReady;
  mdi_busy = true;
  mdi_done_ns = machine.clock().NowNs() + kMdiCycleNs;
}

void I8255x::Impl::CompleteMdi() {
  uint32_t value = mdi_register;
  const unsigned opcode = (value >> 26) & 3;
  const unsigned address = (value >> 21) & 0x1F;
  const unsigned reg = (value >> 16) & 0x1F;
  if (opcode == 1) {
    phy.Write(address, reg, static_cast<uint16_t>(value));
  } else if (opcode == 2) {
    value = (value & 0xFFFF0000u) | phy.Read(address, reg);
  }
  mdi_register = value | kMdiReady;
  mdi_busy = false;
  if (value & kMdiInterruptEnable) Raise(kMdi);
}

// ---- DMA ----

bool I8255x::Impl::Counted(bool done) {
  if (!done) counters.bus_errors.fetch_add(1);
  return done;
}

bool I8255x::Impl::DmaRead(uint32_t address, void* data, size_t length) {
  return Counted(dma.Read(address, data, length));
}

bool I8255x::Impl::DmaWrite(uint32_t address, const void* data, size_t length) {
  return Counted(dma.Write(address, data, length));
}

uint16_t I8255x::Impl::Load16(uint32_t address, bool& ok) {
  bool good = true;
  const uint16_t value = dma.Load16(address, &good);
  ok = Counted(good) && ok;
  return value;
}

uint32_t I8255x::Impl::Load32(uint32_t address, bool& ok) {
  bool good = true;
  const uint32_t value = dma.Load32(address, &good);
  ok = Counted(good) && ok;
  return value;
}

void I8255x::Impl::Store16(uint32_t address, uint16_t value) {
  Counted(dma.Store16(address, value));
}

void I8255x::Impl::Store32(uint32_t address, uint32_t value) {
  Counted(dma.Store32(address, value));
}

// ---- PCI ----

void I8255x::Impl::OnPciChange() {
  {
    // Serialised, and reading the registers afresh, so that changes made on
    // several threads end with the window and line the registers show.
    std::lock_guard<std::mutex> lock(map_mu);
    const uint32_t base = pci.BarAddress(1);
    const bool want = pci.IoEnabled() && base != 0 && base + kRegisterBlock <= PortBus::kPortSpace;
    if (!want) {
      if (mapped) machine.ports().Unmap(&self);
      mapped = false;
    } else if (!mapped || base != mapped_base) {
      const bool done = mapped ? machine.ports().Remap(&self, base, kRegisterBlock)
                               : machine.ports().Map(base, kRegisterBlock, &self);
      if (done) {
        mapped = true;
        mapped_base = base;
      } else {
        std::lock_guard<std::mutex> state(mu);
        Observe("I/O window at " + Hex(base) + " overlaps another device; left where it was");
      }
    }
    pin.MoveTo(pci.InterruptLine());
  }
}

// ---- Public face ----

I8255x::I8255x(Machine& machine, const I8255xConfig& config, Segment* segment)
    : impl_(std::make_unique<Impl>(*this, machine, config)) {
  PciFunction& pci = impl_->pci;
  pci.SetRevision(config.revision);
  pci.SetHeaderType(config.multi_function ? 0x80 : 0x00);
  pci.SetBar(0, config.mem_base, 4096, false);
  pci.SetBar(1, config.io_base, kRegisterBlock, true);
  pci.SetBar(2, config.flash_base, 1u << 20, false);
  pci.SetSubsystem(0x8086, 0x0001);
  pci.SetInterruptLine(config.irq);
  pci.SetLatencyTimer(config.latency_timer);
  pci.SetCommand(config.command);
  if (!machine.pci().Attach(config.bus, config.device, config.function, &pci)) {
    throw std::runtime_error("I8255x: PCI slot " + std::to_string(config.bus) + ":" +
                             std::to_string(config.device) + "." + std::to_string(config.function) +
                             " is taken or invalid");
  }
  if (config.polled) machine.SetLinePolled(config.irq);
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->SoftwareReset();  // power-up state
    // A choice: the model powers up masked, so a function nobody has set up
    // never drives its line; the first software reset unmasks it.
    impl_->interrupt_control = kMaskAll;
  }
  pci.SetChangeListener([impl = impl_.get()] { impl->OnPciChange(); });
  impl_->OnPciChange();
  AttachSegment(segment);
  if (config.command_latency_ns != 0) {
    impl_->acceptor = HostThread([impl = impl_.get()] { impl->AcceptorLoop(); });
  }
}

I8255x::~I8255x() {
  impl_->machine.clock().CancelAlarm(&impl_->accept_alarm);
  if (impl_->acceptor.joinable()) {
    {
      std::lock_guard<std::mutex> lock(impl_->mu);
      impl_->acceptor_stop = true;
    }
    impl_->acceptor_cv.notify_all();
    impl_->acceptor.join();
  }
  AttachSegment(nullptr);  // waits for a delivery to us in flight
  impl_->pci.SetChangeListener(nullptr);
  impl_->machine.pci().Detach(&impl_->pci);
  // Accesses already inside the window may still be running: like every
  // device, a controller goes only once nobody can reach it (the machine has
  // stopped, or the test that made it is done with it).
  impl_->machine.ports().Unmap(this);
}

PciFunction& I8255x::pci() { return impl_->pci; }
I8255xFaults& I8255x::faults() { return impl_->faults; }
const I8255xCounters& I8255x::counters() const { return impl_->counters; }
const I8255xConfig& I8255x::config() const { return impl_->config; }

void I8255x::AttachSegment(Segment* segment) {
  Segment* old;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    old = impl_->segment;
    impl_->segment = segment;
  }
  if (old == segment) return;
  if (old != nullptr) old->Detach(this);
  if (segment != nullptr) segment->Attach(this);
}

void I8255x::InjectFrame(const std::vector<uint8_t>& bytes, FrameErrors errors) {
  Receive(Frame{bytes, errors});
}

void I8255x::Receive(const Frame& frame) {
  bool run;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    const bool had_work = impl_->cu_work_pending;
    impl_->ReceiveFrame(frame.bytes.data(), frame.bytes.size(), frame.errors);
    // The arrival may have brought a waiting CU start due (the model catches
    // up with machine time first): its blocks run now, outside the lock, as
    // after a register access.
    run = !had_work && impl_->WantsRun();
  }
  if (run) impl_->RunCommandUnit();
}

uint16_t I8255x::ScbStatusValue() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Advance();
  return static_cast<uint16_t>(impl_->pending | impl_->StatusLow());
}

bool I8255x::InterruptLineHigh() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Advance();
  return impl_->line_level;
}

std::array<uint8_t, 6> I8255x::IndividualAddress() const {
  impl_->CatchUp();
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->individual_address;
}

std::array<uint8_t, 24> I8255x::ConfigureBytes() const {
  impl_->CatchUp();
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->last_configure;
}

std::array<uint8_t, 24> I8255x::ActiveConfiguration() const {
  impl_->CatchUp();
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->configuration;
}

bool I8255x::Configured() const {
  impl_->CatchUp();
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->configured;
}

// The image changes only through SetEepromImage, which the harness calls
// while no one reads the reference.
const std::vector<uint16_t>& I8255x::eeprom() const { return impl_->eeprom.words(); }

void I8255x::SetEepromImage(std::vector<uint16_t> image) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->eeprom.Load(std::move(image));
}

void I8255x::SetEepromAbsent(bool absent) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->eeprom.SetAbsent(absent);
}

std::vector<BusError> I8255x::bus_errors() const { return impl_->dma.errors(); }

std::vector<std::string> I8255x::Observations() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->observations;
}

std::vector<I8255xProgrammingError> I8255x::ProgrammingErrors() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->programming_errors;
}

void I8255x::EnableTrace(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->trace_on = on;
  impl_->Publish();  // traced reads take the lock
}

std::vector<I8255x::TraceEntry> I8255x::Trace() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->trace;
}

uint32_t I8255x::PortRead(uint32_t offset, unsigned width) {
  uint32_t value = 0;
  if (impl_->FastRead(offset, width, value)) return value;
  bool run;
  {
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->WaitForRunner(lock);
    impl_->Advance();
    for (unsigned i = 0; i < width; ++i) {
      value |= uint32_t{impl_->ReadByte(offset + i)} << (8 * i);
    }
    if (offset == kRegStatus && width == 2) {
      if (I8255xDescriptorHook* hook = impl_->faults.descriptor_hook.load()) {
        value = hook->ScbStatus(static_cast<uint16_t>(value));
      }
    }
    if (impl_->faults.registers_all_ones.load()) {
      value = width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
    }
    impl_->Record(offset, width, value, false);
    run = impl_->WantsRun();
  }
  if (run) impl_->RunCommandUnit();
  return value;
}

void I8255x::PortWrite(uint32_t offset, unsigned width, uint32_t value) {
  bool run;
  {
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->WaitForRunner(lock);
    impl_->Advance();
    impl_->Record(offset, width, value, true);
    impl_->WriteRegisters(offset, width, value);
    impl_->UpdateIrq();
    run = impl_->WantsRun();
  }
  // Command blocks run here, after the lock is released, so that a frame
  // sent on the segment never travels with this controller's lock held.
  if (run) impl_->RunCommandUnit();
}

}  // namespace sim
