#include "tools/torvelin/pc.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tools/torvelin/util.h"

namespace tool {

sim::Registry EffectiveRegistry(const std::string& registry_file, bool quiet) {
  sim::Registry registry;
  if (!quiet) registry.Add("TORVELIN", "Quiet", "0");
  if (!registry_file.empty()) {
    sim::Registry user;
    try {
      user = sim::Registry::Load(registry_file);
    } catch (const std::exception& e) {
      std::string message = e.what();
      // The registry names the file itself; make sure the user sees it.
      if (message.find(registry_file) == std::string::npos) {
        message = registry_file + ": " + message;
      }
      throw InputError(message);
    }
    if (const auto* entries = user.Section("TORVELIN")) {
      for (const auto& [key, value] : *entries) registry.Add("TORVELIN", key, value);
    }
  }
  return registry;
}

uint32_t EffectiveBuffers(const sim::Registry& registry) {
  uint32_t buffers = 32;
  const auto* entries = registry.Section("TORVELIN");
  if (entries == nullptr) return buffers;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; };
  size_t index = 0;
  for (const auto& [raw_key, raw_value] : *entries) {
    if (index++ >= 1000) break;
    // The driver sees at most 127 characters of each text, takes the first
    // blank-delimited word as the key and converts the value as atol does.
    const std::string key_text = raw_key.substr(0, 127);
    size_t start = 0;
    while (start < key_text.size() && blank(key_text[start])) ++start;
    size_t end = start;
    while (end < key_text.size() && !blank(key_text[end])) ++end;
    if (Lower(key_text.substr(start, end - start)) != "buffers") continue;
    const long value = std::atol(raw_value.substr(0, 127).c_str());
    const auto number = static_cast<uint32_t>(value);
    if (number >= 2 && number <= 256) buffers = number;
  }
  return buffers;
}

std::string CaptureName(const std::string& path, size_t segment) {
  if (segment == 0) return path;
  const std::filesystem::path p(path);
  const std::string n = "." + std::to_string(segment);
  if (p.has_extension() && p.has_stem() && p.stem() != "." && p.stem() != "..") {
    return (p.parent_path() / (p.stem().string() + n + p.extension().string())).string();
  }
  return path + n;
}

// ---- Captures ----

Captures::~Captures() {
  if (!done_) Discard();
}

void Captures::Add(sim::CapturePort* port, std::string final_name) {
  files_.push_back({port, std::move(final_name)});
}

std::string Captures::Commit() {
  std::string failures;
  for (File& f : files_) {
    const std::string partial = f.name + ".partial";
    try {
      f.port->Close();
    } catch (const std::exception& e) {
      // A capture with a failed write is not a capture: leave nothing.
      std::remove(partial.c_str());
      failures += std::string(failures.empty() ? "" : "; ") + e.what();
      continue;
    }
    if (std::rename(partial.c_str(), f.name.c_str()) != 0) {
      failures += (failures.empty() ? "" : "; ") + f.name + ": cannot rename " + partial + ": " +
                  std::strerror(errno);
      std::remove(partial.c_str());
    }
  }
  done_ = true;
  return failures;
}

void Captures::Discard() {
  for (File& f : files_) {
    try {
      f.port->Close();
    } catch (const std::exception&) {
      // The file goes anyway.
    }
    std::remove((f.name + ".partial").c_str());
  }
  done_ = true;
}

std::vector<std::pair<std::string, uint64_t>> Captures::Files() const {
  std::vector<std::pair<std::string, uint64_t>> out;
  for (const File& f : files_) out.emplace_back(f.name, f.port->frames());
  return out;
}

// ---- Pc ----

Pc::Pc(PcOptions options) : options_(std::move(options)) {
  sim::MachineOptions machine_options;
  machine_options.clock = options_.clock;
  machine_options.registry = options_.registry;
  machine_options.boot_query_busy_calls = options_.layout.boot_busy_calls;
  machine_options.console_echo = options_.console_echo;
  machine_options.ha_policy = options_.ha_policy;
  machine_ = std::make_unique<sim::Machine>(std::move(machine_options));

  for (const std::string& name : options_.layout.segments) {
    segments_.push_back(&machine_->Own(std::make_unique<sim::Segment>(name)));
  }
  if (!options_.pcap.empty()) {
    for (size_t i = 0; i < segments_.size(); ++i) {
      const std::string name = CaptureName(options_.pcap, i);
      try {
        auto& port = machine_->Own(std::make_unique<sim::CapturePort>(
            *segments_[i], name + ".partial", machine_->clock()));
        captures_.Add(&port, name);
      } catch (const std::exception& e) {
        throw InputError(name + ": cannot write the capture: " + e.what());
      }
    }
  }
  for (const ControllerLayout& c : options_.layout.controllers) {
    size_t segment = 0;
    for (size_t i = 0; i < options_.layout.segments.size(); ++i) {
      if (options_.layout.segments[i] == c.segment) segment = i;
    }
    nics_.push_back(
        &machine_->Own(std::make_unique<sim::I8255x>(*machine_, c.config, segments_[segment])));
    for (const std::string& fault : c.faults)
      (nics_.back()->faults().*FaultFlags().at(fault)) = true;
    nic_segment_.push_back(segment);
    if (c.config.polled) machine_->SetLinePolled(c.config.irq);
  }
  wires_.assign(segments_.size(), nullptr);
  if (!options_.tap.empty()) {
    try {
      tap_ = &machine_->Own(std::make_unique<sim::TapPort>(*segments_[0], options_.tap));
    } catch (const std::exception& e) {
      throw InputError("--tap " + options_.tap + ": " + e.what());
    }
  }
}

