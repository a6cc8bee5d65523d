// The receive unit and its interrupt service: the lists after setup and as
// frames turn them over, frames landing byte for byte in the queue, what the
// drain drops and counts, frames a controller should never produce, which
// status bits are acknowledged and serviced, the receive-unit restart,
// passes over adapters sharing a line, and a hostile controller.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

#include "support/driver.h"

namespace {

using namespace tvtest;
using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

const Mac kStation = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

uint32_t Load(const uint32_t& counter) { return __atomic_load_n(&counter, __ATOMIC_RELAXED); }

std::vector<uint8_t> SlotBytes(NicAdapter* adapter, uint32_t index) {
  InterruptsOff off;
  const ReceiveQueueSlot& slot = adapter->QueueStart[index];
  return std::vector<uint8_t>(slot.Data, slot.Data + std::min<uint32_t>(slot.Length, 1536));
}

unsigned RfdHead(NicAdapter* adapter) {
  InterruptsOff off;
  return RfdIndex(adapter, adapter->RxRfdHead);
}

unsigned RbdHead(NicAdapter* adapter) {
  InterruptsOff off;
  return RbdIndex(adapter, adapter->RxRbdHead);
}

// Between services: one end-of-list bit per ring, on the tail, which is
// right behind the head; every RFD flexible.
void ExpectRingsConsistent(NicAdapter* adapter, const char* when) {
  SCOPED_TRACE(when);
  InterruptsOff off;
  const unsigned rfdTail = RfdIndex(adapter, adapter->RxRfdTail);
  const unsigned rbdTail = RbdIndex(adapter, adapter->RxRbdTail);
  EXPECT_EQ(RfdsWithEndOfList(adapter), std::vector<unsigned>{rfdTail});
  EXPECT_EQ(RbdsWithEndOfList(adapter), std::vector<unsigned>{rbdTail});
  EXPECT_EQ(RfdIndex(adapter, adapter->RxRfdHead), (rfdTail + 1) % RfdCount);
  EXPECT_EQ(RbdIndex(adapter, adapter->RxRbdHead), (rbdTail + 1) % RbdCount);
  for (unsigned i = 0; i < RfdCount; ++i) EXPECT_EQ(RfdCommand(adapter, i) & 0x7FFF, 0x0008) << i;
}

// The register writes the model traced, in order.
Writes WritesOf(sim::I8255x& nic) {
  Writes writes;
  for (const auto& entry : nic.Trace()) {
    if (entry.write) writes.emplace_back(entry.offset, entry.value);
  }
  return writes;
}

// The service's writes for a status with the out-of-resources bit: the status
// acknowledged, the unit aborted, every event acknowledged, and the unit
// started again at the head RFD.
Writes RestartWrites(uint16_t status, const void* head) {
  return {{ScbStatus, status},
          {ScbCommand, 0x04},
          {ScbStatus, 0xFC00},
          {ScbGeneralPointer, HwAddress(head)},
          {ScbCommand, 0x01}};
}

class ReceiveUnit : public OneAdapter {
 protected:
  std::vector<uint8_t> Frame(uint32_t length, uint32_t sequence, const Mac& source = kPeer) {
    return MakeFrame(kStation, source, length, sequence);
  }

