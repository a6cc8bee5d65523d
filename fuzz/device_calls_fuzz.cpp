// Device functions with arbitrary function codes, control codes, sizes and
// argument pointers on a booted machine with two controllers, from two client
// processes.
//
// Pointers are restricted to what a client can hand over without breaking
// its own memory: null, buffers of fuzzer-chosen sizes (allocated at exactly
// that size, so the address sanitizer sees any access past what the size
// argument promises) and client records that are open, of this device or the
// other one. A size argument is never larger than the buffer it describes.
//
// Reads that may block run on a helper thread; once one is asleep in the
// driver the harness injects a broadcast frame into the record's controller
// and, if the read is still asleep when the machine has dealt with the frame,
// closes the record, which must end it.
//
// Checks: no crash, no call that never returns, reads never report more than
// they were given room for, and once every record is closed the arena holds
// exactly the blocks it held before the first open.
//
// Input: one byte per operation (its low 3 bits choose it) followed by its
// arguments; see the cases below.
#include <atomic>

#include "device/interface.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr unsigned kMaxOperations = 48;
constexpr uint32_t kCodes[] = {MacControlSetFilter, MacControlClientStatistics,
                               MacControlAdapterStatistics, MacControlGlobalStatistics,
                               MacControlAdapterInfo};

struct Record {
  uintptr_t instance;
  unsigned adapter;
  unsigned owner;  // the process that opened it
};

class Session {
 public:
  Session(fuzz::Pc& pc, fuzz::Reader& in)
      : pc_(pc),
        in_(in),
        processes_{sim::ClientProcess(*pc.machine), sim::ClientProcess(*pc.machine)} {}

  void Run() {
    for (unsigned n = 0; n < kMaxOperations && !in_.empty(); ++n) Step(in_.Byte());
    while (!records_.empty()) {
      const Record record = records_.back();
      const uint32_t status = processes_[record.owner].CallDevice(
          fuzz::DeviceName(record.adapter), record.instance, DeviceClose, 0, 0, 0);
      if (status != 0) fuzz::Fail("close of an open record gave " + std::to_string(status));
      records_.pop_back();
    }
  }

 private:
  unsigned ProcessIndex() { return in_.Byte() & 1; }
  sim::ClientProcess& Process() { return processes_[ProcessIndex()]; }
  unsigned Device() { return in_.Byte() & 1; }

  // Null or one of the open records (of either device).
  uintptr_t Instance() {
    const uint8_t pick = in_.Byte();
    if (records_.empty() || pick % (records_.size() + 1) == 0) return 0;
    return records_[pick % (records_.size() + 1) - 1].instance;
  }

  // Null or a fresh buffer of a fuzzer-chosen size (0 to 1600 bytes) filled
  // from the input; `size` gets the size argument to pass with it.
  uint8_t* Buffer(uint32_t* size) {
    const uint16_t choice = in_.U16();
    if ((choice & 0x8000) != 0) {
      *size = in_.U32();  // no buffer: any size
      return nullptr;
    }
    const uint32_t length = (choice & 0x7FFF) % 1601;
    buffers_.push_back(std::make_unique<uint8_t[]>(length == 0 ? 1 : length));
    uint8_t* buffer = buffers_.back().get();
    std::vector<uint8_t> fill = in_.Bytes(length < 64 ? length : 64);
    for (uint32_t i = 0; i < length; ++i) buffer[i] = fill.empty() ? 0 : fill[i % fill.size()];
    *size = length;
    return buffer;
  }
  uint32_t* Word() {
    if ((in_.Byte() & 3) == 0) return nullptr;
    words_.push_back(std::make_unique<uint32_t>(0x5A5A5A5A));
    return words_.back().get();
  }

  Record* Find(uintptr_t instance) {
    for (auto& record : records_) {
      if (record.instance == instance) return &record;
    }
    return nullptr;
  }
  void Forget(uintptr_t instance) {
    for (size_t i = 0; i < records_.size(); ++i) {
      if (records_[i].instance == instance) {
        records_.erase(records_.begin() + static_cast<long>(i));
        return;
      }
    }
  }

  void Step(uint8_t op) {
    switch (op & 7) {
      case 0:
      case 1:
        Open(op);
        break;
      case 2: {
        const unsigned device = Device();
        const uintptr_t instance = Instance();
        const uint32_t status =
            Process().CallDevice(fuzz::DeviceName(device), instance, DeviceClose, 0, 0, 0);
        if (status == 0) {
          if (instance == 0) fuzz::Fail("close of a null record succeeded");
          Forget(instance);
        }
        break;
      }
      case 3: {
        const unsigned device = Device();
        const uintptr_t instance = Instance();
        uint32_t size;
        uint8_t* frame = Buffer(&size);
        uint32_t* transferred = Word();
        Process().CallDevice(fuzz::DeviceName(device), instance, DeviceWrite,
                             reinterpret_cast<uintptr_t>(frame), size,
                             reinterpret_cast<uintptr_t>(transferred));
        break;
      }
      case 4:
        Read();
        break;
      case 5:
        Control();
        break;
      case 6: {
        // Any function code; the ones that take pointers get the typed
        // operations instead of raw numbers.
        const uint32_t function = in_.U32();
        if (function == DeviceOpen) return Open(static_cast<uint8_t>(in_.Byte() & 0x98));
        if (function == DeviceClose) return Step(2);
        if (function == DeviceRead) return Read();
        if (function == DeviceWrite) return Step(3);
        if (function == DeviceControl) return Control();
        const uintptr_t instance = Instance();
        Process().CallDevice(fuzz::DeviceName(Device()), instance, function, in_.U32(), in_.U32(),
                             in_.U32());
        break;
      }
      default:
        Inject();
        break;
    }
  }

