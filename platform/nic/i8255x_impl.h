// The 8255x model's inside, shared by its files: the register, descriptor
// and configuration constants, and the model's state (I8255x::Impl). The
// register block, the command unit and the receive unit have files of their
// own; everything else is in i8255x.cpp. Included by platform/nic/ only.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/nic/eeprom.h"
#include "platform/nic/i8255x.h"
#include "platform/nic/phy.h"
#include "platform/pc/host_thread.h"
#include "platform/pc/spin.h"

namespace sim {

namespace i8255x {

// ---- Register block ----
inline constexpr uint32_t kRegStatus = 0;
inline constexpr uint32_t kRegStatusHigh = 1;
inline constexpr uint32_t kRegCommand = 2;
inline constexpr uint32_t kRegInterruptControl = 3;
inline constexpr uint32_t kRegGeneralPointer = 4;
inline constexpr uint32_t kRegPort = 8;
inline constexpr uint32_t kRegEeprom = 14;
inline constexpr uint32_t kRegMdi = 16;
inline constexpr uint32_t kRegisterBlock = 64;

// Command byte: the receive unit's command in the low three bits, the command
// unit's in the high four.
inline constexpr uint8_t kScbRuCommand = 0x07;

// Status low byte: unit states.
inline constexpr uint8_t kCuIdle = 0x00;
inline constexpr uint8_t kCuSuspended = 0x40;
inline constexpr uint8_t kCuActive = 0x80;
inline constexpr uint8_t kRuIdle = 0x00;
inline constexpr uint8_t kRuSuspended = 0x04;
inline constexpr uint8_t kRuNoResources = 0x08;
inline constexpr uint8_t kRuReady = 0x10;
inline constexpr uint8_t kRuNoRbds = 0x28;

// Status high byte: interrupt bits (as 16-bit values).
inline constexpr uint16_t kCx = 0x8000;
inline constexpr uint16_t kFr = 0x4000;
inline constexpr uint16_t kCna = 0x2000;
inline constexpr uint16_t kRnr = 0x1000;
inline constexpr uint16_t kMdi = 0x0800;
inline constexpr uint16_t kSwi = 0x0400;
inline constexpr uint16_t kEr = 0x0200;
inline constexpr uint16_t kFcp = 0x0100;

// Interrupt control byte.
inline constexpr uint8_t kMaskAll = 0x01;
inline constexpr uint8_t kSoftwareInterrupt = 0x02;

// EEPROM control lines.
inline constexpr uint8_t kEeClock = 0x01;
inline constexpr uint8_t kEeChipSelect = 0x02;
inline constexpr uint8_t kEeDataIn = 0x04;
inline constexpr uint8_t kEeDataOut = 0x08;

// MDI control.
inline constexpr uint32_t kMdiReady = 0x10000000;
inline constexpr uint32_t kMdiInterruptEnable = 0x20000000;

// PORT.
inline constexpr uint32_t kPortSoftwareReset = 0;
inline constexpr uint32_t kPortSelfTest = 1;
inline constexpr uint32_t kPortSelectiveReset = 2;
// While an operation runs PORT reads the written value with this (otherwise
// unused) function bit set, so it is never 0 before the operation is done.
inline constexpr uint32_t kPortBusyMark = 0x8;
inline constexpr uint32_t kSelfTestSignature = 0x5A5A0001;

// Command blocks.
inline constexpr uint16_t kCbComplete = 0x8000;
inline constexpr uint16_t kCbOk = 0x2000;
inline constexpr uint16_t kCbEndOfList = 0x8000;
inline constexpr uint16_t kCbSuspend = 0x4000;
inline constexpr uint16_t kCbInterrupt = 0x2000;
inline constexpr uint16_t kCbFlexible = 0x0008;
inline constexpr uint32_t kNoAddress = 0xFFFFFFFF;
inline constexpr uint16_t kCbCommandCode = 0x0007;
inline constexpr uint16_t kCbCountMask = 0x3FFF;
// Offsets inside a command block.
inline constexpr uint32_t kCbStatus = 0;          // 16 bits, written last
inline constexpr uint32_t kCbCommand = 2;         // 16 bits
inline constexpr uint32_t kCbLink = 4;            // 32 bits, relative to the CU base
inline constexpr uint32_t kCbAddress = 8;         // individual address setup: 6 bytes
inline constexpr uint32_t kCbConfigure = 8;       // configure: 24 bytes
inline constexpr uint32_t kCbMulticastCount = 8;  // multicast setup: 16 bits, a byte count
inline constexpr uint32_t kCbMulticastList = 10;  // multicast setup: 6-byte addresses
inline constexpr uint32_t kTcbTbdArray = 8;       // transmit: 32 bits
inline constexpr uint32_t kTcbCount = 12;         // transmit: 16 bits, byte count and flags
inline constexpr uint32_t kTcbFrame = 16;         // transmit, simplified mode: the frame
// The self-test result block.
inline constexpr uint32_t kSelfTestSignatureAt = 0;  // 32 bits, written last
inline constexpr uint32_t kSelfTestResultAt = 4;     // 32 bits

// Receive descriptors.
inline constexpr uint16_t kRfdComplete = 0x8000;
inline constexpr uint16_t kRfdOk = 0x2000;
inline constexpr uint16_t kRfdCrc = 0x0800;
inline constexpr uint16_t kRfdAlignment = 0x0400;
inline constexpr uint16_t kRfdNoResources = 0x0200;
inline constexpr uint16_t kRfdOverrun = 0x0100;
inline constexpr uint16_t kRfdTooShort = 0x0080;
// 82558 and later: the destination is not the station's individual address
// (a group address, or any address in promiscuous mode).
inline constexpr uint16_t kRfdNotIndividual = 0x0002;
inline constexpr uint16_t kRfdEndOfList = 0x8000;
inline constexpr uint16_t kRfdSuspend = 0x4000;
inline constexpr uint16_t kRbdEof = 0x8000;
inline constexpr uint16_t kRbdF = 0x4000;
inline constexpr uint16_t kRbdCountMask = 0x3FFF;
inline constexpr uint16_t kRbdEndOfList = 0x8000;
// Offsets inside a receive frame descriptor.
inline constexpr uint32_t kRfdStatus = 0;        // 16 bits, written last
inline constexpr uint32_t kRfdCommand = 2;       // 16 bits
inline constexpr uint32_t kRfdLink = 4;          // 32 bits, relative to the RU base
inline constexpr uint32_t kRfdRbdAddress = 8;    // 32 bits, relative to the RU base
inline constexpr uint32_t kRfdActualCount = 12;  // 16 bits
// Offsets inside a receive buffer descriptor.
inline constexpr uint32_t kRbdCount = 0;   // 16 bits: bytes stored, EOF, F
inline constexpr uint32_t kRbdLink = 4;    // 32 bits, relative to the RU base
inline constexpr uint32_t kRbdBuffer = 8;  // 32 bits, relative to the RU base
inline constexpr uint32_t kRbdSize = 12;   // 16 bits: capacity and end of list

inline constexpr size_t kMinimumFrame = 60;
// The longest frame the part takes as OK unless long frames are enabled,
// counted with its 4-byte frame check sequence, which the frames on a
// segment do not carry.
inline constexpr size_t kMaximumFrameWithFcs = 1518;
inline constexpr size_t kFcsBytes = 4;

// Bounds and timings (machine time).
inline constexpr unsigned kBlocksPerRun = 64;
inline constexpr unsigned kLongCommandList = 4096;
inline constexpr unsigned kMaxRbdsPerFrame = 4096;
inline constexpr uint64_t kTransmitBusyNs = 2000;
inline constexpr uint64_t kBlockBusyNs = 1000;
inline constexpr uint64_t kPortOperationNs = 10000;
inline constexpr uint64_t kMdiCycleNs = 2000;
inline constexpr size_t kTraceLimit = size_t{1} << 20;
inline constexpr size_t kObservationLimit = 256;
inline constexpr size_t kProgrammingErrorLimit = 256;

// Statistical counters dump. The model writes the basic block every variant
// has: sixteen 32-bit counters, then the completion word (a choice: parts
// from the 82558 on can be configured for a longer block, which the model
// does not offer). The counters in block order:
enum DumpCounter : unsigned {
  kDumpTxGood,
  kDumpTxMaxCollisions,
  kDumpTxLateCollisions,
  kDumpTxUnderruns,
  kDumpTxLostCarrier,
  kDumpTxDeferred,
  kDumpTxSingleCollisions,
  kDumpTxMultipleCollisions,
  kDumpTxTotalCollisions,
  kDumpRxGood,
  kDumpRxCrcErrors,
  kDumpRxAlignmentErrors,
  kDumpRxResourceErrors,
  kDumpRxOverrunErrors,
  kDumpRxCollisionErrors,
  kDumpRxShortFrames,
  kDumpCounterCount
};
// The completion word follows the counters: 0xA005 after a dump, 0xA007
// after a dump and reset (a 32-bit word, upper half 0).
inline constexpr uint32_t kDumpCompletionAt = 4 * kDumpCounterCount;
inline constexpr uint32_t kDumpDone = 0xA005;
inline constexpr uint32_t kDumpResetDone = 0xA007;

// Configuration bytes the model honours, each with its bits.
inline constexpr unsigned kCfgByteCount = 0;
inline constexpr uint8_t kCfgByteCountMask = 0x3F;
inline constexpr unsigned kCfgSaveBad = 6;
inline constexpr uint8_t kCfgSaveBadFrames = 0x80;
inline constexpr unsigned kCfgDiscardShort = 7;
inline constexpr uint8_t kCfgDiscardShortFrames = 0x01;
inline constexpr unsigned kCfgSourceInsert = 10;
inline constexpr uint8_t kCfgNoSourceInsert = 0x08;
inline constexpr unsigned kCfgFilter = 15;
inline constexpr uint8_t kCfgPromiscuous = 0x01;
inline constexpr uint8_t kCfgBroadcastDisabled = 0x02;
inline constexpr unsigned kCfgPadding = 18;
inline constexpr uint8_t kCfgPadTransmit = 0x02;
inline constexpr uint8_t kCfgLongFramesOk = 0x08;  // same byte as the padding bits
inline constexpr unsigned kCfgMulticast = 21;
inline constexpr uint8_t kCfgMulticastAll = 0x08;

// Power-up configuration: 22 bytes to read, save-bad off, discard-short on,
// frames sent as written (no source insertion), padding on, broadcasts
// accepted, no promiscuous or all-multicast reception.
inline constexpr std::array<uint8_t, 24> kDefaultConfiguration = {
    0x16, 0x08, 0x00, 0x00, 0x00, 0x80, 0x3B, 0x03, 0x00, 0x00, 0x2E, 0x00,
    0xF0, 0x00, 0xF2, 0xC8, 0x00, 0x40, 0xF3, 0x00, 0x3F, 0x05, 0x00, 0x00};

inline std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Software reaches the register block a byte at a time (a wider access is
// its bytes in order). The 32-bit registers answer at all four of their
// byte offsets: RegisterOf names the register an offset belongs to and
// LaneOf which of its bytes (0 = least significant) the offset is.
inline constexpr uint32_t RegisterOf(uint32_t offset) {
  const uint32_t dword = offset & ~3u;
  const bool wide = dword == kRegGeneralPointer || dword == kRegPort || dword == kRegMdi;
  return wide ? dword : offset;
}
inline constexpr unsigned LaneOf(uint32_t offset) { return offset & 3u; }

// Byte `lane` of a 32-bit register.
inline constexpr uint8_t ByteLane(uint32_t word, unsigned lane) {
  return static_cast<uint8_t>(word >> (8 * lane));
}

// Replaces byte `lane` of a 32-bit register.
inline void SetByteLane(uint32_t& word, unsigned lane, uint8_t byte) {
  const unsigned shift = 8 * lane;
  word = (word & ~(0xFFu << shift)) | (uint32_t{byte} << shift);
}

}  // namespace i8255x

struct I8255x::Impl {
  Impl(I8255x& owner, Machine& machine_in, const I8255xConfig& config_in);

