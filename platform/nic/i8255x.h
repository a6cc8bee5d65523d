// A software 8255x controller: PCI function, SCB registers, command unit,
// receive unit in flexible mode, serial EEPROM, MDI with a PHY, PORT resets
// and self-test, interrupt pin, and a port on an Ethernet segment.
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

enum class PhyType { I82555, Dp83840, None };

struct I8255xConfig {
  uint16_t device_id = 0x1229;
  uint8_t bus = 0;
  uint8_t device = 3;
  uint8_t function = 0;
  bool multi_function = false;   // header type bit 0x80
  uint8_t irq = 11;              // PCI interrupt line
  bool polled = false;           // the line cannot interrupt
  uint32_t io_base = 0xE000;     // BAR1
  uint32_t mem_base = 0xFEB00000;  // BAR0
  uint16_t command = 0x0007;     // PCI command register at power-up
  uint8_t latency_timer = 0x40;
  std::array<uint8_t, 6> station = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56};
  unsigned eeprom_words = 64;    // 2..256, a power of two
  uint16_t phy_primary = 0x4701;   // EEPROM word 6 (82555 at address 1)
  uint16_t phy_secondary = 0x0000; // EEPROM word 7
  // A full EEPROM image; when empty one is built from the fields above with a
  // correct checksum.
  std::vector<uint16_t> eeprom_image;
  bool eeprom_absent = false;    // data out stuck at 1
  PhyType phy = PhyType::I82555;
  bool phy_100mbit = true;
};

// Builds an EEPROM image: station address in words 0-2, PHY records in words
// 6 and 7, a non-blank word 3, and the last word making the sum 0xBABA.
std::vector<uint16_t> BuildEepromImage(unsigned words, const std::array<uint8_t, 6>& station,
                                       uint16_t phy_primary, uint16_t phy_secondary);

// Faults the harness can inject, per controller.
struct I8255xFaults {
  std::atomic<bool> command_never_accepted{false};  // SCB command byte never clears
  std::atomic<bool> cu_stuck_active{false};         // CU status reads active forever
  std::atomic<bool> blocks_never_complete{false};   // no complete bit is written
  std::atomic<bool> selective_reset_hangs{false};   // PORT never reads 0 after a selective reset
  std::atomic<bool> mdi_never_ready{false};
  std::atomic<bool> ru_out_of_resources{false};     // the RU drops into no resources at the next frame
  std::atomic<bool> registers_all_ones{false};      // every register read gives all ones
  // Hostile descriptor contents (for robustness tests): the next frame's RBD
  // counts go beyond the buffer, lose F or EOF, or links loop.
  std::atomic<bool> rbd_count_beyond_buffer{false};
  std::atomic<bool> rbd_missing_f{false};
  std::atomic<bool> rbd_missing_eof{false};
};

struct I8255xCounters {
  std::atomic<uint64_t> frames_sent{0};
  std::atomic<uint64_t> frames_received{0};      // stored into the driver's buffers
  std::atomic<uint64_t> dropped_filter{0};       // refused by the address filter
  std::atomic<uint64_t> dropped_no_resources{0}; // RU not ready
  std::atomic<uint64_t> dropped_bad{0};          // errors or short, not saved
  std::atomic<uint64_t> bus_errors{0};
  std::atomic<uint64_t> commands_executed{0};
};

class I8255x : public MachinePart, public PortDevice, public SegmentPort {
 public:
  // Attaches to the machine's PCI bus, port bus (when I/O decoding is on),
  // interrupt lines and memory, and to the segment if one is given.
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
  std::array<uint8_t, 24> ConfigureBytes() const;
  bool Configured() const;
  const std::vector<uint16_t>& eeprom() const;
  void SetEepromImage(std::vector<uint16_t> image);
  std::vector<BusError> bus_errors() const;

  // Optional register-access trace.
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