  // Puts a frame on the wire and waits until the drain has taken its RFD,
  // whether it queued or dropped it.
  void InjectAndWaitTaken(const std::vector<uint8_t>& frame, sim::FrameErrors errors = {}) {
    const unsigned head = RfdHead(a);
    pc->wire->Inject(frame, errors);
    ASSERT_TRUE(Eventually([&] { return RfdHead(a) != head; }, 10000));
  }
};

using InterruptService = ReceiveUnit;

TEST_F(ReceiveUnit, ListsAfterSetup) {
  Boot({}, true);
  InterruptsOff off;
  EXPECT_EQ(RfdIndex(a, a->RxRfdHead), 0u);
  EXPECT_EQ(RbdIndex(a, a->RxRbdHead), 0u);
  ExpectRingsConsistent(a, "after setup");
  for (unsigned j = 0; j < RfdCount; ++j) {
    SCOPED_TRACE(j);
    EXPECT_EQ(HwLoad32(&a->Rfds[j].Link), HwAddress(&a->Rfds[(j + 1) % RfdCount]));
    EXPECT_EQ(HwLoad32(&a->Rfds[j].RbdAddress), j == 0 ? HwAddress(RbdSlot(a, 0)) : 0xFFFFFFFFu);
    EXPECT_EQ(RfdStatus(a, j), 0);
    EXPECT_EQ(a->Rfds[j].Size, 0);
  }
  for (unsigned i = 0; i < RbdCount; ++i) {
    SCOPED_TRACE(i);
    uint8_t* rbd = RbdSlot(a, i);
    EXPECT_EQ(HwLoadUnaligned32(rbd + RbdOffsetLink), HwAddress(RbdSlot(a, (i + 1) % RbdCount)));
    EXPECT_EQ(HwLoadUnaligned32(rbd + RbdOffsetBufferAddress), HwAddress(a->RxBuffers[i]));
    EXPECT_EQ(HwLoadUnaligned32(rbd + RbdOffsetBufferPointer), HwAddress(a->RxBuffers[i]));
    EXPECT_EQ(RbdCountField(a, i), 0);
  }
  // Every start of the receive unit names RFD 0: the pointer written last
  // before the start command.
  uint32_t pointer = 0;
  unsigned starts = 0;
  for (const auto& [offset, value] : WritesOf(*nic)) {
    if (offset == ScbGeneralPointer) pointer = value;
    if (offset == ScbCommand && value == 0x01) {
      ++starts;
      EXPECT_EQ(pointer, HwAddress(&a->Rfds[0]));
    }
  }
  EXPECT_GT(starts, 0u);
}

TEST_F(ReceiveUnit, FramesLandByteForByteAndTheRingsTurnOver) {
  Boot();
  auto frame = Frame(64, 0);
  ASSERT_TRUE(pc->InjectQueuedOn(a, frame));
  EXPECT_EQ(SlotBytes(a, 0), frame);
  {
    InterruptsOff off;
    EXPECT_EQ(RfdCommand(a, 0), 0x8008);
    EXPECT_EQ(RfdCommand(a, 33), 0x0008);
    EXPECT_EQ(RbdSize(a, 0), 0x9000);
    EXPECT_EQ(RbdSize(a, 31), 0x1000);
  }
  ExpectRingsConsistent(a, "after 1 frame");
  for (uint32_t n = 2; n <= 34; ++n) {
    SCOPED_TRACE(n);
    frame = Frame(60 + 42 * n, n);  // up to 1488 bytes: none too long for the controller
    ASSERT_TRUE(pc->InjectQueuedOn(a, frame));
    EXPECT_EQ(SlotBytes(a, (n - 1) % 32), frame);
    if (n == 32) {
      EXPECT_EQ(RbdHead(a), 0u) << "RBD ring turned over";
      ExpectRingsConsistent(a, "after 32 frames");
    }
  }
  EXPECT_EQ(RfdHead(a), 0u) << "RFD ring turned over";
  EXPECT_EQ(RbdHead(a), 2u);
  ExpectRingsConsistent(a, "after 34 frames");

  // The largest frame the controller takes as good lands whole: 1514
  // bytes, 1518 with the check sequence, since the driver leaves long frames
  // off (configure byte 18 bit 3). A 1536-byte frame is stored but completed
  // without frame OK, so the drain drops it and counts nothing.
  frame = Frame(1514, 99);
  ASSERT_TRUE(pc->InjectQueuedOn(a, frame));
  EXPECT_EQ(SlotBytes(a, 2), frame);
  InjectAndWaitTaken(Frame(1536, 100));
  EXPECT_EQ(TestPc::QueueIndex(a), 3u) << "not queued";
  EXPECT_EQ(nic->bus_errors().size(), 0u);
}

// Frames the drain drops: from the station's own address (uncounted), and
// bad frames, counted by kind at adapter and driver level. A dropped frame
// ends the drain; the good frame behind it waits for the next one.
TEST_F(ReceiveUnit, DroppedFramesEndTheDrainAndAreCountedByKind) {
  Boot();
  const TrafficCounters& c = a->Statistics.Counters;
  const TrafficCounters& d = DriverStatistics;
  struct Case {
    const char* name;
    Mac source;
    sim::FrameErrors errors;
    uint32_t length;
    std::vector<const uint32_t*> counters;
  };
  const Case cases[] = {
      {"own address", kStation, {}, 80, {}},
      {"crc and alignment",
       kPeer,
       {.crc = true, .alignment = true},
       100,
       {&c.RxCrcErrors, &c.RxAlignmentErrors, &d.RxCrcErrors, &d.RxAlignmentErrors}},
      {"overrun", kPeer, {.overrun = true}, 100, {&c.RxOverruns, &d.RxOverruns}},
      // Short frames are kept by the controller (configured so).
      {"too short", kPeer, {}, 42, {&c.RxTooShort, &d.RxTooShort}},
  };
  const auto total = [&] {
    return Load(c.RxCrcErrors) + Load(c.RxAlignmentErrors) + Load(c.RxOverruns) +
           Load(c.RxTooShort) + Load(d.RxCrcErrors) + Load(d.RxAlignmentErrors) +
           Load(d.RxOverruns) + Load(d.RxTooShort);
  };
  uint32_t sequence = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const uint32_t counted = total();
    const uint32_t queued = TestPc::QueueIndex(a);
    const unsigned head = RfdHead(a);
    const auto good = Frame(80, ++sequence);
    {
      // Both complete before the service runs.
      InterruptsOff off;
      pc->wire->Inject(Frame(k.length, ++sequence, k.source), k.errors);
      pc->wire->Inject(good);
    }
    ASSERT_TRUE(Eventually([&] { return RfdHead(a) != head; }));
    EXPECT_EQ(TestPc::QueueIndex(a), queued) << "dropped, and the drain stopped there";
    EXPECT_EQ(RfdHead(a), (head + 1) % RfdCount);
    {
      InterruptsOff off;
      EXPECT_NE(RfdStatus(a, (head + 1) % RfdCount) & 0x8000, 0) << "the good frame waits";
    }
    for (const uint32_t* counter : k.counters) EXPECT_EQ(Load(*counter), 1u);
    EXPECT_EQ(total() - counted, k.counters.size());
    const auto third = Frame(90, ++sequence);
    pc->wire->Inject(third);
    ASSERT_TRUE(Eventually([&] { return TestPc::QueueIndex(a) == queued + 2; }));
    EXPECT_EQ(SlotBytes(a, queued), good);
    EXPECT_EQ(SlotBytes(a, queued + 1), third);
    ExpectRingsConsistent(a, k.name);
  }
}

