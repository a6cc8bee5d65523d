// A bare machine with controllers and a segment, driven the way a driver
// drives them: port I/O at the controller's I/O base, descriptors in memory
// from the machine's arena. No driver is booted: these are the model's own
// tests' tools.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "controller/hardware.h"
#include "platform/machine.h"
#include "platform/net/segment.h"
#include "platform/nic/i8255x.h"
#include "platform/standard_pc.h"
#include "support/frames.h"

namespace tvtest {

// True once `done` holds, reading at most `reads` times.
template <class Done>
bool Poll(int reads, Done done) {
  for (int i = 0; i < reads; ++i) {
    if (done()) return true;
  }
  return false;
}

// One controller seen through its registers.
class Nic {
 public:
  Nic(sim::Machine& machine, sim::I8255x& model, uint32_t io_base)
      : machine_(machine), model_(model), io_(io_base) {}

  sim::I8255x& model() { return model_; }
  sim::I8255xFaults& faults() { return model_.faults(); }
  const sim::I8255xCounters& counters() { return model_.counters(); }

  uint8_t R8(uint32_t reg) { return static_cast<uint8_t>(machine_.ports().Read(io_ + reg, 1)); }
  uint16_t R16(uint32_t reg) { return static_cast<uint16_t>(machine_.ports().Read(io_ + reg, 2)); }
  uint32_t R32(uint32_t reg) { return machine_.ports().Read(io_ + reg, 4); }
  void W8(uint32_t reg, uint8_t v) { machine_.ports().Write(io_ + reg, 1, v); }
  void W16(uint32_t reg, uint16_t v) { machine_.ports().Write(io_ + reg, 2, v); }
  void W32(uint32_t reg, uint32_t v) { machine_.ports().Write(io_ + reg, 4, v); }

  uint16_t Status() { return R16(ScbStatus); }
  uint8_t CuState() { return Status() & 0xC0; }
  uint8_t RuState() { return Status() & 0x3C; }

  // Reads the command byte until the controller has taken the command
  // written last (the byte reads 0), as software must before it writes the
  // next one or relies on the command's effect: acceptance takes machine
  // time, and only port accesses move it.
  bool WaitAccepted(int reads = 1000) {
    return Poll(reads, [&] { return R8(ScbCommand) == 0; });
  }
  // Writes a command byte and waits until it is taken.
  bool Issue(uint8_t command) {
    W8(ScbCommand, command);
    return WaitAccepted();
  }
  // Writes the general pointer and a command byte, as the driver does, and
  // waits until the command is taken.
  bool Command(uint8_t command, uint32_t pointer) {
    W32(ScbGeneralPointer, pointer);
    return Issue(command);
  }
  bool WaitCuNotActive(int reads = 1000) {
    return Poll(reads, [&] { return CuState() != 0x80; });
  }
  // Software reset, then wait until PORT reads 0.
  bool Reset() {
    W32(ScbPort, ScbPortSoftwareReset);
    return Poll(1000, [&] { return R32(ScbPort) == 0; });
  }
  // One MDI cycle, polling for the ready bit; 0xFFFFFFFF when never ready.
  uint32_t Mdi(uint32_t command, int reads = 100) {
    W32(ScbMdiControl, command);
    uint32_t v = 0;
    return Poll(reads, [&] { return (v = R32(ScbMdiControl)) & MdiReady; }) ? v : 0xFFFFFFFF;
  }
  uint16_t MdiRead(unsigned phy, unsigned reg) {
    return static_cast<uint16_t>(Mdi(((phy << 5 | reg) | MdiOpRead) << 16));
  }
  bool MdiWrite(unsigned phy, unsigned reg, uint16_t value) {
    return Mdi(((phy << 5 | reg) | MdiOpWrite) << 16 | value) != 0xFFFFFFFF;
  }