  // ---- Locked helpers (caller holds mu) ----
  void Advance();
  void UpdateIrq();
  void Publish();
  // Lock-free read of the first four register bytes; false: take the lock.
  bool FastRead(uint32_t offset, unsigned width, uint32_t& value);
  void Raise(uint16_t bits) { pending |= bits; }
  uint16_t SourceMasks() const;
  uint8_t ReadByte(uint32_t offset);
  uint32_t* WriteLatch(uint32_t reg);
  void WriteRegisters(uint32_t offset, unsigned width, uint32_t value);
  void CheckPointerChange(uint32_t old_pointer);
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
  void ProgrammingError(const std::string& what);
  void AcceptCommand();
  // Takes a command nobody else's access has taken: see AcceptorLoop.
  void AcceptorLoop();
  // Brings the model up to the caller's machine time (mu NOT held).
  void CatchUp();
  void DumpStatistics(bool reset);
  void Count(i8255x::DumpCounter counter) { ++dump_counters[counter]; }
  void Record(uint32_t offset, unsigned width, uint32_t value, bool write);
  uint8_t StatusLow() const;
  bool WantsRun() const { return cu_work_pending && !cu_runner_active; }
  // Waits (lock held on entry and return) while another thread is running
  // blocks: the run takes no machine time, so software must not see it half
  // done, however long the host keeps that thread off the CPU. A run is a
  // frame's worth of work, so the waiter yields for a while before it
  // sleeps: a wake-up takes the host tens of microseconds, and the waiter
  // may be the interrupt thread, holding interrupt exclusion meanwhile.
  void WaitForRunner(std::unique_lock<std::mutex>& lock) {
    while (cu_runner_active && cu_runner_thread != std::this_thread::get_id()) {
      lock.unlock();
      SpinBriefly([&] { return !cu_runner_active.load(std::memory_order_acquire); });
      lock.lock();
      if (!cu_runner_active) break;
      ++runner_waiters;
      runner_done.wait(lock);
      --runner_waiters;
    }
  }

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
  void ExecuteCuCommand(uint8_t command);  // the command byte's high four bits
  BlockResult ExecuteBlock(uint32_t address);
  void FinishBlock(uint32_t address, const BlockResult& result, bool superseded);
  bool Transmit(uint32_t address, uint16_t command, BlockResult& result);

