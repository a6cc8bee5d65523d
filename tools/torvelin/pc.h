// A simulated PC put together from a machine description, with the network
// attachments the tool offers (captures, a replay port, a TAP bridge), and
// the client-side calls the commands share. Everything the tool learns about
// the driver it learns as a client: device functions and control codes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/interface.h"
#include "platform/machine.h"
#include "platform/net/segment.h"
#include "platform/nic/i8255x.h"
#include "tools/torvelin/machine_file.h"

namespace tool {

// The registry the tool boots with: "Quiet=0" first (so the driver shows its
// bring-up) unless `quiet`, then the entries of the user's TORVELIN section,
// in their order, so that a Quiet entry of the user's still wins.
sim::Registry EffectiveRegistry(const std::string& registry_file, bool quiet);
// The Buffers value the driver will take from a registry (its default 32
// when no entry is accepted): the tool keeps its readers within Buffers - 1
// frames so that no client ever falls behind.
uint32_t EffectiveBuffers(const sim::Registry& registry);

// pcap names: segment 0 writes FILE; segment n writes FILE with ".n" put
// before the extension ("run.pcap" -> "run.1.pcap"), or appended without one.
std::string CaptureName(const std::string& path, size_t segment);

struct PcOptions {
  MachineLayout layout;
  sim::Registry registry;
  sim::ClockMode clock = sim::ClockMode::Virtual;
  sim::HaPolicy ha_policy = sim::HaPolicy::None;
  std::function<void(const std::string&)> console_echo;
  std::string pcap;  // empty: no capture
  std::string tap;   // empty: no TAP bridge
};

// Captures are written to NAME.partial and only renamed to NAME by Commit();
// an uncommitted capture is deleted, so a failed run leaves nothing behind.
class Captures {
 public:
  ~Captures();
  void Add(sim::CapturePort* port, std::string final_name);
  // Closes and renames every file; what went wrong, empty when nothing did.
  std::string Commit();
  void Discard();                                               // closes and deletes every file
  std::vector<std::pair<std::string, uint64_t>> Files() const;  // name, frames

 private:
  struct File {
    sim::CapturePort* port;
    std::string name;
  };
  std::vector<File> files_;
  bool done_ = false;
};

class Pc {
 public:
  // Builds the machine (nothing runs yet). Throws InputError for bad
  // attachments (a capture file that cannot be written, a TAP interface
  // that cannot be made).
  explicit Pc(PcOptions options);
  ~Pc();

  // Boots and waits for start-up; false with a reason when the driver did
  // not start.
  bool Boot(std::string* why);
  void Stop();

  sim::Machine& machine() { return *machine_; }
  const MachineLayout& layout() const { return options_.layout; }
  const PcOptions& options() const { return options_; }
  size_t nic_count() const { return nics_.size(); }
  sim::I8255x& nic(size_t i) { return *nics_.at(i); }
  sim::Segment& segment(size_t i) { return *segments_.at(i); }
  size_t segment_count() const { return segments_.size(); }
  size_t SegmentOf(size_t nic) const { return nic_segment_.at(nic); }
  // A test port on a segment, made at the first use (from then on it keeps
  // what it hears: call ClearHeard now and then). Main thread only.
  sim::TestPort& Wire(size_t segment);
  sim::TapPort* tap() { return tap_; }
  Captures& captures() { return captures_; }

 private:
  PcOptions options_;
  std::unique_ptr<sim::Machine> machine_;
  std::vector<sim::Segment*> segments_;
  std::vector<sim::I8255x*> nics_;
  std::vector<size_t> nic_segment_;
  std::vector<sim::TestPort*> wires_;  // by segment; null until made
  sim::TapPort* tap_ = nullptr;
  Captures captures_;
};

std::string DeviceName(size_t index);

// One client process with its opens: the calls every command makes.
class Client {
 public:
  explicit Client(sim::Machine& machine) : machine_(machine), process_(machine) {}
  sim::ClientProcess& process() { return process_; }
  sim::Machine& machine() { return machine_; }

  uint32_t Info(uintptr_t open, AdapterInfo* info);
  uint32_t ClientStats(uintptr_t open, ClientStatistics* stats);
  uint32_t AdapterStats(uintptr_t open, AdapterStatistics* stats);
  uint32_t GlobalStats(uintptr_t open, GlobalStatistics* stats);
  uint32_t SetFilter(uintptr_t open, uint32_t filter);

 private:
  sim::Machine& machine_;
  sim::ClientProcess process_;
};

// Named counters of the statistics blocks, reserved words left out.
std::vector<std::pair<std::string, uint32_t>> Named(const ClientStatistics& s);
std::vector<std::pair<std::string, uint32_t>> Named(const TrafficCounters& s);

}  // namespace tool
