// torvelin bench: end-to-end throughput of the driver on the simulated PC,
// next to a floor that moves the same bytes through the same copies and
// thread hand-offs with plain memcpy and a simple queue.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/torvelin/commands.h"

namespace tool {

// Adds the "bench" subcommand to `app`.
Subcommand AddBenchCommand(CLI::App& app);

}  // namespace tool