TEST_F(ReceiveUnit, NoResourcesFrameStopsTheDrainWithoutRecycling) {
  Boot();
  InterruptsOff off;
  // As the controller leaves the RFD it was filling when it ran out of buffers.
  HwStore16(&a->Rfds[0].Status, 0x8200);
  HandleReceivedPacket(a);
  EXPECT_EQ(RfdIndex(a, a->RxRfdHead), 0u);
  EXPECT_EQ(RfdStatus(a, 0), 0x8200);
  EXPECT_EQ(RfdsWithEndOfList(a), std::vector<unsigned>{33});
  EXPECT_EQ(SlotIndex(a, a->QueueWrite), 0u);
  HwStore16(&a->Rfds[0].Status, 0);
}

TEST_F(ReceiveUnit, FramesAControllerShouldNeverStoreNeverOverrunASlot) {
  Boot({{"Buffers", "2"}});
  {
    InterruptsOff off;
    ASSERT_EQ(reinterpret_cast<uint8_t*>(a->QueueEnd) - reinterpret_cast<uint8_t*>(a->QueueStart),
              2 * 1540);
    std::memset(a->QueueStart, 0xA5, 2 * 1540);
  }
  auto untouched = [&] {
    InterruptsOff off;
    const auto* bytes = reinterpret_cast<const uint8_t*>(a->QueueStart);
    for (size_t i = 4; i < 2 * 1540; ++i) {
      if ((i < 1540 || i >= 1544) && bytes[i] != 0xA5) return false;  // but slot 1's Length
    }
    return SlotIndex(a, a->QueueWrite) == 0;
  };
  // Longer than a slot: dropped whole, uncounted.
  InjectAndWaitTaken(Frame(2000, 1));
  EXPECT_TRUE(untouched());
  // A count beyond the buffer, a first buffer without its count-valid bit,
  // and a frame whose end is never marked.
  for (auto* fault : {&nic->faults().rbd_count_beyond_buffer, &nic->faults().rbd_missing_f,
                      &nic->faults().rbd_missing_eof}) {
    fault->store(true);
    InjectAndWaitTaken(Frame(200, 2));
    fault->store(false);
    EXPECT_TRUE(untouched());
  }
  const TrafficCounters& c = a->Statistics.Counters;
  EXPECT_EQ(c.RxCrcErrors + c.RxAlignmentErrors + c.RxOverruns + c.RxTooShort, 0u);

  // The lists recover: within a frame or two, frames land whole again, and
  // the queue wraps at its last slot.
  bool landed = false;
  for (uint32_t n = 0; n < 3 && !landed; ++n) {
    const uint32_t before = TestPc::QueueIndex(a);
    InjectAndWaitTaken(Frame(300, 10 + n));
    landed = TestPc::QueueIndex(a) != before;
    EXPECT_TRUE(!landed || SlotBytes(a, before) == Frame(300, 10 + n));
  }
  ASSERT_TRUE(landed);
  ExpectRingsConsistent(a, "after hostile frames");
  const uint32_t at = TestPc::QueueIndex(a);
  ASSERT_TRUE(pc->InjectQueuedOn(a, Frame(70, 21)));
  EXPECT_EQ(TestPc::QueueIndex(a), (at + 1) % 2);
  ASSERT_TRUE(pc->InjectQueuedOn(a, Frame(71, 22)));
  EXPECT_EQ(TestPc::QueueIndex(a), at);
  EXPECT_EQ(SlotBytes(a, at), Frame(70, 21));
  EXPECT_EQ(SlotBytes(a, (at + 1) % 2), Frame(71, 22));
  EXPECT_EQ(nic->bus_errors().size(), 0u);
}