Pc::~Pc() { Stop(); }

sim::TestPort& Pc::Wire(size_t segment) {
  sim::TestPort*& wire = wires_.at(segment);
  if (wire == nullptr) wire = &machine_->Own(std::make_unique<sim::TestPort>(*segments_[segment]));
  return *wire;
}

bool Pc::Boot(std::string* why) {
  machine_->Boot();
  const int timeout_ms = options_.clock == sim::ClockMode::Real ? 120000 : 60000;
  if (!machine_->WaitStarted(timeout_ms)) {
    *why =
        "the driver's start-up did not finish within " + std::to_string(timeout_ms / 1000) + " s";
    return false;
  }
  if (const auto result = machine_->EntryResult(); result && *result != 0) {
    *why = "DriverEntry returned " + StatusName(*result);
    return false;
  }
  return true;
}

void Pc::Stop() {
  if (machine_) machine_->Stop();
}

std::string DeviceName(size_t index) { return "/DEV/MAC/TORVELIN/" + std::to_string(index); }

// ---- Client ----

namespace {

// A control code that fills a block: the block is cleared first, so that a
// word the driver leaves alone reads as 0.
template <class Block>
uint32_t ReadBlock(sim::ClientProcess& process, uintptr_t open, uint32_t code, Block* block) {
  std::memset(block, 0, sizeof *block);
  return process.Control(open, code, reinterpret_cast<uintptr_t>(block), sizeof *block);
}

}  // namespace

uint32_t Client::Info(uintptr_t open, AdapterInfo* info) {
  return ReadBlock(process_, open, MacControlAdapterInfo, info);
}

uint32_t Client::ClientStats(uintptr_t open, ClientStatistics* stats) {
  return ReadBlock(process_, open, MacControlClientStatistics, stats);
}

uint32_t Client::AdapterStats(uintptr_t open, AdapterStatistics* stats) {
  return ReadBlock(process_, open, MacControlAdapterStatistics, stats);
}

uint32_t Client::GlobalStats(uintptr_t open, GlobalStatistics* stats) {
  return ReadBlock(process_, open, MacControlGlobalStatistics, stats);
}

uint32_t Client::SetFilter(uintptr_t open, uint32_t filter) {
  return process_.Control(open, MacControlSetFilter, filter, 0);
}

namespace {

using NamedList = std::vector<std::pair<std::string, uint32_t>>;

// The counters the client block and the traffic block share, in the order
// both lay them out; `receive_errors` (the traffic block's own) stand
// between the error counts and the length errors, as they do there.
template <class Block>
NamedList SharedCounters(const Block& s, const NamedList& receive_errors) {
  NamedList named = {{"TxDirected", s.TxDirected},   {"TxMulticast", s.TxMulticast},
                     {"TxBroadcast", s.TxBroadcast}, {"RxDirected", s.RxDirected},
                     {"RxMulticast", s.RxMulticast}, {"RxBroadcast", s.RxBroadcast},
                     {"ReadErrors", s.ReadErrors},   {"WriteErrors", s.WriteErrors}};
  named.insert(named.end(), receive_errors.begin(), receive_errors.end());
  named.push_back({"WriteTooShort", s.WriteTooShort});
  named.push_back({"WriteTooLong", s.WriteTooLong});
  return named;
}

}  // namespace

std::vector<std::pair<std::string, uint32_t>> Named(const ClientStatistics& s) {
  return SharedCounters(s, {});
}

std::vector<std::pair<std::string, uint32_t>> Named(const TrafficCounters& s) {
  return SharedCounters(s, {{"RxTooShort", s.RxTooShort},
                            {"RxCrcErrors", s.RxCrcErrors},
                            {"RxAlignmentErrors", s.RxAlignmentErrors},
                            {"RxOverruns", s.RxOverruns}});
}

}  // namespace tool
