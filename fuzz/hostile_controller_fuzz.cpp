// A hostile controller: the fuzz input chooses what the controller writes
// back to the driver - RBD count words beyond the buffer or without F or EOF,
// bogus RFD status and count words, SCB status words that never change,
// frames longer than a queue slot, commands that are never taken, a command
// unit that never goes idle, blocks that never complete, register reads of
// all ones - while a client reads and writes.
//
// Checks: no crash and no access outside the driver's memory (sanitizers,
// and the model's own record of refused DMA), no hang (libFuzzer's -timeout;
// every call below must come back), reads never report more than a queue
// slot or the caller's buffer, and after the close of every client the arena
// holds what it held after boot.
//
// Input: a byte choosing the reader's buffer size, then operations: one byte
// (low 3 bits choose, see Step) followed by its arguments.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "device/interface.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr unsigned kMaxOperations = 40;
constexpr unsigned kMaxWrites = 3;  // each may wait out a stuck command unit

// What the controller writes for the frames it stores, one entry per frame,
// and what its SCB status reads give. Set up by the harness thread; read by
// whichever thread moves the model, under the model's lock.
class Hostile : public sim::I8255xDescriptorHook {
 public:
  struct Frame {
    uint8_t rbd_mode;  // 0 keep, 1 replace, 2 xor; bits 4-7: only this RBD index (15: all)
    uint16_t rbd_value;
    uint8_t rfd_mode;  // same for the status word; bit 4: also replace the actual count
    uint16_t rfd_value;
    uint16_t actual;
  };

  void Push(const Frame& frame) {
    std::lock_guard lock(mu_);
    frames_.push_back(frame);
  }
  void SetScb(uint16_t value, uint16_t mask, uint32_t reads) {
    std::lock_guard lock(mu_);
    scb_value_ = value;
    scb_mask_ = mask;
    scb_reads_ = reads;
  }

  uint16_t RbdCount(size_t index, size_t used, uint16_t count) override {
    std::lock_guard lock(mu_);
    if (frames_.empty()) return count;
    const Frame& f = frames_.front();
    const unsigned only = f.rbd_mode >> 4;
    if (only != 15 && only != index) return count;
    (void)used;
    return Apply(f.rbd_mode & 3, count, f.rbd_value);
  }
  uint16_t RfdActualCount(uint16_t count) override {
    std::lock_guard lock(mu_);
    if (frames_.empty() || (frames_.front().rfd_mode & 0x10) == 0) return count;
    return frames_.front().actual;
  }
  // Called last for each frame: the entry is used up.
  uint16_t RfdStatus(uint16_t status) override {
    std::lock_guard lock(mu_);
    if (frames_.empty()) return status;
    const Frame f = frames_.front();
    frames_.erase(frames_.begin());
    return Apply(f.rfd_mode & 3, status, f.rfd_value);
  }
  uint16_t ScbStatus(uint16_t status) override {
    std::lock_guard lock(mu_);
    if (scb_reads_ == 0) return status;
    if (scb_reads_ != kForever) --scb_reads_;
    return static_cast<uint16_t>((status & ~scb_mask_) | (scb_value_ & scb_mask_));
  }

  static constexpr uint32_t kForever = 0xFFFFFFFF;

 private:
  static uint16_t Apply(unsigned mode, uint16_t word, uint16_t value) {
    if (mode == 1) return value;
    if (mode == 2) return static_cast<uint16_t>(word ^ value);
    return word;
  }

  std::mutex mu_;
  std::vector<Frame> frames_;  // guarded by mu_
  uint16_t scb_value_ = 0;     // guarded by mu_
  uint16_t scb_mask_ = 0;      // guarded by mu_
  uint32_t scb_reads_ = 0;     // guarded by mu_
};

// The knobs an input may turn on or off, in the order its operation byte
// names them. They go with the machine at the input's end.
constexpr std::atomic<bool> sim::I8255xFaults::*kKnobs[] = {
    &sim::I8255xFaults::command_never_accepted, &sim::I8255xFaults::cu_stuck_active,
    &sim::I8255xFaults::blocks_never_complete,  &sim::I8255xFaults::selective_reset_hangs,
    &sim::I8255xFaults::mdi_never_ready,        &sim::I8255xFaults::ru_out_of_resources,
    &sim::I8255xFaults::registers_all_ones,     &sim::I8255xFaults::rbd_count_beyond_buffer,
    &sim::I8255xFaults::rbd_missing_f,          &sim::I8255xFaults::rbd_missing_eof,
};
constexpr size_t kKnobCount = sizeof(kKnobs) / sizeof(kKnobs[0]);