TEST_F(ReceiveUnit, SetupOnAControllerThatTakesNoCommandNeverOverwritesThePendingOne) {
  Boot();
  // Suspended, the adapter is left alone by the interrupt service while its
  // lists are set up again by hand.
  ASSERT_TRUE(pc->machine->DeliverHaEvent(DeviceName(0), 100));
  DriverLock lock;
  nic->faults().command_never_accepted = true;
  const auto frame = MakeFrame(kPeer, kStation, 60, 1);
  ASSERT_EQ(NicTransmit(a, frame.data(), 60), 0u);  // its start is never taken
  const size_t traced = nic->Trace().size();
  nic->EnableTrace(true);
  NicSetupReceiveUnit(a);
  nic->EnableTrace(false);
  const auto trace = nic->Trace();
  for (size_t i = traced; i < trace.size(); ++i) {
    EXPECT_FALSE(trace[i].write) << "wrote offset " << trace[i].offset << " value 0x" << std::hex
                                 << trace[i].value;
  }
  EXPECT_GT(trace.size(), traced) << "it waited for the command byte";
  // The lists are set up all the same.
  InterruptsOff off;
  EXPECT_EQ(RfdIndex(a, a->RxRfdHead), 0u);
  ExpectRingsConsistent(a, "after setup");
  nic->faults().command_never_accepted = false;
}

// A register block that only answers status reads with a chosen value and
// records what is written, for the status values the model never raises by
// itself (early receive, flow-control pause). Only the test's thread reaches
// it: its adapter record is on no list the interrupt service walks.
struct ScriptedScb : sim::PortDevice {
  uint32_t PortRead(uint32_t offset, unsigned) override { return offset == ScbStatus ? status : 0; }
  void PortWrite(uint32_t offset, unsigned width, uint32_t value) override {
    writes.push_back({offset, width, value, true});
  }
  uint16_t status = 0;
  std::vector<sim::I8255x::TraceEntry> writes;
};

TEST_F(InterruptService, OnlyTheSixEventBitsMakeAnAdapterServiced) {
  Boot();
  constexpr uint32_t kBase = 0xD000;
  ScriptedScb scb;
  ASSERT_TRUE(pc->machine->ports().Map(kBase, ScbRegisterBlockSize, &scb));
  auto record = std::make_unique<NicAdapter>();  // never on AdapterList
  record->IoBase = kBase;
  // Adapter flags, status, and whether the adapter is serviced (and the
  // status acknowledged, with whatever else was set when it was read).
  // Suspended or aborted, the controller is not even read.
  const std::tuple<uint32_t, uint16_t, bool> cases[] = {
      {0, 0x0000, false},
      {0, 0x0200, false},
      {0, 0x0100, false},
      {0, 0x0300, false},
      {0, 0x0250, false},
      {0, 0x0080, false},
      {0, 0x8000, true},
      {0, 0x2000, true},
      {0, 0x1000, true},
      {0, 0x0800, true},
      {0, 0x0400, true},
      {0, 0x2300, true},
      {0, 0x0C50, true},
      {AdapterSuspended, 0x8000, false},
      {AdapterAborted | AdapterSuspended, 0x8000, false}};
  for (const auto& [flags, status, serviced] : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << flags << " " << status);
    record->Flags = flags;
    scb.status = status;
    scb.writes.clear();
    EXPECT_EQ(NicServiceInterrupt(record.get()), serviced ? 0u : 4u);
    ASSERT_EQ(scb.writes.size(), serviced ? 1u : 0u);
    if (serviced) {
      EXPECT_EQ(std::tuple(scb.writes[0].offset, scb.writes[0].width, scb.writes[0].value),
                std::tuple(ScbStatus, 2u, uint32_t{status}));
    }
  }
  pc->machine->ports().Unmap(&scb);
}