  // ---- Receive unit ----
  void ExecuteRuCommand(uint8_t command);  // the command byte's low three bits
  void ReceiveFrame(const uint8_t* data, size_t length, const FrameErrors& errors);
  // Where storing a frame's bytes into buffers ended.
  struct Stored {
    size_t bytes = 0;
    bool out_of_rbds = false;  // no buffer left for later bytes or frames
    bool dma_failed = false;   // a buffer write was refused
  };
  // Fills buffers along the RBD chain; the RBDs used are left in rx_used.
  Stored FillBuffers(const uint8_t* data, size_t length);
  // Writes the used RBDs' counts, then the RFD's count and status (last).
  void CompleteFrame(uint32_t rfd, const uint8_t* frame_destination, size_t length,
                     const Stored& result, const FrameErrors& errors);
  bool TooLong(size_t length) const {
    return length + i8255x::kFcsBytes > i8255x::kMaximumFrameWithFcs &&
           (configuration[i8255x::kCfgPadding] & i8255x::kCfgLongFramesOk) == 0;
  }
  bool PassesFilter(const uint8_t* data, size_t length) const;
  static unsigned MulticastHashIndex(const uint8_t* address);
  void RuLeaveReady(uint8_t state);

  // ---- DMA, counted ----
  // Counts a transfer the bus refused (`done` false) as a bus error;
  // returns `done`.
  bool Counted(bool done);
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
  const bool after_82557;   // reports not-individual-address in RFD status
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
  uint8_t interrupt_control = i8255x::kMaskAll;
  bool line_level = false;         // what the pin was last set to
  uint8_t command_byte = 0;        // the SCB command byte as read back
  bool command_latched = false;    // a command waiting to be accepted
  uint64_t command_accept_ns = 0;  // when the latched command is taken
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

