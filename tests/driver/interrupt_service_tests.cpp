// Interrupt service: which status bits are acknowledged and serviced, the
// receive-unit restart, passes over adapters sharing a line, and adapters
// that are suspended.

#include <gtest/gtest.h>

#include <mutex>

#include "driver/command_wait.h"
#include "platform/kernel/kernel.h"
#include "support/controller_rig.h"

namespace {

using namespace controller_rig;
using testing_support::DeviceName;
using testing_support::MakeFrame;

// A register block that only answers status reads with a chosen value and
// records what is written, for the status values the model never raises by
// itself (early receive, flow-control pause).
class ScriptedScb : public sim::PortDevice {
 public:
  uint32_t PortRead(uint32_t offset, unsigned) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return offset == ScbStatus ? status_ : 0;
  }
  void PortWrite(uint32_t offset, unsigned width, uint32_t value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.push_back({offset, width, value, true});
  }
  void Set(uint16_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    writes_.clear();
  }
  std::vector<sim::I8255x::TraceEntry> Writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }

 private:
  std::mutex mutex_;
  uint16_t status_ = 0;                          // guarded by mutex_
  std::vector<sim::I8255x::TraceEntry> writes_;  // guarded by mutex_
};

size_t StatusReads(sim::I8255x& nic) { return Accesses(nic, ScbStatus, false).size(); }

TEST(InterruptService, OnlyTheSixEventBitsMakeAnAdapterServiced) {
  TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
  pc.AddNic(QuickConfig(0));
  pc.Boot();
  constexpr uint32_t kBase = 0xD000;
  ScriptedScb scb;
  ASSERT_TRUE(pc.machine->ports().Map(kBase, ScbRegisterBlockSize, &scb));
  auto record = std::make_unique<NicAdapter>();  // never on AdapterList
  record->IoBase = kBase;

  for (uint16_t status : {0x0000, 0x0200, 0x0100, 0x0300, 0x0250, 0x0080}) {
    scb.Set(status);
    EXPECT_EQ(NicServiceInterrupt(record.get()), 4u) << std::hex << status;
    EXPECT_TRUE(scb.Writes().empty()) << "not acknowledged: " << std::hex << status;
  }
  // Each of the six event bits is acknowledged, together with whatever else
  // was set when the status was read.
  for (uint16_t status : {0x8000, 0x2000, 0x1000, 0x0800, 0x0400, 0x2300, 0x0C50}) {
    scb.Set(status);
    EXPECT_EQ(NicServiceInterrupt(record.get()), 0u) << std::hex << status;
    const auto writes = scb.Writes();
    ASSERT_EQ(writes.size(), 1u) << std::hex << status;
    EXPECT_EQ(writes[0].offset, ScbStatus);
    EXPECT_EQ(writes[0].width, 2u);
    EXPECT_EQ(writes[0].value, status);
  }
  // Suspended or aborted: the controller is not even read.
  record->Flags = AdapterSuspended;
  scb.Set(0x8000);
  EXPECT_EQ(NicServiceInterrupt(record.get()), 4u);
  EXPECT_TRUE(scb.Writes().empty());
  record->Flags = AdapterAborted | AdapterSuspended;
  EXPECT_EQ(NicServiceInterrupt(record.get()), 4u);
  EXPECT_TRUE(scb.Writes().empty());
  pc.machine->ports().Unmap(&scb);
}

