// torvelin bench: end-to-end throughput of the driver on the simulated PC,
// next to a floor that moves the same bytes through the same copies and
// thread hand-offs with plain memcpy and a simple queue.
#pragma once

#include <CLI/CLI.hpp>

namespace tool {

// Adds the "bench" subcommand to `app`; returns it so that main can tell
// whether it was chosen.
CLI::App* AddBenchCommand(CLI::App& app);
// Runs the bench with the options parsed into the subcommand AddBenchCommand
// made; returns the exit status.
int BenchCommand();

}  // namespace tool
