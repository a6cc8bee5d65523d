// A small builder for test machines: controllers on a segment, a registry,
// boot, and frame helpers. Everything goes through the simulated PC.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/machine.h"
#include "platform/net/segment.h"
#include "platform/net/test_frame.h"
#include "platform/nic/i8255x.h"
#include "platform/standard_pc.h"

namespace testing_support {

using Mac = std::array<uint8_t, 6>;

inline Mac StationFor(unsigned index) { return sim::StandardStation(index); }

// A machine with the standard PC's controllers (platform/standard_pc.h), all
// on one segment, plus a test port on that segment.
struct TestPc {
  std::unique_ptr<sim::Machine> machine;
  sim::Segment* segment = nullptr;
  sim::TestPort* wire = nullptr;
  std::vector<sim::I8255x*> nics;

  explicit TestPc(sim::MachineOptions options = {}) {
    machine = std::make_unique<sim::Machine>(std::move(options));
    segment = &machine->Own(std::make_unique<sim::Segment>("segment0"));
    wire = &machine->Own(std::make_unique<sim::TestPort>(*segment));
  }

  static sim::I8255xConfig DefaultConfig(unsigned index) { return sim::StandardController(index); }

  sim::I8255x& AddNic(const sim::I8255xConfig& config) {
    auto& nic = machine->Own(std::make_unique<sim::I8255x>(*machine, config, segment));
    nics.push_back(&nic);
    return nic;
  }

  void AddNics(unsigned count) {
    for (unsigned i = 0; i < count; ++i) AddNic(DefaultConfig(static_cast<unsigned>(nics.size())));
  }

  // Boots and waits for start-up to finish (signal 10000 or DriverEntry's
  // return).
  void Boot() {
    machine->Boot();
    ASSERT_TRUE(machine->WaitStarted()) << "start-up did not finish";
  }
};

inline sim::MachineOptions OptionsWithRegistry(
    std::vector<std::pair<std::string, std::string>> entries) {
  sim::MachineOptions options;
  for (auto& [key, value] : entries) options.registry.Add("TORVELIN", key, value);
  return options;
}

inline std::string DeviceName(unsigned index) {
  return "/DEV/MAC/TORVELIN/" + std::to_string(index);
}

// A test frame (platform/net/test_frame.h) of `length` bytes numbered
// `sequence`: a receiver can check it is whole and in order. Below the test
// frame's header it is cut, for tests that want a runt.
inline std::vector<uint8_t> MakeFrame(const Mac& destination, const Mac& source, uint32_t length,
                                      uint32_t sequence) {
  return sim::BuildTestFrame(0, 0, sequence, destination, source, length);
}

inline const Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace testing_support
