// Receive unit: the lists after setup and after 1, 32 and 34 frames, frames
// landing byte for byte in the queue, what the drain drops and counts, and
// frames a controller should never produce.

#include <gtest/gtest.h>

#include <cstring>

#include "support/controller_rig.h"

namespace {

using namespace controller_rig;
using testing_support::MakeFrame;

const Mac kStation = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

std::vector<uint8_t> SlotBytes(NicAdapter* adapter, uint32_t index) {
  InterruptsOff off;
  const ReceiveQueueSlot& slot = adapter->QueueStart[index];
  const uint32_t length = slot.Length <= 1536 ? slot.Length : 1536;
  return std::vector<uint8_t>(slot.Data, slot.Data + length);
}

struct Cursors {
  unsigned rfdHead, rfdTail, rbdHead, rbdTail;
};

Cursors CursorsOf(NicAdapter* adapter) {
  InterruptsOff off;
  return {RfdIndex(adapter, adapter->RxRfdHead), RfdIndex(adapter, adapter->RxRfdTail),
          RbdIndex(adapter, adapter->RxRbdHead), RbdIndex(adapter, adapter->RxRbdTail)};
}

// Between services: one end-of-list bit per ring, on the tail, which is
// right behind the head.
void ExpectRingsConsistent(NicAdapter* adapter, const char* when) {
  InterruptsOff off;
  const unsigned rfdTail = RfdIndex(adapter, adapter->RxRfdTail);
  const unsigned rbdTail = RbdIndex(adapter, adapter->RxRbdTail);
  EXPECT_EQ(RfdsWithEndOfList(adapter), std::vector<unsigned>{rfdTail}) << when;
  EXPECT_EQ(RbdsWithEndOfList(adapter), std::vector<unsigned>{rbdTail}) << when;
  EXPECT_EQ(RfdIndex(adapter, adapter->RxRfdHead), (rfdTail + 1) % RfdCount) << when;
  EXPECT_EQ(RbdIndex(adapter, adapter->RxRbdHead), (rbdTail + 1) % RbdCount) << when;
  for (unsigned i = 0; i < RfdCount; ++i) {
    EXPECT_EQ(RfdCommand(adapter, i) & 0x7FFF, 0x0008) << when << " RFD " << i;
  }
}

class ReceiveUnit : public ::testing::Test {
 protected:
  void Boot(const Entries& entries = {}) {
    Entries all = {{"MacAddress", "02:11:22:33:44:55"}};
    all.insert(all.end(), entries.begin(), entries.end());
    pc_ = std::make_unique<TestPc>(Options(all));
    nic_ = &pc_->AddNic(QuickConfig(0));
    nic_->EnableTrace(true);
    pc_->Boot();
    adapter_ = AdapterAt(0);
    ASSERT_NE(adapter_, nullptr);
    nic_->EnableTrace(false);
  }

  std::vector<uint8_t> Frame(uint32_t length, uint32_t sequence, const Mac& source = kPeer) {
    return MakeFrame(kStation, source, length, sequence);
  }

  // Waits until the drain has taken the RFD at the head (queued or dropped).
  bool WaitRfdHeadMoved(unsigned from) {
    return WaitUntil([&] { return CursorsOf(adapter_).rfdHead != from; }, 10000);
  }