  void Open(uint8_t op) {
    const unsigned device = (op >> 3) % 3;  // 2: a name no device has
    const unsigned owner = ProcessIndex();
    sim::ClientProcess& process = processes_[owner];
    if ((op & 0x80) != 0) {  // null place
      const uint32_t status = process.CallDevice(fuzz::DeviceName(device), 0, DeviceOpen, 0, 0, 0);
      if (status == 0) fuzz::Fail("open with a null place succeeded");
      return;
    }
    uintptr_t open = 0;
    if (process.Open(fuzz::DeviceName(device), &open) == 0)
      records_.push_back({open, device, owner});
  }

  void Control() {
    const unsigned device = Device();
    const uintptr_t instance = Instance();
    const uint8_t pick = in_.Byte();
    const uint32_t code = pick < 5 * 40 ? kCodes[pick % 5] : in_.U32();
    if (code == MacControlSetFilter) {
      Process().CallDevice(fuzz::DeviceName(device), instance, DeviceControl, code, in_.U32(),
                           in_.U32());
      return;
    }
    uint32_t size;
    uint8_t* buffer = Buffer(&size);
    Process().CallDevice(fuzz::DeviceName(device), instance, DeviceControl, code,
                         reinterpret_cast<uintptr_t>(buffer), size);
  }

  void Inject() {
    const unsigned device = Device();
    const uint8_t kind = in_.Byte();
    const uint16_t length = static_cast<uint16_t>(in_.U16() % 1700);
    std::vector<uint8_t> frame(length, 0);
    static const uint8_t kDestinations[4][6] = {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                                {0x00, 0xA0, 0xC9, 0x10, 0x00, 0x01},
                                                {0x00, 0xA0, 0xC9, 0x10, 0x00, 0x02},
                                                {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}};
    for (size_t i = 0; i < frame.size(); ++i) {
      frame[i] = i < 6 ? kDestinations[kind & 3][i] : static_cast<uint8_t>(i * 7 + kind);
    }
    sim::FrameErrors errors;
    errors.crc = kind & 0x10;
    errors.alignment = kind & 0x20;
    errors.overrun = kind & 0x40;
    pc_.nics[device]->InjectFrame(frame, errors);
  }

  void Read() {
    const unsigned device = Device();
    const uintptr_t instance = Instance();
    uint32_t size;
    uint8_t* buffer = Buffer(&size);
    uint32_t* length = Word();
    sim::ClientProcess& process = Process();
    const std::string name = fuzz::DeviceName(device);
    auto call = [&] {
      return process.CallDevice(name, instance, DeviceRead, reinterpret_cast<uintptr_t>(buffer),
                                size, reinterpret_cast<uintptr_t>(length));
    };
    auto check = [&](uint32_t status) {
      if (status == 0 && (*length > size || *length > MaximumFrameLength)) {
        fuzz::Fail("read reported " + std::to_string(*length) + " bytes into " +
                   std::to_string(size));
      }
    };
    if (instance == 0 || buffer == nullptr || length == nullptr) {
      check(call());  // refused at once
      return;
    }
    // May block: on a helper thread; once asleep in the driver it is fed one
    // frame, and ended by a close if the frame did not end it.
    std::atomic<bool> done{false};
    uint32_t status = 0;
    sim::HostThread reader([&] {
      status = call();
      done.store(true);
    });
    const Record* record = Find(instance);
    fuzz::WaitUntilReadPending(process, done);
    if (!done.load()) {
      std::vector<uint8_t> frame(64, 0xFF);
      pc_.nics[record->adapter]->InjectFrame(frame);
      fuzz::WaitUntilReadSettled(pc_, process, done);
    }
    if (!done.load()) {
      const uint32_t closed = processes_[record->owner].CallDevice(
          fuzz::DeviceName(record->adapter), instance, DeviceClose, 0, 0, 0);
      if (closed != 0)
        fuzz::Fail("close of a record with a blocked read gave " + std::to_string(closed));
      Forget(instance);
      fuzz::WaitOrFail(
          done, [] { return false; }, "close did not end a blocked read", 10);
    }
    reader.join();
    if (status == 0) check(status);
  }

  fuzz::Pc& pc_;
  fuzz::Reader& in_;
  sim::ClientProcess processes_[2];
  std::vector<Record> records_;
  std::vector<std::unique_ptr<uint8_t[]>> buffers_;
  std::vector<std::unique_ptr<uint32_t>> words_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  fuzz::StandardPc pc(2);
  const size_t baseline = pc.machine->arena().OutstandingBlocks();
  {
    Session session(pc, in);
    session.Run();
  }
  fuzz::CheckArenaBack(pc, baseline);
  return 0;
}
