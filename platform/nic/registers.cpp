// The 8255x model's register block: what the SCB registers, PORT, the
// EEPROM and MDI lines read and what a write to them does, the interrupt
// line that follows the status, and the snapshot of the first four bytes
// that reads take without the model's lock.
#include <algorithm>

#include "platform/nic/i8255x_impl.h"

namespace sim {

using namespace i8255x;

uint16_t I8255x::Impl::SourceMasks() const {
  if (!single_source_masks) return 0;
  // Control bits 7-4 mask CX, FR, CNA and RNR (status bits 15-12), bits 3-2
  // ER and FCP (status bits 9-8).
  const uint16_t c = interrupt_control;
  return static_cast<uint16_t>((c & 0xF0) << 8 | (c & 0x0C) << 6);
}

// The snapshot goes out before the line moves: the interrupt service that
// the line wakes reads the status without the lock and must find the cause.
void I8255x::Impl::UpdateIrq() {
  Publish();
  const bool level = (pending & ~SourceMasks()) != 0 && (interrupt_control & kMaskAll) == 0;
  if (level != line_level) {
    line_level = level;
    pin.Set(level);
  }
}

// Every locked section that changes what the first four registers read
// ends here (through UpdateIrq). The bytes hold until the first moment at
// which Advance would change them; while blocks run, or are about to, or
// accesses are traced, they hold not at all. The deadline is withdrawn
// before the bytes change, so a reader that finds it unchanged around its
// load of the bytes has bytes that go with it.
void I8255x::Impl::Publish() {
  uint64_t until = UINT64_MAX;
  if (trace_on || cu_work_pending || cu_runner_active) until = 0;
  if (command_latched) until = std::min(until, command_accept_ns);
  if (port_busy) until = std::min(until, port_done_ns);
  if (mdi_busy) until = std::min(until, mdi_done_ns);
  if (cu_state == kCuActive) until = std::min(until, cu_busy_until_ns);
  const uint32_t bytes = uint32_t{static_cast<uint8_t>(cu_state | ru_state)} |
                         uint32_t{static_cast<uint8_t>(pending >> 8)} << 8 |
                         uint32_t{command_byte} << 16 | uint32_t{interrupt_control} << 24;
  fast_until.store(0, std::memory_order_relaxed);
  fast_bytes.store(bytes, std::memory_order_release);
  fast_until.store(until, std::memory_order_release);
}

// A read of the status, command and interrupt control bytes without mu,
// when nothing can have changed them since they were published: no moment
// at which the model would act has come, no fault bends what they read,
// and the access lies inside those four bytes. Anything else takes the lock.
bool I8255x::Impl::FastRead(uint32_t offset, unsigned width, uint32_t& value) {
  if (offset + width > kRegGeneralPointer) return false;
  const uint64_t until = fast_until.load(std::memory_order_acquire);
  if (machine.clock().NowNs() >= until) return false;
  const uint32_t bytes = fast_bytes.load(std::memory_order_acquire);
  if (fast_until.load(std::memory_order_relaxed) != until) return false;
  if (faults.registers_all_ones.load(std::memory_order_relaxed) ||
      faults.cu_stuck_active.load(std::memory_order_relaxed) ||
      faults.descriptor_hook.load(std::memory_order_relaxed) != nullptr) {
    return false;
  }
  const uint32_t shifted = bytes >> (8 * offset);
  value = width >= 4 ? shifted : shifted & ((1u << (8 * width)) - 1);
  return true;
}

uint8_t I8255x::Impl::ReadByte(uint32_t offset) {
  const unsigned lane = LaneOf(offset);
  switch (RegisterOf(offset)) {
    case kRegStatus:
      return StatusLow();
    case kRegStatusHigh:
      return static_cast<uint8_t>(pending >> 8);
    case kRegCommand:
      return command_byte;
    case kRegInterruptControl:
      return interrupt_control;
    case kRegGeneralPointer:
      return ByteLane(general_pointer, lane);
    case kRegPort:
      return ByteLane(port_busy ? (port_latch | kPortBusyMark) : 0, lane);
    case kRegEeprom:
      return static_cast<uint8_t>(eeprom_lines | (eeprom.DataOut() ? kEeDataOut : 0));
    case kRegMdi:
      return ByteLane(mdi_register, lane);
    default:
      return 0;  // flash control, early receive, flow control, ...: not modelled
  }
}

// Where a byte written to a 32-bit register goes (PORT and MDI act on the
// whole latch once the access is over), or null for a byte-wide register.
uint32_t* I8255x::Impl::WriteLatch(uint32_t reg) {
  if (reg == kRegGeneralPointer) return &general_pointer;
  if (reg == kRegPort) return &port_latch;
  if (reg == kRegMdi) return &mdi_latch;
  return nullptr;
}

// The part takes the pointer when it accepts the command, so a pending
// command that uses it now gets the new value.
void I8255x::Impl::CheckPointerChange(uint32_t old_pointer) {
  if (command_latched && general_pointer != old_pointer &&
      ((command_byte & kScbRuCommand) == 1 || (command_byte & kScbRuCommand) == 6 ||
       (command_byte >> 4) == 1 || (command_byte >> 4) == 4 || (command_byte >> 4) == 6)) {
    ProgrammingError("general pointer changed from " + Hex(old_pointer) + " to " +
                     Hex(general_pointer) + " under SCB command " + Hex(command_byte) +
                     " not yet accepted");
  }
}

void I8255x::Impl::WriteRegisters(uint32_t offset, unsigned width, uint32_t value) {
  // The driver's writes are the acknowledge, the command byte and the whole
  // general pointer: those are decoded at once, with the same effects in the
  // same order as the byte walk below (acknowledge, interrupt control, then
  // the command).
  if (offset + width <= kRegGeneralPointer) {
    const unsigned lanes = ((1u << width) - 1) << offset;
    const uint32_t bytes = width >= 4 ? value : value << (8 * offset);
    // Interrupt bits are acknowledged by writing 1s; the unit states are read only.
    if (lanes & (1u << kRegStatusHigh))
      pending = static_cast<uint16_t>(pending & ~(bytes & 0xFF00));
    if (lanes & (1u << kRegInterruptControl)) WriteInterruptControl(ByteLane(bytes, 3));
    if (lanes & (1u << kRegCommand)) WriteCommand(ByteLane(bytes, 2));
    return;
  }
  if (offset == kRegGeneralPointer && width == 4) {
    const uint32_t old_pointer = general_pointer;
    general_pointer = value;
    CheckPointerChange(old_pointer);
    return;
  }
  uint64_t written = 0;                         // bit n: the register at offset n was written
  std::array<uint8_t, kRegisterBlock> bytes{};  // what the byte-wide registers were written
  const uint32_t old_pointer = general_pointer;
  for (unsigned i = 0; i < width; ++i) {
    const uint32_t at = offset + i;
    const uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
    if (at >= kRegisterBlock) break;
    const uint32_t reg = RegisterOf(at);
    written |= uint64_t{1} << reg;
    bytes[reg] = byte;
    if (uint32_t* latch = WriteLatch(reg)) SetByteLane(*latch, LaneOf(at), byte);
    if (reg == kRegStatusHigh) pending = static_cast<uint16_t>(pending & ~(byte << 8));
  }
  const auto wrote = [written](uint32_t reg) { return ((written >> reg) & 1) != 0; };
  if (wrote(kRegGeneralPointer)) CheckPointerChange(old_pointer);
  // One access is one event per register, whatever its width.
  if (wrote(kRegInterruptControl)) WriteInterruptControl(bytes[kRegInterruptControl]);
  if (wrote(kRegCommand)) WriteCommand(bytes[kRegCommand]);
  if (wrote(kRegPort)) PortOperation(port_latch);
  if (wrote(kRegEeprom)) DriveEeprom(bytes[kRegEeprom]);
  if (wrote(kRegMdi)) StartMdi(mdi_latch);
}

void I8255x::Impl::WriteInterruptControl(uint8_t value) {
  if (value & kSoftwareInterrupt) Raise(kSwi);
  interrupt_control = static_cast<uint8_t>(value & (single_source_masks ? 0xFD : kMaskAll));
}

// The part samples the command byte on its own clock: a command waits in
// the byte until accepted, and a second write before that replaces it (the
// first is never seen).
void I8255x::Impl::WriteCommand(uint8_t value) {
  if (command_latched) {
    ProgrammingError("SCB command " + Hex(value) + " written over command " + Hex(command_byte) +
                     " not yet accepted; " + Hex(command_byte) + " is lost");
  }
  command_byte = value;
  command_latched = value != 0;
  command_accept_ns = machine.clock().NowNs() + config.command_latency_ns;
  if (!command_latched || faults.command_never_accepted.load()) return;
  if (config.command_latency_ns == 0) {
    AcceptCommand();
  } else {
    // No wake-up of the acceptor: it looks for latched commands itself,
    // which costs a command nothing when an access takes it first.
    machine.clock().SetAlarm(&accept_alarm, command_accept_ns);
  }
}

}  // namespace sim