 private:
  sim::Machine& machine_;
  sim::I8255x& model_;
  uint32_t io_;
};

// Receive lists laid out as the driver lays them out: a ring of RFDs and a
// ring of 18-byte RBD slots, each with its own buffer.
struct RxRings {
  std::vector<ReceiveFrameDescriptor*> rfds;
  uint8_t* rbd_slots = nullptr;
  std::vector<uint8_t*> buffers;

  unsigned rbd_count() const { return static_cast<unsigned>(buffers.size()); }
  uint8_t* Rbd(unsigned i) const { return rbd_slots + RbdSlotSize * i; }
  uint16_t RbdCount(unsigned i) const { return HwLoad16(Rbd(i) + RbdOffsetCount); }
  uint16_t RfdStatus(unsigned i) const { return HwLoad16(&rfds[i]->Status); }
};

inline uint16_t StatusOf(const CommandBlock* cb) { return HwLoad16(&cb->Status); }

// The machine, its segment and controllers.
class Rig {
 public:
  sim::Machine& machine() { return *machine_; }
  sim::Segment& segment() { return *segment_; }

  Nic& Add(const sim::I8255xConfig& config) {
    auto& model = machine_->Own(std::make_unique<sim::I8255x>(*machine_, config, segment_));
    nics_.push_back(std::make_unique<Nic>(*machine_, model, config.io_base));
    return *nics_.back();
  }
  Nic& Add(unsigned index) { return Add(sim::StandardController(index)); }

  sim::TestPort& AddTestPort() { return machine_->Own(std::make_unique<sim::TestPort>(*segment_)); }

  // Zeroed memory the controller can reach.
  template <class T = uint8_t>
  T* Alloc(size_t bytes) {
    void* p = machine_->arena().Allocate(bytes);
    EXPECT_NE(p, nullptr);
    std::memset(p, 0, bytes);
    return static_cast<T*>(p);
  }

  // A command block with status 0, the given command word and link.
  CommandBlock* Block(uint16_t command, uint32_t link = CbLinkNone) {
    auto* cb = Alloc<CommandBlock>(sizeof(CommandBlock));
    HwStore16(&cb->Command, command);
    HwStore32(&cb->Link, link);
    return cb;
  }
  CommandBlock* Transmit(const std::vector<uint8_t>& frame, uint16_t flags = CbCommandEndOfList) {
    CommandBlock* cb = Block(static_cast<uint16_t>(CbCommandTransmit | flags));
    HwStore32(cb->Parameters, CbTbdArrayNone);
    HwStore32(cb->Parameters + 4, static_cast<uint32_t>(frame.size()) | CbTransmitCountFlags);
    std::memcpy(cb->Data, frame.data(), frame.size());
    return cb;
  }
  // A broadcast transmit of `length` bytes from station 0.
  CommandBlock* Transmit(size_t length = 60, uint8_t seed = 0,
                         uint16_t flags = CbCommandEndOfList) {
    return Transmit(PatternFrame(kBroadcast, Station(0), length, seed), flags);
  }
  CommandBlock* Configure(const std::array<uint8_t, 24>& bytes,
                          uint16_t flags = CbCommandEndOfList) {
    CommandBlock* cb = Block(static_cast<uint16_t>(CbCommandConfigure | flags));
    std::memcpy(cb->Parameters, bytes.data(), 8);
    std::memcpy(cb->Data, bytes.data() + 8, 16);
    return cb;
  }
  CommandBlock* AddressSetup(const Mac& mac, uint16_t flags = CbCommandEndOfList) {
    CommandBlock* cb = Block(static_cast<uint16_t>(CbCommandIa | flags));
    std::memcpy(cb->Parameters, mac.data(), 6);
    return cb;
  }
  // A list that links to itself and so never ends.
  CommandBlock* Loop() {
    CommandBlock* cb = Block(0);
    HwStore32(&cb->Link, HwAddress(cb));
    return cb;
  }