TEST_F(InterruptService, OutOfResourcesRestartsTheReceiveUnitInsteadOfDraining) {
  Boot();
  // Move the cursors off their setup positions first.
  for (uint32_t n = 0; n < 3; ++n) ASSERT_TRUE(pc->InjectQueuedOn(a, Frame(64, n)));
  {
    InterruptsOff off;
    const unsigned rfdHead = RfdIndex(a, a->RxRfdHead);
    const unsigned rbdHead = RbdIndex(a, a->RxRbdHead);
    // 32 frames use every buffer: the unit runs out of resources with frames
    // completed and FR set.
    for (uint32_t n = 0; n < 32; ++n) pc->wire->Inject(Frame(64, 100 + n));
    const uint16_t status = nic->ScbStatusValue();
    ASSERT_EQ(status & 0x4008, 0x4008) << std::hex << status;
    nic->EnableTrace(true);
    const uint64_t eoi = pc->machine->EndOfInterruptCount();
    NicInterrupt(a->Irq);
    nic->EnableTrace(false);
    EXPECT_EQ(pc->machine->EndOfInterruptCount(), eoi) << "not serviced: no end of interrupt";
    EXPECT_EQ(SlotIndex(a, a->QueueWrite), 3u) << "completed frames are discarded";
    // Abort, acknowledge everything, re-arm the whole rings, start at the head.
    EXPECT_EQ(WritesOf(*nic), RestartWrites(status, &a->Rfds[rfdHead]));
    for (unsigned j = 0; j < RfdCount; ++j) EXPECT_EQ(RfdStatus(a, j), 0) << j;
    for (unsigned i = 0; i < RbdCount; ++i) EXPECT_EQ(RbdCountField(a, i), 0) << i;
    EXPECT_EQ(HwLoad32(&a->Rfds[rfdHead].RbdAddress), HwAddress(RbdSlot(a, rbdHead)));
    EXPECT_EQ(RfdIndex(a, a->RxRfdHead), rfdHead) << "cursors stay";
    EXPECT_EQ(RbdIndex(a, a->RxRbdHead), rbdHead);
    EXPECT_EQ(RfdsWithEndOfList(a), std::vector<unsigned>{(rfdHead + RfdCount - 1) % RfdCount});
  }
  // The unit runs again from the same lists, once the controller has taken
  // the start the restart wrote last and did not wait for.
  ASSERT_TRUE(WaitCommandTaken(*pc->machine, *nic));
  ASSERT_TRUE(pc->InjectQueuedOn(a, Frame(77, 500)));
  EXPECT_EQ(SlotBytes(a, 3), Frame(77, 500));

  // The injected fault: the unit drops into no resources at a frame; the
  // service restarts it and reception goes on.
  nic->faults().ru_out_of_resources = true;
  pc->wire->Inject(Frame(64, 600));
  ASSERT_TRUE(Eventually([&] { return (nic->ScbStatusValue() & 0x003C) == 0x0010; }))
      << "back to ready";
  nic->faults().ru_out_of_resources = false;
  bool landed = false;
  for (uint32_t n = 0; n < 3 && !landed; ++n) {
    landed = pc->InjectQueuedOn(a, Frame(64, 700 + n));
  }
  EXPECT_TRUE(landed);
}