// A client thread that reads until its record is closed, checking that no
// read reports more than the caller's buffer or a frame can hold.
class ReaderThread {
 public:
  ReaderThread(sim::ClientProcess& process, uintptr_t open, uint32_t size)
      : process_(process), open_(open), size_(size), thread_([this] { Loop(); }) {}

  // Closes the record once the reader is blocked in the driver (or gone),
  // never while its next read may be on its way in.
  void CloseAndJoin() {
    stopping_.store(true);
    fuzz::WaitUntilReadPending(process_, done_);
    if (process_.Close(open_) != 0) fuzz::Fail("close of the reader failed");
    thread_.join();
  }

 private:
  void Loop() {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_]);
    while (!stopping_.load()) {
      uint32_t length = 0;
      if (process_.Read(open_, buffer.get(), size_, &length) != 0) break;  // closed
      if (length > size_ || length > MaximumFrameLength) {
        fuzz::Fail("read reported " + std::to_string(length) + " bytes into " +
                   std::to_string(size_));
      }
    }
    done_.store(true);
  }

  sim::ClientProcess& process_;
  const uintptr_t open_;
  const uint32_t size_;
  std::atomic<bool> stopping_{false}, done_{false};
  sim::HostThread thread_;  // last: starts once the fields above are set
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  Hostile hostile;  // before the machine: it outlives every use by the model
  fuzz::StandardPc pc(1);
  sim::I8255x& nic = *pc.nics[0];
  const size_t baseline = pc.machine->arena().OutstandingBlocks();
  const std::string device = fuzz::DeviceName(0);

  sim::ClientProcess process(*pc.machine);
  uintptr_t reader_open = 0, writer_open = 0;
  if (process.Open(device, &reader_open) != 0 || process.Open(device, &writer_open) != 0) {
    fuzz::Fail("open on a sane controller failed");
  }
  process.Control(reader_open, MacControlSetFilter, FilterPromiscuous | FilterBroadcast, 0);

  ReaderThread reader(process, reader_open, 1 + in.Byte() * 7u);  // 1..1786 bytes
  unsigned writes = 0;
  for (unsigned n = 0; n < kMaxOperations && !in.empty(); ++n) {
    const uint8_t op = in.Byte();
    switch (op & 7) {
      case 0:
      case 1: {  // a frame from the wire, possibly longer than a slot or a buffer
        const uint16_t length = static_cast<uint16_t>(in.U16() % 9000);
        std::vector<uint8_t> frame(length, static_cast<uint8_t>(op));
        for (size_t i = 0; i < frame.size() && i < 6; ++i) frame[i] = 0xFF;
        for (size_t i = 6; i < frame.size() && i < 12; ++i) frame[i] = static_cast<uint8_t>(i);
        sim::FrameErrors errors;
        errors.crc = op & 0x20;
        errors.alignment = op & 0x40;
        errors.overrun = op & 0x80;
        nic.InjectFrame(frame, errors);
        break;
      }
      case 2: {
        Hostile::Frame f;
        f.rbd_mode = in.Byte();
        f.rbd_value = in.U16();
        f.rfd_mode = in.Byte();
        f.rfd_value = in.U16();
        f.actual = in.U16();
        hostile.Push(f);
        nic.faults().descriptor_hook = &hostile;
        break;
      }
      case 3: {
        const uint16_t value = in.U16();
        const uint16_t mask = in.U16();
        const uint8_t reads = in.Byte();
        hostile.SetScb(value, mask, reads == 0xFF ? Hostile::kForever : reads);
        nic.faults().descriptor_hook = &hostile;
        break;
      }
      case 4: {  // one fault knob on or off
        (nic.faults().*kKnobs[(op >> 3) % kKnobCount]).store(op & 0x80);
        break;
      }
      case 5: {
        if (writes++ >= kMaxWrites) break;
        const uint16_t length = static_cast<uint16_t>(60 + in.U16() % 1477);
        std::vector<uint8_t> frame(length, 0x11);
        for (size_t i = 0; i < 6; ++i) frame[i] = 0xFF;
        uint32_t transferred = 0;
        process.Write(writer_open, frame.data(), length, &transferred);
        break;
      }
      case 6:
        if (writes++ >= kMaxWrites) break;
        process.Control(writer_open, MacControlSetFilter, in.Byte() & 0xF, 0);
        break;
      default:
        fuzz::LetSettle(pc);
        break;
    }
  }

  // The controller stays as hostile as the input left it: the closes must
  // come back all the same.
  if (process.Close(writer_open) != 0) fuzz::Fail("close of the writer failed");
  reader.CloseAndJoin();
  fuzz::CheckArenaBack(pc, baseline);
  if (nic.counters().bus_errors.load() != 0) {
    fuzz::Fail("the controller was pointed outside the driver's memory");
  }
  return 0;
}