  // `rfds` RFDs and `rbds` RBDs of `buffer` bytes each, rings with the last
  // of each list marked end of list, RFD 0 pointing at RBD 0.
  RxRings Rings(unsigned rfds, unsigned rbds, uint16_t buffer = 4096) {
    RxRings rings;
    rings.rbd_slots = Alloc(RbdSlotSize * rbds);
    auto* rfd = Alloc<ReceiveFrameDescriptor>(sizeof(ReceiveFrameDescriptor) * rfds);
    for (unsigned i = 0; i < rbds; ++i) {
      rings.buffers.push_back(Alloc(buffer));
      uint8_t* slot = rings.Rbd(i);
      HwStoreUnaligned32(slot + RbdOffsetLink, HwAddress(rings.Rbd((i + 1) % rbds)));
      HwStoreUnaligned32(slot + RbdOffsetBufferAddress, HwAddress(rings.buffers[i]));
      HwStore16(slot + RbdOffsetSize, static_cast<uint16_t>(buffer | (i + 1 == rbds ? 0x8000 : 0)));
      HwStoreUnaligned32(slot + RbdOffsetBufferPointer, HwAddress(rings.buffers[i]));
    }
    for (unsigned i = 0; i < rfds; ++i) {
      rings.rfds.push_back(&rfd[i]);
      HwStore16(&rfd[i].Command, i + 1 == rfds ? RfdCommandEndOfList : RfdCommandFlexible);
      HwStore32(&rfd[i].Link, HwAddress(&rfd[(i + 1) % rfds]));
      HwStore32(&rfd[i].RbdAddress, i == 0 ? HwAddress(rings.Rbd(0)) : RfdNoRbd);
    }
    return rings;
  }

  // A write to the controller's PCI configuration space (controller 0: device 3).
  void ConfigWrite(unsigned reg, unsigned width, uint32_t value, unsigned device = 3) {
    machine_->ports().Write(0xCF8, 4, 0x80000000u | device << 11 | (reg & 0xFC));
    machine_->ports().Write(0xCFC + (reg & 3), width, value);
  }

 private:
  std::unique_ptr<sim::Machine> machine_ = std::make_unique<sim::Machine>();
  sim::Segment* segment_ = &machine_->Own(std::make_unique<sim::Segment>("test"));
  std::vector<std::unique_ptr<Nic>> nics_;
};

// Configuration bytes as the driver sends them once it has folded in a
// filter: bad and short frames kept.
inline std::array<uint8_t, 24> DriverConfiguration() {
  return {0x16, 0x08, 0x00, 0x00, 0x00, 0x80, 0xBB, 0x02, 0x01, 0x00, 0x2E, 0x00,
          0xF0, 0x00, 0xF2, 0x4A, 0x00, 0x40, 0xF3, 0x00, 0x3F, 0x05, 0x00, 0x00};
}

// Runs a one-block command list and waits for the CU to leave active.
inline void RunBlock(Nic& nic, CommandBlock* cb) {
  nic.Command(ScbCommandCuStart, HwAddress(cb));
  ASSERT_TRUE(nic.WaitCuNotActive());
}

// Brings a controller to the state a driver's bring-up leaves it in: bases 0,
// configured (`config`), individual address set, RU started on `rings`,
// interrupts unmasked.
inline void BringUp(Rig& rig, Nic& nic, const Mac& mac, RxRings& rings,
                    const std::array<uint8_t, 24>& config = DriverConfiguration()) {
  ASSERT_TRUE(nic.Reset());
  nic.Command(ScbCommandCuLoadBase, 0);
  nic.Command(ScbCommandRuLoadBase, 0);
  RunBlock(nic, rig.Configure(config));
  RunBlock(nic, rig.AddressSetup(mac));
  nic.Command(ScbCommandRuStart, HwAddress(rings.rfds[0]));
  nic.W8(ScbInterruptControl, ScbInterruptUnmask);
  nic.W16(ScbStatus, 0xFF00);  // start with nothing pending
}

// Controller 0 on its own segment with a test port, reset: where most of
// the model's tests start.
class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(nic.Reset()); }

  Rig rig;
  Nic& nic = rig.Add(0);
  sim::TestPort& wire = rig.AddTestPort();
};

}  // namespace tvtest