  std::unique_ptr<TestPc> pc_;
  sim::I8255x* nic_ = nullptr;
  NicAdapter* adapter_ = nullptr;
};

TEST_F(ReceiveUnit, ListsAfterSetup) {
  Boot();
  NicAdapter* a = adapter_;
  InterruptsOff off;
  EXPECT_EQ(RfdsWithEndOfList(a), std::vector<unsigned>{33});
  EXPECT_EQ(RbdsWithEndOfList(a), std::vector<unsigned>{31});
  EXPECT_EQ(HwLoad32(&a->Rfds[0].RbdAddress), HwAddress(RbdSlot(a, 0)));
  for (unsigned j = 0; j < RfdCount; ++j) {
    EXPECT_EQ(HwLoad32(&a->Rfds[j].Link), HwAddress(&a->Rfds[(j + 1) % RfdCount])) << j;
    if (j > 0) {
      EXPECT_EQ(HwLoad32(&a->Rfds[j].RbdAddress), 0xFFFFFFFFu) << j;
    }
    EXPECT_EQ(RfdStatus(a, j), 0);
    EXPECT_EQ(a->Rfds[j].Size, 0);
  }
  for (unsigned i = 0; i < RbdCount; ++i) {
    uint8_t* rbd = RbdSlot(a, i);
    EXPECT_EQ(HwLoadUnaligned32(rbd + RbdOffsetLink), HwAddress(RbdSlot(a, (i + 1) % RbdCount)));
    EXPECT_EQ(HwLoadUnaligned32(rbd + RbdOffsetBufferAddress), HwAddress(a->RxBuffers[i]));
    EXPECT_EQ(HwLoadUnaligned32(rbd + RbdOffsetBufferPointer), HwAddress(a->RxBuffers[i]));
    EXPECT_EQ(RbdCountField(a, i), 0);
  }
  EXPECT_EQ(RfdIndex(a, a->RxRfdHead), 0u);
  EXPECT_EQ(RfdIndex(a, a->RxRfdTail), 33u);
  EXPECT_EQ(RbdIndex(a, a->RxRbdHead), 0u);
  EXPECT_EQ(RbdIndex(a, a->RxRbdTail), 31u);

  // The receive unit was started on RFD 0: the pointer written right before
  // the start command.
  uint32_t pointer = 0;
  bool started = false;
  for (const auto& entry : nic_->Trace()) {
    if (!entry.write) continue;
    if (entry.offset == ScbGeneralPointer) pointer = entry.value;
    if (entry.offset == ScbCommand && entry.value == 0x01) {
      started = true;
      EXPECT_EQ(pointer, HwAddress(&a->Rfds[0]));
    }
  }
  EXPECT_TRUE(started);
}

TEST_F(ReceiveUnit, FramesLandByteForByteAndTheRingsTurnOver) {
  Boot();
  NicAdapter* a = adapter_;

  auto frame = Frame(64, 0);
  ASSERT_TRUE(InjectAndWaitQueued(*pc_, a, frame));
  EXPECT_EQ(SlotBytes(a, 0), frame);
  {
    InterruptsOff off;
    EXPECT_EQ(RfdCommand(a, 0), 0x8008);
    EXPECT_EQ(RfdCommand(a, 33), 0x0008);
    EXPECT_EQ(RbdSize(a, 0), 0x9000);
    EXPECT_EQ(RbdSize(a, 31), 0x1000);
    EXPECT_EQ(RfdIndex(a, a->RxRfdHead), 1u);
    EXPECT_EQ(RbdIndex(a, a->RxRbdHead), 1u);
  }
  ExpectRingsConsistent(a, "after 1 frame");

  for (uint32_t n = 2; n <= 34; ++n) {
    frame = Frame(60 + 42 * n, n);  // up to 1488 bytes: none too long for the controller
    ASSERT_TRUE(InjectAndWaitQueued(*pc_, a, frame)) << n;
    EXPECT_EQ(SlotBytes(a, (n - 1) % 32), frame) << n;
    if (n == 32) {
      EXPECT_EQ(CursorsOf(a).rbdHead, 0u) << "RBD ring turned over";
      ExpectRingsConsistent(a, "after 32 frames");
    }
  }
  EXPECT_EQ(CursorsOf(a).rfdHead, 0u) << "RFD ring turned over";
  EXPECT_EQ(CursorsOf(a).rbdHead, 2u);
  ExpectRingsConsistent(a, "after 34 frames");

  // The largest frame the controller takes as good lands whole: 1514
  // bytes, 1518 with the check sequence, since the driver leaves long frames
  // off (configure byte 18 bit 3). A 1536-byte frame is stored but completed
  // without frame OK, so the drain drops it and counts nothing.
  frame = Frame(1514, 99);
  ASSERT_TRUE(InjectAndWaitQueued(*pc_, a, frame));
  EXPECT_EQ(SlotBytes(a, 2), frame);
  const unsigned head = CursorsOf(a).rfdHead;
  pc_->wire->Inject(Frame(1536, 100));
  ASSERT_TRUE(WaitRfdHeadMoved(head));
  EXPECT_EQ(QueueWriteIndex(a), 3u) << "not queued";
  EXPECT_EQ(nic_->bus_errors().size(), 0u);
}

TEST_F(ReceiveUnit, OwnAddressFramesEndTheDrainUncounted) {
  Boot();
  NicAdapter* a = adapter_;
  const auto own = Frame(80, 1, kStation);
  const auto good = Frame(80, 2);
  {
    // Both complete before the service runs.
    InterruptsOff off;
    pc_->wire->Inject(own);
    pc_->wire->Inject(good);
  }
  ASSERT_TRUE(WaitRfdHeadMoved(0));
  EXPECT_EQ(QueueWriteIndex(a), 0u) << "dropped, and the drain stopped there";
  EXPECT_EQ(CursorsOf(a).rfdHead, 1u);
  {
    InterruptsOff off;
    EXPECT_NE(RfdStatus(a, 1) & 0x8000, 0) << "the good frame waits, complete";
  }
  const auto third = Frame(90, 3);
  pc_->wire->Inject(third);
  ASSERT_TRUE(WaitUntil([&] { return QueueWriteIndex(a) == 2; }));
  EXPECT_EQ(SlotBytes(a, 0), good);
  EXPECT_EQ(SlotBytes(a, 1), third);
  const TrafficCounters& c = a->Statistics.Counters;
  EXPECT_EQ(c.RxCrcErrors + c.RxAlignmentErrors + c.RxOverruns + c.RxTooShort, 0u);
  ExpectRingsConsistent(a, "after the own-address frame");
}

TEST_F(ReceiveUnit, BadFramesAreCountedAtAdapterAndDriverLevelAndEndTheDrain) {
  Boot();
  NicAdapter* a = adapter_;
  const TrafficCounters& c = a->Statistics.Counters;
  {
    InterruptsOff off;
    pc_->wire->Inject(Frame(100, 1), sim::FrameErrors{.crc = true, .alignment = true});
    pc_->wire->Inject(Frame(100, 2));
  }
  ASSERT_TRUE(WaitRfdHeadMoved(0));
  EXPECT_EQ(QueueWriteIndex(a), 0u);
  EXPECT_EQ(__atomic_load_n(&c.RxCrcErrors, __ATOMIC_RELAXED), 1u);
  EXPECT_EQ(__atomic_load_n(&c.RxAlignmentErrors, __ATOMIC_RELAXED), 1u);
  EXPECT_EQ(__atomic_load_n(&DriverStatistics.RxCrcErrors, __ATOMIC_RELAXED), 1u);
  EXPECT_EQ(__atomic_load_n(&DriverStatistics.RxAlignmentErrors, __ATOMIC_RELAXED), 1u);
  EXPECT_EQ(__atomic_load_n(&c.RxOverruns, __ATOMIC_RELAXED), 0u);

  const auto next = Frame(100, 3);
  pc_->wire->Inject(next, sim::FrameErrors{.overrun = true});
  ASSERT_TRUE(WaitUntil([&] { return __atomic_load_n(&c.RxOverruns, __ATOMIC_RELAXED) == 1; }));
  EXPECT_EQ(QueueWriteIndex(a), 1u) << "the waiting good frame went first";
  EXPECT_EQ(SlotBytes(a, 0), Frame(100, 2));
  EXPECT_EQ(__atomic_load_n(&DriverStatistics.RxOverruns, __ATOMIC_RELAXED), 1u);
  EXPECT_EQ(__atomic_load_n(&c.RxCrcErrors, __ATOMIC_RELAXED), 1u);

  // Short frames are kept by the controller (configured so) and counted.
  pc_->wire->Inject(Frame(42, 4));
  ASSERT_TRUE(WaitUntil([&] { return __atomic_load_n(&c.RxTooShort, __ATOMIC_RELAXED) == 1; }));
  EXPECT_EQ(__atomic_load_n(&DriverStatistics.RxTooShort, __ATOMIC_RELAXED), 1u);
  EXPECT_EQ(QueueWriteIndex(a), 1u);
  ExpectRingsConsistent(a, "after bad frames");
}

TEST_F(ReceiveUnit, NoResourcesFrameStopsTheDrainWithoutRecycling) {
  Boot();
  NicAdapter* a = adapter_;
  InterruptsOff off;
  // As the controller leaves the RFD it was filling when it ran out of buffers.
  HwStore16(&a->Rfds[0].Status, 0x8200);
  HandleReceivedPacket(a);
  EXPECT_EQ(RfdIndex(a, a->RxRfdHead), 0u);
  EXPECT_EQ(RfdStatus(a, 0), 0x8200);
  EXPECT_EQ(RfdCommand(a, 0), 0x0008);
  EXPECT_EQ(RfdCommand(a, 33), 0x8008);
  EXPECT_EQ(SlotIndex(a, a->QueueWrite), 0u);
  HwStore16(&a->Rfds[0].Status, 0);
}

TEST_F(ReceiveUnit, FramesAControllerShouldNeverStoreNeverOverrunASlot) {
  Boot({{"Buffers", "2"}});
  NicAdapter* a = adapter_;
  {
    InterruptsOff off;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(a->QueueEnd) - reinterpret_cast<uint8_t*>(a->QueueStart),
              2 * 1540);
    std::memset(a->QueueStart, 0xA5, 2 * 1540);
  }
  auto untouched = [&] {
    InterruptsOff off;
    const auto* bytes = reinterpret_cast<const uint8_t*>(a->QueueStart);
    for (size_t i = 4; i < 2 * 1540; ++i) {
      if (i == 1540 || i == 1541 || i == 1542 || i == 1543) continue;  // slot 1 Length
      if (bytes[i] != 0xA5) return false;
    }
    return SlotIndex(a, a->QueueWrite) == 0;
  };