// The restart runs in the interrupt service, which has no timeout to wait
// with, so it writes its start without reading the command byte back: the
// two I/O delays after the abort (six bus cycles) are what let the
// controller take the abort first. A controller that takes a command 7 us
// after the write still does, by the acknowledge that follows them; with one
// delay fewer the start would land on the abort not yet taken, which is lost.
TEST_F(InterruptService, TheRestartsStartIsWrittenOnlyOnceItsAbortIsTaken) {
  sim::I8255xConfig config = QuickConfig(0);
  config.command_latency_ns = 7000;
  Boot({}, false, config);
  ASSERT_TRUE(WaitCommandTaken(*pc->machine, *nic));
  const uint64_t errors = nic->counters().programming_errors.load();
  {
    InterruptsOff off;
    for (uint32_t n = 0; n < 32; ++n) pc->wire->Inject(Frame(64, 100 + n));
    ASSERT_EQ(nic->ScbStatusValue() & 0x0008, 0x0008) << "out of resources";
    NicInterrupt(a->Irq);
  }
  const auto written = nic->ProgrammingErrors();
  EXPECT_EQ(nic->counters().programming_errors.load(), errors)
      << (written.empty() ? std::string() : written.back().what);
  ASSERT_TRUE(WaitCommandTaken(*pc->machine, *nic));
  EXPECT_TRUE(pc->InjectQueuedOn(a, Frame(77, 500))) << "the unit runs again";
}

// The handler raises debug bit 6 for as long as it runs: every register access
// it makes finds the bit set, and it is clear again afterwards.
TEST_F(InterruptService, TheHandlerHoldsItsDebugBitWhileItRuns) {
  Boot();
  const std::thread::id self = std::this_thread::get_id();
  std::vector<bool> bit_at_access;  // only this thread's accesses are recorded
  pc->machine->ports().SetTrace([&](const sim::PortBus::Access& access) {
    if (std::this_thread::get_id() != self || access.port < a->IoBase ||
        access.port >= a->IoBase + 64) {
      return;
    }
    bit_at_access.push_back((pc->machine->DebugBits() >> 6) & 1);
  });
  {
    InterruptsOff off;
    pc->wire->Inject(Frame(64, 1));
    NicInterrupt(a->Irq);
  }
  pc->machine->ports().SetTrace(nullptr);
  ASSERT_GE(bit_at_access.size(), 2u) << "status read and acknowledge";
  EXPECT_EQ(std::count(bit_at_access.begin(), bit_at_access.end(), true),
            static_cast<std::ptrdiff_t>(bit_at_access.size()));
  EXPECT_EQ(pc->machine->DebugBits() & (1u << 6), 0u);
}

TEST_F(InterruptService, PassesRepeatOnlyWhenTheLastServicedAdapterReturnedZero) {
  TestPc pc(Options());  // the fixture's machine is not used
  for (unsigned i = 0; i < 2; ++i) {
    sim::I8255xConfig config = QuickConfig(i);
    config.irq = 11;
    pc.AddNic(config);
  }
  pc.Boot();
  ASSERT_EQ(Adapters().size(), 2u);
  NicAdapter* adapters[2] = {AdapterAt(0), AdapterAt(1)};
  struct Case {
    bool to[2];
    size_t passes;
    uint64_t eois;
  };
  // Only the first has work: its 0 is followed by the second's 4, one pass.
  // Only the second: a second pass. Both: a second pass, two ends per pass.
  for (const Case& c :
       {Case{{true, false}, 1, 1}, Case{{false, true}, 2, 1}, Case{{true, true}, 2, 2}}) {
    InterruptsOff off;
    NicInterrupt(11);  // whatever was still pending from bring-up
    size_t reads[2];
    uint32_t queued[2];
    for (unsigned i = 0; i < 2; ++i) {
      reads[i] = Accesses(*pc.nics[i], ScbStatus, false).size();
      if (c.to[i]) pc.wire->Inject(MakeFrame(StationOf(adapters[i]), kPeer, 64, i));
      queued[i] = SlotIndex(adapters[i], adapters[i]->QueueWrite);
      pc.nics[i]->EnableTrace(true);
    }
    const uint64_t eoi = pc.machine->EndOfInterruptCount();
    NicInterrupt(11);
    EXPECT_EQ(pc.machine->EndOfInterruptCount() - eoi, c.eois);
    for (unsigned i = 0; i < 2; ++i) {
      SCOPED_TRACE(i);
      pc.nics[i]->EnableTrace(false);
      EXPECT_EQ(Accesses(*pc.nics[i], ScbStatus, false).size() - reads[i], c.passes);
      EXPECT_EQ(SlotIndex(adapters[i], adapters[i]->QueueWrite) - queued[i], c.to[i] ? 1u : 0u);
    }
    EXPECT_EQ(pc.machine->DebugBits() & (1u << 6), 0u) << "debug bit dropped at the end";
  }
  // Adapters on another line are not looked at.
  InterruptsOff off;
  const size_t traced = pc.nics[0]->Trace().size();
  pc.nics[0]->EnableTrace(true);
  NicInterrupt(5);
  pc.nics[0]->EnableTrace(false);
  EXPECT_EQ(pc.nics[0]->Trace().size(), traced);
}

