// What `torvelin run` measured, as one value, and its two printers: the text
// report (in the pieces a run shows as it goes) and the JSON document.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "device/interface.h"
#include "platform/nic/i8255x.h"
#include "tools/torvelin/traffic.h"
#include "tools/torvelin/util.h"

namespace tool {

struct Check {
  std::string name;
  bool ok;
  bool skipped;
  std::string detail;
};

// A counter of the controller's own that a run reports: its name in the
// JSON document, its column in the text report, the model's counter.
struct ControllerCounter {
  const char* json;
  const char* column;
  std::atomic<uint64_t> sim::I8255xCounters::*counter;
};
// In the order both reports list them; the last, programming errors, counts
// what the driver did that the part does not allow.
inline constexpr std::array<ControllerCounter, 7> kControllerCounters = {{
    {"frames_sent", "sent", &sim::I8255xCounters::frames_sent},
    {"frames_received", "stored", &sim::I8255xCounters::frames_received},
    {"dropped_filter", "refused by filter", &sim::I8255xCounters::dropped_filter},
    {"dropped_no_resources", "dropped, no resources", &sim::I8255xCounters::dropped_no_resources},
    {"dropped_bad", "dropped, bad", &sim::I8255xCounters::dropped_bad},
    {"bus_errors", "bus errors", &sim::I8255xCounters::bus_errors},
    {"programming_errors", "programming errors", &sim::I8255xCounters::programming_errors},
}};

// A controller of the machine; its counters are read once the machine has
// stopped.
struct ControllerReport {
  sim::I8255xConfig config;
  std::string segment;
  std::array<uint64_t, kControllerCounters.size()> counters = {};        // as kControllerCounters
  std::vector<sim::I8255xProgrammingError> programming_error_list = {};  // the first 256
};

// A published device: its station (or the status that refused it) and the
// controller behind it (SIZE_MAX when unknown).
struct DeviceReport {
  std::string name;
  Mac station{};
  uint32_t status = 0;
  size_t controller = SIZE_MAX;
};

struct RunReport {
  // What was asked.
  std::string clock;  // "virtual" or "real"
  uint64_t seed = 0;
  uint64_t frames = 0;
  bool verbose = false;
  std::string replay_file;
  size_t replay_frames = 0;  // frames read from the replay file
  // The machine and its start-up.
  std::string origin;
  std::vector<std::string> segments;
  std::vector<ControllerReport> controllers;
  bool booted = false;
  std::string why;  // why start-up failed
  std::string boot_console;
  std::vector<DeviceReport> devices;
  bool can_talk = false;  // every device opened: traffic and statistics were possible
  // Traffic and replay.
  uint32_t window = 0;
  TrafficResult traffic;
  ReplayResult replay;
  std::vector<DeviceTally> tallies;
  // Statistics read through the control codes (when can_talk).
  std::vector<ClientStatistics> client_stats;
  std::vector<AdapterStatistics> adapter_stats;
  GlobalStatistics global{};
  bool have_global = false;
  // The end.
  std::vector<Check> checks;
  std::string console_all;
  std::string console_run;                                 // what the driver printed after start-up
  std::vector<std::pair<std::string, uint64_t>> captures;  // kept files, frames
  bool tap = false;
  std::string tap_name;
  uint64_t tap_in = 0, tap_out = 0;
  bool interrupted = false;
  size_t failed = 0;
  bool pass = false;
};

std::string PciText(const sim::I8255xConfig& c);

// The text report, in the order a run prints it: the machine and its devices
// once started, a line as traffic and replay begin, the rest at the end.
void PrintMachine(const RunReport& report, FILE* out);
void PrintTrafficStart(const RunReport& report, FILE* out);
void PrintReplayStart(const RunReport& report, FILE* out);
void PrintResults(const RunReport& report, FILE* out);
// The whole report as one JSON document.
void PrintJson(const RunReport& report, FILE* out);

}  // namespace tool