  std::array<uint8_t, 24> configuration = i8255x::kDefaultConfiguration;
  std::array<uint8_t, 24> last_configure = i8255x::kDefaultConfiguration;
  bool configured = false;
  std::array<uint8_t, 6> individual_address{};
  bool individual_address_set = false;
  std::array<uint8_t, 8> multicast_hash{};  // set by multicast setup
  uint32_t dump_address = 0;                // absolute, set by load dump counters address
  std::array<uint32_t, i8255x::kDumpCounterCount> dump_counters{};

  // Command unit.
  uint8_t cu_state = i8255x::kCuIdle;
  uint8_t cu_after = i8255x::kCuIdle;  // where the CU goes when its busy time is over
  uint32_t cu_base = 0;
  uint32_t cu_next = 0;          // next block to run (absolute)
  bool cu_work_pending = false;  // cu_next is to be run
  // Some thread is running blocks. Changed under mu; WaitForRunner's spin
  // also reads it without the lock.
  std::atomic<bool> cu_runner_active{false};
  std::thread::id cu_runner_thread;     // which one
  std::condition_variable runner_done;  // notified when a run ends and someone waits
  unsigned runner_waiters = 0;          // threads in WaitForRunner
  uint64_t cu_generation = 0;           // bumped by every start, resume and reset
  uint64_t reset_generation = 0;        // bumped by every reset
  uint64_t cu_busy_until_ns = 0;
  uint32_t cu_suspended_block = 0;
  unsigned cu_blocks_this_start = 0;

  // Receive unit.
  uint8_t ru_state = i8255x::kRuIdle;
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
  std::vector<I8255xProgrammingError> programming_errors;

  // Takes a command at its acceptance time on the thread whose port access
  // (to any device: software polling the timer or memory) reaches it, so
  // that when a command is taken depends on machine time only.
  struct AcceptAlarm : ClockAlarm {
    Impl* impl = nullptr;
    void OnAlarm() override { impl->CatchUp(); }
  } accept_alarm;
  // The acceptor thread (latency above 0 only), pooled like the machine's
  // own threads: a fuzz input makes a controller or two every time.
  // Woken only to stop; it polls for latched commands.
  std::condition_variable acceptor_cv;
  bool acceptor_stop = false;  // guarded by mu
  HostThread acceptor;
  bool trace_on = false;
  std::vector<TraceEntry> trace;

  // What the status, command and interrupt control bytes read (bytes 0-3 of
  // fast_bytes), valid while machine time is below fast_until (0: not
  // valid). Stored by Publish under mu; read by FastRead without it.
  std::atomic<uint32_t> fast_bytes{0};
  std::atomic<uint64_t> fast_until{0};
};

}  // namespace sim
