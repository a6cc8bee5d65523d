// The tool's commands. Each returns the process exit status; bad input is
// thrown as InputError and turned into one line and status 2 by main.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/torvelin/machine_file.h"

namespace tool {

struct MachineChoice {
  std::string machine_file;   // empty: the built-in PC
  std::string registry_file;  // empty: no registry file
  unsigned controllers = 2;   // for the built-in PC
  std::string clock = "virtual";
  bool verbose = false;  // echo the driver's console as it is printed
  bool quiet = false;    // do not add Quiet=0 to the registry
};

struct RunOptions : MachineChoice {
  uint64_t frames = 2000;
  uint64_t seed = 1;
  std::string pcap;
  std::string replay;
  std::string tap;
  std::string trace;  // empty: no machine trace; .json: trace-event JSON, else text
  bool json = false;
};

struct ScriptOptions {
  std::string file = "-";
  std::string clock = "virtual";
  bool verbose = false;  // echo the driver's console to stderr
};

struct RespondOptions : MachineChoice {
  std::string tap;
  std::string ip;
  unsigned interval_s = 5;
};

// A subcommand as every one is registered: it adds itself and its options to
// the parser, keeps the parsed values and runs with them when chosen.
struct Subcommand {
  CLI::App* app;
  std::function<int()> run;
};

int RunCommand(const RunOptions& options);
int ScriptCommand(const ScriptOptions& options);
int RespondCommand(const RespondOptions& options);

// The machine a command boots: the file when one is named, else the default
// PC with `controllers` controllers.
MachineLayout ChooseMachine(const MachineChoice& choice);

// SIGINT and SIGTERM set a flag (a second one ends the process at once).
void InstallStopSignals();
bool StopRequested();

extern const char* const kVersion;

}  // namespace tool