TEST(InterruptService, OutOfResourcesRestartsTheReceiveUnitInsteadOfDraining) {
  TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
  sim::I8255x& nic = pc.AddNic(QuickConfig(0));
  pc.Boot();
  NicAdapter* a = AdapterAt(0);
  ASSERT_NE(a, nullptr);
  const Mac station = StationOf(a);

  // Move the cursors off their setup positions first.
  for (uint32_t n = 0; n < 3; ++n) {
    ASSERT_TRUE(InjectAndWaitQueued(pc, a, MakeFrame(station, kPeer, 64, n)));
  }
  {
    InterruptsOff off;
    const unsigned rfdHead = RfdIndex(a, a->RxRfdHead);
    const unsigned rbdHead = RbdIndex(a, a->RxRbdHead);
    // 32 frames use every buffer: the unit runs out of resources with frames
    // completed and FR set.
    for (uint32_t n = 0; n < 32; ++n) pc.wire->Inject(MakeFrame(station, kPeer, 64, 100 + n));
    const uint16_t status = nic.ScbStatusValue();
    ASSERT_NE(status & 0x0008, 0) << std::hex << status;
    ASSERT_NE(status & 0x4000, 0) << std::hex << status;

    nic.EnableTrace(true);
    const uint64_t eoi = pc.machine->EndOfInterruptCount();
    NicInterrupt(a->Irq);
    nic.EnableTrace(false);
    EXPECT_EQ(pc.machine->EndOfInterruptCount(), eoi) << "not serviced: no end of interrupt";
    EXPECT_EQ(SlotIndex(a, a->QueueWrite), 3u) << "completed frames are discarded";

    // Abort, acknowledge everything, re-arm the whole rings, start at the head.
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const auto& entry : nic.Trace()) {
      if (entry.write) writes.emplace_back(entry.offset, entry.value);
    }
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {ScbStatus, status},
        {ScbCommand, 0x04},
        {ScbStatus, 0xFC00},
        {ScbGeneralPointer, HwAddress(&a->Rfds[rfdHead])},
        {ScbCommand, 0x01}};
    EXPECT_EQ(writes, expected);
    for (unsigned j = 0; j < RfdCount; ++j) EXPECT_EQ(RfdStatus(a, j), 0) << j;
    for (unsigned i = 0; i < RbdCount; ++i) EXPECT_EQ(RbdCountField(a, i), 0) << i;
    EXPECT_EQ(HwLoad32(&a->Rfds[rfdHead].RbdAddress), HwAddress(RbdSlot(a, rbdHead)));
    EXPECT_EQ(RfdIndex(a, a->RxRfdHead), rfdHead) << "cursors stay";
    EXPECT_EQ(RbdIndex(a, a->RxRbdHead), rbdHead);
    EXPECT_EQ(RfdsWithEndOfList(a), std::vector<unsigned>{(rfdHead + RfdCount - 1) % RfdCount});
  }
  // The unit runs again from the same lists, once the controller has taken
  // the start the restart wrote last and did not wait for.
  ASSERT_TRUE(command_wait::WaitCommandTaken(*pc.machine, nic));
  const auto after = MakeFrame(station, kPeer, 77, 500);
  ASSERT_TRUE(InjectAndWaitQueued(pc, a, after));
  {
    InterruptsOff off;
    EXPECT_EQ(a->QueueStart[3].Length, 77u);
  }

  // The injected fault: the unit drops into no resources at a frame; the
  // service restarts it and reception goes on.
  nic.faults().ru_out_of_resources = true;
  pc.wire->Inject(MakeFrame(station, kPeer, 64, 600));
  ASSERT_TRUE(WaitUntil([&] { return (nic.ScbStatusValue() & 0x003C) == 0x0010; }))
      << "back to ready";
  nic.faults().ru_out_of_resources = false;
  bool landed = false;
  for (uint32_t n = 0; n < 3 && !landed; ++n) {
    landed = InjectAndWaitQueued(pc, a, MakeFrame(station, kPeer, 64, 700 + n));
  }
  EXPECT_TRUE(landed);
}