  // Longer than a slot: dropped whole, uncounted.
  unsigned head = CursorsOf(a).rfdHead;
  pc_->wire->Inject(Frame(2000, 1));
  ASSERT_TRUE(WaitRfdHeadMoved(head));
  EXPECT_TRUE(untouched());

  // A count beyond the buffer, a first buffer without its count-valid bit,
  // and a frame whose end is never marked.
  for (auto* fault : {&nic_->faults().rbd_count_beyond_buffer, &nic_->faults().rbd_missing_f,
                      &nic_->faults().rbd_missing_eof}) {
    head = CursorsOf(a).rfdHead;
    fault->store(true);
    pc_->wire->Inject(Frame(200, 2));
    ASSERT_TRUE(WaitRfdHeadMoved(head));
    fault->store(false);
    EXPECT_TRUE(untouched());
  }
  const TrafficCounters& c = a->Statistics.Counters;
  EXPECT_EQ(c.RxCrcErrors + c.RxAlignmentErrors + c.RxOverruns + c.RxTooShort, 0u);

  // The lists recover: within a frame or two, frames land whole again, and
  // the queue wraps at its last slot.
  bool landed = false;
  for (uint32_t n = 0; n < 3 && !landed; ++n) {
    const uint32_t before = QueueWriteIndex(a);
    head = CursorsOf(a).rfdHead;
    pc_->wire->Inject(Frame(300, 10 + n));
    ASSERT_TRUE(WaitRfdHeadMoved(head));
    landed = QueueWriteIndex(a) != before;
    if (landed) {
      EXPECT_EQ(SlotBytes(a, before), Frame(300, 10 + n));
    }
  }
  ASSERT_TRUE(landed);
  ExpectRingsConsistent(a, "after hostile frames");
  const uint32_t at = QueueWriteIndex(a);
  const auto f1 = Frame(70, 21);
  const auto f2 = Frame(71, 22);
  ASSERT_TRUE(InjectAndWaitQueued(*pc_, a, f1));
  EXPECT_EQ(QueueWriteIndex(a), (at + 1) % 2);
  ASSERT_TRUE(InjectAndWaitQueued(*pc_, a, f2));
  EXPECT_EQ(QueueWriteIndex(a), at);
  EXPECT_EQ(SlotBytes(a, at), f1);
  EXPECT_EQ(SlotBytes(a, (at + 1) % 2), f2);
  EXPECT_EQ(nic_->bus_errors().size(), 0u);
}

