// Arbitrary registry sections through start-up: any number of entries, keys
// and values of any bytes and lengths, in section TORVELIN or beside it.
// NicReadRegistry runs early in DriverEntry, before the PCI bus scan. The
// walk must end (the driver reaches the bus: no hang) and leave no arena
// block of its own behind; the sanitizers watch for crashes.
//
// An input ends at the driver's first PCI configuration access, seen on the
// port bus as a write to the address port: nothing the registry holds steers
// the scan, and the machine has no controller for anything after it, so the
// scan of 8,192 slots (about 32,000 port accesses, most of a whole boot's
// time) would be the same for every input.
//
// Input: entries until the input ends, each
//   flags (bit 0-1: section: TORVELIN / torvelin / another / empty name;
//          bit 7: lengths count 4-byte units, for keys and values past 255)
//   key length, key bytes, value length, value bytes.
#include <condition_variable>
#include <mutex>

#include "fuzz/fuzz_support.h"

namespace {

constexpr uint32_t kPciAddressPort = 0xCF8;

// Boots `pc` and waits until its driver begins the bus scan (or start-up has
// ended before it); gives the arena blocks outstanding at that moment. The
// scan allocates nothing for an empty slot, so the count holds still while
// the scan runs on.
size_t BlocksWhenTheScanBegins(fuzz::Pc& pc) {
  struct Watch {
    std::mutex mutex;
    std::condition_variable reached;
    bool scanning = false;  // guarded by mutex
  };
  auto watch = std::make_shared<Watch>();
  pc.machine->ports().SetTrace([watch](const sim::PortBus::Access& access) {
    if (!access.write || access.port != kPciAddressPort) return;
    std::lock_guard<std::mutex> lock(watch->mutex);
    if (!watch->scanning) {
      watch->scanning = true;
      watch->reached.notify_one();
    }
  });
  pc.machine->Boot();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::unique_lock<std::mutex> lock(watch->mutex);
  // Start-up ending without a scan (a failed kernel call) wakes nobody:
  // looked at every millisecond.
  while (!watch->scanning && !pc.machine->EntryResult().has_value()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      fuzz::Fail("the driver did not reach the PCI bus within 20 s of booting");
    }
    watch->reached.wait_for(lock, std::chrono::milliseconds(1));
  }
  return pc.machine->arena().OutstandingBlocks();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  sim::Registry registry;
  while (!in.empty()) {
    const uint8_t flags = in.Byte();
    const size_t unit = (flags & 0x80) ? 4 : 1;
    static const char* const kSections[] = {"TORVELIN", "torvelin", "OTHER", ""};
    const char* section = kSections[flags & 3];
    std::string key = in.String(in.Byte() * unit);
    std::string value = in.String(in.Byte() * unit);
    registry.Add(section, std::move(key), std::move(value));
  }
  // The registry walk's own allocations are all released before the scan:
  // what stays allocated is what an empty registry leaves too.
  static const size_t baseline = [] {
    fuzz::Pc empty{sim::Registry{}};
    const size_t blocks = BlocksWhenTheScanBegins(empty);
    empty.machine->Stop();
    return blocks;
  }();
  fuzz::Pc pc(std::move(registry));
  const size_t outstanding = BlocksWhenTheScanBegins(pc);
  if (outstanding != baseline) {
    fuzz::Fail("registry walk left " + std::to_string(outstanding) + " arena blocks, not " +
               std::to_string(baseline));
  }
  pc.machine->Stop();
  return 0;
}