TEST(InterruptService, PassesRepeatOnlyWhenTheLastServicedAdapterReturnedZero) {
  TestPc pc(Options());
  for (unsigned i = 0; i < 2; ++i) {
    sim::I8255xConfig config = QuickConfig(i);
    config.irq = 11;
    pc.AddNic(config);
  }
  pc.Boot();
  ASSERT_EQ(AdapterCount(), 2u);
  NicAdapter* first = AdapterAt(0);
  NicAdapter* second = AdapterAt(1);
  sim::I8255x& nicFirst = *pc.nics[0];
  sim::I8255x& nicSecond = *pc.nics[1];

  struct Case {
    bool toFirst, toSecond;
    size_t passes;
    uint64_t eois;
  };
  // Only the first has work: its 0 is followed by the second's 4, one pass.
  // Only the second: a second pass. Both: a second pass, two ends per pass.
  for (const Case& c : {Case{true, false, 1, 1}, Case{false, true, 2, 1}, Case{true, true, 2, 2}}) {
    InterruptsOff off;
    NicInterrupt(11);  // whatever was still pending from bring-up
    const size_t readsFirst = StatusReads(nicFirst);
    const size_t readsSecond = StatusReads(nicSecond);
    if (c.toFirst) pc.wire->Inject(MakeFrame(StationOf(first), kPeer, 64, 1));
    if (c.toSecond) pc.wire->Inject(MakeFrame(StationOf(second), kPeer, 64, 2));
    const uint32_t queuedFirst = SlotIndex(first, first->QueueWrite);
    const uint32_t queuedSecond = SlotIndex(second, second->QueueWrite);
    nicFirst.EnableTrace(true);
    nicSecond.EnableTrace(true);
    const uint64_t eoi = pc.machine->EndOfInterruptCount();
    NicInterrupt(11);
    nicFirst.EnableTrace(false);
    nicSecond.EnableTrace(false);
    EXPECT_EQ(StatusReads(nicFirst) - readsFirst, c.passes);
    EXPECT_EQ(StatusReads(nicSecond) - readsSecond, c.passes);
    EXPECT_EQ(pc.machine->EndOfInterruptCount() - eoi, c.eois);
    EXPECT_EQ(SlotIndex(first, first->QueueWrite) - queuedFirst, c.toFirst ? 1u : 0u);
    EXPECT_EQ(SlotIndex(second, second->QueueWrite) - queuedSecond, c.toSecond ? 1u : 0u);
    EXPECT_EQ(pc.machine->DebugBits() & (1u << 6), 0u) << "debug bit dropped at the end";
  }
  // Adapters on another line are not looked at.
  InterruptsOff off;
  const size_t traced = nicFirst.Trace().size();
  nicFirst.EnableTrace(true);
  NicInterrupt(5);
  nicFirst.EnableTrace(false);
  EXPECT_EQ(nicFirst.Trace().size(), traced);
}

TEST(InterruptService, ControllerReadingAllOnesNeitherHangsTheHandlerNorACommand) {
  TestPc pc(Options({{"MacAddress", "02:11:22:33:44:55"}}));
  sim::I8255x& nic = pc.AddNic(QuickConfig(0));
  pc.Boot();
  NicAdapter* a = AdapterAt(0);
  ASSERT_NE(a, nullptr);
  nic.faults().registers_all_ones = true;
  {
    // Every status bit reads set, the out-of-resources one included, and is
    // taken at its word: written back, the receive unit restarted at its
    // head RFD with every pair whole, and the adapter not serviced, so the
    // handler's pass ends without an end of interrupt.
    InterruptsOff off;
    const uint64_t eoi = pc.machine->EndOfInterruptCount();
    nic.EnableTrace(true);
    EXPECT_EQ(NicServiceInterrupt(a), 4u);
    NicInterrupt(a->Irq);
    nic.EnableTrace(false);
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const auto& entry : nic.Trace()) {
      if (entry.write) writes.emplace_back(entry.offset, entry.value);
    }
    const std::vector<std::pair<uint32_t, uint32_t>> restart = {
        {ScbStatus, 0xFFFF},
        {ScbCommand, 0x04},
        {ScbStatus, 0xFC00},
        {ScbGeneralPointer, HwAddress(a->RxRfdHead)},
        {ScbCommand, 0x01}};
    std::vector<std::pair<uint32_t, uint32_t>> twice = restart;
    twice.insert(twice.end(), restart.begin(), restart.end());
    EXPECT_EQ(writes, twice) << "one restart by the service, one by the handler's single pass";
    EXPECT_EQ(pc.machine->EndOfInterruptCount(), eoi);
  }
  {
    // The command byte never reads 0: every command gives up.
    DriverLock lock;
    const auto frame = MakeFrame(kPeer, StationOf(a), 60, 1);
    EXPECT_EQ(NicTransmit(a, frame.data(), 60), 11u);
  }
  nic.faults().registers_all_ones = false;
}

}  // namespace
