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

  void Reset() {
    std::lock_guard lock(mu_);
    frames_.clear();
    scb_reads_ = 0;
  }
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

void ClearFaults(sim::I8255xFaults& f) {
  f.command_never_accepted = false;
  f.cu_stuck_active = false;
  f.blocks_never_complete = false;
  f.selective_reset_hangs = false;
  f.mdi_never_ready = false;
  f.ru_out_of_resources = false;
  f.registers_all_ones = false;
  f.rbd_count_beyond_buffer = false;
  f.rbd_missing_f = false;
  f.rbd_missing_eof = false;
  f.descriptor_hook = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  fuzz::Pc& pc = fuzz::FreshStandardPc(1);
  sim::I8255x& nic = *pc.nics[0];
  const size_t baseline = pc.machine->arena().OutstandingBlocks();
  const std::string device = fuzz::DeviceName(0);
  static Hostile
      hostile;  // outlives every use by the model: the machine lives until the next input
  hostile.Reset();

  sim::ClientProcess process(*pc.machine);
  uintptr_t reader_open = 0, writer_open = 0;
  if (process.Open(device, &reader_open) != 0 || process.Open(device, &writer_open) != 0) {
    fuzz::Fail("open on a sane controller failed");
  }
  process.Control(reader_open, MacControlSetFilter, FilterPromiscuous | FilterBroadcast, 0);

  // The reader reads until its record is closed.
  const uint32_t read_size = 1 + in.Byte() * 7u;  // 1..1786
  std::atomic<uint64_t> frames_read{0};
  std::atomic<bool> stopping{false}, reader_done{false};
  std::thread reader([&] {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[read_size]);
    struct Done {
      std::atomic<bool>& flag;
      ~Done() { flag.store(true); }
    } done{reader_done};
    while (!stopping.load()) {
      uint32_t length = 0;
      const uint32_t status = process.Read(reader_open, buffer.get(), read_size, &length);
      if (status != 0) return;  // closed (or the machine stopped)
      if (length > read_size || length > MaximumFrameLength) {
        fuzz::Fail("read reported " + std::to_string(length) + " bytes into " +
                   std::to_string(read_size));
      }
      frames_read.fetch_add(1);
    }
  });

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
        sim::I8255xFaults& f = nic.faults();
        const bool on = op & 0x80;
        switch ((op >> 3) % 10) {
          case 0:
            f.command_never_accepted = on;
            break;
          case 1:
            f.cu_stuck_active = on;
            break;
          case 2:
            f.blocks_never_complete = on;
            break;
          case 3:
            f.selective_reset_hangs = on;
            break;
          case 4:
            f.mdi_never_ready = on;
            break;
          case 5:
            f.ru_out_of_resources = on;
            break;
          case 6:
            f.registers_all_ones = on;
            break;
          case 7:
            f.rbd_count_beyond_buffer = on;
            break;
          case 8:
            f.rbd_missing_f = on;
            break;
          default:
            f.rbd_missing_eof = on;
            break;
        }
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
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        break;
    }
  }

  // The controller stays as hostile as the input left it: the closes must
  // come back all the same.
  if (process.Close(writer_open) != 0) fuzz::Fail("close of the writer failed");
  // The reader is closed once it is blocked in the driver (or gone), never
  // while its next read may be on its way in.
  stopping.store(true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!reader_done.load() && !fuzz::ReadIsPending(process)) {
    if (std::chrono::steady_clock::now() > deadline) fuzz::Fail("the reader never came back");
    std::this_thread::yield();
  }
  if (process.Close(reader_open) != 0) fuzz::Fail("close of the reader failed");
  reader.join();
  const size_t outstanding = pc.machine->arena().OutstandingBlocks();
  if (outstanding != baseline) {
    fuzz::Fail("after every close the arena holds " + std::to_string(outstanding) +
               " blocks, after boot it held " + std::to_string(baseline));
  }
  if (nic.counters().bus_errors.load() != 0) {
    fuzz::Fail("the controller was pointed outside the driver's memory");
  }
  ClearFaults(nic.faults());
  return 0;
}
