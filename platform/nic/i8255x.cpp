#include "platform/nic/i8255x.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "platform/nic/eeprom.h"
#include "platform/nic/phy.h"

namespace sim {

namespace {

// Replaces byte `lane` (0 = least significant) of a 32-bit register.
void SetByteLane(uint32_t& word, unsigned lane, uint8_t byte) {
  const unsigned shift = 8 * lane;
  word = (word & ~(0xFFu << shift)) | (uint32_t{byte} << shift);
}

}  // namespace

namespace {

// ---- Register block ----
constexpr uint32_t kRegStatus = 0;
constexpr uint32_t kRegStatusHigh = 1;
constexpr uint32_t kRegCommand = 2;
constexpr uint32_t kRegInterruptControl = 3;
constexpr uint32_t kRegGeneralPointer = 4;
constexpr uint32_t kRegPort = 8;
constexpr uint32_t kRegEeprom = 14;
constexpr uint32_t kRegMdi = 16;
constexpr uint32_t kRegisterBlock = 64;

// Status low byte: unit states.
constexpr uint8_t kCuIdle = 0x00;
constexpr uint8_t kCuSuspended = 0x40;
constexpr uint8_t kCuActive = 0x80;
constexpr uint8_t kRuIdle = 0x00;
constexpr uint8_t kRuSuspended = 0x04;
constexpr uint8_t kRuNoResources = 0x08;
constexpr uint8_t kRuReady = 0x10;
constexpr uint8_t kRuNoRbds = 0x28;

// Status high byte: interrupt bits (as 16-bit values).
constexpr uint16_t kCx = 0x8000;
constexpr uint16_t kFr = 0x4000;
constexpr uint16_t kCna = 0x2000;
constexpr uint16_t kRnr = 0x1000;
constexpr uint16_t kMdi = 0x0800;
constexpr uint16_t kSwi = 0x0400;
constexpr uint16_t kEr = 0x0200;
constexpr uint16_t kFcp = 0x0100;

// Interrupt control byte.
constexpr uint8_t kMaskAll = 0x01;
constexpr uint8_t kSoftwareInterrupt = 0x02;

// EEPROM control lines.
constexpr uint8_t kEeClock = 0x01;
constexpr uint8_t kEeChipSelect = 0x02;
constexpr uint8_t kEeDataIn = 0x04;
constexpr uint8_t kEeDataOut = 0x08;

// MDI control.
constexpr uint32_t kMdiReady = 0x10000000;
constexpr uint32_t kMdiInterruptEnable = 0x20000000;

// PORT.
constexpr uint32_t kPortSoftwareReset = 0;
constexpr uint32_t kPortSelfTest = 1;
constexpr uint32_t kPortSelectiveReset = 2;
// While an operation runs PORT reads the written value with this (otherwise
// unused) function bit set, so it is never 0 before the operation is done.
constexpr uint32_t kPortBusyMark = 0x8;
constexpr uint32_t kSelfTestSignature = 0x5A5A0001;

// Command blocks.
constexpr uint16_t kCbComplete = 0x8000;
constexpr uint16_t kCbOk = 0x2000;
constexpr uint16_t kCbEndOfList = 0x8000;
constexpr uint16_t kCbSuspend = 0x4000;
constexpr uint16_t kCbInterrupt = 0x2000;
constexpr uint16_t kCbFlexible = 0x0008;
constexpr uint32_t kNoAddress = 0xFFFFFFFF;

// Receive descriptors.
constexpr uint16_t kRfdComplete = 0x8000;
constexpr uint16_t kRfdOk = 0x2000;
constexpr uint16_t kRfdCrc = 0x0800;
constexpr uint16_t kRfdAlignment = 0x0400;
constexpr uint16_t kRfdNoResources = 0x0200;
constexpr uint16_t kRfdOverrun = 0x0100;
constexpr uint16_t kRfdTooShort = 0x0080;
constexpr uint16_t kRfdEndOfList = 0x8000;
constexpr uint16_t kRfdSuspend = 0x4000;
constexpr uint16_t kRbdEof = 0x8000;
constexpr uint16_t kRbdF = 0x4000;
constexpr uint16_t kRbdCountMask = 0x3FFF;
constexpr uint16_t kRbdEndOfList = 0x8000;

constexpr size_t kMinimumFrame = 60;

// Bounds and timings (machine time).
constexpr unsigned kBlocksPerRun = 64;
constexpr unsigned kLongCommandList = 4096;
constexpr unsigned kMaxRbdsPerFrame = 4096;
constexpr uint64_t kTransmitBusyNs = 2000;
constexpr uint64_t kBlockBusyNs = 1000;
constexpr uint64_t kPortOperationNs = 10000;
constexpr uint64_t kMdiCycleNs = 2000;
constexpr size_t kTraceLimit = size_t{1} << 20;
constexpr size_t kObservationLimit = 256;

// Configuration bytes the model honours.
constexpr unsigned kCfgSaveBad = 6;          // bit 7
constexpr unsigned kCfgDiscardShort = 7;     // bit 0
constexpr unsigned kCfgNoSourceInsert = 10;  // bit 3
constexpr unsigned kCfgFilter = 15;          // bit 0 promiscuous, bit 1 broadcast disabled
constexpr unsigned kCfgPadding = 18;         // bit 1
constexpr unsigned kCfgMulticastAll = 21;    // bit 3

// Power-up configuration: 22 bytes to read, save-bad off, discard-short on,
// frames sent as written (no source insertion), padding on, broadcasts
// accepted, no promiscuous or all-multicast reception.
constexpr std::array<uint8_t, 24> kDefaultConfiguration = {
    0x16, 0x08, 0x00, 0x00, 0x00, 0x80, 0x3B, 0x03, 0x00, 0x00, 0x2E, 0x00,
    0xF0, 0x00, 0xF2, 0xC8, 0x00, 0x40, 0xF3, 0x00, 0x3F, 0x05, 0x00, 0x00};

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace

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
//
// Receive unit, flexible mode. Public documentation of this controller family
// describes only the simplified receive mode; the flexible mode here is this
// model's own definition, shaped after what the driver's receive code expects:
//
// - RU start (general pointer + RU base) makes the RU ready at that RFD. Only
//   this first RFD's RbdAddress is used: it names the first RBD (0xFFFFFFFF
//   there means no RBD). Every later RFD's RbdAddress is ignored, whatever it
//   holds; the RU goes on along the RBD links on its own.
// - The RFD's Size field and data area are not used: all frame bytes go to
//   RBDs. Each RBD gives a buffer (BufferAddress) of Size & 0x3FFF bytes;
//   the RU fills buffers from its current RBD, writes each used RBD's Count
//   as bytes | F (0x4000), the frame's last also | EOF (0x8000), and moves on
//   along Link.
// - The RFD then gets ActualCount = bytes stored | EOF | F, and its Status,
//   written last: complete 0x8000 with OK 0x2000 for a good frame, or the
//   error bits (CRC 0x0800, alignment 0x0400, overrun 0x0100, too short
//   0x0080) instead of OK. FR is raised and the RU moves to the RFD's Link.
// - An RFD with EL (0x8000 in Command) still completes normally; the RU then
//   enters no resources (0x08) and raises RNR. With S (0x4000) it suspends
//   (0x04) and raises RNR.
// - When the RBD marked EL (Size bit 15) has been used, the RU has no buffers
//   left: it enters no resources with no RBDs (0x28) after that frame and
//   raises RNR. A frame that still had bytes to store is cut there and its
//   RFD completes with 0x0200 (no resources) instead of OK.
// - All addresses in descriptors are relative to the RU base.
// - RU resume continues at the current RFD (and, from 0x28, at the RBD after
//   the last one used). RU abort makes the RU idle at once. RNR is raised
//   only when the RU leaves ready on its own, never for an abort or a reset.
// - Every walk is bounded: a frame uses at most 4096 RBDs, and an RBD seen
//   twice within one frame (a looping link) ends the frame as if the buffers
//   had run out; both are recorded as observations.

struct I8255x::Impl {
  Impl(I8255x& owner, Machine& machine_in, const I8255xConfig& config_in);