TEST_F(ReceiveUnit, SetupOnAControllerThatTakesNoCommandNeverOverwritesThePendingOne) {
  Boot();
  NicAdapter* a = adapter_;
  // Suspended, the adapter is left alone by the interrupt service while its
  // lists are set up again by hand.
  ASSERT_TRUE(pc_->machine->DeliverHaEvent(testing_support::DeviceName(0), 100));
  DriverLock lock;
  nic_->faults().command_never_accepted = true;
  const auto frame = MakeFrame(kPeer, kStation, 60, 1);
  ASSERT_EQ(NicTransmit(a, frame.data(), 60), 0u);  // its start is never taken

  const size_t traced = nic_->Trace().size();
  nic_->EnableTrace(true);
  NicSetupReceiveUnit(a);
  nic_->EnableTrace(false);
  const auto trace = nic_->Trace();
  for (size_t i = traced; i < trace.size(); ++i) {
    EXPECT_FALSE(trace[i].write) << "wrote offset " << trace[i].offset << " value 0x" << std::hex
                                 << trace[i].value;
  }
  EXPECT_GT(trace.size(), traced) << "it waited for the command byte";
  // The lists are set up all the same.
  InterruptsOff off;
  EXPECT_EQ(RfdIndex(a, a->RxRfdHead), 0u);
  EXPECT_EQ(RbdIndex(a, a->RxRbdHead), 0u);
  EXPECT_EQ(RfdsWithEndOfList(a), std::vector<unsigned>{33});
  EXPECT_EQ(RbdsWithEndOfList(a), std::vector<unsigned>{31});
  nic_->faults().command_never_accepted = false;
}

}  // namespace