TEST_F(InterruptService, ControllerReadingAllOnesNeitherHangsTheHandlerNorACommand) {
  Boot();
  nic->faults().registers_all_ones = true;
  {
    // Every status bit reads set, the out-of-resources one included, and is
    // taken at its word: written back, the receive unit restarted at its
    // head RFD with every pair whole, and the adapter not serviced, so the
    // handler's pass ends without an end of interrupt.
    InterruptsOff off;
    const uint64_t eoi = pc->machine->EndOfInterruptCount();
    nic->EnableTrace(true);
    EXPECT_EQ(NicServiceInterrupt(a), 4u);
    NicInterrupt(a->Irq);
    nic->EnableTrace(false);
    const Writes once = RestartWrites(0xFFFF, a->RxRfdHead);
    Writes twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(WritesOf(*nic), twice) << "one restart by the service, one by the handler's pass";
    EXPECT_EQ(pc->machine->EndOfInterruptCount(), eoi);
  }
  {
    // The command byte never reads 0: every command gives up.
    DriverLock lock;
    const auto frame = MakeFrame(kPeer, StationOf(a), 60, 1);
    EXPECT_EQ(NicTransmit(a, frame.data(), 60), 11u);
  }
  nic->faults().registers_all_ones = false;
}

// A hostile controller: status words that never clear, descriptors that claim
// more than their buffers, lack F or EOF, or report a frame complete without
// its OK bit. The driver must stay responsive, never copy past a receive
// buffer or a queue slot, and hand the next sane frame over whole.

// What the controller writes back, chosen by the test: the count word of
// every RBD and the status word of every RFD of the next `frames` frames,
// and bits forced into every SCB status read while `scb_forced` is set.
class Scripted : public sim::I8255xDescriptorHook {
 public:
  void Next(unsigned frames, uint16_t rbd_count, uint16_t rfd_status) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_ = frames;
    rbd_count_ = rbd_count;
    rfd_status_ = rfd_status;
  }
  std::atomic<uint16_t> scb_forced{0};

  uint16_t RbdCount(size_t, size_t, uint16_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_ != 0 && rbd_count_ != 0 ? rbd_count_ : count;
  }
  uint16_t RfdStatus(uint16_t status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frames_ == 0) return status;
    --frames_;
    return rfd_status_ != 0 ? rfd_status_ : status;
  }
  uint16_t ScbStatus(uint16_t status) override {
    return static_cast<uint16_t>(status | scb_forced.load());
  }

 private:
  std::mutex mutex_;
  unsigned frames_ = 0;      // guarded by mutex_
  uint16_t rbd_count_ = 0;   // guarded by mutex_
  uint16_t rfd_status_ = 0;  // guarded by mutex_
};

struct Rig {
  TestPc pc{Options({{"UseEeprom", "0"}})};
  sim::I8255x* nic = nullptr;
  Scripted script;
  std::unique_ptr<sim::ClientProcess> client;
  uintptr_t open = 0;

  Rig() {
    pc.AddNic(QuickConfig(0));
    nic = pc.nics[0];
    pc.Boot();
    client = std::make_unique<sim::ClientProcess>(*pc.machine);
    EXPECT_EQ(client->Open(DeviceName(0), &open), 0u);
    // Open ends with a configure the driver does not wait for (its CU start
    // is written last): until the controller takes it, the previous
    // configuration's filter refuses broadcasts, so a frame injected in
    // that window is dropped, as on the part.
    EXPECT_TRUE(WaitCommandTaken(*pc.machine, *nic));
    nic->faults().descriptor_hook = &script;
  }
  ~Rig() {
    nic->faults().descriptor_hook = nullptr;
    pc.machine->Stop();
  }

  // A read on a helper thread: its status and length, or nullopt when it did
  // not come back in time (the machine is then stopped to unwind it).
  std::optional<std::vector<uint8_t>> ReadOne() {
    std::vector<uint8_t> buffer(MaximumFrameLength);
    uint32_t length = 0, status = 0;
    std::atomic<bool> back{false};
    std::thread reader([&] {
      status = client->Read(open, buffer.data(), static_cast<uint32_t>(buffer.size()), &length);
      back = true;
    });
    const bool came_back = Eventually([&] { return back.load(); });
    if (!came_back) pc.machine->Stop();
    reader.join();
    if (!came_back || status != 0) return std::nullopt;
    buffer.resize(length);
    return buffer;
  }
};