  // ---- Locked helpers (caller holds mu) ----
  void Advance();
  void UpdateIrq();
  void Raise(uint16_t bits) { pending |= bits; }
  uint16_t SourceMasks() const;
  uint8_t ReadByte(uint32_t offset);
  void WriteRegisters(uint32_t offset, unsigned width, uint32_t value);
  void WriteInterruptControl(uint8_t value);
  void WriteCommand(uint8_t value);
  void ExecuteScbCommand(uint8_t value);
  void PortOperation(uint32_t value);
  void SoftwareReset();
  void SelectiveReset();
  void StartMdi(uint32_t value);
  void CompleteMdi();
  void DriveEeprom(uint8_t value);
  void Observe(const std::string& what);
  void Record(uint32_t offset, unsigned width, uint32_t value, bool write);
  uint8_t StatusLow() const;
  bool WantsRun() const { return cu_work_pending && !cu_runner_active; }

  // ---- Command unit ----
  struct BlockResult {
    bool readable = true;
    uint16_t command = 0;
    uint32_t link = 0;
    uint16_t status = 0;
    uint64_t cost_ns = 0;
    bool sends = false;  // a transmit: tx_frame holds the frame to send
  };
  // Runs blocks, at most kBlocksPerRun, without holding mu while a frame is
  // handed to the segment. Called with mu NOT held.
  void RunCommandUnit();
  BlockResult ExecuteBlock(uint32_t address);
  void FinishBlock(uint32_t address, const BlockResult& result, bool superseded);
  bool Transmit(uint32_t address, uint16_t command, BlockResult& result);

