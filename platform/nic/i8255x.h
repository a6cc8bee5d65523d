// A software 8255x controller: PCI function, SCB registers, command unit,
// receive unit in flexible mode, serial EEPROM, MDI with a PHY, PORT resets
// and self-test, interrupt pin, and a port on an Ethernet segment.
//
// Timing (machine time, see platform/pc/clock.h; every port access costs
// about 1 us of it):
//   - An SCB command is accepted command_latency_ns after it was written, as
//     on the part, which samples the command byte on its own clock: until
//     then the byte reads back as written and neither unit has changed
//     state. Acceptance clears the byte, takes the general pointer as it is
//     at that moment and carries the command out (the CU or RU status
//     changes then). The default is 3 us; with a latency of 0 a command is
//     accepted during the write itself. The moment is one of machine time:
//     the first port access of any thread (software polling the PC timer
//     or memory included) that reaches it takes the command, on that thread;
//     when nothing accesses ports at all, a thread of the model takes it.
//     The "never accepted" fault holds every command back.
//   - A command written over one not yet accepted replaces it, as a second
//     write to the byte does on the part: the first is lost. That, a general
//     pointer rewritten under a command that will use it, and a CU start
//     accepted while the CU is active (dropped: the part gives no defined
//     result, so the model runs nothing) are programming errors, recorded
//     in ProgrammingErrors().
//   - Command blocks execute synchronously in the thread that took the CU
//     command, after the controller's lock is released, at most 64 blocks per
//     run; the rest continue at the next register access. A register access
//     of another thread waits until a run is over: a run takes no machine
//     time, so software never sees one half done.
//   - The command unit then stays active for a short while: 2 us per
//     transmitted frame and 1 us per other block, counted from when the block
//     ran. It leaves the active state (and raises CNA) at the first register
//     access or frame arrival after that, since nothing else moves a virtual
//     clock.
//   - A PORT reset or self-test keeps PORT non-zero for 10 us.
//   - An MDI cycle is done (ready bit, read data, MDI interrupt) 2 us after
//     the write that started it.
//
// Interrupt control byte, bits 2-7 (variants with single-source masks only;
// others read them as 0 and ignore them):
//   bit 7 masks CX, bit 6 FR, bit 5 CNA, bit 4 RNR, bit 3 ER, bit 2 FCP.
// SWI and MDI have no single-source mask; bit 0 masks everything. Bit 1
// raises SWI and reads back 0.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/machine.h"
#include "platform/net/segment.h"

namespace sim {

// The variants the driver supports, rows of one table.
struct I8255xVariant {
  uint16_t device_id;
  const char* name;
  bool single_source_masks;  // bits 2-7 of the interrupt control byte (82558 and later)
};
const std::vector<I8255xVariant>& I8255xVariants();
// Whether a function with this device ID and PCI revision has single-source
// interrupt masks: the table's answer, except that 0x1229 parts below
// revision 4 (82557 steppings) lack them. Unknown IDs have them.
bool I8255xHasSingleSourceMasks(uint16_t device_id, uint8_t revision);

enum class PhyType { I82555, Dp83840, None };

struct I8255xConfig {
  uint16_t device_id = 0x1229;
  uint8_t revision = 0x08;  // PCI revision ID
  uint8_t bus = 0;
  uint8_t device = 3;
  uint8_t function = 0;
  bool multi_function = false;       // header type bit 0x80
  uint8_t irq = 11;                  // PCI interrupt line
  bool polled = false;               // the line cannot interrupt
  uint32_t io_base = 0xE000;         // BAR1 (64 bytes of I/O ports)
  uint32_t mem_base = 0xFEB00000;    // BAR0 (4 KiB, never decoded)
  uint32_t flash_base = 0xFEA00000;  // BAR2 (1 MiB, never decoded)
  uint16_t command = 0x0007;         // PCI command register at power-up
  uint8_t latency_timer = 0x40;
  std::array<uint8_t, 6> station = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56};
  unsigned eeprom_words = 64;       // 2..256, a power of two
  uint16_t phy_primary = 0x4701;    // EEPROM word 6 (82555 at address 1)
  uint16_t phy_secondary = 0x0000;  // EEPROM word 7
  // A full EEPROM image; when empty one is built from the fields above with a
  // correct checksum.
  std::vector<uint16_t> eeprom_image;
  bool eeprom_absent = false;  // data out stuck at 1
  PhyType phy = PhyType::I82555;
  bool phy_100mbit = true;
  // Machine time between an SCB command write and its acceptance; 0 accepts
  // during the write (the behaviour of earlier versions of this model).
  uint64_t command_latency_ns = kDefaultCommandLatencyNs;
  static constexpr uint64_t kDefaultCommandLatencyNs = 3000;
};

// Builds an EEPROM image of `words` words (a power of two, 2..256; anything
// else throws std::invalid_argument): station address in words 0-2, a
// non-blank word 3, PHY records in words 6 and 7, 0xFFFF (erased) elsewhere,
// and the last word making the 16-bit sum 0xBABA. Parts too small for a
// field simply lack it; the checksum word wins over any field it overlaps.
std::vector<uint16_t> BuildEepromImage(unsigned words, const std::array<uint8_t, 6>& station,
                                       uint16_t phy_primary, uint16_t phy_secondary);

// A hostile controller: lets a harness choose what the model writes back
// to the driver instead of what a working part would. Every method gets the
// value the model is about to write (or return) and answers the value to use;
// the defaults change nothing. Called with the controller's lock held, on
// whatever thread moves the model: an override must only compute (no calls
// into the machine or this controller).
class I8255xDescriptorHook {
 public:
  virtual ~I8255xDescriptorHook() = default;
  // The count word (count | EOF | F) of the `index`-th of the `used` RBDs
  // the frame filled.
  virtual uint16_t RbdCount(size_t index, size_t used, uint16_t count) {
    (void)index;
    (void)used;
    return count;
  }
  // The RFD's status word and actual-count word.
  virtual uint16_t RfdStatus(uint16_t status) { return status; }
  virtual uint16_t RfdActualCount(uint16_t count) { return count; }
  // A 16-bit read of the SCB status word (status and acknowledge bytes).
  virtual uint16_t ScbStatus(uint16_t status) { return status; }
};

