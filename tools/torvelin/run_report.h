// What `torvelin run` measured, as one value, and its two printers: the text
// report (in the pieces a run shows as it goes) and the JSON document.
#pragma once

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

// A controller of the machine; its counters are read once the machine has
// stopped.
struct ControllerReport {
  sim::I8255xConfig config;
  std::string segment;
  uint64_t frames_sent = 0;
  uint64_t frames_received = 0;
  uint64_t dropped_filter = 0;
  uint64_t dropped_no_resources = 0;
  uint64_t dropped_bad = 0;
  uint64_t bus_errors = 0;
  // What the driver did that the part does not allow (the first 256 kept).
  uint64_t programming_errors = 0;
  std::vector<sim::I8255xProgrammingError> programming_error_list = {};
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