  // ---- Receive unit ----
  void ReceiveFrame(const uint8_t* data, size_t length, const FrameErrors& errors);
  bool PassesFilter(const uint8_t* data, size_t length) const;
  void RuLeaveReady(uint8_t state);

  // ---- DMA, counted ----
  bool DmaRead(uint32_t address, void* data, size_t length);
  bool DmaWrite(uint32_t address, const void* data, size_t length);
  uint16_t Load16(uint32_t address, bool& ok);
  uint32_t Load32(uint32_t address, bool& ok);
  void Store16(uint32_t address, uint16_t value);
  void Store32(uint32_t address, uint32_t value);

  // ---- PCI ----
  void OnPciChange();

  I8255x& self;
  Machine& machine;
  const I8255xConfig config;
  const bool single_source_masks;
  I8255xFaults faults;      // atomics: any thread
  I8255xCounters counters;  // atomics: any thread
  PciFunction pci;          // locks itself
  Dma dma;                  // locks itself
  IrqPin pin;               // locks itself

  // The port window and the interrupt line follow the PCI registers; the
  // change listener runs on whatever thread wrote them.
  std::mutex map_mu;
  bool mapped = false;       // guarded by map_mu
  uint32_t mapped_base = 0;  // guarded by map_mu

  // Everything below is guarded by mu: register state, both units, the
  // EEPROM and PHY, and the observation records.
  mutable std::mutex mu;
  Segment* segment = nullptr;

  uint16_t pending = 0;  // interrupt bits of the status word
  uint8_t interrupt_control = kMaskAll;
  bool line_level = false;       // what the pin was last set to
  uint8_t command_byte = 0;      // the SCB command byte as read back
  bool command_latched = false;  // a command waiting to be accepted
  uint32_t general_pointer = 0;

  uint32_t port_latch = 0;  // last value written to PORT
  bool port_busy = false;
  bool port_hang = false;  // selective reset begun under the hang fault
  uint64_t port_done_ns = 0;

  MicrowireEeprom eeprom;
  uint8_t eeprom_lines = 0;  // clock, chip select, data in as last written

  PhyModel phy;
  uint32_t mdi_latch = 0;     // bytes written to MDI control
  uint32_t mdi_register = 0;  // MDI control as read back
  bool mdi_busy = false;
  uint64_t mdi_done_ns = 0;

  std::array<uint8_t, 24> configuration = kDefaultConfiguration;
  std::array<uint8_t, 24> last_configure = kDefaultConfiguration;
  bool configured = false;
  std::array<uint8_t, 6> individual_address{};
  bool individual_address_set = false;
  std::vector<std::array<uint8_t, 6>> multicast;

  // Command unit.
  uint8_t cu_state = kCuIdle;
  uint8_t cu_after = kCuIdle;  // where the CU goes when its busy time is over
  uint32_t cu_base = 0;
  uint32_t cu_next = 0;           // next block to run (absolute)
  bool cu_work_pending = false;   // cu_next is to be run
  bool cu_runner_active = false;  // some thread is running blocks
  uint64_t cu_generation = 0;     // bumped by every start, resume and reset
  uint64_t reset_generation = 0;  // bumped by every reset
  uint64_t cu_busy_until_ns = 0;
  uint32_t cu_suspended_block = 0;
  unsigned cu_blocks_this_start = 0;

  // Receive unit.
  uint8_t ru_state = kRuIdle;
  uint32_t ru_base = 0;
  uint32_t ru_rfd = 0;           // current RFD (absolute)
  bool ru_first_rfd = false;     // the current RFD names the first RBD
  uint32_t ru_rbd = 0;           // current RBD (absolute)
  bool ru_rbd_valid = false;     // ru_rbd may be used
  bool ru_rbd_after_el = false;  // ru_rbd is the link of a used EL RBD

  // The frame a transmit block produced, kept between blocks so that its
  // buffer is reused. Only the thread running blocks (cu_runner_active)
  // touches it, also while mu is released around the send.
  Frame tx_frame;
  // Buffer descriptors used by the frame being stored; guarded by mu,
  // reused so that a frame's arrival allocates nothing.
  struct UsedRbd {
    uint32_t rbd;
    uint16_t count;
    uint16_t capacity;
  };
  std::vector<UsedRbd> rx_used;

