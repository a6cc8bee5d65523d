// Arbitrary registry sections through start-up: any number of entries, keys
// and values of any bytes and lengths, in section TORVELIN or beside it.
// NicReadRegistry runs during DriverEntry; the machine has no controllers, so
// start-up ends right after it. Start-up must finish (no hang) and leave no
// arena block of its own behind; the sanitizers watch for crashes.
//
// Input: entries until the input ends, each
//   flags (bit 0-1: section: TORVELIN / torvelin / another / empty name;
//          bit 7: lengths count 4-byte units, for keys and values past 255)
//   key length, key bytes, value length, value bytes.
#include "fuzz/fuzz_support.h"

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
  // The registry walk's own allocations are all released by the end of
  // start-up: what stays allocated is what an empty registry leaves too.
  static const size_t baseline = [] {
    fuzz::Pc empty{sim::Registry{}};
    empty.Boot();
    return empty.machine->arena().OutstandingBlocks();
  }();
  fuzz::Pc pc(std::move(registry));
  pc.Boot();
  const size_t outstanding = pc.machine->arena().OutstandingBlocks();
  if (outstanding != baseline) {
    fuzz::Fail("registry walk left " + std::to_string(outstanding) + " arena blocks, not " +
               std::to_string(baseline));
  }
  pc.machine->Stop();
  return 0;
}