TEST(Robustness, AStatusWordThatNeverClearsDoesNotHoldTheInterruptServiceForever) {
  Rig rig;
  // Every status read shows a received frame, however often it is
  // acknowledged: the service's rounds over the line must end, or clients
  // (which exclude interrupts for their hand-overs) would wait forever.
  rig.script.scb_forced = ScbStatusFr;
  const auto frame = MakeFrame(kBroadcast, Station(7), 100, 1);
  rig.nic->InjectFrame(frame);
  ASSERT_TRUE(Eventually([&] { return rig.pc.machine->InterruptRuns() > 0; }));
  auto got = rig.ReadOne();
  ASSERT_TRUE(got.has_value()) << "a read never came back past the interrupt service";
  EXPECT_EQ(*got, frame);

  // Still serviced while the status stays stuck: the next frame arrives too,
  // and the client can leave.
  const auto second = MakeFrame(kBroadcast, Station(7), 200, 2);
  rig.nic->InjectFrame(second);
  got = rig.ReadOne();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, second);
  EXPECT_EQ(rig.client->Close(rig.open), 0u);
}

TEST(Robustness, HostileDescriptorsAreDroppedAndTheNextFrameArrivesWhole) {
  struct Case {
    const char* what;
    uint16_t rbd_count, rfd_status;
  };
  const Case cases[] = {
      // EOF and F with the largest count: far beyond a slot and the buffer.
      {"count beyond the buffer", RbdCountEof | RbdCountValid | RbdCountMask, 0},
      // Just past a slot: a copy of it would overrun the next slot.
      {"count one past a slot", RbdCountEof | RbdCountValid | (MaximumFrameLength + 1), 0},
      {"no F bit", RbdCountEof | 100, 0},
      {"complete without OK", 0, RfdStatusComplete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    rig.script.Next(1, c.rbd_count, c.rfd_status);
    rig.nic->InjectFrame(MakeFrame(kBroadcast, Station(7), 100, 1));
    // A dropped frame ends the drain, and frames completed behind it wait for
    // the next service: the good frame follows once the hostile one is gone.
    NicAdapter* adapter = AdapterAt(0);
    ASSERT_TRUE(Eventually([&] {
      InterruptsOff off;
      return RfdIndex(adapter, adapter->RxRfdHead) == 1;
    })) << "the hostile frame was never drained";
    const auto good = MakeFrame(kBroadcast, Station(7), 1514, 2);
    rig.nic->InjectFrame(good);
    auto got = rig.ReadOne();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, good) << "the hostile frame reached the client, or the good one was hurt";
    // The driver never pointed the controller outside its own memory.
    EXPECT_EQ(rig.nic->counters().bus_errors.load(), 0u);
  }
}

TEST(Robustness, AFrameWithoutEndIsWalkedWithinTheRingAndReceptionRecovers) {
  Rig rig;
  // No EOF anywhere: the walk must end within the ring. Without an end the
  // driver cannot tell which buffers the frame took, so it may lose the
  // following frames until the receive unit runs out of buffers and is
  // restarted; from then on frames arrive whole again.
  rig.script.Next(1, RbdCountValid | 100, 0);
  rig.nic->InjectFrame(MakeFrame(kBroadcast, Station(7), 100, 1));
  // Frames one at a time, each given the time to be drained, until one is
  // queued for the client (bounded: a few rings' worth).
  auto* client = reinterpret_cast<NicClient*>(rig.open);
  auto queued = [&] {
    InterruptsOff off;
    return client->ReadPointer != client->Adapter->QueueWrite;
  };
  std::vector<std::vector<uint8_t>> sent;
  for (uint32_t i = 0; i < 4 * RbdCount && !queued(); ++i) {
    sent.push_back(MakeFrame(kBroadcast, Station(7), 600, 2 + i));
    rig.nic->InjectFrame(sent.back());
    Eventually(queued, 50);
  }
  auto got = rig.ReadOne();
  ASSERT_TRUE(got.has_value()) << "no frame ever arrived after a frame without EOF";
  EXPECT_NE(std::find(sent.begin(), sent.end(), *got), sent.end()) << "a frame arrived hurt";
  EXPECT_EQ(rig.nic->counters().bus_errors.load(), 0u);
  EXPECT_EQ(rig.client->Close(rig.open), 0u);
}

}  // namespace