// Faults the harness can inject, per controller, at any time, from any
// thread. One-shot faults (marked so) clear themselves when they fire.
struct I8255xFaults {
  // The SCB command byte keeps the written value and the command waits; it
  // is carried out at the first register access after the fault is cleared.
  std::atomic<bool> command_never_accepted{false};
  std::atomic<bool> cu_stuck_active{false};  // CU status reads active forever
  // Blocks are executed (frames go out) but no status word is written.
  std::atomic<bool> blocks_never_complete{false};
  // PORT keeps reading non-zero after a selective reset; a software reset
  // ends it.
  std::atomic<bool> selective_reset_hangs{false};
  std::atomic<bool> mdi_never_ready{false};  // no MDI cycle ever completes
  // One-shot: the next frame that finds the RU ready drops it into no
  // resources (0x08, RNR raised); that frame is dropped and counted.
  std::atomic<bool> ru_out_of_resources{false};
  std::atomic<bool> registers_all_ones{false};  // every register read gives all ones
  // Hostile descriptor contents (one-shot, applied to the next frame
  // stored): its last RBD count claims 512 bytes more than its buffer holds,
  // its first RBD lacks F, or its last RBD lacks EOF.
  std::atomic<bool> rbd_count_beyond_buffer{false};
  std::atomic<bool> rbd_missing_f{false};
  std::atomic<bool> rbd_missing_eof{false};
  // When set, consulted for every received frame's descriptors and every
  // 16-bit SCB status read (see I8255xDescriptorHook). Owned by the harness,
  // which must clear it before the hook object goes away.
  std::atomic<I8255xDescriptorHook*> descriptor_hook{nullptr};
};

struct I8255xCounters {
  std::atomic<uint64_t> frames_sent{0};
  std::atomic<uint64_t> frames_received{0};       // stored into the driver's buffers
  std::atomic<uint64_t> dropped_filter{0};        // refused by the address filter
  std::atomic<uint64_t> dropped_no_resources{0};  // RU not ready
  std::atomic<uint64_t> dropped_bad{0};           // errors or short, not saved
  std::atomic<uint64_t> dropped_fault{0};         // dropped by ru_out_of_resources
  std::atomic<uint64_t> bus_errors{0};
  std::atomic<uint64_t> commands_executed{0};    // command blocks run
  std::atomic<uint64_t> transmit_errors{0};      // transmit blocks the model refused
  std::atomic<uint64_t> unknown_commands{0};     // block codes and SCB commands not modelled
  std::atomic<uint64_t> hostile_descriptors{0};  // see Observations()
  std::atomic<uint64_t> programming_errors{0};   // see ProgrammingErrors()
};

// Something the software did that the part does not allow, with the machine
// time it happened at.
struct I8255xProgrammingError {
  uint64_t time_ns = 0;
  std::string what;
};

class I8255x : public MachinePart, public PortDevice, public SegmentPort {
 public:
  // Attaches to the machine's PCI bus (throws std::runtime_error when the
  // slot is taken), the port bus (while I/O decoding is on), interrupt lines
  // and memory, and to the segment if one is given. Add the segment to the
  // machine before the controllers that use it, so that it outlives them.
  I8255x(Machine& machine, const I8255xConfig& config, Segment* segment = nullptr);
  ~I8255x() override;

  PciFunction& pci();
  I8255xFaults& faults();
  const I8255xCounters& counters() const;
  const I8255xConfig& config() const;

  // Frame injection straight into this controller's receive unit (as if from
  // the wire), with error marks.
  void InjectFrame(const std::vector<uint8_t>& bytes, FrameErrors errors = {});
  void AttachSegment(Segment* segment);

  // Observation for tests, read as the hardware would report it.
  uint16_t ScbStatusValue();
  bool InterruptLineHigh() const;
  std::array<uint8_t, 6> IndividualAddress() const;
  // The 24 bytes of the last configure command as the driver wrote them
  // (power-up defaults after a software reset).
  std::array<uint8_t, 24> ConfigureBytes() const;
  // The configuration in force: the last configure command's first
  // byte-count bytes over the earlier state.
  std::array<uint8_t, 24> ActiveConfiguration() const;
  bool Configured() const;
  const std::vector<uint16_t>& eeprom() const;
  void SetEepromImage(std::vector<uint16_t> image);
  void SetEepromAbsent(bool absent);
  std::vector<BusError> bus_errors() const;
  // Hostile situations met while walking the driver's lists (looping links,
  // lists without end, missing descriptors), in order; the first 256 kept.
  std::vector<std::string> Observations() const;
  // Programming errors the driver made on this controller (a command written
  // over one not yet accepted, a CU start while the CU is active, ...), in
  // order; the first 256 kept, all counted in counters().programming_errors.
  std::vector<I8255xProgrammingError> ProgrammingErrors() const;

  // Optional register-access trace (the first million accesses).
  struct TraceEntry {
    uint32_t offset;
    unsigned width;
    uint32_t value;
    bool write;
  };
  void EnableTrace(bool on);
  std::vector<TraceEntry> Trace() const;

  // PortDevice
  uint32_t PortRead(uint32_t offset, unsigned width) override;
  void PortWrite(uint32_t offset, unsigned width, uint32_t value) override;
  // SegmentPort
  void Receive(const Frame& frame) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