  std::vector<std::string> observations;
  bool trace_on = false;
  std::vector<TraceEntry> trace;
};

I8255x::Impl::Impl(I8255x& owner, Machine& machine_in, const I8255xConfig& config_in)
    : self(owner),
      machine(machine_in),
      config(config_in),
      single_source_masks(I8255xHasSingleSourceMasks(config_in.device_id, config_in.revision)),
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
}

uint16_t I8255x::Impl::SourceMasks() const {
  if (!single_source_masks) return 0;
  uint16_t masked = 0;
  const uint8_t c = interrupt_control;
  if (c & 0x80) masked |= kCx;
  if (c & 0x40) masked |= kFr;
  if (c & 0x20) masked |= kCna;
  if (c & 0x10) masked |= kRnr;
  if (c & 0x08) masked |= kEr;
  if (c & 0x04) masked |= kFcp;
  return masked;
}

void I8255x::Impl::UpdateIrq() {
  const bool level = (pending & ~SourceMasks()) != 0 && (interrupt_control & kMaskAll) == 0;
  if (level != line_level) {
    line_level = level;
    pin.Set(level);
  }
}

// Applies whatever machine time has made due. Time only moves with port
// accesses, so doing this at every register access and frame arrival is as
// good as a timer.
void I8255x::Impl::Advance() {
  const uint64_t now = machine.clock().NowNs();
  if (command_latched && !faults.command_never_accepted.load()) {
    const uint8_t command = command_byte;
    command_latched = false;
    command_byte = 0;
    ExecuteScbCommand(command);
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

void I8255x::Impl::Record(uint32_t offset, unsigned width, uint32_t value, bool write) {
  if (trace_on && trace.size() < kTraceLimit) trace.push_back({offset, width, value, write});
}

uint8_t I8255x::Impl::StatusLow() const {
  const uint8_t cu = faults.cu_stuck_active.load() ? kCuActive : cu_state;
  return static_cast<uint8_t>(cu | ru_state);
}

// ---- Registers ----

uint8_t I8255x::Impl::ReadByte(uint32_t offset) {
  switch (offset) {
    case kRegStatus:
      return StatusLow();
    case kRegStatusHigh:
      return static_cast<uint8_t>(pending >> 8);
    case kRegCommand:
      return command_byte;
    case kRegInterruptControl:
      return interrupt_control;
    case kRegGeneralPointer:
    case kRegGeneralPointer + 1:
    case kRegGeneralPointer + 2:
    case kRegGeneralPointer + 3:
      return static_cast<uint8_t>(general_pointer >> (8 * (offset - kRegGeneralPointer)));
    case kRegPort:
    case kRegPort + 1:
    case kRegPort + 2:
    case kRegPort + 3: {
      const uint32_t value = port_busy ? (port_latch | kPortBusyMark) : 0;
      return static_cast<uint8_t>(value >> (8 * (offset - kRegPort)));
    }
    case kRegEeprom:
      return static_cast<uint8_t>(eeprom_lines | (eeprom.DataOut() ? kEeDataOut : 0));
    case kRegMdi:
    case kRegMdi + 1:
    case kRegMdi + 2:
    case kRegMdi + 3:
      return static_cast<uint8_t>(mdi_register >> (8 * (offset - kRegMdi)));
    default:
      return 0;  // flash control, early receive, flow control, ...: not modelled
  }
}

void I8255x::Impl::WriteRegisters(uint32_t offset, unsigned width, uint32_t value) {
  std::optional<uint8_t> command;
  std::optional<uint8_t> interrupt;
  std::optional<uint8_t> eeprom_value;
  bool port = false;
  bool mdi = false;
  for (unsigned i = 0; i < width; ++i) {
    const uint32_t at = offset + i;
    const uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
    if (at >= kRegisterBlock) break;
    switch (at) {
      case kRegStatus:
        break;  // unit states are read only
      case kRegStatusHigh:
        pending = static_cast<uint16_t>(pending & ~(byte << 8));
        break;
      case kRegCommand:
        command = byte;
        break;
      case kRegInterruptControl:
        interrupt = byte;
        break;
      case kRegGeneralPointer:
      case kRegGeneralPointer + 1:
      case kRegGeneralPointer + 2:
      case kRegGeneralPointer + 3: {
        SetByteLane(general_pointer, at - kRegGeneralPointer, byte);
        break;
      }
      case kRegPort:
      case kRegPort + 1:
      case kRegPort + 2:
      case kRegPort + 3: {
        SetByteLane(port_latch, at - kRegPort, byte);
        port = true;
        break;
      }
      case kRegEeprom:
        eeprom_value = byte;
        break;
      case kRegMdi:
      case kRegMdi + 1:
      case kRegMdi + 2:
      case kRegMdi + 3: {
        SetByteLane(mdi_latch, at - kRegMdi, byte);
        mdi = true;
        break;
      }
      default:
        break;
    }
  }
  // One access is one event per register, whatever its width.
  if (interrupt) WriteInterruptControl(*interrupt);
  if (command) WriteCommand(*command);
  if (port) PortOperation(port_latch);
  if (eeprom_value) DriveEeprom(*eeprom_value);
  if (mdi) StartMdi(mdi_latch);
}

void I8255x::Impl::WriteInterruptControl(uint8_t value) {
  if (value & kSoftwareInterrupt) Raise(kSwi);
  interrupt_control = static_cast<uint8_t>(value & (single_source_masks ? 0xFD : kMaskAll));
}

void I8255x::Impl::WriteCommand(uint8_t value) {
  if (faults.command_never_accepted.load()) {
    command_byte = value;
    command_latched = value != 0;
    return;
  }
  command_latched = false;
  command_byte = 0;
  ExecuteScbCommand(value);
}

void I8255x::Impl::ExecuteScbCommand(uint8_t value) {
  switch (value & 0x07) {
    case 0:
      break;
    case 1:  // RU start
      ru_rfd = ru_base + general_pointer;
      ru_first_rfd = true;
      ru_rbd_valid = false;
      ru_rbd_after_el = false;
      ru_state = kRuReady;
      break;
    case 2:  // RU resume
      if (ru_state == kRuSuspended || ru_state == kRuNoResources) {
        ru_state = kRuReady;
      } else if (ru_state == kRuNoRbds) {
        ru_state = kRuReady;
        if (ru_rbd_after_el) {
          ru_rbd_valid = true;
          ru_rbd_after_el = false;
        }
      }
      break;
    case 4:  // RU abort
      ru_state = kRuIdle;
      break;
    case 6:  // load RU base
      ru_base = general_pointer;
      break;
    default:
      counters.unknown_commands.fetch_add(1);
      break;
  }
  switch (value >> 4) {
    case 0:
      break;
    case 1:  // CU start
      cu_next = cu_base + general_pointer;
      cu_work_pending = true;
      cu_state = kCuActive;
      ++cu_generation;
      cu_blocks_this_start = 0;
      break;
    case 2: {  // CU resume: the block after the one that suspended
      const bool suspended =
          cu_state == kCuSuspended ||
          (cu_state == kCuActive && !cu_work_pending && cu_after == kCuSuspended);
      if (!suspended) break;
      bool ok = true;
      const uint32_t link = Load32(cu_suspended_block + 4, ok);
      if (!ok) {
        Observe("CU resume: suspended block at " + Hex(cu_suspended_block) + " unreadable");
        break;
      }
      cu_next = cu_base + link;
      cu_work_pending = true;
      cu_state = kCuActive;
      ++cu_generation;
      break;
    }
    case 4:   // load dump counters address
    case 5:   // dump statistics
    case 7:   // dump and reset statistics
      break;  // accepted; the model keeps no statistics block
    case 6:   // load CU base
      cu_base = general_pointer;
      break;
    default:
      counters.unknown_commands.fetch_add(1);
      break;
  }
}

void I8255x::Impl::SoftwareReset() {
  cu_state = kCuIdle;
  cu_after = kCuIdle;
  cu_work_pending = false;
  ++cu_generation;
  ++reset_generation;
  cu_busy_until_ns = 0;
  cu_base = 0;
  ru_state = kRuIdle;
  ru_base = 0;
  ru_rbd_valid = false;
  ru_rbd_after_el = false;
  ru_first_rfd = false;
  general_pointer = 0;
  pending = 0;
  interrupt_control = kMaskAll;
  command_byte = 0;
  command_latched = false;
  configuration = kDefaultConfiguration;
  last_configure = kDefaultConfiguration;
  configured = false;
  individual_address = {};
  individual_address_set = false;
  multicast.clear();
  eeprom.Reset();
  eeprom_lines = 0;
  mdi_latch = 0;
  mdi_register = 0;
  mdi_busy = false;
}

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
      Store32(address + 4, 0);                   // every test passed
      Store32(address + 0, kSelfTestSignature);  // written last
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

bool I8255x::Impl::DmaRead(uint32_t address, void* data, size_t length) {
  if (dma.Read(address, data, length)) return true;
  counters.bus_errors.fetch_add(1);
  return false;
}

bool I8255x::Impl::DmaWrite(uint32_t address, const void* data, size_t length) {
  if (dma.Write(address, data, length)) return true;
  counters.bus_errors.fetch_add(1);
  return false;
}

uint16_t I8255x::Impl::Load16(uint32_t address, bool& ok) {
  bool good = true;
  const uint16_t value = dma.Load16(address, &good);
  if (!good) {
    ok = false;
    counters.bus_errors.fetch_add(1);
  }
  return value;
}

uint32_t I8255x::Impl::Load32(uint32_t address, bool& ok) {
  bool good = true;
  const uint32_t value = dma.Load32(address, &good);
  if (!good) {
    ok = false;
    counters.bus_errors.fetch_add(1);
  }
  return value;
}

void I8255x::Impl::Store16(uint32_t address, uint16_t value) {
  if (!dma.Store16(address, value)) counters.bus_errors.fetch_add(1);
}

void I8255x::Impl::Store32(uint32_t address, uint32_t value) {
  if (!dma.Store32(address, value)) counters.bus_errors.fetch_add(1);
}

// ---- Command unit ----

void I8255x::Impl::RunCommandUnit() {
  std::unique_lock<std::mutex> lock(mu);
  if (cu_runner_active || !cu_work_pending) return;
  cu_runner_active = true;
  for (unsigned n = 0; n < kBlocksPerRun && cu_work_pending; ++n) {
    const uint32_t address = cu_next;
    const uint64_t generation = cu_generation;
    const uint64_t resets = reset_generation;
    BlockResult result = ExecuteBlock(address);
    if (result.sends) {
      Segment* wire = segment;
      counters.frames_sent.fetch_add(1);
      if (wire != nullptr) {
        // Never call another port with this controller's lock held: the
        // receiver may be sending to us at this very moment.
        lock.unlock();
        wire->Send(&self, tx_frame);
        lock.lock();
      }
    }
    if (resets != reset_generation) continue;  // a reset overtook the block
    FinishBlock(address, result, generation != cu_generation);
  }
  cu_runner_active = false;
  Advance();
}

I8255x::Impl::BlockResult I8255x::Impl::ExecuteBlock(uint32_t address) {
  BlockResult result;
  bool ok = true;
  result.command = Load16(address + 2, ok);
  result.link = Load32(address + 4, ok);
  if (!ok) {
    result.readable = false;
    return result;
  }
  bool good = true;
  result.cost_ns = kBlockBusyNs;
  switch (result.command & 0x7) {
    case 0:  // no operation
      break;
    case 1: {  // individual address setup
      std::array<uint8_t, 6> address_bytes;
      if (DmaRead(address + 8, address_bytes.data(), address_bytes.size())) {
        individual_address = address_bytes;
        individual_address_set = true;
      } else {
        good = false;
      }
      break;
    }
    case 2: {  // configure: all 24 bytes kept, the first byte-count bytes applied
      std::array<uint8_t, 24> bytes;
      if (DmaRead(address + 8, bytes.data(), bytes.size())) {
        const size_t count = std::min<size_t>(bytes[0] & 0x3F, bytes.size());
        std::copy_n(bytes.begin(), count, configuration.begin());
        last_configure = bytes;
        configured = true;
      } else {
        good = false;
      }
      break;
    }
    case 3: {  // multicast setup: byte count, then 6-byte addresses
      const uint16_t count = Load16(address + 8, ok) & 0x3FFF;
      std::vector<uint8_t> bytes(count);
      if (ok && DmaRead(address + 10, bytes.data(), bytes.size())) {
        multicast.clear();
        for (size_t i = 0; i + 6 <= bytes.size(); i += 6) {
          std::array<uint8_t, 6> group;
          std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(i), 6, group.begin());
          multicast.push_back(group);
        }
      } else {
        good = false;
      }
      break;
    }
    case 4:
      good = Transmit(address, result.command, result);
      result.cost_ns = kTransmitBusyNs;
      break;
    default:  // load microcode, dump, diagnose: not modelled
      counters.unknown_commands.fetch_add(1);
      break;
  }
  result.status = static_cast<uint16_t>(kCbComplete | (good ? kCbOk : 0));
  return result;
}

// Simplified mode only: no TBD array, the frame right after the count word.
bool I8255x::Impl::Transmit(uint32_t address, uint16_t command, BlockResult& result) {
  bool ok = true;
  const uint32_t tbd_array = Load32(address + 8, ok);
  const uint16_t count = Load16(address + 12, ok) & 0x3FFF;
  if (!ok) return false;
  if ((command & kCbFlexible) != 0 || tbd_array != kNoAddress || count == 0) {
    counters.transmit_errors.fetch_add(1);
    return false;
  }
  Frame& frame = tx_frame;
  frame.errors = FrameErrors{};
  frame.bytes.resize(count);
  if (!DmaRead(address + 16, frame.bytes.data(), count)) return false;
  if ((configuration[kCfgNoSourceInsert] & 0x08) == 0 && count >= 12) {
    std::copy(individual_address.begin(), individual_address.end(), frame.bytes.begin() + 6);
  }
  if ((configuration[kCfgPadding] & 0x02) != 0 && frame.bytes.size() < kMinimumFrame) {
    frame.bytes.resize(kMinimumFrame, 0);
  }
  result.sends = true;
  return true;
}

void I8255x::Impl::FinishBlock(uint32_t address, const BlockResult& result, bool superseded) {
  if (!result.readable) {
    Observe("command block at " + Hex(address) + " unreadable; command unit stopped");
    if (!superseded) {
      cu_work_pending = false;
      cu_after = kCuIdle;
    }
    return;
  }
  counters.commands_executed.fetch_add(1);
  if (!faults.blocks_never_complete.load()) Store16(address, result.status);  // written last
  if (result.command & kCbInterrupt) Raise(kCx);
  cu_busy_until_ns = std::max(cu_busy_until_ns, machine.clock().NowNs()) + result.cost_ns;
  if (superseded) return;  // a later start or resume decides where the CU goes
  // End of list wins over suspend when a block has both: the CU goes idle.
  if (result.command & kCbEndOfList) {
    cu_work_pending = false;
    cu_after = kCuIdle;
  } else if (result.command & kCbSuspend) {
    cu_work_pending = false;
    cu_after = kCuSuspended;
    cu_suspended_block = address;
  } else {
    cu_next = cu_base + result.link;
    if (++cu_blocks_this_start == kLongCommandList) {
      Observe("command list of more than " + std::to_string(kLongCommandList) +
              " blocks without end of list or suspend (looping links?), at " + Hex(address));
    }
  }
}

// ---- Receive unit ----

bool I8255x::Impl::PassesFilter(const uint8_t* data, size_t length) const {
  if (configuration[kCfgFilter] & 0x01) return true;  // promiscuous
  if (length < 6) return false;
  if (individual_address_set && std::equal(data, data + 6, individual_address.begin())) {
    return true;
  }
  if (std::all_of(data, data + 6, [](uint8_t b) { return b == 0xFF; })) {
    return (configuration[kCfgFilter] & 0x02) == 0;
  }
  if (data[0] & 0x01) {
    if (configuration[kCfgMulticastAll] & 0x08) return true;
    return std::any_of(multicast.begin(), multicast.end(), [data](const auto& group) {
      return std::equal(group.begin(), group.end(), data);
    });
  }
  return false;
}

void I8255x::Impl::RuLeaveReady(uint8_t state) {
  if (ru_state == kRuReady) Raise(kRnr);
  ru_state = state;
}

void I8255x::Impl::ReceiveFrame(const uint8_t* data, size_t length, const FrameErrors& errors) {
  Advance();
  if (ru_state != kRuReady) {
    counters.dropped_no_resources.fetch_add(1);
    return;
  }
  if (faults.ru_out_of_resources.exchange(false)) {
    counters.dropped_fault.fetch_add(1);
    RuLeaveReady(kRuNoResources);
    UpdateIrq();
    return;
  }
  if (!PassesFilter(data, length)) {
    counters.dropped_filter.fetch_add(1);
    return;
  }
  const bool bad = errors.crc || errors.alignment || errors.overrun;
  const bool short_frame = length < kMinimumFrame;
  if ((bad && (configuration[kCfgSaveBad] & 0x80) == 0) ||
      (short_frame && (configuration[kCfgDiscardShort] & 0x01) != 0)) {
    counters.dropped_bad.fetch_add(1);
    return;
  }

  const uint32_t rfd = ru_rfd;
  bool ok = true;
  const uint16_t rfd_command = Load16(rfd + 2, ok);
  const uint32_t rfd_link = Load32(rfd + 4, ok);
  uint32_t first_rbd = kNoAddress;
  if (ok && ru_first_rfd) first_rbd = Load32(rfd + 8, ok);
  if (!ok) {
    Observe("RFD at " + Hex(rfd) + " unreadable; receive unit stopped");
    counters.dropped_no_resources.fetch_add(1);
    RuLeaveReady(kRuIdle);
    UpdateIrq();
    return;
  }
  if (ru_first_rfd) {
    ru_first_rfd = false;
    if (first_rbd == kNoAddress) {
      Observe("receive unit started at RFD " + Hex(rfd) + " without an RBD");
      ru_rbd_valid = false;
    } else {
      ru_rbd = ru_base + first_rbd;
      ru_rbd_valid = true;
    }
  }
  if (ru_base + rfd_link == rfd && (rfd_command & kRfdEndOfList) == 0) {
    Observe("RFD at " + Hex(rfd) + " links to itself");
  }

  // Fill buffers.
  using Used = UsedRbd;
  std::vector<Used>& used = rx_used;
  used.clear();
  size_t stored = 0;
  bool out_of_rbds = false;
  bool dma_failed = false;
  do {
    if (!ru_rbd_valid) {
      out_of_rbds = true;
      break;
    }
    const uint32_t rbd = ru_rbd;
    if (used.size() >= kMaxRbdsPerFrame) {
      Observe("frame needs more than " + std::to_string(kMaxRbdsPerFrame) + " RBDs at " + Hex(rbd));
      out_of_rbds = true;
      ru_rbd_valid = false;
      break;
    }
    if (std::any_of(used.begin(), used.end(), [rbd](const Used& u) { return u.rbd == rbd; })) {
      Observe("RBD link loop at " + Hex(rbd));
      out_of_rbds = true;
      ru_rbd_valid = false;
      break;
    }
    bool rbd_ok = true;
    const uint32_t link = Load32(rbd + 4, rbd_ok);
    const uint32_t buffer = Load32(rbd + 8, rbd_ok);
    const uint16_t size = Load16(rbd + 12, rbd_ok);
    if (!rbd_ok) {
      Observe("RBD at " + Hex(rbd) + " unreadable");
      out_of_rbds = true;
      ru_rbd_valid = false;
      break;
    }
    const uint16_t capacity = size & kRbdCountMask;
    const size_t n = std::min<size_t>(capacity, length - stored);
    if (n != 0 && !DmaWrite(ru_base + buffer, data + stored, n)) {
      dma_failed = true;  // the frame is reported overrun; its length stands
    }
    stored += n;
    used.push_back({rbd, static_cast<uint16_t>(n), capacity});
    ru_rbd = ru_base + link;
    if (size & kRbdEndOfList) {
      ru_rbd_valid = false;
      ru_rbd_after_el = true;
      out_of_rbds = true;  // nothing left for any later bytes or frames
    }
  } while (stored < length);

  // Buffer descriptors, then the frame descriptor's status, last.
  const bool cut = stored < length;
  const bool beyond = !used.empty() && faults.rbd_count_beyond_buffer.exchange(false);
  const bool no_f = !used.empty() && faults.rbd_missing_f.exchange(false);
  const bool no_eof = !used.empty() && faults.rbd_missing_eof.exchange(false);
  I8255xDescriptorHook* const hook = faults.descriptor_hook.load();
  for (size_t i = 0; i < used.size(); ++i) {
    const bool last = i + 1 == used.size();
    uint16_t count = used[i].count;
    if (last && beyond) count = static_cast<uint16_t>((used[i].capacity + 512) & kRbdCountMask);
    uint16_t flags = kRbdF;
    if (i == 0 && no_f) flags = 0;
    if (last && !no_eof) flags |= kRbdEof;
    uint16_t word = static_cast<uint16_t>(count | flags);
    if (hook != nullptr) word = hook->RbdCount(i, used.size(), word);
    Store16(used[i].rbd, word);
  }
  uint16_t status = kRfdComplete;
  if (errors.crc) status |= kRfdCrc;
  if (errors.alignment) status |= kRfdAlignment;
  if (errors.overrun || dma_failed) status |= kRfdOverrun;
  if (short_frame) status |= kRfdTooShort;
  if (cut) status |= kRfdNoResources;
  if (!bad && !short_frame && !cut && !dma_failed) status |= kRfdOk;
  uint16_t actual =
      static_cast<uint16_t>((std::min<size_t>(stored, kRbdCountMask)) | kRbdEof | kRbdF);
  if (hook != nullptr) {
    actual = hook->RfdActualCount(actual);
    status = hook->RfdStatus(status);
  }
  Store16(rfd + 12, actual);
  Store16(rfd + 0, status);
  counters.frames_received.fetch_add(1);
  Raise(kFr);

  ru_rfd = ru_base + rfd_link;
  if (out_of_rbds) {
    RuLeaveReady(kRuNoRbds);
  } else if (rfd_command & kRfdEndOfList) {
    RuLeaveReady(kRuNoResources);
  } else if (rfd_command & kRfdSuspend) {
    RuLeaveReady(kRuSuspended);
  }
  UpdateIrq();
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
  }
  pci.SetChangeListener([impl = impl_.get()] { impl->OnPciChange(); });
  impl_->OnPciChange();
  AttachSegment(segment);
}

I8255x::~I8255x() {
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
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->ReceiveFrame(frame.bytes.data(), frame.bytes.size(), frame.errors);
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
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->individual_address;
}

std::array<uint8_t, 24> I8255x::ConfigureBytes() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->last_configure;
}

std::array<uint8_t, 24> I8255x::ActiveConfiguration() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->configuration;
}

bool I8255x::Configured() const {
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

void I8255x::EnableTrace(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->trace_on = on;
}

std::vector<I8255x::TraceEntry> I8255x::Trace() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->trace;
}

uint32_t I8255x::PortRead(uint32_t offset, unsigned width) {
  uint32_t value = 0;
  bool run;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
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
    std::lock_guard<std::mutex> lock(impl_->mu);
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
